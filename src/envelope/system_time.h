// A calendar time broken into fields, as the verifier shows and compares it (always UTC here).
#pragma once

#include <cstdint>
#include <ctime>

namespace velin {

struct System_time {
    uint16_t year = 0;
    uint16_t month = 0; // 1 to 12
    uint16_t day_of_week = 0;
    uint16_t day = 0; // 1 to 31
    uint16_t hour = 0;
    uint16_t minute = 0;
    uint16_t second = 0;
    uint16_t milliseconds = 0;

    friend bool operator==(const System_time&, const System_time&) = default;
};

// The fields of a broken-down UTC time (gmtime_r, ASN1_TIME_to_tm).
inline System_time system_time_of(const std::tm& fields)
{
    System_time when;
    when.year = static_cast<uint16_t>(fields.tm_year + 1900);
    when.month = static_cast<uint16_t>(fields.tm_mon + 1);
    when.day_of_week = static_cast<uint16_t>(fields.tm_wday);
    when.day = static_cast<uint16_t>(fields.tm_mday);
    when.hour = static_cast<uint16_t>(fields.tm_hour);
    when.minute = static_cast<uint16_t>(fields.tm_min);
    when.second = static_cast<uint16_t>(fields.tm_sec);
    return when;
}

} // namespace velin
