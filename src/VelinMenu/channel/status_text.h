// What a card's status word means to the holder, for the few words the PIN dialogs explain.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace velin {

// The text of exactly these SW1 SW2 pairs; no text for any other (90 01 included).
std::optional<std::string> status_text(uint8_t sw1, uint8_t sw2);

// 6982 (security status not satisfied) and 6983 (authentication method blocked).
bool is_blocked_status(uint16_t status_word);

} // namespace velin
