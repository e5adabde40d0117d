#include "norax_sign/card_entry.h"

#include "VelinMenu/channel/card_access.h"
#include "common/cns_atr.h"
#include "common/trace.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <array>
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
        try {
            std::shared_ptr<ISCard> card = attach_card(_readers[index]);
            if (is_cns_atr(card->get_Atr().bytes())) {
                _card = std::move(card);
                _reader_name = _readers[index];
                _reader_index = index;
                return true;
            }
            card->Detach(SCARD_LEAVE_CARD);
        } catch (const Scard_error&) {
            // No card in this reader, or it cannot be reached: the next one.
        }
    }
    return false;
}

namespace {

const SCARD_IO_REQUEST* protocol_pci(const ISCard& card)
{
    return card.protocol() == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
}

// The status word of a command (no data expected back), or nothing when the exchange failed.
std::optional<uint16_t> status_of(ISCard& card, std::span<const uint8_t> command)
{
    std::array<uint8_t, 258> reply{};
    DWORD reply_size = reply.size();
    if (SCardTransmit(card.CardHandle(), protocol_pci(card), command.data(), static_cast<DWORD>(command.size()),
                      nullptr, reply.data(), &reply_size) != SCARD_S_SUCCESS ||
        reply_size < 2)
        return std::nullopt;
    return static_cast<uint16_t>(reply[reply_size - 2] << 8 | reply[reply_size - 1]);
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
    for (const std::array<uint8_t, 7>& select : {std::array<uint8_t, 7>{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00},
                                                 std::array<uint8_t, 7>{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x14, 0x00},
                                                 std::array<uint8_t, 7>{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x90, 0x10}})
        if (found)
            found = status_of(card, select) == 0x9000;
    static constexpr std::array<uint8_t, 7> select_master_file = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
    status_of(card, select_master_file);
    return found ? Signature_pin_reference : Card_pin_reference;
}

uint32_t verify_card_pin(ISCard& card, std::string_view pin, uint8_t reference, std::optional<int>* tries_left)
{
    assertion(!pin.empty(), "not is_empty (pin)");
    assertion(card.CardHandle() != 0, "card handle ne NULL");
    if (tries_left)
        tries_left->reset();
    std::array<uint8_t, 13> verify = {0x00, 0x20, 0x00, reference, 0x08};
    std::fill(verify.begin() + 5, verify.end(), uint8_t{0xFF});
    std::copy_n(pin.begin(), std::min<size_t>(pin.size(), 8), verify.begin() + 5);
    struct Wipe {
        std::array<uint8_t, 13>& bytes;
        ~Wipe() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
    } wipe{verify};

    const SCARD_IO_REQUEST* pci = protocol_pci(card);
    Card_transaction transaction(card.CardHandle(), SCARD_LEAVE_CARD);
    if (transaction.result() != SCARD_S_SUCCESS)
        return static_cast<uint32_t>(transaction.result());
    std::array<uint8_t, 256> reply{};
    DWORD reply_size = reply.size();
    const LONG sent =
        SCardTransmit(card.CardHandle(), pci, verify.data(), verify.size(), nullptr, reply.data(), &reply_size);
    if (sent != SCARD_S_SUCCESS)
        return static_cast<uint32_t>(sent);
    // A reply without a status word comes from a card taken out during the command.
    if (reply_size < 2)
        return Scard_w_removed_card;
    const uint8_t sw1 = reply[reply_size - 2];
    const uint8_t sw2 = reply[reply_size - 1];

    // Back to the master file; the answer does not matter.
    static constexpr std::array<uint8_t, 7> select_master_file = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};
    reply_size = reply.size();
    SCardTransmit(card.CardHandle(), pci, select_master_file.data(), select_master_file.size(), nullptr, reply.data(),
                  &reply_size);
    transaction.end();

    switch (sw1) {
    case 0x63:
        // 63Cx: x tries are left (none: this wrong PIN was the last one).
        if ((sw2 & 0xF0) == 0xC0 && tries_left)
            *tries_left = sw2 & 0x0F;
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
