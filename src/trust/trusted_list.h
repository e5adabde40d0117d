// A trusted list (ETSI TS 119 612) as the verifier uses it: the scheme's territory, sequence
// number, issue and next-update times, the pointers to other lists with the certificates that
// sign them, and every trust service with its type, status, status starting time, additional
// service information and history. The XML is read by Trusted_list_reader; this is what is kept
// of it (also in the parsed cache).
#pragma once

#include "envelope/xml_date_time.h"

#include "trust/certificate.h"
#include "trust/service_identity.h"

#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

namespace velin {

namespace tsl_uri {
inline constexpr const char* Service_ca_qc = "http://uri.etsi.org/TrstSvc/Svctype/CA/QC";
inline constexpr const char* Service_tsa_qtst = "http://uri.etsi.org/TrstSvc/Svctype/TSA/QTST";
// The statuses as the lists write them; lists and caches of old also spell them without
// "TrustedList/", and the reader takes both.
inline constexpr const char* Status_prefix = "http://uri.etsi.org/TrstSvc/TrustedList/Svcstatus/";
inline constexpr const char* Status_old_prefix = "http://uri.etsi.org/TrstSvc/Svcstatus/";
inline constexpr const char* Status_granted = "http://uri.etsi.org/TrstSvc/TrustedList/Svcstatus/granted";
inline constexpr const char* Status_withdrawn = "http://uri.etsi.org/TrstSvc/TrustedList/Svcstatus/withdrawn";
// A service accredited by the State, in the lists' periods before 1 July 2016.
inline constexpr const char* Status_accredited = "http://uri.etsi.org/TrstSvc/TrustedList/Svcstatus/accredited";
inline constexpr const char* For_signatures = "http://uri.etsi.org/TrstSvc/TrustedList/SvcInfoExt/ForeSignatures";
inline constexpr const char* For_seals = "http://uri.etsi.org/TrstSvc/TrustedList/SvcInfoExt/ForeSeals";
inline constexpr const char* For_web_sites =
    "http://uri.etsi.org/TrstSvc/TrustedList/SvcInfoExt/ForWebSiteAuthentication";
// How caches and files of old misspelt it; still read as web site authentication.
inline constexpr const char* For_web_sites_old =
    "http://uri.etsi.org/TrstSvc/TrustedList/SvcInfoExt/ForeWebSiteAuthentication";
inline constexpr const char* Tsl_mime_type = "application/vnd.etsi.tsl+xml";
} // namespace tsl_uri

// The certificates a QualificationElement of a service applies to (its CriteriaList): a
// certificate matches when all, at least one, or none of the criteria hold.
struct Qualification_criteria {
    enum class Assertion : uint8_t {
        All,
        At_least_one,
        None,
        Unknown, // an assert value, criterion or key usage bit this program cannot evaluate
    };
    Assertion assertion = Assertion::All;
    // Each KeyUsage: bits by name ("nonRepudiation") with the value they must have.
    std::vector<std::vector<std::pair<std::string, bool>>> key_usages;
    // Each PolicySet, CertSubjectDNAttribute and ExtendedKeyUsage: dotted OIDs, all required.
    std::vector<std::vector<std::string>> policy_sets;
    std::vector<std::vector<std::string>> subject_attributes;
    std::vector<std::vector<std::string>> extended_key_usages;
    std::vector<Qualification_criteria> nested; // CriteriaList inside a CriteriaList

    bool operator==(const Qualification_criteria&) const = default;
};

// A QualificationElement of the Qualifications extension: the qualifier URIs
// (".../SvcInfoExt/QCWithQSCD") that hold for the certificates the criteria select.
struct Qualification_element {
    std::vector<std::string> qualifiers;
    Qualification_criteria criteria;

    bool operator==(const Qualification_element&) const = default;
};

// Deeper CriteriaList nesting is not evaluated (the element counts as unknown).
inline constexpr int Qualification_criteria_max_depth = 8;

// One status of a service and what held with it, from its starting time until the next one.
struct Service_period {
    std::string type; // ServiceTypeIdentifier
    std::string status; // ServiceStatus
    std::time_t start = 0; // StatusStartingTime, UTC
    std::vector<std::string> additional_information; // AdditionalServiceInformation URIs
    std::vector<Qualification_element> qualifications; // the Qualifications extension

    bool operator==(const Service_period&) const = default;
};

struct Trust_service {
    std::string provider; // TSPName
    std::string name; // ServiceName
    // The X.509 certificates of ServiceDigitalIdentity, those named only in the history included.
    std::vector<Certificate> certificates;
    Service_period current;
    std::vector<Service_period> history; // ServiceHistoryInstance, as listed
    // The keys named without a certificate, by the service or its history.
    std::vector<Service_identity> identities;

    // The period in force at a time: the one with the latest start not after it; null before the
    // first start.
    const Service_period* period_at(std::time_t at) const;

    bool operator==(const Trust_service&) const = default;
};

// The day the statuses of the lists changed: before it a service counted as qualified while
// accredited, under supervision or in supervised cessation; from it, while granted.
inline constexpr std::time_t Qualified_status_change = 1467331200; // 2016-07-01T00:00:00Z

// The period's status makes the service qualified at `at`, a time within the period. A status
// used on the wrong side of the change (granted before it, accredited after it) does not: the
// list does not say what held then.
bool is_granted(const Service_period& period, std::time_t at);
// A CA/QC service, qualified at `at`, issuing certificates for electronic signatures:
// ForeSignatures, or neither ForeSeals nor ForWebSiteAuthentication.
bool is_accredited_signature_authority(const Service_period& period, std::time_t at);
// A qualified time-stamping service, qualified at `at`.
bool is_trusted_time_stamping(const Service_period& period, std::time_t at);
// The last part of a status URI ("granted", "withdrawn"), for the user.
std::string status_name(const std::string& status_uri);

struct List_pointer {
    std::string territory; // SchemeTerritory of the list pointed to
    std::string location; // TSLLocation
    std::string mime_type;
    std::vector<Certificate> certificates; // the certificates that may sign it

    bool operator==(const List_pointer&) const = default;
};

struct Trusted_list {
    int version = 5; // TSLVersionIdentifier: 5 or 6
    std::string territory;
    std::string operator_name;
    uint64_t sequence_number = 0;
    std::time_t issued = 0;
    std::time_t next_update = 0; // 0: the list is closed, no update announced
    std::vector<List_pointer> pointers;
    std::vector<Trust_service> services;

    // The XML pointer to the list of a territory; null when there is none.
    const List_pointer* pointer_to(const std::string& territory) const;

    bool operator==(const Trusted_list&) const = default;
};

// "01/05/2024 10:00 UTC", as the dialog and the messages show times of the lists.
std::string list_time_text(std::time_t time);

} // namespace velin
