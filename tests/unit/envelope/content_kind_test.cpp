// Files are read for what they are: the bytes decide, the extension only when they say nothing.
#include "envelope/ber_reader.h"
#include "envelope/content_kind.h"
#include "test_folder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace velin {
namespace {

std::vector<uint8_t> fixture(const std::string& name)
{
    const std::string text = test::read_file(std::filesystem::path(ENVELOPE_FIXTURES) / name);
    return {text.begin(), text.end()};
}

std::vector<uint8_t> bytes(const std::string& text)
{
    return {text.begin(), text.end()};
}

TEST(Content_kind, every_form_of_an_envelope_is_told_from_its_bytes)
{
    for (const char* name : {"document.txt.p7m", "document.ber.p7m", "document.base64.p7m", "document.base64-line.p7m",
                             "document.smime.p7m", "detached.p7m"})
        EXPECT_EQ(document_type_by_content(fixture(name)), Document_types::Envelope) << name;

    // A truncated envelope is still one: it must be opened, and fail, rather than be offered as a
    // document.
    const auto whole = fixture("document.txt.p7m");
    EXPECT_EQ(document_type_by_content({whole.data(), 40}), Document_types::Envelope);

    // PEM armour, a byte-order mark and blank lines in front.
    const std::string base64 = test::read_file(std::filesystem::path(ENVELOPE_FIXTURES) / "document.base64.p7m");
    EXPECT_EQ(
        document_type_by_content(bytes("\xEF\xBB\xBF\r\n-----BEGIN PKCS7-----\n" + base64 + "-----END PKCS7-----\n")),
        Document_types::Envelope);

    const std::string mail = "Subject: x\r\nContent-Type: multipart/mixed;\r\n boundary=\"b\"\r\n\r\n--b\r\n"
                             "Content-Type: text/plain\r\n\r\nciao\r\n";
    EXPECT_EQ(document_type_by_content(
                  bytes(mail + "--b\r\nContent-Type: Application/Timestamp-Reply\r\n\r\nx\r\n--b--\r\n")),
              Document_types::Multipart);
    // An e-mail (a certified mail's message, say) is not a time-stamped file.
    EXPECT_EQ(document_type_by_content(bytes(mail + "--b--\r\n")), Document_types::Unsupported);
    EXPECT_EQ(document_type_by_content(bytes("%PDF-1.7\n%\xE2\xE3\xCF\xD3\n")), Document_types::Pdf);
    // id-ct-timestampedData, indefinite length.
    EXPECT_EQ(document_type_by_content(std::vector<uint8_t>{0x30, 0x80, 0x06, 0x0B, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D,
                                                            0x01, 0x09, 0x10, 0x01, 0x1F}),
              Document_types::Timestamped_data);

    // Another ContentInfo (enveloped data), text, nothing: not a signed file.
    EXPECT_EQ(document_type_by_content(fixture("enveloped.p7m")), Document_types::Unsupported);
    EXPECT_EQ(document_type_by_content(fixture("document.txt")), Document_types::Unsupported);
    EXPECT_EQ(document_type_by_content({}), Document_types::Unsupported);
    EXPECT_EQ(document_type_by_content(std::vector<uint8_t>{0x30}), Document_types::Unsupported);
    EXPECT_EQ(document_type_by_content(std::vector<uint8_t>{0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0x06}),
              Document_types::Unsupported);
}

TEST(Content_kind, xml_is_a_signed_file_only_with_a_signature_element_of_the_signature_namespace)
{
    const std::string ds = "\"http://www.w3.org/2000/09/xmldsig#\"";
    const struct {
        std::string text;
        Document_types kind;
    } cases[] = {
        {"<?xml version=\"1.0\"?>\n<p:F xmlns:p=\"urn:f\" xmlns:ds=" + ds + "><a/><ds:Signature Id=\"x\"/></p:F>",
         Document_types::Xml_signature},
        {"<Signature xmlns=" + ds + "><SignedInfo/></Signature>", Document_types::Xml_signature},
        {"\xEF\xBB\xBF <x:Signature xmlns:x='http://www.w3.org/2000/09/xmldsig#'>", Document_types::Xml_signature},
        // An invoice that declares the namespace (its schema allows a signature) but holds none.
        {"<p:F xmlns:p=\"urn:f\" xmlns:ds=" + ds + "><Signature>Mario</Signature><ds:SignatureX/></p:F>",
         Document_types::Unsupported},
        // A Signature of another namespace, a prefix declared for another one, a name that only ends so.
        {"<Signature xmlns=\"urn:other\"/>", Document_types::Unsupported},
        {"<a:Signature xmlns:a=\"urn:other\" xmlns:ds=" + ds + "/>", Document_types::Unsupported},
        {"<ds:MySignature xmlns:ds=" + ds + "/>", Document_types::Unsupported},
        {"<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#x\"/>", Document_types::Unsupported},
        {"<", Document_types::Unsupported},
    };
    for (const auto& sample : cases)
        EXPECT_EQ(document_type_by_content(bytes(sample.text)), sample.kind) << sample.text;
    // A signed XML found inside an envelope is opened as a further layer.
    EXPECT_TRUE(is_signed_container(Document_types::Xml_signature));
}

TEST(Content_kind, a_time_stamp_is_told_by_its_reply_status_or_its_token_content_type)
{
    const std::filesystem::path reply = std::filesystem::path(ENVELOPE_FIXTURES) / "../m7m/document.txt.tsr";
    const std::string granted = test::read_file(reply);
    EXPECT_EQ(timestamp_kind_by_content(bytes(granted)), Document_types::Detached_timestamp);
    // A refusal: status rejection, a text, a failure.
    const std::vector<uint8_t> refused{0x30, 0x0C, 0x30, 0x0A, 0x02, 0x01, 0x02, 0x30,
                                       0x03, 0x0C, 0x01, 0x78, 0x03, 0x02, 0x07, 0x80};
    EXPECT_EQ(timestamp_kind_by_content(refused), Document_types::Detached_timestamp);
    // The head of a token: ContentInfo, SignedData, version, digest algorithms, TSTInfo; its
    // content need not all be there.
    std::vector<uint8_t> token{0x30, 0x82, 0x07, 0x00, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D,
                               0x01, 0x07, 0x02, 0xA0, 0x82, 0x06, 0xF0, 0x30, 0x82, 0x06, 0xEC, 0x02,
                               0x01, 0x03, 0x31, 0x0F, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                               0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x30, 0x82, 0x01, 0x00, 0x06,
                               0x0B, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x10, 0x01, 0x04};
    EXPECT_EQ(timestamp_kind_by_content(token), Document_types::Detached_timestamp);
    EXPECT_EQ(timestamp_kind_by_content(
                  bytes("-----BEGIN PKCS7-----\nMIIHAAYJKoZIhvcNAQcCoIIG8DCCBuwCAQMxDzANBglghkgBZQMEAgEF"
                        "ADCCAQAGCyqGSIb3DQEJEAEE\n")),
              Document_types::Detached_timestamp);
    // A signature is no time stamp, nor are bytes cut inside the token's head.
    EXPECT_EQ(timestamp_kind_by_content(fixture("document.txt.p7m")), Document_types::Unsupported);
    EXPECT_EQ(timestamp_kind_by_content({token.data(), 40}), Document_types::Unsupported);
    token.back() = 0x01;
    EXPECT_EQ(timestamp_kind_by_content(token), Document_types::Unsupported);
    EXPECT_EQ(timestamp_kind_by_content({}), Document_types::Unsupported);
    EXPECT_EQ(document_type_of("marca.TSR"), Document_types::Detached_timestamp);
    EXPECT_EQ(document_type_of("fattura.xml.tst"), Document_types::Detached_timestamp);
}

TEST(Content_kind, the_extension_only_breaks_ties)
{
    EXPECT_EQ(decide_document_type(fixture("document.txt.p7m"), "lettera.pdf"), Document_types::Envelope);
    EXPECT_EQ(decide_document_type(fixture("document.txt.p7m"), "lettera"), Document_types::Envelope);
    EXPECT_EQ(decide_document_type(bytes("%PDF-1.4"), "lettera.p7m"), Document_types::Pdf);
    // Bytes of no known kind keep what the name says (a damaged envelope is reported as one).
    EXPECT_EQ(decide_document_type(bytes("rovinato"), "lettera.p7m"), Document_types::Envelope);
    EXPECT_EQ(decide_document_type(bytes("rovinato"), "lettera.P7S"), Document_types::Envelope);
    EXPECT_EQ(decide_document_type(bytes("rovinato"), "lettera.tsd"), Document_types::Timestamped_data);
    EXPECT_EQ(decide_document_type(bytes("rovinato"), "lettera.txt"), Document_types::Unsupported);
}

TEST(Ber_reader, indefinite_lengths_and_pieces_of_strings_are_joined_and_made_definite)
{
    // SEQUENCE (indefinite) { OCTET STRING (constructed, indefinite) { "ab", "c" }, INTEGER 5 }
    const std::vector<uint8_t> ber = {0x30, 0x80, 0x24, 0x80, 0x04, 0x02, 'a',  'b',  0x04, 0x01,
                                      'c',  0x00, 0x00, 0x02, 0x01, 0x05, 0x00, 0x00, 0xFF};
    const auto element = read_ber(ber);
    ASSERT_TRUE(element);
    EXPECT_EQ(element->whole.size(), ber.size() - 1); // the byte after the element is not its own
    const auto children = ber_children(*element);
    ASSERT_TRUE(children && children->size() == 2);
    EXPECT_EQ(ber_string_bytes((*children)[0]), (std::vector<uint8_t>{'a', 'b', 'c'}));
    EXPECT_EQ(ber_definite(*element),
              (std::vector<uint8_t>{0x30, 0x0C, 0x24, 0x07, 0x04, 0x02, 'a', 'b', 0x04, 0x01, 'c', 0x02, 0x01, 0x05}));

    // Truncated anywhere, a missing end-of-contents, a length past the end, hostile nesting.
    for (size_t size = 0; size + 1 < ber.size(); ++size)
        EXPECT_FALSE(read_ber({ber.data(), size})) << size;
    EXPECT_FALSE(read_ber(std::vector<uint8_t>{0x04, 0x05, 'a'}));
    std::vector<uint8_t> deep;
    for (int i = 0; i < 100000; ++i) {
        deep.push_back(0x30);
        deep.push_back(0x80);
    }
    EXPECT_FALSE(read_ber(deep));
}

} // namespace
} // namespace velin
