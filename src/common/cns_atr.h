// The one test, shared by the card library and the menu's card channel, that tells a national
// service card (CNS) by its answer-to-reset.
#pragma once

#include <cstdint>
#include <span>

namespace velin {

// At least 16 bytes, with "CNS" in the three bytes that start 7 bytes before the end.
bool is_cns_atr(std::span<const uint8_t> atr);

} // namespace velin
