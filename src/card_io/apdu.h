// The bytes of an ISO 7816-4 command with short lengths, and the block a PIN or PUK travels in.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace velin::card_io {

using Bytes = std::vector<uint8_t>;

// CLA INS P1 P2, then Lc and the data when `data` is given (Lc 00 for empty data), then Le when
// given. More than 255 data bytes cannot be said in one Lc byte: std::length_error, never a cut.
Bytes command_apdu(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, const Bytes* data,
                   std::optional<uint8_t> le = std::nullopt);

// A PIN or PUK on the wire: its characters, then FF up to 8 bytes. The card compares whole
// blocks, so the bare digits would count as a wrong PIN.
constexpr size_t Pin_block_size = 8;
// Writes the block of a secret of at most 8 characters into `block`; std::length_error for a
// longer one (nothing written).
void put_pin_block(std::string_view secret, std::span<uint8_t, Pin_block_size> block);

} // namespace velin::card_io
