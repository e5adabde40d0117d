#include "norax_sign/card_entry.h"

#include "card_channel/card_access.h"
#include "card_io/apdu.h"
#include "card_io/status_words.h"
#include "common/cns_atr.h"
#include "common/trace.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <optional>
#include <span>

namespace velin {

bool Card_search::list_readers()
{
    const std::optional<std::vector<std::string>> readers = velin::list_readers();
    if (!readers || readers->empty())
        return false;
    _readers = *readers;
    return true;
}

bool Card_search::search()
{
    for (size_t index = 0; index < _readers.size(); ++index) {
        std::shared_ptr<ISCard> card;
        try {
            if (attach_and_classify(_readers[index], card) == Card_other_cns) {
                _card = std::move(card);
                _reader_name = _readers[index];
                _reader_index = index;
                return true;
            }
            if (card)
                card->Detach(SCARD_LEAVE_CARD);
        } catch (const Scard_error&) {
            // The card cannot be reached: the next reader.
        }
    }
    return false;
}

namespace {

// The status word of a command, or nothing when the exchange failed or the reply has none.
std::optional<uint16_t> status_of(ISCard& card, const ISCardCmd& command)
{
    card_io::Bytes reply;
    if (card.transmit(command, reply) != SCARD_S_SUCCESS || reply.size() < 2)
        return std::nullopt;
    return static_cast<uint16_t>(reply[reply.size() - 2] << 8 | reply.back());
}

// SELECT of one file identifier; P2 0C asks for no file control information back.
ISCardCmd select_command(uint16_t file_id, uint8_t p2)
{
    ISCardCmd command;
    command.BuildCmd(0x00, 0xA4, 0x00, p2, {static_cast<uint8_t>(file_id >> 8), static_cast<uint8_t>(file_id)},
                     std::nullopt);
    return command;
}

} // namespace

uint8_t signing_pin_reference(ISCard& card)
{
    assertion(card.CardHandle() != 0, "card handle ne NULL");
    Card_transaction transaction(card.CardHandle(), SCARD_LEAVE_CARD);
    if (transaction.result() != SCARD_S_SUCCESS)
        return Card_pin_reference;
    // One identifier at a time from the master file: every CNS card selects that way, not all by
    // path.
    bool found = true;
    for (const uint16_t file_id : {0x3F00, 0x1400, 0x9010})
        if (found)
            found = status_of(card, select_command(file_id, 0x0C)) == 0x9000;
    status_of(card, select_command(0x3F00, 0x0C));
    return found ? Signature_pin_reference : Card_pin_reference;
}

uint32_t verify_card_pin(ISCard& card, std::string_view pin, uint8_t reference, std::optional<int>* tries_left)
{
    assertion(!pin.empty(), "not is_empty (pin)");
    assertion(card.CardHandle() != 0, "card handle ne NULL");
    if (tries_left)
        tries_left->reset();
    ISCardCmd verify;
    {
        std::vector<uint8_t> block(card_io::Pin_block_size);
        card_io::put_pin_block(pin.substr(0, card_io::Pin_block_size),
                               std::span<uint8_t, card_io::Pin_block_size>(block.data(), block.size()));
        verify.BuildCmd(0x00, 0x20, 0x00, reference, block, std::nullopt);
        OPENSSL_cleanse(block.data(), block.size());
    }

    Card_transaction transaction(card.CardHandle(), SCARD_LEAVE_CARD);
    if (transaction.result() != SCARD_S_SUCCESS)
        return static_cast<uint32_t>(transaction.result());
    card_io::Bytes reply;
    const LONG sent = card.transmit(verify, reply);
    verify.clear();
    if (sent != SCARD_S_SUCCESS)
        return static_cast<uint32_t>(sent);
    // A reply without a status word comes from a card taken out during the command.
    if (reply.size() < 2)
        return Scard_w_removed_card;
    const uint8_t sw1 = reply[reply.size() - 2];
    const uint8_t sw2 = reply.back();

    // Back to the master file; the answer does not matter.
    status_of(card, select_command(0x3F00, 0x00));
    transaction.end();

    switch (sw1) {
    case 0x63:
        if (tries_left)
            *tries_left = velin::tries_left(static_cast<uint16_t>(sw1 << 8 | sw2));
        return Pin_wrong;
    case 0x69:
        return Pin_blocked;
    case 0x90:
        return 0;
    default:
        Trace(Trace_kind, Level_info) << "Status word non gestita.";
        return Pin_status_unknown;
    }
}

bool pin_can_be_confirmed(std::string_view pin)
{
    return pin.size() >= 5 && pin.size() <= 8 &&
           std::all_of(pin.begin(), pin.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace velin
