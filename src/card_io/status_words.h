// What a card's status word means. The menu's PIN dialogs and the signer's PIN dialog show texts
// of their own, and the card library turns a status word into one of its result codes (each with
// the library's own message): two tables on purpose, kept side by side so that one is not taken
// for a stale copy of the other.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace velin {

// The menu's and the signer's texts.

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

namespace velin::cardlib {

// The card library's result code for a status word its caller has to hear of; 0x8004023D (the
// card refused) for any word without one of its own.
uint32_t code_from_status_word(uint8_t sw1, uint8_t sw2);

} // namespace velin::cardlib
