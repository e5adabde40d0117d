// Answers-to-reset of the simulated cards.
#pragma once

#include "bytes.h"

#include <cstdint>

namespace cns_sim {

// XOR of every byte after TS; appended when the ATR announces any protocol other than T=0.
std::uint8_t atr_check_byte(Byte_view atr_without_tck);

// True when the interface bytes offer a protocol other than T=0, i.e. a TCK is required.
bool atr_needs_tck(Byte_view atr);

// The contact ATR of a national service card: "CNS" in the three bytes starting 7 bytes before
// the end, the manufacturer code at H[3] and the card type at H[7], where H is the 15 bytes that
// precede the last byte. With t1 the card offers T=1 only (TCK present); otherwise T=0 only.
Bytes cns_atr(std::uint8_t manufacturer, std::uint8_t card_type, bool t1);

// What a contactless reader reports for the same chip: no "CNS" in it.
Bytes contactless_reader_atr();

// A card of another kind.
Bytes foreign_atr();

// A card that is not a CNS card but is accepted for file reading: ATR[0] 3B, ATR[6] 31,
// ATR[8] 55, ATR[9] 00.
Bytes alternative_pattern_atr();

} // namespace cns_sim
