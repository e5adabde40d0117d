// Conversion of an ASN.1 UTCTime text (YYMMDDhhmmssZ) into a System_time.
#pragma once

#include "common/failure.h"
#include "envelope/system_time.h"

#include <string_view>

namespace velin {

// Two-digit years 69 to 99 are 1969 to 1999, 00 to 68 are 2000 to 2068. Day of week and
// milliseconds are 0; the value is UTC. Anything but twelve digits of a real date and time
// followed by "Z" fails with "bad UTCTIME format".
class Asn1_utctime_as_system_time : public Boolean_function<System_time> {
public:
    explicit Asn1_utctime_as_system_time(std::string_view utctime);
};

} // namespace velin
