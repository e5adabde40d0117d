// What a card's status word, or a failed PC/SC call, means to the holder, for the PIN dialogs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace velin {

// The text of exactly these SW1 SW2 pairs; no text for any other (90 01 included).
std::optional<std::string> status_text(uint8_t sw1, uint8_t sw2);

// 6982 (security status not satisfied) and 6983 (authentication method blocked).
bool is_blocked_status(uint16_t status_word);

// The tries a card says are left after a wrong PIN or PUK: x of 63Cx; nothing for any other
// status word (6300 says no number).
std::optional<int> tries_left(uint16_t status_word);

// A wrong-PIN or wrong-PUK text with the tries the card has left, when the card said.
std::string with_tries_left(const std::string& text, std::optional<int> tries);

// What the holder is told when the card or the reader fails under a command: our own words for
// the PC/SC codes one meets (card taken out, no card, reader gone, no answer in time, card held
// by another program), the code itself for any other.
std::string card_failure_text(uint32_t pcsc_code);

} // namespace velin
