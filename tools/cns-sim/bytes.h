// Byte strings and their hexadecimal spelling, shared by the card model, the log and the tools.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace cns_sim {

using Bytes = std::vector<std::uint8_t>;
using Byte_view = std::span<const std::uint8_t>;

// "00 A4 08 00": upper case, one blank between bytes.
std::string to_hex(Byte_view bytes);

// Accepts hex digits with optional blanks or colons between bytes; nullopt on anything else
// (odd digit count, stray characters).
std::optional<Bytes> from_hex(std::string_view text);

Bytes ascii(std::string_view text);

inline Bytes concat(std::initializer_list<Byte_view> parts)
{
    Bytes out;
    for (const auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

} // namespace cns_sim
