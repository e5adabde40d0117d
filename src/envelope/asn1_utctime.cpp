#include "envelope/asn1_utctime.h"

namespace velin {

namespace {

bool two_digits(std::string_view text, size_t at, uint16_t& value)
{
    const char high = text[at];
    const char low = text[at + 1];
    if (high < '0' || high > '9' || low < '0' || low > '9')
        return false;
    value = static_cast<uint16_t>((high - '0') * 10 + (low - '0'));
    return true;
}

uint16_t days_in_month(uint16_t year, uint16_t month)
{
    static constexpr uint16_t days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

} // namespace

Asn1_utctime_as_system_time::Asn1_utctime_as_system_time(std::string_view utctime)
{
    // Only the form signed attributes are encoded in: a time with an offset or without seconds
    // would otherwise be shown as a different UTC time.
    System_time time;
    uint16_t year = 0;
    const bool well_formed = utctime.size() == 13 && utctime[12] == 'Z' && two_digits(utctime, 0, year) &&
                             two_digits(utctime, 2, time.month) && two_digits(utctime, 4, time.day) &&
                             two_digits(utctime, 6, time.hour) && two_digits(utctime, 8, time.minute) &&
                             two_digits(utctime, 10, time.second);
    if (well_formed)
        time.year = static_cast<uint16_t>(year >= 69 ? 1900 + year : 2000 + year);
    if (!well_formed || time.month < 1 || time.month > 12 || time.day < 1 ||
        time.day > days_in_month(time.year, time.month) || time.hour > 23 || time.minute > 59 || time.second > 59) {
        set_error("bad UTCTIME format");
        return;
    }
    set_value(time);
}

} // namespace velin
