// The XML-signature core as its callers use it: references read as xmlsec resolves them, the
// policy deciding what xmlsec may resolve, and the bytes handed back being those it digested. The
// readers built on it are tested through their own refusals (xml_signature_test, trusted lists).
#include "common/owner.h"
#include "envelope/xml_signature_core.h"
#include "envelope/xml_tree.h"

#include "test_folder.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <string>
#include <vector>

namespace velin {
namespace {

Xml_document parsed(const std::string& text)
{
    Xml_parse_failure failure = Xml_parse_failure::None;
    Xml_document document =
        parse_plain_xml(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()), failure);
    EXPECT_EQ(failure, Xml_parse_failure::None);
    return document;
}

// A list signed by tools/make-test-trusted-lists: an enveloped reference to the whole document and
// one to the signed properties by Id.
const std::string Signed_list = std::string(VELIN_SOURCE_DIR) + "/tests/fixtures/tsl/eu-lotl.xml";

std::vector<uint8_t> certificate_der(const std::string& name)
{
    const std::string path = std::string(VELIN_SOURCE_DIR) + "/tests/fixtures/tsl/" + name + ".cert.pem";
    FILE* file = std::fopen(path.c_str(), "r");
    EXPECT_NE(file, nullptr) << path;
    const Owner<X509> certificate(file ? PEM_read_X509(file, nullptr, nullptr, nullptr) : nullptr);
    if (file)
        std::fclose(file);
    unsigned char* der = nullptr;
    const int size = certificate ? i2d_X509(certificate.get(), &der) : 0;
    std::vector<uint8_t> bytes(der, der + (size > 0 ? size : 0));
    OPENSSL_free(der);
    return bytes;
}

std::string sha256_base64(const std::vector<uint8_t>& bytes)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EXPECT_EQ(EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr), 1);
    std::string text(4 * ((size + 2) / 3) + 1, '\0');
    text.resize(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), digest, static_cast<int>(size)));
    return text;
}

TEST(Xml_signature_core, references_and_transforms_are_read_as_xmlsec_resolves_them)
{
    const Xml_document document =
        parsed("<a xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"><b Id=\"x\"/><c xmlns:p=\"urn:p\" p:Id=\"y\"/>"
               "<ds:Signature><ds:SignedInfo>"
               "<ds:Reference/><ds:Reference URI=\"\"/><ds:Reference URI=\"#x\"/><ds:Reference URI=\"#y\"/>"
               "<ds:Reference URI=\"#xpointer(id('x'))\"/><ds:Reference URI=\"invoice.xml\"/>"
               "<ds:Reference URI=\"../invoice.xml\"/><ds:Reference URI=\"http://127.0.0.1/invoice.xml\"/>"
               "</ds:SignedInfo></ds:Signature></a>");
    ASSERT_TRUE(document);
    ASSERT_EQ(prepare_signed_xml(document.get(), {}), Xml_identifiers::Sound);
    const xmlNode* root = xmlDocGetRootElement(document.get());
    const std::vector<Xml_reference> references =
        xml_signed_references(document.get(), xml_child(root, Dsig_ns, "Signature"));
    using Kind = Xml_reference::Kind;
    const Kind kinds[] = {Kind::No_uri,        Kind::Whole_document, Kind::Same_document, Kind::Same_document,
                          Kind::Same_document, Kind::File,           Kind::External,      Kind::External};
    ASSERT_EQ(references.size(), std::size(kinds));
    for (size_t n = 0; n < references.size(); ++n)
        EXPECT_EQ(references[n].kind, kinds[n]) << references[n].uri;
    // Only a plain name registered by the one rule names an element: never a namespaced Id, never
    // an XPointer.
    EXPECT_EQ(references[2].target, root->children);
    EXPECT_EQ(references[3].target, nullptr);
    EXPECT_EQ(references[4].target, nullptr);

    // Transforms: canonicalisation always, the others only where the caller allows them, and XPath
    // only as the filter that leaves out the signatures.
    const Xml_document transforms =
        parsed("<ds:Reference xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"><ds:Transforms>"
               "<ds:Transform Algorithm=\"http://www.w3.org/2000/09/xmldsig#enveloped-signature\"/>"
               "<ds:Transform Algorithm=\"http://www.w3.org/TR/1999/REC-xpath-19991116\">"
               "<ds:XPath>not(ancestor-or-self::ds:Signature)</ds:XPath></ds:Transform>"
               "<ds:Transform Algorithm=\"http://www.w3.org/2001/10/xml-exc-c14n#\"/></ds:Transforms></ds:Reference>");
    ASSERT_TRUE(transforms);
    const xmlNode* reference = xmlDocGetRootElement(transforms.get());
    bool enveloped = false;
    EXPECT_TRUE(xml_transforms_allowed(reference, {true, false, true}, &enveloped));
    EXPECT_TRUE(enveloped);
    EXPECT_FALSE(xml_transforms_allowed(reference, {true, true, false}));
    EXPECT_FALSE(xml_transforms_allowed(reference, {false, true, true}));
}

TEST(Xml_signature_core, verifies_with_the_given_key_under_the_policy_and_hands_back_what_was_digested)
{
    const std::string text = test::read_file(Signed_list);
    const Xml_document document = parsed(text);
    ASSERT_TRUE(document);
    Xml_signature_policy policy;
    policy.transforms.enveloped = true;
    policy.keep_digested = true;
    ASSERT_EQ(prepare_signed_xml(document.get(), policy), Xml_identifiers::Sound);
    xmlNode* signature = xml_child(xmlDocGetRootElement(document.get()), Dsig_ns, "Signature");
    ASSERT_NE(signature, nullptr);
    const std::vector<uint8_t> signer = certificate_der("eu-signer");
    EXPECT_EQ(xml_key_info_certificates(signature), std::vector<std::vector<uint8_t>>{signer});

    const Xml_verification verified = verify_xml_signature(document.get(), signature, policy, signer);
    ASSERT_TRUE(verified.verified());
    // Each reference's bytes are those its DigestValue is the digest of.
    const std::vector<Xml_reference> references = xml_signed_references(document.get(), signature);
    ASSERT_EQ(references.size(), 2u);
    ASSERT_EQ(verified.digested.size(), 2u);
    for (const Xml_reference& reference : references) {
        const std::vector<uint8_t>* bytes = verified.digested_for(reference.node);
        ASSERT_NE(bytes, nullptr) << reference.uri;
        EXPECT_EQ(sha256_base64(*bytes), trimmed(xml_text(xml_child(reference.node, Dsig_ns, "DigestValue"))))
            << reference.uri;
    }
    const std::string properties(verified.digested[1].bytes.begin(), verified.digested[1].bytes.end());
    EXPECT_NE(properties.find("SignedProperties"), std::string::npos);

    // Another key, a policy that lets xmlsec resolve neither the whole document nor an Id, and a
    // transform the listed algorithms leave out: never verified. Bytes that are no certificate
    // are the library's failure.
    EXPECT_EQ(verify_xml_signature(document.get(), signature, policy, certificate_der("it-signer")).outcome,
              Xml_verification::Outcome::Not_verified);
    Xml_signature_policy narrower = policy;
    narrower.whole_document = false;
    EXPECT_FALSE(verify_xml_signature(document.get(), signature, narrower, signer).verified());
    narrower = policy;
    narrower.same_document = false;
    EXPECT_FALSE(verify_xml_signature(document.get(), signature, narrower, signer).verified());
    narrower = policy;
    narrower.transforms.enveloped = false;
    EXPECT_FALSE(verify_xml_signature(document.get(), signature, narrower, signer).verified());
    narrower.listed_algorithms_only = false;
    EXPECT_TRUE(verify_xml_signature(document.get(), signature, narrower, signer).verified());
    EXPECT_EQ(verify_xml_signature(document.get(), signature, policy, std::vector<uint8_t>{1, 2, 3}).outcome,
              Xml_verification::Outcome::Library_failure);
}

// A detached signature by eu-signer over two files, "a b.txt" (its URI escaped) and "c.txt", made
// here: its SignedInfo written in its canonical form, which is what the key signs.
std::string detached_over_two_files(const std::string& first, const std::string& second)
{
    const std::string sha256 =
        "<ds:DigestMethod Algorithm=\"http://www.w3.org/2001/04/xmlenc#sha256\"></ds:DigestMethod>";
    const auto reference = [&](const std::string& uri, const std::string& bytes) {
        return "<ds:Reference URI=\"" + uri + "\">" + sha256 + "<ds:DigestValue>" +
               sha256_base64(std::vector<uint8_t>(bytes.begin(), bytes.end())) + "</ds:DigestValue></ds:Reference>";
    };
    const std::string signed_info =
        "<ds:SignedInfo xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"><ds:CanonicalizationMethod "
        "Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"></ds:CanonicalizationMethod>"
        "<ds:SignatureMethod Algorithm=\"http://www.w3.org/2001/04/xmldsig-more#rsa-sha256\"></ds:SignatureMethod>" +
        reference("a%20b.txt", first) + reference("c.txt", second) + "</ds:SignedInfo>";
    FILE* file = std::fopen((std::string(VELIN_SOURCE_DIR) + "/tests/fixtures/tsl/eu-signer.key.pem").c_str(), "r");
    EXPECT_NE(file, nullptr);
    const Owner<EVP_PKEY> key(file ? PEM_read_PrivateKey(file, nullptr, nullptr, nullptr) : nullptr);
    if (file)
        std::fclose(file);
    const Owner<EVP_MD_CTX> context(EVP_MD_CTX_new());
    std::vector<unsigned char> value(1024);
    size_t size = value.size();
    EXPECT_TRUE(key && context && EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
                EVP_DigestSign(context.get(), value.data(), &size,
                               reinterpret_cast<const unsigned char*>(signed_info.data()), signed_info.size()) == 1);
    std::string encoded(4 * ((size + 2) / 3) + 1, '\0');
    encoded.resize(
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()), value.data(), static_cast<int>(size)));
    return "<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\">" + signed_info + "<ds:SignatureValue>" +
           encoded + "</ds:SignatureValue></ds:Signature>";
}

TEST(Xml_signature_core, a_set_of_files_is_served_by_name_and_nothing_else)
{
    ASSERT_TRUE(xml_security_ready());
    const std::string first = "Primo file.\n", second = "Secondo file.\n";
    const Xml_document document = parsed(detached_over_two_files(first, second));
    ASSERT_TRUE(document);
    xmlNode* signature = xmlDocGetRootElement(document.get());
    Xml_signature_policy policy;
    policy.served_document = true;
    ASSERT_EQ(prepare_signed_xml(document.get(), policy), Xml_identifiers::Sound);
    const std::vector<uint8_t> signer = certificate_der("eu-signer");
    const auto bytes = [](const std::string& text) {
        return std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    };
    const auto verifies = [&](std::vector<Xml_served_file> files, const Xml_signature_policy& under) {
        const Xml_served_document served(std::move(files));
        return verify_xml_signature(document.get(), signature, under, signer).verified();
    };
    // The escaped URI names the file by its decoded name.
    EXPECT_TRUE(verifies({{"a b.txt", bytes(first)}, {"c.txt", bytes(second)}}, policy));
    // A file missing from the set, the two swapped, one changed: never verified.
    EXPECT_FALSE(verifies({{"a b.txt", bytes(first)}}, policy));
    EXPECT_FALSE(verifies({{"a b.txt", bytes(second)}, {"c.txt", bytes(first)}}, policy));
    EXPECT_FALSE(verifies({{"a b.txt", bytes(first)}, {"c.txt", bytes(first)}}, policy));
    // Without the policy's leave, nothing served is read.
    EXPECT_FALSE(verifies({{"a b.txt", bytes(first)}, {"c.txt", bytes(second)}}, Xml_signature_policy{}));
    // A set serves only while it lives: the one around it serves again after it.
    {
        const Xml_served_document outer({{"a b.txt", bytes(first)}, {"c.txt", bytes(second)}});
        EXPECT_FALSE(verifies({}, policy));
        EXPECT_TRUE(verify_xml_signature(document.get(), signature, policy, signer).verified());
    }
    EXPECT_FALSE(verify_xml_signature(document.get(), signature, policy, signer).verified());
}

} // namespace
} // namespace velin
