// Fuzz target: the simulator's state file (PIN, PUK and counters) is read from disk, where a
// test or a person may have written anything.
#include "pin_store.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    try {
        const auto state = cns_sim::parse_pin_state(std::string_view(reinterpret_cast<const char*>(data), size));
        // Whatever was accepted is a state the card can hold and write back unchanged.
        if (!cns_sim::is_valid_pin(state.pin) || !cns_sim::is_valid_puk(state.puk) || state.pin_tries < 0 ||
            state.pin_tries > cns_sim::Pin_state::pin_max_tries || state.puk_tries < 0 ||
            state.puk_tries > cns_sim::Pin_state::puk_max_tries)
            throw std::logic_error("accepted an impossible state");
        if (!(cns_sim::parse_pin_state(cns_sim::serialize(state)) == state))
            throw std::logic_error("state does not survive a round trip");
    } catch (const std::runtime_error&) {
        // refused with a reason: fine
    }
    return 0;
}
