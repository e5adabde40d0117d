// The XAdES signatures the signer makes, checked from outside: xmlsec1 verifies them against the
// test PKI, the verifier's own decoder calls them intact, an invoice still validates against the
// FatturaPA schema and keeps every byte of its own; parallel signatures leave the earlier ones
// matching, and what cannot be signed is refused before the key is used.
#include "common/owner.h"
#include "envelope/signed_document_info.h"
#include "envelope/signed_document_parser.h"
#include "envelope/xml_signature.h"
#include "norax_sign/xades_signature.h"
#include "test_folder.h"
#include "test_identity.h"

#include <gtest/gtest.h>

#include <openssl/pem.h>

#include <atomic>
#include <cstdlib>
#include <memory>

namespace velin {
namespace {

namespace fs = std::filesystem;

const fs::path pki = VELIN_PKI_FIXTURES;
const fs::path invoices = VELIN_INVOICE_FIXTURES;
const fs::path schemas = VELIN_SCHEMA_FIXTURES;
const bool environment_ready = (test::private_environment(), true);

using test::bytes_of;
using test::Identity;
using test::text_of;

Identity identity(const std::string& name)
{
    return test::identity_in(pki, name);
}

// What the verifier's decoder says of every signature of a signed XML file.
std::vector<bool> verifier_matches(const std::string& signed_xml)
{
    static std::atomic<bool> cancel{false};
    auto info = std::make_shared<Signed_document_info>();
    auto parser = std::make_shared<Signed_document_parser>(info, cancel);
    parser->load_buffer(bytes_of(signed_xml), "IT01234567890_00042.xml");
    parser->analyse();
    std::vector<bool> matches;
    if (info->envelope.is_assigned() && info->envelope.value().signatures.is_assigned())
        for (const Signature_info& signature : info->envelope.value().signatures.value())
            matches.push_back(signature.signature_matches());
    return matches;
}

size_t count_of(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

class Xades_signature : public ::testing::Test {
protected:
    int run(const std::string& command) const
    {
        return std::system((command + " >" + (folder / "run.out").string() + " 2>&1").c_str()) == 0 ? 0 : 1;
    }
    std::string run_output() const { return test::read_file(folder / "run.out"); }

    // xmlsec1 checks the signature of that Id against the accredited root, the chain completed by
    // the intermediate CA (the signature carries only the signer's certificate).
    bool xmlsec_verifies(const std::string& signed_xml, const std::string& signature_id)
    {
        test::write_file(folder / "signed.xml", signed_xml);
        return run("xmlsec1 --verify --id-attr:Id http://www.w3.org/2000/09/xmldsig#:Signature --id-attr:Id "
                   "http://uri.etsi.org/01903/v1.3.2#:SignedProperties --node-id " +
                   signature_id + " --trusted-pem " + (pki / "accredited-root.cert.pem").string() +
                   " --untrusted-pem " + (pki / "accredited-ca.cert.pem").string() + " " +
                   (folder / "signed.xml").string()) == 0;
    }

    bool schema_valid(const std::string& signed_xml)
    {
        test::write_file(folder / "schema.xml", signed_xml);
        return run("XML_CATALOG_FILES=" + (schemas / "etsi" / "catalog.xml").string() +
                   " xmllint --nonet --noout --schema " +
                   (schemas / "fatturapa" / "Schema_del_file_xml_FatturaPA_versione_1.2.2.xsd").string() + " " +
                   (folder / "schema.xml").string()) == 0;
    }

    // Signs and checks the layout: the document's bytes as they were, the signature's text just
    // before the root's end tag. The signed document, or empty when signing failed.
    std::string signed_as_xades(const std::string& document, const Identity& signer)
    {
        std::string failure;
        const auto insertion = xades_enveloped_signature(bytes_of(document), signer.get(), when, failure);
        EXPECT_TRUE(insertion) << failure;
        if (!insertion)
            return {};
        const std::string signature = text_of(insertion->signature);
        EXPECT_EQ(signature.rfind("<ds:Signature ", 0), 0u);
        EXPECT_EQ(signature.substr(signature.size() - 15), "</ds:Signature>");
        EXPECT_EQ(document.compare(insertion->insert_at, 2, "</"), 0);
        const std::string whole = text_of(xades_signed_bytes(bytes_of(document), *insertion));
        EXPECT_EQ(whole.substr(0, insertion->insert_at) + whole.substr(insertion->insert_at + signature.size()),
                  document);
        return whole;
    }

    static std::string signature_id(const std::string& signed_xml, size_t nth = 0)
    {
        size_t at = 0;
        for (size_t n = 0; n <= nth; ++n)
            at = signed_xml.find("<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\" Id=\"", at + 1);
        if (at == std::string::npos)
            return {};
        const size_t start = signed_xml.find("Id=\"", at) + 4;
        return signed_xml.substr(start, signed_xml.find('"', start) - start);
    }

    test::Test_folder folder;
    const std::chrono::system_clock::time_point when =
        std::chrono::system_clock::from_time_t(1796558400); // 2026-12-06 12:00:00 UTC
};

// Every invoice of the fixtures (1.1 in ISO-8859-1 with a default namespace, 1.2 with a prefix
// and a dsig declaration of its own, two bodies with attachments, the simplified one).
TEST_F(Xades_signature, each_invoice_version_verifies_with_xmlsec_and_the_verifier)
{
    const Identity signer = identity("signer-legal");
    for (const char* name :
         {"fattura-v11.xml", "fattura-v12.xml", "fattura-allegati.xml", "fattura-semplificata.xml"}) {
        SCOPED_TRACE(name);
        const std::string document = test::read_file(invoices / name);
        const std::string signed_xml = signed_as_xades(document, signer);
        ASSERT_FALSE(signed_xml.empty());
        EXPECT_TRUE(xmlsec_verifies(signed_xml, signature_id(signed_xml))) << run_output();
        EXPECT_EQ(verifier_matches(signed_xml), std::vector<bool>{true});
        EXPECT_EQ(count_of(signed_xml, "<ds:Signature "), 1u);
        EXPECT_NE(signed_xml.find("<xades:SigningTime>2026-12-06T12:00:00Z</xades:SigningTime>"), std::string::npos);
        EXPECT_NE(signed_xml.find("Type=\"http://uri.etsi.org/01903#SignedProperties\""), std::string::npos);
    }
}

TEST_F(Xades_signature, signed_invoices_still_validate_against_the_fatturapa_schema)
{
    const Identity signer = identity("signer-legal");
    // The schema of version 1.2 (the only one published today); the older ones have their own namespaces.
    for (const char* name : {"fattura-v12.xml", "fattura-allegati.xml"}) {
        SCOPED_TRACE(name);
        const std::string document = test::read_file(invoices / name);
        ASSERT_TRUE(schema_valid(document)) << run_output();
        const std::string signed_xml = signed_as_xades(document, signer);
        EXPECT_TRUE(schema_valid(signed_xml)) << run_output();
    }
}

TEST_F(Xades_signature, non_ascii_text_standalone_declaration_and_trailing_markup_are_kept)
{
    const Identity signer = identity("signer-legal");
    // The root's end tag is also written in a trailing comment: the signature goes before the real one.
    const std::string document = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
                                 "<p:FatturaElettronica versione=\"FPR12\" "
                                 "xmlns:p=\"http://ivaservizi.agenziaentrate.gov.it/docs/xsd/fatture/v1.2\">\r\n"
                                 "  <Causale>Perché l'attività è già pagata: 5 € — “saldo”</Causale>\r\n"
                                 "  <Nota><![CDATA[</p:FatturaElettronica>]]></Nota>\r\n"
                                 "</p:FatturaElettronica  >\r\n<!-- fine </p:FatturaElettronica> -->\r\n<?fine ?>\r\n";
    const std::string signed_xml = signed_as_xades(document, signer);
    ASSERT_FALSE(signed_xml.empty());
    EXPECT_NE(signed_xml.find("</ds:Signature></p:FatturaElettronica  >"), std::string::npos);
    EXPECT_TRUE(xmlsec_verifies(signed_xml, signature_id(signed_xml))) << run_output();
    EXPECT_EQ(verifier_matches(signed_xml), std::vector<bool>{true});
}

TEST_F(Xades_signature, a_parallel_signature_leaves_the_earlier_one_matching)
{
    const std::string document = test::read_file(invoices / "fattura-v12.xml");
    const std::string once = signed_as_xades(document, identity("signer-legal"));
    ASSERT_EQ(xades_refusal(bytes_of(once)), "");
    const std::string twice = signed_as_xades(once, identity("signer-no-nr"));
    ASSERT_FALSE(twice.empty());
    // The first signature is still there, byte for byte, and the second follows it inside the root.
    EXPECT_EQ(twice.substr(0, once.rfind("</p:FatturaElettronica>")), once.substr(0, once.rfind("</p:")));
    EXPECT_EQ(count_of(twice, "<ds:Signature "), 2u);
    EXPECT_EQ(verifier_matches(twice), (std::vector<bool>{true, true}));
    EXPECT_TRUE(xmlsec_verifies(twice, signature_id(twice, 0))) << run_output();
    EXPECT_TRUE(xmlsec_verifies(twice, signature_id(twice, 1))) << run_output();

    // Who signed it already, for the question asked before the same holder signs again.
    EXPECT_TRUE(xades_signed_by(bytes_of(once), identity("signer-legal").certificate.get()));
    EXPECT_FALSE(xades_signed_by(bytes_of(once), identity("signer-no-nr").certificate.get()));
    EXPECT_TRUE(xades_signed_by(bytes_of(twice), identity("signer-no-nr").certificate.get()));
    EXPECT_FALSE(xades_signed_by(bytes_of(document), identity("signer-legal").certificate.get()));
    EXPECT_FALSE(xades_signed_by(bytes_of("<a>"), identity("signer-legal").certificate.get()));
    EXPECT_FALSE(xades_signed_by(bytes_of(once), nullptr));
}

TEST_F(Xades_signature, an_earlier_signature_that_does_not_match_or_covers_later_ones_is_refused)
{
    const std::string document = test::read_file(invoices / "fattura-v12.xml");
    std::string altered = signed_as_xades(document, identity("signer-legal"));
    const size_t at = altered.find("<Numero>");
    ASSERT_NE(at, std::string::npos);
    altered[at + 8] = altered[at + 8] == '9' ? '8' : '9';
    EXPECT_EQ(xades_refusal(bytes_of(altered)), Text_earlier_signature_mismatch);
    std::string failure;
    EXPECT_FALSE(xades_enveloped_signature(bytes_of(altered), identity("signer-no-nr").get(), when, failure));
    EXPECT_EQ(failure, Text_earlier_signature_mismatch);

    // Signed by xmlsec1 with the enveloped-signature transform alone: a signature after it would be
    // inside what it covers.
    const size_t end = document.rfind("</p:FatturaElettronica>");
    test::write_file(folder / "template.xml",
                     document.substr(0, end) +
                         "<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"><ds:SignedInfo>"
                         "<ds:CanonicalizationMethod Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/>"
                         "<ds:SignatureMethod Algorithm=\"http://www.w3.org/2001/04/xmldsig-more#rsa-sha256\"/>"
                         "<ds:Reference URI=\"\"><ds:Transforms><ds:Transform "
                         "Algorithm=\"http://www.w3.org/2000/09/xmldsig#enveloped-signature\"/></ds:Transforms>"
                         "<ds:DigestMethod Algorithm=\"http://www.w3.org/2001/04/xmlenc#sha256\"/>"
                         "<ds:DigestValue/></ds:Reference></ds:SignedInfo><ds:SignatureValue/><ds:KeyInfo>"
                         "<ds:X509Data/></ds:KeyInfo></ds:Signature>" +
                         document.substr(end));
    ASSERT_EQ(run("xmlsec1 --sign --privkey-pem " + (pki / "signer-legal.key.pem").string() + "," +
                  (pki / "signer-legal.cert.pem").string() + " --output " + (folder / "closed.xml").string() + " " +
                  (folder / "template.xml").string()),
              0)
        << run_output();
    const std::string closed = test::read_file(folder / "closed.xml");
    EXPECT_EQ(xades_refusal(bytes_of(closed)), Text_xml_earlier_covers_signatures);

    // Signed by xmlsec1 over one element by its Id: a signature of the whole document would sign
    // something else than it does.
    std::string by_id = document;
    const size_t header = by_id.find("<FatturaElettronicaHeader>");
    ASSERT_NE(header, std::string::npos);
    by_id.insert(header + 25, " Id=\"intestazione\"");
    const size_t by_id_end = by_id.rfind("</p:FatturaElettronica>");
    test::write_file(folder / "template-id.xml",
                     by_id.substr(0, by_id_end) +
                         "<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"><ds:SignedInfo>"
                         "<ds:CanonicalizationMethod Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/>"
                         "<ds:SignatureMethod Algorithm=\"http://www.w3.org/2001/04/xmldsig-more#rsa-sha256\"/>"
                         "<ds:Reference URI=\"#intestazione\">"
                         "<ds:DigestMethod Algorithm=\"http://www.w3.org/2001/04/xmlenc#sha256\"/>"
                         "<ds:DigestValue/></ds:Reference></ds:SignedInfo><ds:SignatureValue/><ds:KeyInfo>"
                         "<ds:X509Data/></ds:KeyInfo></ds:Signature>" +
                         by_id.substr(by_id_end));
    ASSERT_EQ(run("xmlsec1 --sign --id-attr:Id FatturaElettronicaHeader --privkey-pem " +
                  (pki / "signer-legal.key.pem").string() + "," + (pki / "signer-legal.cert.pem").string() +
                  " --output " + (folder / "by-id.xml").string() + " " + (folder / "template-id.xml").string()),
              0)
        << run_output();
    EXPECT_EQ(xades_refusal(bytes_of(test::read_file(folder / "by-id.xml"))), Text_xml_earlier_not_whole);
}

TEST_F(Xades_signature, what_is_no_plain_xml_is_refused_before_the_key_is_used)
{
    const std::string duplicate = std::string("Il documento non è stato firmato: ") + Xml_text_duplicate_id;
    const struct {
        std::string document;
        std::string refusal;
    } cases[] = {
        {"<a><b></a>", Text_xml_not_well_formed},
        {"<?xml version=\"1.0\"?><a>testo", Text_xml_not_well_formed},
        {"", Text_xml_not_well_formed},
        {"<!DOCTYPE a [<!ENTITY x \"y\">]><a>&x;</a>", Text_xml_dtd},
        {"<!DOCTYPE a SYSTEM \"http://127.0.0.1:1/a.dtd\"><a/>", Text_xml_dtd},
        {std::string("\xFF\xFE<\0a\0/\0>\0", 10), Text_xml_encoding},
        {"<a/>", Text_xml_no_place},
        // The verifier would refuse it: two elements that one reference could name.
        {"<a><b Id=\"x\">1</b><c Id=\"x\">2</c></a>", duplicate},
        {"<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"></ds:Signature>",
         Text_xml_earlier_not_xml_signature},
    };
    // A key that could not sign at all: nothing reaches it.
    const Identity signer = identity("signer-legal");
    for (const auto& refused : cases) {
        SCOPED_TRACE(refused.document);
        EXPECT_EQ(xades_refusal(bytes_of(refused.document)), refused.refusal);
        std::string failure;
        EXPECT_FALSE(xades_enveloped_signature(bytes_of(refused.document), signer.get(), when, failure));
        EXPECT_EQ(failure, refused.refusal);
    }
}

TEST_F(Xades_signature, xades_t_stamps_the_canonical_signature_value_the_verifier_reads)
{
    const std::string document = test::read_file(invoices / "fattura-v11.xml");
    std::vector<uint8_t> stamped;
    const std::vector<uint8_t> token = {0x30, 0x03, 0x02, 0x01, 0x07};
    const Signature_stamper stamp = [&](std::span<const uint8_t> value, std::string&) {
        stamped.assign(value.begin(), value.end());
        return std::optional<std::vector<uint8_t>>(token);
    };
    std::string failure;
    const auto insertion =
        xades_enveloped_signature(bytes_of(document), identity("signer-legal").get(), when, failure, stamp);
    ASSERT_TRUE(insertion) << failure;
    const std::vector<uint8_t> signed_xml = xades_signed_bytes(bytes_of(document), *insertion);
    Xml_signature reader;
    reader.parse(signed_xml);
    ASSERT_TRUE(reader.parsed()) << reader.failure_text();
    reader.read_signatures();
    reader.extract_original_document();
    ASSERT_EQ(reader.signatures_count(), 1u);
    reader.select_signature(0);
    EXPECT_EQ(reader.signature_value(), stamped);
    EXPECT_EQ(reader.signer_timestamp_tokens(Timestamp_scope::Signature), std::vector<std::vector<uint8_t>>{token});
    EXPECT_TRUE(xmlsec_verifies(text_of(signed_xml), signature_id(text_of(signed_xml)))) << run_output();

    // No time stamp, no signature.
    const Signature_stamper refusing = [](std::span<const uint8_t>, std::string& why) {
        why = "Marca temporale non ricevuta.";
        return std::optional<std::vector<uint8_t>>();
    };
    EXPECT_FALSE(
        xades_enveloped_signature(bytes_of(document), identity("signer-legal").get(), when, failure, refusing));
    EXPECT_EQ(failure, "Marca temporale non ricevuta.");
}

TEST_F(Xades_signature, a_key_that_is_not_rsa_is_refused)
{
    Identity signer = identity("signer-legal");
    const Owner<EVP_PKEY> ec(EVP_EC_gen("P-256"));
    ASSERT_TRUE(ec);
    signer.key.reset(EVP_PKEY_dup(ec.get()), Release{});
    std::string failure;
    EXPECT_FALSE(xades_enveloped_signature(bytes_of(test::read_file(invoices / "fattura-v12.xml")), signer.get(), when,
                                           failure));
    EXPECT_EQ(failure, Text_xml_key_not_rsa);
}

} // namespace
} // namespace velin
