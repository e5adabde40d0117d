// One connection to a card through PC/SC, and the exclusive-access guard around each exchange.
// PC/SC failures are raised as Scard_error carrying the PC/SC code unchanged.
#pragma once

#include "card_channel/byte_buffer.h"
#include "card_channel/scard_cmd.h"
#include "card_io/pcsc.h"
#include "common/failure.h"

#include <winscard.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace velin {

// PC/SC codes the suite tests for (the same values on every PC/SC implementation).
constexpr uint32_t Scard_w_removed_card = 0x80100069u;
constexpr uint32_t Scard_e_no_smartcard = 0x8010000Cu;

// A failed PC/SC call: the code it returned, as the suite's result code.
class Scard_error : public std::runtime_error {
public:
    Scard_error(uint32_t code, const std::string& call);
    uint32_t code() const { return _code; }

private:
    uint32_t _code;
};

// The owners of a PC/SC context and of a connection: a connection is let go with a card reset, so a
// PIN verified on it does not outlive it.
using Scard_context_handle = Handle<SCARDCONTEXT, 0, card_io::Context_release>;
using Scard_card_handle = Handle<SCARDHANDLE, 0, card_io::Card_reset_release>;

// Begins a PC/SC transaction on construction; ends it on destruction only if it began. result()
// is SCardBeginTransaction's; end() ends it now and returns SCardEndTransaction's result.
class Card_transaction : public card_io::Transaction {
public:
    Card_transaction(SCARDHANDLE card, DWORD disposition) : card_io::Transaction(card_io::Pcsc(), card, disposition) {}
};

class ISCard {
public:
    ISCard() = default;
    // Resets the card (SCARD_RESET_CARD) when attached, then releases the context.
    ~ISCard() = default;
    ISCard(const ISCard&) = delete;
    ISCard& operator=(const ISCard&) = delete;

    void AttachByReader(const std::string& bstrReaderName, DWORD share_mode, DWORD preferred_protocols);
    IByteBuffer get_Atr();
    void Detach(DWORD disposition);
    // Sends the prepared command in a transaction and stores the reply in it; returns the
    // result of ending the transaction. The status word is the caller's to read.
    LONG Transaction(ISCardCmd** ppCmd);
    // Sends a command inside a transaction the caller holds: the PC/SC result, the reply (status
    // word included) in reply. Nothing is raised.
    LONG transmit(const ISCardCmd& command, card_io::Bytes& reply) const;

    SCARDHANDLE CardHandle() const { return _card.get(); }
    DWORD protocol() const { return _protocol; }
    const std::string& reader_name() const { return _reader; }

private:
    Scard_context_handle _context;
    Scard_card_handle _card; // let go before the context
    DWORD _protocol = 0;
    std::string _reader;
};

} // namespace velin
