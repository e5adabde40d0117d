#include "trust/qualification.h"

#include "common/openssl_encoding.h"
#include "trust/key_usage.h"

#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <set>
#include <string_view>

namespace velin {

namespace {

using Sequence = Owner<ASN1_SEQUENCE_ANY>;

constexpr std::string_view Qc_compliance = "0.4.0.1862.1.1";
constexpr std::string_view Qc_sscd = "0.4.0.1862.1.4";
constexpr std::string_view Qc_type = "0.4.0.1862.1.6";
constexpr std::string_view Qc_type_esign = "0.4.0.1862.1.6.1";
constexpr std::string_view Qc_type_eseal = "0.4.0.1862.1.6.2";
constexpr std::string_view Qc_type_web = "0.4.0.1862.1.6.3";
// Qualified certificate policies of before the QcStatements (ETSI TS 101 456): QCP public with a
// secure device, and without.
constexpr std::string_view Policy_qcp_sscd = "0.4.0.1456.1.1";
constexpr std::string_view Policy_qcp = "0.4.0.1456.1.2";
// Policies of qualified certificates for legal persons (EN 319 411-2 QCP-l, QCP-l-qscd).
constexpr std::string_view Policy_qcp_legal = "0.4.0.194112.1.1";
constexpr std::string_view Policy_qcp_legal_qscd = "0.4.0.194112.1.3";
constexpr std::string_view Organization_identifier = "2.5.4.97";
// givenName, surname, pseudonym: a subject with any of them names a natural person.
constexpr std::string_view Natural_person_attributes[] = {"2.5.4.42", "2.5.4.4", "2.5.4.65"};

constexpr std::string_view Qualifier_prefixes[] = {
    "http://uri.etsi.org/TrstSvc/TrustedList/SvcInfoExt/",
    "http://uri.etsi.org/TrstSvc/eSigDir-1999-93-EC-TrustedList/SvcInfoExt/",
};

// A DER SEQUENCE OF ANY that fills the bytes exactly; null otherwise.
Sequence decode_sequence(const unsigned char* data, int size)
{
    if (!data || size <= 0)
        return nullptr;
    const unsigned char* at = data;
    Sequence sequence(d2i_ASN1_SEQUENCE_ANY(nullptr, &at, size));
    return sequence && at == data + size ? std::move(sequence) : nullptr;
}

Sequence decode_sequence(const ASN1_TYPE* type)
{
    if (!type || type->type != V_ASN1_SEQUENCE)
        return nullptr;
    return decode_sequence(type->value.sequence->data, type->value.sequence->length);
}

std::string object_of(const ASN1_TYPE* type)
{
    return type && type->type == V_ASN1_OBJECT ? oid_text(type->value.object) : std::string();
}

// What the certificate holds that the criteria of a list look at.
struct Certificate_facts {
    std::optional<std::array<uint8_t, 2>> key_usage; // null: the extension does not decode
    bool readable = true; // policies and extended key usages decode
    std::set<std::string> policies;
    std::set<std::string> extended_key_usages;
    std::set<std::string> subject_attributes;
    std::time_t issued = 0;
};

Certificate_facts facts_of(const Certificate& certificate)
{
    Certificate_facts facts;
    X509* x = certificate.checked_handle();
    const Key_usage usage(certificate);
    if (usage.succeeded())
        facts.key_usage = usage.value();
    else if (X509_get_ext_by_NID(x, NID_key_usage, -1) < 0)
        facts.key_usage = std::array<uint8_t, 2>{}; // no extension: no bit asserted
    int critical = 0;
    Owner<CERTIFICATEPOLICIES> policies(
        static_cast<CERTIFICATEPOLICIES*>(X509_get_ext_d2i(x, NID_certificate_policies, &critical, nullptr)));
    facts.readable = policies || critical == -1;
    for (int i = 0; policies && i < sk_POLICYINFO_num(policies.get()); ++i)
        facts.policies.insert(oid_text(sk_POLICYINFO_value(policies.get(), i)->policyid));
    Owner<EXTENDED_KEY_USAGE> usages(
        static_cast<EXTENDED_KEY_USAGE*>(X509_get_ext_d2i(x, NID_ext_key_usage, &critical, nullptr)));
    facts.readable = facts.readable && (usages || critical == -1);
    for (int i = 0; usages && i < sk_ASN1_OBJECT_num(usages.get()); ++i)
        facts.extended_key_usages.insert(oid_text(sk_ASN1_OBJECT_value(usages.get(), i)));
    const X509_NAME* subject = X509_get_subject_name(x);
    for (int i = 0; i < X509_NAME_entry_count(subject); ++i)
        facts.subject_attributes.insert(oid_text(X509_NAME_ENTRY_get_object(X509_NAME_get_entry(subject, i))));
    if (const std::optional<std::time_t> issued = seconds_of(X509_get0_notBefore(x)))
        facts.issued = *issued;
    return facts;
}

enum class Match { Yes, No, Unknown };

bool key_usage_bit(const std::array<uint8_t, 2>& bits, const std::string& name)
{
    static constexpr std::string_view names[] = {"digitalSignature", "nonRepudiation", "keyEncipherment",
                                                 "dataEncipherment", "keyAgreement",   "keyCertSign",
                                                 "crlSign",          "encipherOnly",   "decipherOnly"};
    for (size_t i = 0; i < std::size(names); ++i)
        if (name == names[i])
            return (bits[i / 8] & (0x80 >> (i % 8))) != 0;
    return false;
}

bool holds_all(const std::set<std::string>& held, const std::vector<std::string>& wanted)
{
    return std::all_of(wanted.begin(), wanted.end(), [&](const std::string& oid) { return held.count(oid) != 0; });
}

Match matches(const Qualification_criteria& criteria, const Certificate_facts& facts)
{
    using Assertion = Qualification_criteria::Assertion;
    if (criteria.assertion == Assertion::Unknown)
        return Match::Unknown;
    std::vector<Match> results;
    for (const auto& bits : criteria.key_usages) {
        if (!facts.key_usage) {
            results.push_back(Match::Unknown);
            continue;
        }
        const bool all = std::all_of(bits.begin(), bits.end(), [&](const auto& bit) {
            return key_usage_bit(*facts.key_usage, bit.first) == bit.second;
        });
        results.push_back(all ? Match::Yes : Match::No);
    }
    const auto sets = [&](const std::vector<std::vector<std::string>>& wanted, const std::set<std::string>& held) {
        for (const std::vector<std::string>& set : wanted)
            results.push_back(!facts.readable ? Match::Unknown : holds_all(held, set) ? Match::Yes : Match::No);
    };
    sets(criteria.policy_sets, facts.policies);
    sets(criteria.subject_attributes, facts.subject_attributes);
    sets(criteria.extended_key_usages, facts.extended_key_usages);
    for (const Qualification_criteria& nested : criteria.nested)
        results.push_back(matches(nested, facts));

    const auto count = [&](Match wanted) { return std::count(results.begin(), results.end(), wanted); };
    switch (criteria.assertion) {
    case Assertion::All:
        return count(Match::Unknown) ? Match::Unknown : count(Match::No) ? Match::No : Match::Yes;
    case Assertion::At_least_one:
        return count(Match::Yes) ? Match::Yes : count(Match::Unknown) ? Match::Unknown : Match::No;
    case Assertion::None:
        return count(Match::Yes) ? Match::No : count(Match::Unknown) ? Match::Unknown : Match::Yes;
    case Assertion::Unknown:
        break;
    }
    return Match::Unknown;
}

// "QCWithQSCD" from ".../SvcInfoExt/QCWithQSCD"; empty for a qualifier of another scheme.
std::string qualifier_name(const std::string& uri)
{
    for (std::string_view prefix : Qualifier_prefixes)
        if (std::string_view(uri).starts_with(prefix))
            return uri.substr(prefix.size());
    return {};
}

bool has(const std::vector<std::string>& values, std::string_view value)
{
    return std::find(values.begin(), values.end(), value) != values.end();
}

// A yes/no said by two opposite sets of qualifiers; conflicting when both are said.
struct Override {
    bool yes = false;
    bool no = false;
    bool conflicting() const { return yes && no; }
};

Qualification refused(Qualification qualification, const char* why)
{
    qualification.why_not = why;
    return qualification;
}

bool holds(const std::set<std::string>& held, std::string_view value)
{
    return held.count(std::string(value)) != 0;
}

// Issued to a legal person by its own say: a policy for legal persons, or an organisation
// identifier in a subject that names no natural person.
bool names_a_legal_person(const Certificate_facts& facts)
{
    if (holds(facts.policies, Policy_qcp_legal) || holds(facts.policies, Policy_qcp_legal_qscd))
        return true;
    return holds(facts.subject_attributes, Organization_identifier) &&
           !std::any_of(std::begin(Natural_person_attributes), std::end(Natural_person_attributes),
                        [&](std::string_view oid) { return holds(facts.subject_attributes, oid); });
}

// What the certificate and the qualifiers of the list that select it make of it. The list's
// qualifiers come first; the certificate speaks where they are silent: QcCompliance (or, for a
// certificate issued before 1 July 2016 only, a QCP / QCP+ policy) makes it qualified, QcSSCD (or
// QCP+ then) puts its key on a qualified device, QcType names its use.
Qualification judge(const Qc_statements& statements, const Certificate_facts& facts,
                    const std::vector<std::string>& qualifiers, const std::vector<std::string>& information)
{
    Qualification result;
    const bool before_regulation = facts.issued < Qualified_status_change;
    const bool policy_qcp_sscd = before_regulation && holds(facts.policies, Policy_qcp_sscd);
    const bool policy_qcp = before_regulation && holds(facts.policies, Policy_qcp);

    // Qualified: the list's QCStatement / NotQualified, else the certificate's own statement.
    const Override qualified{has(qualifiers, "QCStatement"), has(qualifiers, "NotQualified")};
    if (qualified.conflicting())
        return refused(result, Qualification_text_conflict);
    if (qualified.no)
        return refused(result, Qualification_text_declared_not_qualified);
    result.qualified = qualified.yes || statements.compliance || policy_qcp_sscd || policy_qcp;
    if (!result.qualified)
        return refused(result, Qualification_text_not_qualified);

    // The use: the list's QCForESig / QCForESeal / QCForWSA, else the certificate's QcType (none
    // given: electronic signatures).
    std::set<Qualified_use> uses;
    if (has(qualifiers, "QCForESig"))
        uses.insert(Qualified_use::Signature);
    if (has(qualifiers, "QCForESeal"))
        uses.insert(Qualified_use::Seal);
    if (has(qualifiers, "QCForWSA"))
        uses.insert(Qualified_use::Web_site);
    if (uses.empty())
        uses.insert(statements.types.begin(), statements.types.end());
    if (uses.empty())
        uses.insert(Qualified_use::Signature);
    result.use = uses.size() == 1 ? *uses.begin() : Qualified_use::Unknown;
    if (result.use == Qualified_use::Seal)
        return refused(result, Qualification_text_seal);
    if (result.use == Qualified_use::Web_site)
        return refused(result, Qualification_text_web);
    if (result.use != Qualified_use::Signature)
        return refused(result, Qualification_text_unknown_use);
    // A service that names what it is for must name electronic signatures.
    const bool names_uses = has(information, tsl_uri::For_signatures) || has(information, tsl_uri::For_seals) ||
                            has(information, tsl_uri::For_web_sites) || has(information, tsl_uri::For_web_sites_old);
    if (names_uses && !has(information, tsl_uri::For_signatures))
        return refused(result, Qualification_text_service_use);

    // The device: the list's With / No qualifiers, else (and under StatusAsInCert) the
    // certificate's QcSSCD.
    const Override device{has(qualifiers, "QCWithSSCD") || has(qualifiers, "QCWithQSCD") ||
                              has(qualifiers, "QCQSCDManagedOnBehalf"),
                          has(qualifiers, "QCNoSSCD") || has(qualifiers, "QCNoQSCD")};
    if (device.conflicting())
        return refused(result, Qualification_text_conflict);
    result.qualified_device = device.yes || (!device.no && (statements.sscd || policy_qcp_sscd));
    if (!result.qualified_device)
        return refused(result, Qualification_text_no_device);

    result.legal_person = has(qualifiers, "QCForLegalPerson") || names_a_legal_person(facts);
    if (result.legal_person)
        return refused(result, Qualification_text_legal_person);
    return result;
}

} // namespace

Qc_statements read_qc_statements(const Certificate& certificate)
{
    Qc_statements statements;
    X509* x = certificate.checked_handle();
    const int index = X509_get_ext_by_NID(x, NID_qcStatements, -1);
    if (index < 0)
        return statements;
    statements.present = true;
    const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(X509_get_ext(x, index));
    const Sequence all = data ? decode_sequence(data->data, data->length) : nullptr;
    statements.readable = all && X509_get_ext_by_NID(x, NID_qcStatements, index) < 0;
    for (int i = 0; statements.readable && i < sk_ASN1_TYPE_num(all.get()); ++i) {
        const Sequence statement = decode_sequence(sk_ASN1_TYPE_value(all.get(), i));
        const std::string id = statement ? object_of(sk_ASN1_TYPE_value(statement.get(), 0)) : std::string();
        statements.readable = !id.empty();
        if (id == Qc_compliance) {
            statements.compliance = true;
        } else if (id == Qc_sscd) {
            statements.sscd = true;
        } else if (id == Qc_type) {
            const Sequence types = decode_sequence(sk_ASN1_TYPE_value(statement.get(), 1));
            statements.readable = types && sk_ASN1_TYPE_num(types.get()) > 0;
            for (int j = 0; types && j < sk_ASN1_TYPE_num(types.get()); ++j) {
                const std::string type = object_of(sk_ASN1_TYPE_value(types.get(), j));
                statements.types.push_back(type == Qc_type_esign   ? Qualified_use::Signature
                                           : type == Qc_type_eseal ? Qualified_use::Seal
                                           : type == Qc_type_web   ? Qualified_use::Web_site
                                                                   : Qualified_use::Unknown);
            }
        }
    }
    return statements;
}

Qualification qualification_at(const Certificate& certificate, const Trust_service& service, std::time_t at)
{
    Qualification result;
    const Service_period* period = service.period_at(at);
    if (!period)
        return refused(result, Qualification_text_not_listed);
    if (period->type != tsl_uri::Service_ca_qc || !is_granted(*period, at))
        return refused(result, Qualification_text_service);

    const Qc_statements statements = read_qc_statements(certificate);
    const Certificate_facts facts = facts_of(certificate);
    if (!statements.readable)
        return refused(result, Qualification_text_statements);

    // The qualifiers of every element whose criteria select this certificate.
    std::vector<std::string> qualifiers;
    for (const Qualification_element& element : period->qualifications) {
        const Match match = matches(element.criteria, facts);
        if (match == Match::Unknown)
            return refused(result, Qualification_text_criteria);
        if (match == Match::No)
            continue;
        for (const std::string& uri : element.qualifiers) {
            const std::string name = qualifier_name(uri);
            static constexpr std::string_view known[] = {"QCStatement",
                                                         "NotQualified",
                                                         "QCForESig",
                                                         "QCForESeal",
                                                         "QCForWSA",
                                                         "QCWithSSCD",
                                                         "QCWithQSCD",
                                                         "QCNoSSCD",
                                                         "QCNoQSCD",
                                                         "QCSSCDStatusAsInCert",
                                                         "QCQSCDStatusAsInCert",
                                                         "QCQSCDManagedOnBehalf",
                                                         "QCForLegalPerson"};
            // A qualifier not known here may take away what the others grant.
            if (std::find(std::begin(known), std::end(known), name) == std::end(known))
                return refused(result, Qualification_text_criteria);
            qualifiers.push_back(name);
        }
    }
    return judge(statements, facts, qualifiers, period->additional_information);
}

Qualification qualification_by_certificate(const Certificate& certificate)
{
    const Qc_statements statements = read_qc_statements(certificate);
    if (!statements.readable)
        return refused({}, Qualification_text_statements);
    return judge(statements, facts_of(certificate), {}, {});
}

Signature_qualification qualify_by_statements(const Certificate& certificate)
{
    Signature_qualification verdict;
    verdict.legal_value = true;
    if (!read_qc_statements(certificate).present)
        return verdict;
    const Qualification qualification = qualification_by_certificate(certificate);
    verdict.legal_value = qualification.why_not.empty();
    verdict.lines.push_back(std::string(Qualification_text_by_certificate) + ": " +
                            (verdict.legal_value ? Qualification_text_qualified : qualification.why_not));
    return verdict;
}

namespace {

// Why the certificate is no qualified signature certificate at one time, by every service of
// the lists that vouched then for its authority's signature certificates; empty when it is one.
// Services that disagree leave it undecided, and so not qualified.
std::string judged_by_services(const Certificate& certificate, const std::vector<const Trust_service*>& services,
                               std::time_t at)
{
    std::vector<std::pair<const Trust_service*, Qualification>> judged;
    for (const Trust_service* service : services) {
        const Service_period* period = service->period_at(at);
        if (period && is_accredited_signature_authority(*period, at))
            judged.emplace_back(service, qualification_at(certificate, *service, at));
    }
    if (judged.empty()) {
        // None in force: the reason of the first service listed then, else of the first at all.
        const auto listed = std::find_if(services.begin(), services.end(),
                                         [&](const Trust_service* service) { return service->period_at(at); });
        if (services.empty())
            return Qualification_text_not_listed;
        const std::string why =
            qualification_at(certificate, **(listed != services.end() ? listed : services.begin()), at).why_not;
        return why.empty() ? Qualification_text_service_use : why;
    }
    const auto qualified =
        std::count_if(judged.begin(), judged.end(), [](const auto& one) { return one.second.why_not.empty(); });
    if (qualified == static_cast<std::ptrdiff_t>(judged.size()))
        return {};
    if (qualified == 0)
        return judged.front().second.why_not;
    std::string why = std::string(Qualification_text_services_disagree) + " (";
    for (size_t i = 0; i < judged.size(); ++i) {
        const auto& [service, qualification] = judged[i];
        std::string said = qualification.why_not.empty() ? Qualification_text_qualified : qualification.why_not;
        if (said.ends_with('.'))
            said.pop_back();
        why += (i ? "; «" : "«") + service->name + "»: " + said;
    }
    return why + ").";
}

} // namespace

Signature_qualification qualify_for_signature(const Certificate& certificate,
                                              const std::vector<const Trust_service*>& services, std::time_t judged_at)
{
    Signature_qualification verdict;
    const std::time_t issued = seconds_of(X509_get0_notBefore(certificate.checked_handle())).value_or(0);
    const struct {
        const char* what;
        std::time_t at;
    } times[] = {{"Alla data di emissione del certificato", issued}, {"Alla data di riferimento", judged_at}};
    verdict.legal_value = true;
    for (const auto& [what, at] : times) {
        const std::string why_not = judged_by_services(certificate, services, at);
        const std::string when = std::string(what) + " (" + list_time_text(at) + ")";
        if (why_not.empty()) {
            verdict.lines.push_back(when + ": " + Qualification_text_qualified);
        } else {
            verdict.lines.push_back(when + ": " + why_not);
            verdict.legal_value = false;
        }
    }
    return verdict;
}

Signature_qualification qualify_for_signature(const Certificate& certificate, const Trust_service& service,
                                              std::time_t judged_at)
{
    return qualify_for_signature(certificate, std::vector<const Trust_service*>{&service}, judged_at);
}

} // namespace velin
