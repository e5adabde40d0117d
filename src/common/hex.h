// Hexadecimal digits and text, as the registry files, the card's APDUs, the certificates'
// thumbprints and the card's files write them.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace velin {

// 0 to 15 for a hexadecimal digit of either case, -1 for anything else.
int hex_digit_value(char c);

// Two upper-case digits per byte, the separator between bytes.
std::string hex_text(std::span<const uint8_t> bytes, std::string_view separator = {});

} // namespace velin
