// The long-term data of a XAdES signature read from its text: the values taken as the CAdES ones
// are, hostile ones bounded, and the references matched to the values they name. The time stamps
// over them are checked against files made by xmlsec1 and OpenSSL (integration tests).
#include "envelope/xml_long_term.h"
#include "envelope/xml_signature.h"
#include "envelope/xml_tree.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <string>

namespace velin {
namespace {

constexpr const char* Xades_uri = "http://uri.etsi.org/01903/v1.3.2#";

std::string base64_text(const std::vector<uint8_t>& bytes)
{
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int size =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(), static_cast<int>(bytes.size()));
    text.resize(static_cast<size_t>(size));
    return text;
}

// A DER SEQUENCE holding one INTEGER n: what the values take for a certificate or a list.
std::vector<uint8_t> der_item(uint8_t n)
{
    return {0x30, 0x03, 0x02, 0x01, n};
}

std::string digest_element(const std::vector<uint8_t>& bytes)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr);
    return "<ds:DigestMethod Algorithm=\"http://www.w3.org/2001/04/xmlenc#sha256\"/><ds:DigestValue>" +
           base64_text(std::vector<uint8_t>(digest, digest + size)) + "</ds:DigestValue>";
}

struct Long_term_xml {
    Xml_document document;
    xmlNode* root() const { return xmlDocGetRootElement(document.get()); }
};

Long_term_xml long_term_xml(const std::string& body)
{
    const std::string text = std::string("<xades:Root xmlns:xades=\"") + Xades_uri +
                             "\" xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\" xmlns:v141=\"" + Xades141_ns + "\">" +
                             body + "</xades:Root>";
    Xml_parse_failure failure = Xml_parse_failure::None;
    Long_term_xml result{parse_plain_xml({reinterpret_cast<const uint8_t*>(text.data()), text.size()}, failure)};
    EXPECT_TRUE(result.document) << body.substr(0, 200);
    return result;
}

Validation_data values_of(const std::string& body, size_t budget = Xml_values_max_text)
{
    const Long_term_xml xml = long_term_xml(body);
    Validation_data data;
    if (xml.document)
        add_xml_values(xml_elements(xml.root()).front(), data, budget);
    return data;
}

std::string encapsulated(const std::vector<uint8_t>& der)
{
    return "<xades:EncapsulatedX509Certificate>" + base64_text(der) + "</xades:EncapsulatedX509Certificate>";
}

TEST(Xml_long_term, values_are_read_as_the_cades_ones_and_what_does_not_decode_is_left_out)
{
    const Validation_data certificates =
        values_of("<xades:CertificateValues>" + encapsulated(der_item(1)) + encapsulated(der_item(2)) +
                  encapsulated(der_item(1)) +
                  "<xades:EncapsulatedX509Certificate>not base64!</xades:EncapsulatedX509Certificate>" +
                  encapsulated({0x04, 0x01, 0x00}) + "<xades:OtherCertificate>" + base64_text(der_item(3)) +
                  "</xades:OtherCertificate></xades:CertificateValues>");
    EXPECT_EQ(certificates.certificates, (std::vector<std::vector<uint8_t>>{der_item(1), der_item(2)}));

    const Validation_data revocation =
        values_of("<xades:RevocationValues><xades:CRLValues><xades:EncapsulatedCRLValue>" + base64_text(der_item(4)) +
                  "</xades:EncapsulatedCRLValue></xades:CRLValues></xades:RevocationValues>");
    EXPECT_EQ(revocation.crls, std::vector<std::vector<uint8_t>>{der_item(4)});
    EXPECT_TRUE(revocation.certificates.empty());

    // The time stamps' validation data holds the same elements.
    const Validation_data stamps =
        values_of("<v141:TimeStampValidationData><xades:CertificateValues>" + encapsulated(der_item(5)) +
                  "</xades:CertificateValues><xades:RevocationValues><xades:CRLValues>"
                  "<xades:EncapsulatedCRLValue>" +
                  base64_text(der_item(6)) +
                  "</xades:EncapsulatedCRLValue></xades:CRLValues></xades:RevocationValues>"
                  "</v141:TimeStampValidationData>");
    EXPECT_EQ(stamps.certificates, std::vector<std::vector<uint8_t>>{der_item(5)});
    EXPECT_EQ(stamps.crls, std::vector<std::vector<uint8_t>>{der_item(6)});

    // Elsewhere than where they belong, the same elements are not values.
    EXPECT_TRUE(
        values_of("<xades:SignatureTimeStamp>" + encapsulated(der_item(7)) + "</xades:SignatureTimeStamp>").empty());
}

TEST(Xml_long_term, hostile_values_are_bounded)
{
    // Far more values than any file holds.
    std::string many = "<xades:CertificateValues>";
    for (int n = 0; n < 1500; ++n) {
        const std::vector<uint8_t> der{0x30, 0x04, 0x02, 0x02, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
        many += encapsulated(der);
    }
    EXPECT_EQ(values_of(many + "</xades:CertificateValues>").certificates.size(), Validation_item_limit);

    // A value longer than any list, and values past what one signature may hold in all.
    const std::string huge(Xml_value_max_text + 4, 'A');
    EXPECT_TRUE(values_of("<xades:CertificateValues><xades:EncapsulatedX509Certificate>" + huge +
                          "</xades:EncapsulatedX509Certificate></xades:CertificateValues>")
                    .empty());
    const std::string two = "<xades:CertificateValues>" + encapsulated(der_item(1)) + encapsulated(der_item(2)) +
                            "</xades:CertificateValues>";
    EXPECT_EQ(values_of(two, base64_text(der_item(1)).size()).certificates,
              std::vector<std::vector<uint8_t>>{der_item(1)});
    EXPECT_TRUE(values_of(two, 0).empty());

    // Values nested inside values are not followed.
    EXPECT_TRUE(values_of("<xades:CertificateValues><xades:CertificateValues>" + encapsulated(der_item(1)) +
                          "</xades:CertificateValues></xades:CertificateValues>")
                    .empty());
}

std::string unmatched_in(const std::string& references, const Validation_data& values,
                         const std::vector<std::vector<uint8_t>>& key_info = {})
{
    const Long_term_xml xml = long_term_xml(references);
    Xml_reference_matcher matcher(values, key_info);
    return xml.document ? matcher.unmatched(xml_elements(xml.root()).front()) : "?";
}

std::string certificate_refs(const std::vector<std::vector<uint8_t>>& named)
{
    std::string text = "<xades:CompleteCertificateRefs><xades:CertRefs>";
    for (const auto& der : named)
        text += "<xades:Cert><xades:CertDigest>" + digest_element(der) + "</xades:CertDigest></xades:Cert>";
    return text + "</xades:CertRefs></xades:CompleteCertificateRefs>";
}

TEST(Xml_long_term, every_reference_names_a_value_the_signature_carries)
{
    Validation_data values;
    values.certificates = {der_item(1)};
    values.crls = {der_item(2)};
    EXPECT_EQ(unmatched_in(certificate_refs({der_item(1)}), values), "");
    // The certificates of the KeyInfo count as well.
    EXPECT_EQ(unmatched_in(certificate_refs({der_item(1), der_item(9)}), values, {der_item(9)}), "");
    EXPECT_EQ(unmatched_in(certificate_refs({der_item(1), der_item(3)}), values), Xml_text_certificate_reference);
    // A digest of an algorithm not read, or none at all, names nothing.
    EXPECT_EQ(unmatched_in("<xades:CompleteCertificateRefs><xades:CertRefs><xades:Cert><xades:CertDigest>"
                           "<ds:DigestMethod Algorithm=\"urn:md5\"/><ds:DigestValue>AAAA</ds:DigestValue>"
                           "</xades:CertDigest></xades:Cert></xades:CertRefs></xades:CompleteCertificateRefs>",
                           values),
              Xml_text_certificate_reference);

    const std::string crl = "<xades:CompleteRevocationRefs><xades:CRLRefs><xades:CRLRef><xades:DigestAlgAndValue>";
    const std::string end = "</xades:DigestAlgAndValue></xades:CRLRef></xades:CRLRefs></xades:CompleteRevocationRefs>";
    EXPECT_EQ(unmatched_in(crl + digest_element(der_item(2)) + end, values), "");
    EXPECT_EQ(unmatched_in(crl + digest_element(der_item(1)) + end, values), Xml_text_revocation_reference);
    // An OCSP reference without its digest cannot be matched and is not counted; one with it is.
    const std::string ocsp = "<xades:CompleteRevocationRefs><xades:OCSPRefs><xades:OCSPRef>";
    EXPECT_EQ(
        unmatched_in(ocsp + "<xades:OCSPIdentifier/></xades:OCSPRef></xades:OCSPRefs></xades:CompleteRevocationRefs>",
                     values),
        "");
    EXPECT_EQ(
        unmatched_in(ocsp + "<xades:DigestAlgAndValue>" + digest_element(der_item(2)) +
                         "</xades:DigestAlgAndValue></xades:OCSPRef></xades:OCSPRefs></xades:CompleteRevocationRefs>",
                     values),
        Xml_text_revocation_reference);

    // Far more references than any file holds: refused, not followed one by one; in one element or
    // over several, as many values as a file may carry each digested once.
    std::vector<std::vector<uint8_t>> many(Validation_item_limit + 1, der_item(1));
    EXPECT_EQ(unmatched_in(certificate_refs(many), values), Xml_text_certificate_reference);
    Validation_data carried;
    for (size_t n = 0; n < Validation_item_limit; ++n)
        carried.certificates.push_back({0x30, 0x04, 0x02, 0x02, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
    const Long_term_xml xml = long_term_xml(certificate_refs(carried.certificates) + certificate_refs({der_item(1)}));
    ASSERT_TRUE(xml.document);
    const std::vector<xmlNode*> elements = xml_elements(xml.root());
    carried.certificates.push_back(der_item(1));
    Xml_reference_matcher matcher(carried, {});
    EXPECT_EQ(matcher.unmatched(elements[0]), "");
    EXPECT_EQ(matcher.unmatched(elements[1]), Xml_text_certificate_reference);
}

// A signature with the given unsigned signature properties (a signature of nothing: only what is
// read before any cryptography is looked at).
std::vector<Timestamp_info> long_term_timestamps(const std::string& unsigned_properties, Validation_data* data)
{
    const std::string text =
        std::string("<a xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"><b>1</b><ds:Signature><ds:SignedInfo>"
                    "<ds:Reference URI=\"\"/></ds:SignedInfo><ds:SignatureValue>AAAA</ds:SignatureValue><ds:Object>"
                    "<xades:QualifyingProperties xmlns:xades=\"") +
        Xades_uri + "\" xmlns:v141=\"" + Xades141_ns +
        "\"><xades:UnsignedProperties><xades:UnsignedSignatureProperties>" + unsigned_properties +
        "</xades:UnsignedSignatureProperties></xades:UnsignedProperties></xades:QualifyingProperties></ds:Object>"
        "</ds:Signature></a>";
    Xml_signature reading;
    reading.parse({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
    EXPECT_TRUE(reading.parsed()) << reading.failure_text();
    if (!reading.parsed())
        return {};
    reading.extract_original_document();
    reading.read_signatures();
    reading.select_signature(0);
    *data = reading.validation_data();
    return reading.signer_long_term_timestamps();
}

TEST(Xml_long_term, time_stamps_over_long_term_data_are_listed_with_what_they_cover_and_bounded)
{
    const std::string token = "<xades:EncapsulatedTimeStamp>AAAA</xades:EncapsulatedTimeStamp>";
    const std::string signature_stamp = "<xades:SignatureTimeStamp>" + token + "</xades:SignatureTimeStamp>";
    const std::string archive = "<v141:ArchiveTimeStamp>" + token + "</v141:ArchiveTimeStamp>";
    Validation_data data;
    const std::vector<Timestamp_info> stamps = long_term_timestamps(
        signature_stamp + "<xades:RefsOnlyTimeStamp>" + token + "</xades:RefsOnlyTimeStamp>" + archive +
            "<xades:SigAndRefsTimeStamp>" + token + "</xades:SigAndRefsTimeStamp>" + signature_stamp + archive +
            "<xades:CertificateValues>" + encapsulated(der_item(1)) + "</xades:CertificateValues>",
        &data);
    ASSERT_EQ(stamps.size(), 4u);
    EXPECT_EQ(stamps[0].scope, Timestamp_scope::References);
    EXPECT_TRUE(stamps[0].covered_timestamps.empty());
    // Counted among the signer's own: its two signature time stamps first (0, 1), then these (2..5).
    EXPECT_EQ(stamps[1].scope, Timestamp_scope::Archive);
    EXPECT_EQ(stamps[1].covered_timestamps, (std::vector<size_t>{0, 2}));
    EXPECT_EQ(stamps[2].covered_timestamps, (std::vector<size_t>{0, 1}));
    EXPECT_EQ(stamps[3].covered_timestamps, (std::vector<size_t>{0, 1, 2, 3, 4}));
    // A signature that does not match gives nothing an archive time stamp could be checked over.
    for (const Timestamp_info& stamp : stamps)
        EXPECT_FALSE(stamp.verified());
    EXPECT_EQ(data.certificates, std::vector<std::vector<uint8_t>>{der_item(1)});

    // Thousands of archive time stamps: a bounded number is read.
    std::string many;
    for (int n = 0; n < 5000; ++n)
        many += archive;
    EXPECT_LE(long_term_timestamps(many, &data).size(), 64u);
}

} // namespace
} // namespace velin
