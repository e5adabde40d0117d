// Qualified electronic signatures: each QcStatement and list qualifier, criteria that select the
// certificate and criteria that do not, and services whose qualification changed over time, on
// certificates made in the test.
#include "trust/qualification.h"

#include "pki.h"
#include "qualified_certificate.h"

#include <gtest/gtest.h>

namespace velin {
namespace {

using test::at;

using test::Certificate_spec;
using test::make_certificate;

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
        // The QCP / QCP+ policies of old count for certificates issued before 1 July 2016 only.
        {"QCP+ policy of old",
         {.statements = "", .issued = "2014-03-01T00:00:00Z", .policies = "0.4.0.1456.1.1"},
         period("2016-07-01T00:00:00Z"),
         {accredited},
         "2025-01-01T00:00:00Z",
         none},
        {"QCP policy of old, no device",
         {.statements = "", .issued = "2014-03-01T00:00:00Z", .policies = "0.4.0.1456.1.2"},
         period("2016-07-01T00:00:00Z"),
         {accredited},
         "2025-01-01T00:00:00Z",
         Qualification_text_no_device},
        {"QCP+ policy after July 2016",
         {.statements = "", .policies = "0.4.0.1456.1.1"},
         period("2016-07-01T00:00:00Z"),
         {},
         "2025-01-01T00:00:00Z",
         Qualification_text_not_qualified},
        {"QCP+ policy after July 2016 gives no device",
         {.statements = "Ce", .policies = "0.4.0.1456.1.1"},
         period("2016-07-01T00:00:00Z"),
         {},
         "2025-01-01T00:00:00Z",
         Qualification_text_no_device},
        {"QCP+ policy of old, the list's StatusAsInCert",
         {.statements = "", .issued = "2014-03-01T00:00:00Z", .policies = "0.4.0.1456.1.1"},
         period("2016-07-01T00:00:00Z", {element({"QCQSCDStatusAsInCert"}, non_repudiation())}),
         {period("2010-01-01T00:00:00Z", {element({"QCSSCDStatusAsInCert"}, non_repudiation())}, {},
                 tsl_uri::Status_accredited)},
         "2025-01-01T00:00:00Z",
         none},
        // A certificate of before July 2016 that says nothing of itself is qualified only when the
        // list says so.
        {"no statements before July 2016",
         {.statements = "", .issued = "2014-03-01T00:00:00Z"},
         period("2016-07-01T00:00:00Z"),
         {accredited},
         "2025-01-01T00:00:00Z",
         Qualification_text_not_qualified},
        {"no statements before July 2016, qualified by the list",
         {.statements = "", .issued = "2014-03-01T00:00:00Z"},
         period("2016-07-01T00:00:00Z", {element({"QCStatement", "QCWithQSCD"}, non_repudiation())}),
         {period("2010-01-01T00:00:00Z", {element({"QCStatement", "QCWithSSCD"}, non_repudiation())}, {},
                 tsl_uri::Status_accredited)},
         "2025-01-01T00:00:00Z",
         none},
        {"legacy certificate the list declares not qualified",
         {.statements = "", .issued = "2014-03-01T00:00:00Z"},
         period("2016-07-01T00:00:00Z", {element({"NotQualified"}, non_repudiation())}),
         {accredited},
         "2025-01-01T00:00:00Z",
         Qualification_text_declared_not_qualified},
        {"legacy certificate without device for the list",
         {.statements = "", .issued = "2014-03-01T00:00:00Z", .policies = "0.4.0.1456.1.1"},
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
        // Issued to a legal person by the certificate's own say.
        {"legal person's policy",
         {.statements = "CSe", .policies = "0.4.0.194112.1.3"},
         period("2016-07-01T00:00:00Z"),
         {},
         "2025-01-01T00:00:00Z",
         Qualification_text_legal_person},
        {"organisation identifier without a natural person",
         {.statements = "CSe", .subject = {"organizationIdentifier"}},
         period("2016-07-01T00:00:00Z"),
         {},
         "2025-01-01T00:00:00Z",
         Qualification_text_legal_person},
        {"organisation identifier beside a natural person",
         {.statements = "CSe", .subject = {"organizationIdentifier", "GN", "SN"}},
         period("2016-07-01T00:00:00Z"),
         {},
         "2025-01-01T00:00:00Z",
         none},
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

// Every service of the lists that names the authority judges the certificate; only those in force
// for electronic signatures at each time count, and they must agree.
TEST(Qualification, every_service_of_the_authority_judges_and_they_must_agree)
{
    const Trust_service plain{"P", "CA firme", {}, period("2016-07-01T00:00:00Z"), {}, {}};
    const Trust_service also_device{"P", "CA firme su dispositivo",
                                    {},  period("2016-07-01T00:00:00Z", {element({"QCWithQSCD"}, non_repudiation())}),
                                    {},  {}};
    const Trust_service no_device{
        "P", "CA firme remote", {}, period("2016-07-01T00:00:00Z", {element({"QCNoQSCD"}, non_repudiation())}), {}, {}};
    const Trust_service seals_not_qualified{
        "P", "CA sigilli",
        {},  period("2016-07-01T00:00:00Z", {element({"NotQualified"}, non_repudiation())}, {tsl_uri::For_seals}),
        {},  {}};
    const Trust_service withdrawn{
        "P", "CA ritirata", {}, period("2016-07-01T00:00:00Z", {}, {}, tsl_uri::Status_withdrawn), {}, {}};
    const Trust_service seals{"P", "CA solo sigilli", {}, period("2016-07-01T00:00:00Z", {}, {tsl_uri::For_seals}), {},
                              {}};
    const Certificate signer = make_certificate({"CSe"});
    const std::time_t judged = at("2025-01-01T00:00:00Z");
    const auto verdict = [&](std::vector<const Trust_service*> services) {
        return qualify_for_signature(signer, services, judged);
    };

    EXPECT_TRUE(verdict({&plain, &also_device}).legal_value);
    // A service for seals or one no longer granted has no say on a signature certificate.
    EXPECT_TRUE(verdict({&seals_not_qualified, &plain}).legal_value);
    EXPECT_TRUE(verdict({&withdrawn, &plain}).legal_value);
    // Neither in force: the first one's reason.
    const Signature_qualification none = verdict({&withdrawn, &seals});
    EXPECT_FALSE(none.legal_value);
    EXPECT_TRUE(none.lines.at(1).ends_with(Qualification_text_service)) << none.lines.at(1);

    // Whichever comes first, two services that disagree leave no legal value, and the line says
    // what each one said.
    for (const auto& services : {std::vector<const Trust_service*>{&plain, &no_device},
                                 std::vector<const Trust_service*>{&no_device, &plain}}) {
        const Signature_qualification disagreeing = verdict(services);
        EXPECT_FALSE(disagreeing.legal_value);
        ASSERT_EQ(disagreeing.lines.size(), 2u);
        for (const std::string& line : disagreeing.lines) {
            EXPECT_NE(line.find(Qualification_text_services_disagree), std::string::npos) << line;
            // Each service's own text, without its full stop, and one at the end of the line.
            const std::string qualified = Qualification_text_qualified, no_device = Qualification_text_no_device;
            EXPECT_NE(line.find("«CA firme»: " + qualified.substr(0, qualified.size() - 1)), std::string::npos) << line;
            EXPECT_NE(line.find("«CA firme remote»: " + no_device.substr(0, no_device.size() - 1)), std::string::npos)
                << line;
            EXPECT_TRUE(line.ends_with(").")) << line;
        }
    }
    // Both refuse, for different reasons: no legal value, and no disagreement to speak of.
    const Trust_service not_qualified{
        "P", "CA non qualificata",
        {},  period("2016-07-01T00:00:00Z", {element({"NotQualified"}, non_repudiation())}),
        {},  {}};
    const Signature_qualification refusing = verdict({&no_device, &not_qualified});
    EXPECT_FALSE(refusing.legal_value);
    EXPECT_TRUE(refusing.lines.at(1).ends_with(Qualification_text_no_device)) << refusing.lines.at(1);
    EXPECT_FALSE(qualify_for_signature(signer, std::vector<const Trust_service*>{}, judged).legal_value);
}

// Under a root of the national list: a certificate without qcStatements keeps the legal value the
// national rules gave it; one with them is judged by them.
TEST(Qualification, statements_decide_under_the_national_list)
{
    const char* none = "";
    const struct {
        const char* name;
        Certificate_spec certificate;
        const char* why_not; // "" for legal value
    } cases[] = {
        {"no statements", {}, none},
        {"no statements, legal person's subject", {.subject = {"organizationIdentifier"}}, none},
        {"esign on device", {"CSe"}, none},
        {"no QcType", {"CS"}, none},
        {"natural person of an organisation", {.statements = "CSe", .subject = {"organizationIdentifier", "SN"}}, none},
        {"seal", {"CSs"}, Qualification_text_seal},
        {"seal without device", {"Cs"}, Qualification_text_seal},
        {"web", {"Cw"}, Qualification_text_web},
        {"no device", {"Ce"}, Qualification_text_no_device},
        {"not qualified", {"Se"}, Qualification_text_not_qualified},
        {"unreadable", {"!"}, Qualification_text_statements},
        {"legal person's policy",
         {.statements = "CSe", .policies = "0.4.0.194112.1.1"},
         Qualification_text_legal_person},
        {"legal person's subject",
         {.statements = "CSe", .subject = {"organizationIdentifier"}},
         Qualification_text_legal_person},
        {"QCP+ policy of old beside a QcType",
         {.statements = "e", .issued = "2014-03-01T00:00:00Z", .policies = "0.4.0.1456.1.1"},
         none},
        {"QCP+ policy after July 2016 beside a QcType",
         {.statements = "e", .policies = "0.4.0.1456.1.1"},
         Qualification_text_not_qualified},
    };
    for (const auto& tried : cases) {
        const Signature_qualification verdict = qualify_by_statements(make_certificate(tried.certificate));
        EXPECT_EQ(verdict.legal_value, *tried.why_not == '\0') << tried.name;
        if (tried.certificate.statements.empty()) {
            EXPECT_TRUE(verdict.lines.empty()) << tried.name;
            continue;
        }
        ASSERT_EQ(verdict.lines.size(), 1u) << tried.name;
        EXPECT_EQ(verdict.lines[0], std::string(Qualification_text_by_certificate) + ": " +
                                        (*tried.why_not ? tried.why_not : Qualification_text_qualified))
            << tried.name;
    }
}

} // namespace
} // namespace velin
