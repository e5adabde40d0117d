// A calendar time broken into fields, as the verifier shows and compares it (always UTC here).
#pragma once

#include <cstdint>

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

} // namespace velin
