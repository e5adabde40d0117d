#include "VelinVerify/pipeline/timestamp_record.h"

#include "VelinVerify/pipeline/signature_display.h"

#include <algorithm>

namespace velin {

bool Timestamp_record::usable() const
{
    if (!info.verified() || !trusted.is_assigned() || !trusted.value())
        return false;
    switch (revocation) {
    case Revocation_status::Revoked:
    case Revocation_status::Expired:
    case Revocation_status::Not_yet_valid:
    case Revocation_status::Not_determinable:
        return false;
    default:
        return true;
    }
}

bool Timestamp_record::covers(size_t signer) const
{
    if (inherited)
        return true;
    if (info.scope == Timestamp_scope::Document)
        return !info.covered_signers || std::find(info.covered_signers->begin(), info.covered_signers->end(), signer) !=
                                            info.covered_signers->end();
    return info.scope == Timestamp_scope::Signature && info.signer == signer;
}

std::string timestamp_time_text(const System_time& when)
{
    return format_signing_time(when) + " (UTC)";
}

std::vector<Status_line> timestamp_lines(const Timestamp_record& record)
{
    const Timestamp_info& info = record.info;
    std::vector<Status_line> lines;
    if (!info.read) {
        lines.push_back({Line_severity::Error, "La marca temporale non è leggibile."});
        return lines;
    }
    std::string heading = "Marca temporale: " + timestamp_time_text(info.when);
    if (!info.authority.empty())
        heading += ", " + info.authority;
    lines.push_back({Line_severity::Information, heading});
    if (info.certificate.empty())
        lines.push_back(
            {Line_severity::Error, "La marca temporale non contiene il certificato dell'autorità che l'ha emessa."});
    else if (!info.signature_valid)
        lines.push_back({Line_severity::Error, "La firma della marca temporale non è valida."});
    if (!info.imprint_matches)
        lines.push_back({Line_severity::Error, info.renewal > 0 ? "La marca temporale non rinnova la marca precedente."
                                               : info.scope == Timestamp_scope::Signature
                                                   ? "La marca temporale non corrisponde alla firma."
                                                   : "La marca temporale non corrisponde al documento."});
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
    // Named, since a file can carry time stamps of several authorities.
    const std::string authority = "dell'autorità di marcatura temporale" +
                                  (info.authority.empty() ? std::string() : " \"" + info.authority + "\"");
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
    return lines;
}

std::optional<std::time_t> covering_time(const std::vector<Timestamp_record>& records, size_t signer)
{
    std::optional<std::time_t> earliest;
    for (const Timestamp_record& record : records)
        if (record.covers(signer) && record.usable() && record.qualified && (!earliest || record.info.time < *earliest))
            earliest = record.info.time;
    return earliest;
}

} // namespace velin
