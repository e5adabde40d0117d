// The signatures file of a container read before any signature is checked: the references that
// name files of the container and those that must never be followed, each refusal in its words.
// The signatures themselves are checked against containers xmlsec1 signs (integration tests).
#include "envelope/asic_manifest.h"
#include "envelope/xml_signature.h"

#include "test_folder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velin {
namespace {

Document_bytes container_text_bytes(const std::string& text)
{
    return Document_bytes(std::vector<uint8_t>(text.begin(), text.end()));
}

const std::vector<Asic_entry> Container_files = {
    {"contratto.txt", container_text_bytes("Contratto di prova.\n"), {}},
    {"allegati/allegato tecnico.txt", container_text_bytes("Allegato.\n"), {}},
};

// A reference with that URI (none when uri is null), with the given transforms.
std::string file_reference(const char* uri, const std::string& transforms = {})
{
    return std::string("<ds:Reference") + (uri ? std::string(" URI=\"") + uri + "\"" : "") + ">" +
           (transforms.empty() ? "" : "<ds:Transforms>" + transforms + "</ds:Transforms>") +
           "<ds:DigestMethod "
           "Algorithm=\"http://www.w3.org/2001/04/xmlenc#sha256\"/><ds:DigestValue>AA==</ds:DigestValue>"
           "</ds:Reference>";
}

// A signature with those references and an Object of its own, "oggetto", carrying no certificate.
std::string container_signature(const std::string& references)
{
    return "<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\" Id=\"firma\"><ds:SignedInfo>"
           "<ds:CanonicalizationMethod Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/>"
           "<ds:SignatureMethod Algorithm=\"http://www.w3.org/2001/04/xmldsig-more#rsa-sha256\"/>" +
           references + "</ds:SignedInfo><ds:SignatureValue>AA==</ds:SignatureValue>" +
           "<ds:Object Id=\"oggetto\">Contratto di prova.</ds:Object></ds:Signature>";
}

std::string container_signatures_file(const std::string& inside)
{
    return "<asic:XAdESSignatures xmlns:asic=\"http://uri.etsi.org/02918/v1.2.1#\">" + inside +
           "</asic:XAdESSignatures>";
}

// The container's signatures file read and its signatures checked over Container_files.
struct Container_reading {
    explicit Container_reading(const std::string& text)
    {
        xml.set_container_files(Container_files);
        xml.parse(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
        if (!xml.parsed())
            return;
        xml.extract_original_document();
        xml.read_signatures();
    }
    Xml_signature xml;
};

TEST(Xml_container_signature, references_reaching_past_the_container_are_refused_before_any_check)
{
    const struct {
        const char* uri;
        std::string refusal;
    } cases[] = {
        {"../contratto.txt", Xml_text_external},
        {"%2e%2e/contratto.txt", Xml_text_external},
        {"/contratto.txt", Xml_text_external},
        {"http://127.0.0.1:9/contratto.txt", Xml_text_external},
        {"file:///etc/passwd", Xml_text_external},
        {"contratto.txt#x", Xml_text_external},
        // A decoded NUL would end the name xmlsec asks for at "contratto.txt".
        {"contratto.txt%00.exe", Xml_text_external},
        {"altro.txt", asic_missing_file_text("altro.txt")},
        {"allegati/allegato tecnico.txt.bak", asic_missing_file_text("allegati/allegato tecnico.txt.bak")},
        // The signatures file itself, an Object of the signature, an element beside it, and no URI.
        {"", Xml_text_reference},
        {"#oggetto", Xml_text_reference},
        {"#copia", Xml_text_reference},
        {nullptr, Xml_text_reference},
    };
    for (const auto& sample : cases) {
        const std::string copy = "<Copia xmlns=\"urn:velin:prova\" Id=\"copia\">Contratto di prova.</Copia>";
        Container_reading reading(container_signatures_file(
            copy + container_signature(file_reference("contratto.txt") + file_reference(sample.uri))));
        ASSERT_TRUE(reading.xml.parsed()) << sample.uri << ": " << reading.xml.failure_text();
        ASSERT_EQ(reading.xml.signatures_count(), 1u);
        reading.xml.select_signature(0);
        const auto uri = sample.uri ? sample.uri : "(none)";
        EXPECT_EQ(reading.xml.unchecked_text(), sample.refusal) << uri;
        ASSERT_TRUE(reading.xml.signature_integrity().is_assigned()) << uri;
        EXPECT_EQ(reading.xml.signature_integrity().value(), Signature_integrity::Not_intact) << uri;
        EXPECT_TRUE(reading.xml.covered_files().empty()) << uri;
    }
}

TEST(Xml_container_signature, files_named_relative_to_the_root_and_escaped_are_the_containers)
{
    // Sound references: what stops this unsigned signature is its missing certificate alone.
    for (const char* uri : {"allegati/allegato%20tecnico.txt", "./contratto.txt", "allegati%2Fallegato%20tecnico.txt",
                            "allegati/allegato tecnico.txt"}) {
        Container_reading reading(
            container_signatures_file(container_signature(file_reference("contratto.txt") + file_reference(uri))));
        ASSERT_TRUE(reading.xml.parsed()) << uri;
        reading.xml.select_signature(0);
        EXPECT_EQ(reading.xml.unchecked_text(), Xml_text_no_certificate) << uri;
        EXPECT_TRUE(reading.xml.covered_files().empty()) << uri;
    }
    // A transform over a file, and a signature that names no file at all.
    const std::string enveloped = "<ds:Transform Algorithm=\"http://www.w3.org/2000/09/xmldsig#enveloped-signature\"/>";
    Container_reading transformed(
        container_signatures_file(container_signature(file_reference("contratto.txt", enveloped))));
    transformed.xml.select_signature(0);
    EXPECT_EQ(transformed.xml.unchecked_text(), Xml_text_transform);
    Container_reading nothing(container_signatures_file(container_signature("")));
    nothing.xml.select_signature(0);
    EXPECT_EQ(nothing.xml.unchecked_text(), Xml_text_not_whole);
}

TEST(Xml_container_signature, signatures_stand_at_the_top_of_a_signatures_file_only)
{
    // One signature as the root, as some tools write an ASiC-S: read like the list.
    Container_reading alone(container_signature(file_reference("contratto.txt")));
    ASSERT_TRUE(alone.xml.parsed());
    EXPECT_EQ(alone.xml.signatures_count(), 1u);
    EXPECT_FALSE(alone.xml.detached());
    Container_reading early("<asic:XAdESSignatures xmlns:asic=\"http://uri.etsi.org/2918/v1.2.1#\">" +
                            container_signature(file_reference("contratto.txt")) + "</asic:XAdESSignatures>");
    EXPECT_TRUE(early.xml.parsed()) << early.xml.failure_text();

    const struct {
        std::string text;
        std::string failure;
    } cases[] = {
        {"<Firme>" + container_signature(file_reference("contratto.txt")) + "</Firme>", Xml_text_container_root},
        {"<asic:XAdESSignatures xmlns:asic=\"urn:altro\">" + container_signature(file_reference("contratto.txt")) +
             "</asic:XAdESSignatures>",
         Xml_text_container_root},
        {container_signatures_file("<Busta>" + container_signature(file_reference("contratto.txt")) + "</Busta>"),
         Xml_text_misplaced},
        {container_signatures_file(container_signature(file_reference("contratto.txt")) + "<Dati Id=\"firma\"/>"),
         Xml_text_duplicate_id},
    };
    for (const auto& sample : cases) {
        Container_reading reading(sample.text);
        EXPECT_FALSE(reading.xml.parsed()) << sample.text;
        EXPECT_EQ(reading.xml.failure_text(), sample.failure) << sample.text;
    }
}

// The test PKI's certificate of a signer, as KeyInfo carries it.
std::string key_info()
{
    std::string pem = test::read_file(std::string(VELIN_SOURCE_DIR) + "/tests/fixtures/pki/signer-legal.cert.pem");
    const size_t begin = pem.find("-----\n") + 6;
    pem = pem.substr(begin, pem.find("-----END") - begin);
    return "<ds:KeyInfo><ds:X509Data><ds:X509Certificate>" + pem + "</ds:X509Certificate></ds:X509Data></ds:KeyInfo>";
}

TEST(Xml_container_signature, signatures_that_would_digest_past_the_budget_are_not_checked)
{
    // With a certificate each is checked by xmlsec (and does not match): the first two fit in the
    // budget, 20 bytes each; the third would pass it, the fourth names no file and costs nothing.
    std::string signatures;
    int number = 0;
    for (const char* uri : {"contratto.txt", "contratto.txt", "contratto.txt", "altro.txt"}) {
        std::string one = container_signature(file_reference(uri));
        one.insert(one.find("<ds:Object"), key_info());
        // Identifiers of its own.
        for (const std::string id : {"\"firma\"", "\"oggetto\""})
            one.insert(one.find(id) + id.size() - 1, std::to_string(++number));
        signatures += one;
    }
    const std::string text = container_signatures_file(signatures);
    Xml_signature xml;
    xml.set_container_files(Container_files, 45);
    xml.parse(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    ASSERT_TRUE(xml.parsed()) << xml.failure_text();
    xml.extract_original_document();
    ASSERT_EQ(xml.signatures_count(), 4u);
    const std::string expected[] = {"", "", Xml_text_container_budget, asic_missing_file_text("altro.txt")};
    for (size_t i = 0; i < 4; ++i) {
        xml.select_signature(i);
        EXPECT_EQ(xml.unchecked_text(), expected[i]) << i;
        ASSERT_TRUE(xml.signature_integrity().is_assigned()) << i;
        EXPECT_EQ(xml.signature_integrity().value(), Signature_integrity::Not_intact) << i;
    }
    EXPECT_EQ(xml.container_bytes_digested(), 40u);
}

} // namespace
} // namespace velin
