#include "VelinVerify/trust/trusted_list.h"

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

bool digits(const std::string& text, size_t at, size_t count, int& value)
{
    if (at + count > text.size())
        return false;
    value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i])))
            return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
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

bool parse_xml_date_time(const std::string& raw, std::time_t& result)
{
    // xsd:dateTime; surrounding white space is allowed by the schema.
    const size_t first = raw.find_first_not_of(" \t\r\n");
    const size_t last = raw.find_last_not_of(" \t\r\n");
    if (first == std::string::npos)
        return false;
    const std::string text = raw.substr(first, last - first + 1);
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!digits(text, 0, 4, year) || text.size() < 19 || text[4] != '-' || !digits(text, 5, 2, month) ||
        text[7] != '-' || !digits(text, 8, 2, day) || text[10] != 'T' || !digits(text, 11, 2, hour) ||
        text[13] != ':' || !digits(text, 14, 2, minute) || text[16] != ':' || !digits(text, 17, 2, second))
        return false;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 24 || minute > 59 || second > 60)
        return false;
    size_t at = 19;
    if (at < text.size() && text[at] == '.') {
        ++at;
        const size_t start = at;
        while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])))
            ++at;
        if (at == start)
            return false;
    }
    long offset = 0;
    if (at < text.size() && text[at] == 'Z') {
        ++at;
    } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        int offset_hours = 0, offset_minutes = 0;
        if (!digits(text, at + 1, 2, offset_hours) || at + 3 >= text.size() || text[at + 3] != ':' ||
            !digits(text, at + 4, 2, offset_minutes) || offset_hours > 14 || offset_minutes > 59)
            return false;
        offset = (offset_hours * 60L + offset_minutes) * 60L * (text[at] == '+' ? 1 : -1);
        at += 6;
    }
    // A time without a zone is taken as UTC: the lists state their times in UTC.
    if (at != text.size())
        return false;
    std::tm parts{};
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    result = timegm(&parts) - offset;
    return true;
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
