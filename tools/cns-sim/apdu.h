// Short command APDUs as ISO 7816-4 encodes them, and the status words this card answers with.
#pragma once

#include "bytes.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace cns_sim {

namespace sw {
constexpr std::uint16_t ok = 0x9000;
constexpr std::uint16_t end_of_file = 0x6282; // fewer bytes than Ne before the end of the EF
constexpr std::uint16_t wrong_length = 0x6700;
constexpr std::uint16_t security_not_satisfied = 0x6982;
constexpr std::uint16_t auth_blocked = 0x6983;
constexpr std::uint16_t conditions_not_satisfied = 0x6985; // no key chosen for the operation
constexpr std::uint16_t no_response_pending = 0x6985; // GET RESPONSE with nothing to give
constexpr std::uint16_t no_current_ef = 0x6986;
constexpr std::uint16_t wrong_data = 0x6A80;
constexpr std::uint16_t file_not_found = 0x6A82;
constexpr std::uint16_t wrong_p1p2 = 0x6A86;
constexpr std::uint16_t reference_not_found = 0x6A88;
constexpr std::uint16_t offset_outside_ef = 0x6B00;
constexpr std::uint16_t ins_not_supported = 0x6D00;
constexpr std::uint16_t cla_not_supported = 0x6E00;
constexpr std::uint16_t wrong_pin_no_info = 0x6300;
constexpr std::uint16_t retries_left(unsigned n)
{
    return static_cast<std::uint16_t>(0x63C0 | (n & 0x0F));
}
constexpr std::uint16_t bytes_available(std::size_t n)
{
    return static_cast<std::uint16_t>(0x6100 | (n & 0xFF));
}
constexpr std::uint16_t wrong_le(std::size_t n)
{
    return static_cast<std::uint16_t>(0x6C00 | (n & 0xFF));
}
} // namespace sw

struct Command_apdu {
    std::uint8_t cla = 0;
    std::uint8_t ins = 0;
    std::uint8_t p1 = 0;
    std::uint8_t p2 = 0;
    Bytes data; // empty when the command has no Lc
    bool has_lc = false;
    std::optional<std::size_t> ne; // no Le: nullopt; Le 00 means 256
};

// Cases 1 to 4 in their short form. Extended lengths and any length mismatch give nullopt,
// which the card answers with 6700.
std::optional<Command_apdu> parse_command_apdu(Byte_view raw);

Bytes response(Byte_view data, std::uint16_t status);
Bytes response(std::uint16_t status);

} // namespace cns_sim
