// The card's rules for secrets: a PIN has 5 to 8 digits, a PUK exactly 8; on the wire both are
// ASCII digits padded with FF bytes to 8 bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace velin::CNS {

constexpr size_t Min_pin_length = 5;
constexpr size_t Max_pin_length = 8;
constexpr size_t Puk_length = 8;
// The regional citizen card takes PINs of exactly this length.
constexpr size_t Regional_pin_length = 5;

bool is_valid_PIN(const char* pin);
bool is_valid_PUK(const char* puk);

// The 8 bytes sent for a PIN or PUK of at most 8 characters.
std::vector<uint8_t> encode_secret(std::string_view secret);

} // namespace velin::CNS
