// Version numbers of the update run: what the update server publishes and what is installed here,
// both packed into one unsigned 32-bit number and compared as unsigned.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace velin {

// Packs a file version a.b.c.d as a × 2^24 + b × 2^16 + c × 2^8: the fourth number of an
// installed version does not count.
uint32_t pack_file_version(unsigned a, unsigned b, unsigned c, unsigned d);

// A published version, once leading and trailing white space is gone: "0x" and one to eight
// hexadecimal digits, or three or four decimal numbers separated by dots, packed as
// a × 2^24 + b × 2^16 + c × 2^8 + d (each number modulo 256, a missing fourth one 0). Anything
// else, trailing text included, is no version.
std::optional<uint32_t> parse_published_version(std::string_view text);

} // namespace velin
