// Qualified electronic signatures: each QcStatement and list qualifier, criteria that select the
// certificate and criteria that do not, and services whose qualification changed over time, on
// certificates made in the test.
#include "trust/qualification.h"

#include "common/owner.h"
#include "pki.h"

#include <gtest/gtest.h>
#include <openssl/conf.h>
#include <openssl/evp.h>
#include <openssl/x509v3.h>

#include <stdexcept>

namespace velin {
namespace {

using test::at;

std::string tlv(uint8_t tag, const std::string& content)
{
    return std::string(1, static_cast<char>(tag)) + static_cast<char>(content.size()) + content;
}

// qcStatements from letters: C QcCompliance, S QcSSCD, e/s/w QcType esign/eseal/web; "!" bytes that
// are no statements.
std::string qc_statements(const std::string& letters)
{
    const std::string etsi("\x04\x00\x8e\x46\x01", 5); // 0.4.0.1862.1
    if (letters == "!")
        return tlv(0x30, tlv(0x02, "\x01"));
    std::string statements, types;
    for (char letter : letters) {
        if (letter == 'C' || letter == 'S')
            statements += tlv(0x30, tlv(0x06, etsi + (letter == 'C' ? '\x01' : '\x04')));
        else
            types += tlv(0x06, etsi + '\x06' + (letter == 'e' ? '\x01' : letter == 's' ? '\x02' : '\x03'));
    }
    if (!types.empty())
        statements += tlv(0x30, tlv(0x06, etsi + '\x06') + tlv(0x30, types));
    return tlv(0x30, statements);
}

struct Certificate_spec {
    std::string statements; // letters of qc_statements; empty: no extension
    const char* issued = "2018-01-01T00:00:00Z";
    const char* key_usage = "critical,nonRepudiation";
    const char* policies = nullptr;
    const char* extended_usage = nullptr;
    bool serial_number = false; // the subject carries a serialNumber attribute
};

Certificate make_certificate(const Certificate_spec& spec)
{
    Owner<EVP_PKEY> key(EVP_EC_gen("P-256"));
    Owner<X509> x(X509_new());
    X509_set_version(x.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x.get()), 5);
    X509_NAME* name = X509_get_subject_name(x.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Firmatario"), -1, -1,
                               0);
    if (spec.serial_number)
        X509_NAME_add_entry_by_txt(name, "serialNumber", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>("TINIT-X"), -1, -1, 0);
    X509_set_issuer_name(x.get(), name);
    ASN1_TIME_set(X509_getm_notBefore(x.get()), at(spec.issued));
    ASN1_TIME_set(X509_getm_notAfter(x.get()), at("2049-01-01T00:00:00Z"));
    X509_set_pubkey(x.get(), key.get());
    const std::pair<int, const char*> extensions[] = {
        {NID_key_usage, spec.key_usage},
        {NID_certificate_policies, spec.policies},
        {NID_ext_key_usage, spec.extended_usage},
    };
    // certificatePolicies is read through a configuration database, even an empty one.
    const std::unique_ptr<CONF, decltype(&NCONF_free)> database(NCONF_new(nullptr), NCONF_free);
    X509V3_CTX context;
    X509V3_set_ctx(&context, x.get(), x.get(), nullptr, nullptr, 0);
    X509V3_set_nconf(&context, database.get());
    for (const auto& [nid, value] : extensions)
        if (value) {
            X509_EXTENSION* extension = X509V3_EXT_nconf_nid(database.get(), &context, nid, value);
            if (!extension)
                throw std::runtime_error(std::string("cannot make a test extension: ") + value);
            X509_add_ext(x.get(), extension, -1);
            X509_EXTENSION_free(extension);
        }
    if (!spec.statements.empty()) {
        const std::string der = qc_statements(spec.statements);
        Owner<ASN1_OCTET_STRING> data(ASN1_OCTET_STRING_new());
        ASN1_OCTET_STRING_set(data.get(), reinterpret_cast<const unsigned char*>(der.data()),
                              static_cast<int>(der.size()));
        X509_EXTENSION* extension = X509_EXTENSION_create_by_NID(nullptr, NID_qcStatements, 0, data.get());
        X509_add_ext(x.get(), extension, -1);
        X509_EXTENSION_free(extension);
    }
    if (X509_sign(x.get(), key.get(), EVP_sha256()) <= 0)
        throw std::runtime_error("cannot sign a test certificate");
    unsigned char* der = nullptr;
    const int length = i2d_X509(x.get(), &der);
    const std::vector<uint8_t> bytes(der, der + length);
    OPENSSL_free(der);
    return Certificate(std::span<const uint8_t>(bytes));
}

const std::string Ext = "http://uri.etsi.org/TrstSvc/TrustedList/SvcInfoExt/";
using Assertion = Qualification_criteria::Assertion;

Qualification_element element(std::vector<std::string> names, Qualification_criteria criteria = {})
{
    for (std::string& name : names)
        name = Ext + name;
    return {std::move(names), std::move(criteria)};
}

Qualification_criteria non_repudiation(bool value = true)
{
    return {Assertion::All, {{{"nonRepudiation", value}}}, {}, {}, {}, {}};
}

Service_period period(const char* start, std::vector<Qualification_element> qualifications = {},
                      std::vector<std::string> information = {tsl_uri::For_signatures},
                      const char* status = tsl_uri::Status_granted)
{
    return {tsl_uri::Service_ca_qc, status, at(start), std::move(information), std::move(qualifications)};
}

TEST(Qualification, legal_value_only_for_a_qualified_signature_certificate_on_a_qualified_device)
{
    const char* none = "";
    const std::vector<std::string> seals{tsl_uri::For_seals};
    // Granted since 2016 by a list whose earlier status was the national accreditation.
    const Service_period accredited = period("2010-01-01T00:00:00Z", {}, {}, tsl_uri::Status_accredited);
    Qualification_criteria policy{Assertion::All, {}, {{"1.3.76.99.1"}}, {}, {}, {}};
    Qualification_criteria subject_or_email{Assertion::At_least_one, {}, {}, {{"2.5.4.5"}},
                                            {{"1.3.6.1.5.5.7.3.4"}}, {}};
    Qualification_criteria not_an_authority{Assertion::None, {{{"keyCertSign", true}}}, {}, {}, {}, {}};
    Qualification_criteria nested{Assertion::All, {}, {}, {}, {}, {not_an_authority, non_repudiation()}};
    Qualification_criteria unknown{Assertion::Unknown, {}, {}, {}, {}, {}};

    const struct {
        const char* name;
        Certificate_spec certificate;
        Service_period current;
        std::vector<Service_period> history;
        const char* judged_at;
        const char* why_not; // "" for legal value
    } cases[] = {
        // What the certificate says, under a service that adds nothing.
        {"esign on device", {"CSe"}, period("2016-07-01T00:00:00Z"), {}, "2025-01-01T00:00:00Z", none},
        {"no QcType means esign", {"CS"}, period("2016-07-01T00:00:00Z"), {}, "2025-01-01T00:00:00Z", none},
        {"no device", {"Ce"}, period("2016-07-01T00:00:00Z"), {}, "2025-01-01T00:00:00Z", Qualification_text_no_device},
        {"seal", {"CSs"}, period("2016-07-01T00:00:00Z"), {}, "2025-01-01T00:00:00Z", Qualification_text_seal},
        {"web", {"Cw"}, period("2016-07-01T00:00:00Z"), {}, "2025-01-01T00:00:00Z", Qualification_text_web},
        {"two types",
         {"CSes"},
         period("2016-07-01T00:00:00Z"),
         {},
         "2025-01-01T00:00:00Z",
         Qualification_text_unknown_use},
        {"device without compliance",
         {"Se"},
         period("2016-07-01T00:00:00Z"),
         {},
         "2025-01-01T00:00:00Z",
         Qualification_text_not_qualified},
        {"no statements after 2016",
         {},
         period("2016-07-01T00:00:00Z"),
         {},
         "2025-01-01T00:00:00Z",
         Qualification_text_not_qualified},
        {"unreadable statements",
         {"!"},
         period("2016-07-01T00:00:00Z"),
         {},
         "2025-01-01T00:00:00Z",
         Qualification_text_statements},
        {"QCP+ policy of old",
         {.statements = "", .policies = "0.4.0.1456.1.1"},
         period("2016-07-01T00:00:00Z"),
         {},
         "2025-01-01T00:00:00Z",
         none},
        // A certificate of an accredited certifier of before July 2016 without QcStatements.
        {"legacy certificate",
         {.statements = "", .issued = "2014-03-01T00:00:00Z"},
         period("2016-07-01T00:00:00Z"),
         {accredited},
         "2025-01-01T00:00:00Z",
         none},
        {"legacy certificate the list declares not qualified",
         {.statements = "", .issued = "2014-03-01T00:00:00Z"},
         period("2016-07-01T00:00:00Z", {element({"NotQualified"}, non_repudiation())}),
         {accredited},
         "2025-01-01T00:00:00Z",
         Qualification_text_declared_not_qualified},
        {"legacy certificate without device for the list",
         {.statements = "", .issued = "2014-03-01T00:00:00Z"},
         period("2016-07-01T00:00:00Z"),
         {period("2010-01-01T00:00:00Z", {element({"QCNoSSCD"}, non_repudiation())}, {}, tsl_uri::Status_accredited)},
         "2025-01-01T00:00:00Z",
         Qualification_text_no_device},
        // Each qualifier of the list, on criteria that select the certificate.
        {"QCStatement",
         {},
         period("2016-07-01T00:00:00Z", {element({"QCStatement", "QCWithQSCD"}, non_repudiation())}),
         {},
         "2025-01-01T00:00:00Z",
         none},
        {"NotQualified",
         {"CSe"},
         period("2016-07-01T00:00:00Z", {element({"NotQualified"}, non_repudiation())}),
         {},
         "2025-01-01T00:00:00Z",
         Qualification_text_declared_not_qualified},
        {"QCStatement and NotQualified",
         {"CSe"},
         period("2016-07-01T00:00:00Z",
                {element({"QCStatement"}, non_repudiation()), element({"NotQualified"}, non_repudiation())}),
         {},
         "2025-01-01T00:00:00Z",
         Qualification_text_conflict},
        {"QCNoQSCD",
         {"CSe"},
         period("2016-07-01T00:00:00Z", {element({"QCNoQSCD"}, non_repudiation())}),
         {},
         "2025-01-01T00:00:00Z",
         Qualification_text_no_device},
        {"QCWithSSCD",
         {"Ce"},
         period("2016-07-01T00:00:00Z", {element({"QCWithSSCD"}, non_repudiation())}),
         {},
         "2025-01-01T00:00:00Z",
         none},
        {"QCQSCDManagedOnBehalf",
         {"Ce"},
         period("2016-07-01T00:00:00Z", {element({"QCQSCDManagedOnBehalf"}, non_repudiation())}),
         {},
         "2025-01-01T00:00:00Z",
         none},
        {"QCQSCDStatusAsInCert without QcSSCD",
         {"Ce"},
         period("2016-07-01T00:00:00Z", {element({"QCQSCDStatusAsInCert"}, non_repudiation())}),
         {},
         "2025-01-01T00:00:00Z",
         Qualification_text_no_device},
        {"QCWithQSCD and QCNoQSCD",
         {"CSe"},
         period("2016-07-01T00:00:00Z", {element({"QCWithQSCD", "QCNoQSCD"}, non_repudiation())}),
         {},
         "2025-01-01T00:00:00Z",
         Qualification_text_conflict},
        {"QCForESeal",
         {"CSe"},
         period("2016-07-01T00:00:00Z", {element({"QCForESeal"}, non_repudiation())}),
         {},
         "2025-01-01T00:00:00Z",
         Qualification_text_seal},
        {"QCForWSA",
         {"CSe"},
         period("2016-07-01T00:00:00Z", {element({"QCForWSA"}, non_repudiation())}),
         {},
         "2025-01-01T00:00:00Z",
         Qualification_text_web},
        {"QCForESig over a seal",
         {"CSs"},
         period("2016-07-01T00:00:00Z", {element({"QCForESig"}, non_repudiation())}),
         {},
         "2025-01-01T00:00:00Z",
         none},
        {"QCForLegalPerson",
         {"CSe"},
         period("2016-07-01T00:00:00Z", {element({"QCForLegalPerson"}, non_repudiation())}),
         {},
         "2025-01-01T00:00:00Z",
         Qualification_text_legal_person},
        {"a qualifier not known",
         {"CSe"},
         period("2016-07-01T00:00:00Z", {element({"QCForFuture"}, non_repudiation())}),
         {},
         "2025-01-01T00:00:00Z",
         Qualification_text_criteria},
        {"a service for seals only",
         {"CSe"},
         period("2016-07-01T00:00:00Z", {}, seals),
         {},
         "2025-01-01T00:00:00Z",
         Qualification_text_service_use},
        // Criteria that do not select the certificate leave it as it says.
        {"key usage not matching",
         {"CSe"},
         period("2016-07-01T00:00:00Z", {element({"QCNoQSCD"}, non_repudiation(false))}),
         {},
         "2025-01-01T00:00:00Z",
         none},
        {"policy matching",
         {.statements = "CSe", .policies = "1.3.76.99.1"},
         period("2016-07-01T00:00:00Z", {element({"NotQualified"}, policy)}),
         {},
         "2025-01-01T00:00:00Z",
         Qualification_text_declared_not_qualified},
        {"policy not matching",
         {.statements = "CSe", .policies = "1.3.76.99.2"},
         period("2016-07-01T00:00:00Z", {element({"NotQualified"}, policy)}),
         {},
         "2025-01-01T00:00:00Z",
         none},
        {"subject attribute matching",
         {.statements = "CSe", .serial_number = true},
         period("2016-07-01T00:00:00Z", {element({"QCForESeal"}, subject_or_email)}),
         {},
         "2025-01-01T00:00:00Z",
         Qualification_text_seal},
        {"extended key usage matching",
         {.statements = "CSe", .extended_usage = "emailProtection"},
         period("2016-07-01T00:00:00Z", {element({"QCForESeal"}, subject_or_email)}),
         {},
         "2025-01-01T00:00:00Z",
         Qualification_text_seal},
        {"neither matching",
         {"CSe"},
         period("2016-07-01T00:00:00Z", {element({"QCForESeal"}, subject_or_email)}),
         {},
         "2025-01-01T00:00:00Z",
         none},
        {"nested lists and none",
         {"Ce"},
         period("2016-07-01T00:00:00Z", {element({"QCWithQSCD"}, nested)}),
         {},
         "2025-01-01T00:00:00Z",
         none},
        {"nested lists not matching an authority",
         {.statements = "Ce", .key_usage = "critical,nonRepudiation,keyCertSign"},
         period("2016-07-01T00:00:00Z", {element({"QCWithQSCD"}, nested)}),
         {},
         "2025-01-01T00:00:00Z",
         Qualification_text_no_device},
        {"criteria that cannot be evaluated",
         {"CSe"},
         period("2016-07-01T00:00:00Z", {element({"QCWithQSCD"}, unknown)}),
         {},
         "2025-01-01T00:00:00Z",
         Qualification_text_criteria},
        // A service whose qualification changed: judged at the issuance and at the time that counts.
        {"device until 2020, judged in 2019",
         {"Ce"},
         period("2020-01-01T00:00:00Z", {element({"QCNoQSCD"}, non_repudiation())}),
         {period("2016-07-01T00:00:00Z", {element({"QCWithQSCD"}, non_repudiation())})},
         "2019-01-01T00:00:00Z",
         none},
        {"device until 2020, judged in 2025",
         {"Ce"},
         period("2020-01-01T00:00:00Z", {element({"QCNoQSCD"}, non_repudiation())}),
         {period("2016-07-01T00:00:00Z", {element({"QCWithQSCD"}, non_repudiation())})},
         "2025-01-01T00:00:00Z",
         Qualification_text_no_device},
        {"device only since 2020, issued before",
         {"Ce"},
         period("2020-01-01T00:00:00Z", {element({"QCWithQSCD"}, non_repudiation())}),
         {period("2016-07-01T00:00:00Z")},
         "2025-01-01T00:00:00Z",
         Qualification_text_no_device},
        {"withdrawn at the time that counts",
         {"CSe"},
         period("2020-01-01T00:00:00Z", {}, {}, tsl_uri::Status_withdrawn),
         {period("2016-07-01T00:00:00Z")},
         "2025-01-01T00:00:00Z",
         Qualification_text_service},
        {"issued before the service was listed",
         {.statements = "CSe", .issued = "2005-01-01T00:00:00Z"},
         period("2016-07-01T00:00:00Z"),
         {accredited},
         "2025-01-01T00:00:00Z",
         Qualification_text_not_listed},
    };
    for (const auto& tried : cases) {
        const Certificate certificate = make_certificate(tried.certificate);
        const Trust_service service{"P", "CA", {}, tried.current, tried.history, {}};
        const Signature_qualification verdict = qualify_for_signature(certificate, service, at(tried.judged_at));
        EXPECT_EQ(verdict.legal_value, *tried.why_not == '\0') << tried.name;
        ASSERT_EQ(verdict.lines.size(), 2u) << tried.name;
        if (*tried.why_not) {
            EXPECT_TRUE(verdict.lines[0].ends_with(tried.why_not) || verdict.lines[1].ends_with(tried.why_not))
                << tried.name << ": " << verdict.lines[0] << " / " << verdict.lines[1];
        }
    }
}

} // namespace
} // namespace velin
