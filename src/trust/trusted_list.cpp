#include "trust/trusted_list.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string_view>

namespace velin {

namespace {

bool has(const std::vector<std::string>& values, const char* value)
{
    return std::find(values.begin(), values.end(), value) != values.end();
}

} // namespace

const Service_period* Trust_service::period_at(std::time_t at) const
{
    const Service_period* found = current.start <= at ? &current : nullptr;
    for (const Service_period& period : history)
        if (period.start <= at && (!found || period.start > found->start))
            found = &period;
    return found;
}

bool is_granted(const Service_period& period, std::time_t at)
{
    std::string_view status = period.status;
    if (status.starts_with(tsl_uri::Status_prefix))
        status.remove_prefix(std::char_traits<char>::length(tsl_uri::Status_prefix));
    else if (status.starts_with(tsl_uri::Status_old_prefix))
        status.remove_prefix(std::char_traits<char>::length(tsl_uri::Status_old_prefix));
    else
        return false;
    // Withdrawn, recognised or deprecated at national level, accreditation ceased or revoked,
    // and whatever status is not known: not qualified.
    if (at < Qualified_status_change)
        return status == "accredited" || status == "undersupervision" || status == "supervisionincessation";
    return status == "granted";
}

bool is_accredited_signature_authority(const Service_period& period, std::time_t at)
{
    if (period.type != tsl_uri::Service_ca_qc || !is_granted(period, at))
        return false;
    const auto& information = period.additional_information;
    return has(information, tsl_uri::For_signatures) ||
           (!has(information, tsl_uri::For_seals) && !has(information, tsl_uri::For_web_sites) &&
            !has(information, tsl_uri::For_web_sites_old));
}

bool is_trusted_time_stamping(const Service_period& period, std::time_t at)
{
    return period.type == tsl_uri::Service_tsa_qtst && is_granted(period, at);
}

std::string status_name(const std::string& status_uri)
{
    const size_t slash = status_uri.find_last_of('/');
    return slash == std::string::npos ? status_uri : status_uri.substr(slash + 1);
}

const List_pointer* Trusted_list::pointer_to(const std::string& wanted) const
{
    for (const List_pointer& pointer : pointers)
        if (pointer.territory == wanted && pointer.mime_type == tsl_uri::Tsl_mime_type)
            return &pointer;
    return nullptr;
}

std::string list_time_text(std::time_t time)
{
    std::tm parts{};
    if (!gmtime_r(&time, &parts))
        return "?";
    char text[96];
    std::snprintf(text, sizeof text, "%02d/%02d/%04d %02d:%02d UTC", parts.tm_mday, parts.tm_mon + 1,
                  parts.tm_year + 1900, parts.tm_hour, parts.tm_min);
    return text;
}

} // namespace velin
