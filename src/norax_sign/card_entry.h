// Before a batch is signed: the card is found in one of the readers and its PIN checked against
// the card itself. The dialogs only draw this and forward the clicks and the timer.
#pragma once

#include "card_channel/scard.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velin {

// Results of a PIN check.
constexpr uint32_t Pin_wrong = 0x8010006Bu;
constexpr uint32_t Pin_blocked = 0x8010006Cu;
constexpr uint32_t Pin_status_unknown = 0x80040000u;

// The search for a CNS card: the reader list is read once, then every reader is tried in list
// order at each search until one holds a CNS card, which stays attached.
class Card_search {
public:
    // False when the readers cannot be listed (no service, no reader).
    bool list_readers();
    // True when a reader holds a CNS card; the others are left as they were.
    bool search();

    const std::shared_ptr<ISCard>& card() const { return _card; }
    const std::string& reader_name() const { return _reader_name; }
    size_t reader_index() const { return _reader_index; }

private:
    std::vector<std::string> _readers;
    std::shared_ptr<ISCard> _card;
    std::string _reader_name;
    size_t _reader_index = 0;
};

// PIN references of a CNS card: the card's own PIN (the authentication key's), and the PIN of the
// signature application (the non-repudiation key's) on the cards that have one.
constexpr uint8_t Card_pin_reference = 0x10;
constexpr uint8_t Signature_pin_reference = 0x1A;

// The PIN of the key a signature is made with: the signature application's when the card has
// its certificate (3F00/1400/9010), the key the signers choose; else the card's PIN. Any failure
// to look gives the card's PIN.
uint8_t signing_pin_reference(ISCard& card);

// VERIFY of the PIN block (the digits, FF up to 8 bytes) under reference inside one card
// transaction, followed by a SELECT of the master file. 0 accepted, Pin_wrong, Pin_blocked, a
// PC/SC code when the exchange failed, Pin_status_unknown for any other answer. tries_left, when
// given, receives the tries the card says are left after a wrong PIN (63Cx), else nothing: 0
// means the PIN is blocked from now on.
uint32_t verify_card_pin(ISCard& card, std::string_view pin, uint8_t reference = Card_pin_reference,
                         std::optional<int>* tries_left = nullptr);

// OK is offered only for 5 to 8 digits.
bool pin_can_be_confirmed(std::string_view pin);

} // namespace velin
