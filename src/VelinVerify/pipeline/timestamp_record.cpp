#include "VelinVerify/pipeline/timestamp_record.h"

#include "VelinVerify/pipeline/signature_display.h"

#include "trust/ocsp.h"

#include <openssl/ocsp.h>

#include <algorithm>
#include <ctime>

namespace velin {

bool Timestamp_record::usable() const
{
    if (!info.verified() || !trusted.is_assigned() || !trusted.value())
        return false;
    if (revoked_by_compromise() || authority_expired)
        return false;
    if (revocation_unknown())
        return listed;
    switch (revocation) {
    case Revocation_status::Revoked:
    case Revocation_status::Expired:
    case Revocation_status::Not_yet_valid:
        return false;
    default:
        return true;
    }
}

bool Timestamp_record::revoked_by_compromise() const
{
    if (!revoked)
        return false;
    switch (revocation_reason) {
    case OCSP_REVOKED_STATUS_AFFILIATIONCHANGED:
    case OCSP_REVOKED_STATUS_SUPERSEDED:
    case OCSP_REVOKED_STATUS_CESSATIONOFOPERATION:
        return false;
    default:
        return true;
    }
}

bool Timestamp_record::revocation_unknown() const
{
    return revocation == Revocation_status::Not_determinable || revocation == Revocation_status::Update_disabled;
}

void Timestamp_record::take_revocation(const Revocation_outcome& outcome)
{
    revocation = outcome.status;
    revoked = outcome.revoked;
    revoked_at = outcome.revoked_at;
    revocation_reason = outcome.reason;
    revocation_source = outcome.source;
    revocation_from_file = outcome.from_file;
    revocation_evidence = outcome.evidence;
}

bool Timestamp_record::covers(size_t signer) const
{
    if (inherited)
        return true;
    if (info.scope == Timestamp_scope::Document)
        return !info.covered_signers || std::find(info.covered_signers->begin(), info.covered_signers->end(), signer) !=
                                            info.covered_signers->end();
    return (info.scope == Timestamp_scope::Signature || info.scope == Timestamp_scope::Archive) &&
           info.signer == signer;
}

namespace {

std::string compromised_unit_text(const Timestamp_record& record, const std::string& authority)
{
    std::string text = "Il certificato " + authority + " è stato revocato";
    if (record.revoked_at) {
        std::tm fields{};
        gmtime_r(&*record.revoked_at, &fields);
        text += " il " + timestamp_time_text(system_time_of(fields));
    }
    const std::string reason = revocation_reason_text(record.revocation_reason);
    text += " (motivo: " + (reason.empty() ? std::string("non indicato") : reason) + ")";
    return text + ": " + Text_unit_not_reliable;
}

std::string utc_time_text(std::time_t time)
{
    std::tm fields{};
    gmtime_r(&time, &fields);
    return timestamp_time_text(system_time_of(fields));
}

std::string authority_expired_text(const Timestamp_record& record)
{
    std::string text = "Il certificato dell'autorità di marcatura temporale è scaduto";
    if (record.authority_not_after)
        text += " il " + utc_time_text(*record.authority_not_after);
    return text + ", prima di ogni marca temporale successiva che provi l'esistenza di questa: la marca temporale non "
                  "è usata come riferimento temporale.";
}

const char* mismatch_text(Timestamp_scope scope)
{
    switch (scope) {
    case Timestamp_scope::Signature:
        return "La marca temporale non corrisponde alla firma.";
    case Timestamp_scope::Archive:
        return "La marca temporale d'archivio non corrisponde ai dati della firma.";
    case Timestamp_scope::References:
        return "La marca temporale non corrisponde ai riferimenti ai certificati e alle revoche della firma.";
    case Timestamp_scope::Document:
    case Timestamp_scope::Content:
        break;
    }
    return "La marca temporale non corrisponde al documento.";
}

} // namespace

std::string timestamp_time_text(const System_time& when)
{
    return format_signing_time(when) + " (UTC)";
}

std::vector<Status_line> timestamp_lines(const Timestamp_record& record)
{
    const Timestamp_info& info = record.info;
    std::vector<Status_line> lines;
    if (!info.read) {
        lines.push_back(
            {Line_severity::Error, info.refused ? Text_timestamp_refused : "La marca temporale non è leggibile."});
        return lines;
    }
    std::string heading =
        (info.scope == Timestamp_scope::Archive      ? "Marca temporale d'archivio: "
         : info.scope == Timestamp_scope::References ? "Marca temporale dei riferimenti di convalida: "
                                                     : "Marca temporale: ") +
        timestamp_time_text(info.when);
    if (!info.authority.empty())
        heading += ", " + info.authority;
    lines.push_back({Line_severity::Information, heading});
    if (info.certificate.empty())
        lines.push_back(
            {Line_severity::Error, "La marca temporale non contiene il certificato dell'autorità che l'ha emessa."});
    else if (!info.signature_valid)
        lines.push_back({Line_severity::Error, "La firma della marca temporale non è valida."});
    if (!info.imprint_matches && !info.nothing_covered)
        lines.push_back({Line_severity::Error, info.renewal > 0 ? "La marca temporale non rinnova la marca precedente."
                                                                : mismatch_text(info.scope)});
    for (const std::string& error : info.coverage_errors)
        lines.push_back({Line_severity::Error, error});
    if (!info.certificate.empty() && !info.time_stamping_usage)
        lines.push_back(
            {Line_severity::Warning,
             "Il certificato dell'autorità di marcatura temporale non è abilitato alla marcatura temporale."});
    if (!info.certificate.empty() && !info.certificate_current)
        lines.push_back({Line_severity::Warning,
                         "Il certificato dell'autorità di marcatura temporale non era valido alla data della marca."});
    if (info.weak_imprint)
        lines.push_back(
            {Line_severity::Warning, "L'algoritmo di hash della marca temporale non è più considerato sicuro."});
    if (record.trusted.is_assigned() && !record.trusted.value())
        lines.push_back({Line_severity::Warning, "L'autorità di marcatura temporale non è attendibile."});
    // Along the chain of proofs: when its authority's certificate ended before any later proof.
    if (record.authority_expired && info.verified() && record.trusted.is_assigned() && record.trusted.value())
        lines.push_back({Line_severity::Warning, authority_expired_text(record)});
    else if (record.authority_judged_at && record.usable())
        lines.push_back({Line_severity::Information,
                         "Il certificato dell'autorità di marcatura temporale è verificato alla data della marca "
                         "temporale successiva che comprende questa: " +
                             utc_time_text(*record.authority_judged_at) + "."});
    // Named, since a file can carry time stamps of several authorities.
    const std::string authority = "dell'autorità di marcatura temporale" +
                                  (info.authority.empty() ? std::string() : " \"" + info.authority + "\"");
    if (record.revoked_by_compromise() && record.revocation != Revocation_status::Revoked)
        lines.push_back({Line_severity::Error, compromised_unit_text(record, authority)});
    switch (record.revocation) {
    case Revocation_status::Revoked:
        lines.push_back(
            {Line_severity::Error, "Il certificato dell'autorità di marcatura temporale è stato revocato."});
        break;
    case Revocation_status::Not_determinable:
        lines.push_back(
            {Line_severity::Warning, "La validità del certificato " + authority + " non può essere rilevata."});
        break;
    case Revocation_status::Update_disabled:
        // No list could be read: none in the cache with downloads off, no HTTP(S) distribution
        // point, or no issuer to check a list with.
        lines.push_back(
            {Line_severity::Warning, "La revoca del certificato " + authority + " non può essere rilevata."});
        break;
    default:
        break;
    }
    // Whether the time stands for the signatures anyway, when it would stand otherwise.
    if (record.revocation_unknown() && record.info.verified() && record.trusted.is_assigned() &&
        record.trusted.value() && record.qualified)
        lines.push_back(record.listed ? Status_line{Line_severity::Information, Text_unknown_unit_vouched}
                                      : Status_line{Line_severity::Warning, Text_unknown_unit_not_vouched});
    if (record.info.read && !record.info.certificate.empty() && record.info.signature_valid &&
        !record.info.certificate_named)
        lines.push_back({Line_severity::Warning, Text_timestamp_certificate_not_named});
    return lines;
}

} // namespace velin
