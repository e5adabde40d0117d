// One connection to a card through PC/SC, and the exclusive-access guard around each exchange.
// PC/SC failures are raised as Scard_error carrying the PC/SC code unchanged.
#pragma once

#include "VelinMenu/channel/byte_buffer.h"
#include "VelinMenu/channel/scard_cmd.h"
#include "common/failure.h"

#include <winscard.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace velin {

// PC/SC codes the suite tests for (the same values on every PC/SC implementation).
constexpr uint32_t Scard_w_removed_card = 0x80100069u;
constexpr uint32_t Scard_e_no_smartcard = 0x8010000Cu;
constexpr uint32_t Scard_attr_atr_string = 0x00090303u;

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
struct Scard_context_release {
    bool operator()(SCARDCONTEXT context) const;
};
using Scard_context_handle = Handle<SCARDCONTEXT, 0, Scard_context_release>;
struct Scard_card_release {
    bool operator()(SCARDHANDLE card) const;
};
using Scard_card_handle = Handle<SCARDHANDLE, 0, Scard_card_release>;

// Begins a PC/SC transaction on construction; ends it on destruction only if it began.
class Card_transaction {
public:
    Card_transaction(SCARDHANDLE card, DWORD disposition);
    ~Card_transaction();
    Card_transaction(const Card_transaction&) = delete;
    Card_transaction& operator=(const Card_transaction&) = delete;

    LONG result() const { return _result; }
    // Ends the transaction now and returns SCardEndTransaction's result.
    LONG end();

private:
    SCARDHANDLE _card;
    DWORD _disposition;
    LONG _result;
    bool _open;
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
