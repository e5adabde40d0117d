// Shared helpers of the simulator's unit tests.
#pragma once

#include "cns_profile.h"
#include "simulated_card.h"

#include <cstdint>
#include <memory>
#include <string>

namespace cns_sim::test {

Bytes fixture(const std::string& name);
Bytes hex(const std::string& text); // throws on bad hex: tests spell their APDUs by hand

std::uint16_t status_of(const Bytes& reply);
Bytes data_of(const Bytes& reply);

// A card built from a profile, with its PIN store in memory.
struct Test_card {
    explicit Test_card(Profile_options options = {}, Pin_state pins = {});
    Bytes send(const std::string& apdu_hex) { return card->process(hex(apdu_hex)); }
    std::uint16_t sw(const std::string& apdu_hex) { return status_of(send(apdu_hex)); }

    Pin_store store;
    std::unique_ptr<Simulated_card> card;
};

Profile_options profile(Profile_kind kind);

// The size a host reads from an FCI: template 6F or 62, then one-byte tag / one-byte length
// items; tag 80 or 81 with two bytes. -1 when there is none.
long fci_size(const Bytes& fci);

} // namespace cns_sim::test
