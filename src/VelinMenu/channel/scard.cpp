#include "VelinMenu/channel/scard.h"

#include "common/failure.h"
#include "common/trace.h"

#include <boost/format.hpp>

#include <algorithm>
#include <chrono>
#include <thread>

namespace velin {

Scard_error::Scard_error(uint32_t code, const std::string& call)
    : std::runtime_error((boost::format("%s: 0x%08X") % call % code).str()), _code(code)
{}

namespace {

void check(LONG result, const char* call)
{
    if (result != SCARD_S_SUCCESS)
        throw Scard_error(static_cast<uint32_t>(result), call);
}

// Whether the card of this connection has left its reader. The service notices a removal by
// polling its readers a few times a second: wait up to 1.5 s for it to say so.
bool card_gone(SCARDHANDLE card)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    for (;;) {
        char reader[256];
        DWORD reader_length = sizeof reader;
        DWORD state = 0;
        DWORD protocol = 0;
        uint8_t atr[36];
        DWORD atr_length = sizeof atr;
        const LONG result = SCardStatus(card, reader, &reader_length, &state, &protocol, atr, &atr_length);
        if (result == SCARD_W_REMOVED_CARD || result == SCARD_E_NO_SMARTCARD ||
            (result == SCARD_S_SUCCESS && (state & SCARD_ABSENT)))
            return true;
        if ((result != SCARD_S_SUCCESS && result != SCARD_W_RESET_CARD) || std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

} // namespace

Card_transaction::Card_transaction(SCARDHANDLE card, DWORD disposition)
    : _card(card), _disposition(disposition), _result(SCardBeginTransaction(card)), _open(_result == SCARD_S_SUCCESS)
{}

Card_transaction::~Card_transaction()
{
    end();
}

LONG Card_transaction::end()
{
    if (!_open)
        return SCARD_S_SUCCESS;
    _open = false;
    return SCardEndTransaction(_card, _disposition);
}

bool Scard_context_release::operator()(SCARDCONTEXT context) const
{
    return SCardReleaseContext(context) == SCARD_S_SUCCESS;
}

bool Scard_card_release::operator()(SCARDHANDLE card) const
{
    return SCardDisconnect(card, SCARD_RESET_CARD) == SCARD_S_SUCCESS;
}

void ISCard::AttachByReader(const std::string& bstrReaderName, DWORD share_mode, DWORD preferred_protocols)
{
    assertion(!_card, "CardHandle eq NULL");
    assertion(0 < bstrReaderName.length(), "0 < bstrReaderName.length()");
    if (!_context) {
        SCARDCONTEXT context = 0;
        check(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context), "SCardEstablishContext");
        _context.reset(context);
    }
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    check(SCardConnect(_context.get(), bstrReaderName.c_str(), share_mode, preferred_protocols, &card, &protocol),
          "SCardConnect");
    _card.reset(card);
    _protocol = protocol;
    _reader = bstrReaderName;
}

IByteBuffer ISCard::get_Atr()
{
    assertion(static_cast<bool>(_card), "CardHandle ne NULL");
    uint8_t atr[36] = {};
    DWORD length = sizeof atr;
    LONG result = SCardGetAttrib(_card.get(), Scard_attr_atr_string, atr, &length);
    if (result == SCARD_E_UNSUPPORTED_FEATURE) {
        // Some reader drivers do not answer the attribute; the status call carries the same ATR.
        char reader[256];
        DWORD reader_length = sizeof reader;
        DWORD state = 0;
        DWORD protocol = 0;
        length = sizeof atr;
        result = SCardStatus(_card.get(), reader, &reader_length, &state, &protocol, atr, &length);
    }
    check(result, "SCardGetAttrib");
    return IByteBuffer(atr, atr + std::min<DWORD>(length, sizeof atr));
}

void ISCard::Detach(DWORD disposition)
{
    assertion(static_cast<bool>(_card), "CardHandle ne NULL");
    check(SCardDisconnect(_card.get(), disposition), "SCardDisconnect");
    _card.release();
}

LONG ISCard::Transaction(ISCardCmd** ppCmd)
{
    assertion(ppCmd != nullptr, "ppCmd ne NULL");
    assertion(*ppCmd != nullptr, "*ppCmd ne NULL");
    ISCardCmd& command = **ppCmd;
    Card_transaction transaction(_card.get(), SCARD_LEAVE_CARD);
    check(transaction.result(), "SCardBeginTransaction");
    const SCARD_IO_REQUEST pci{_protocol, sizeof(SCARD_IO_REQUEST)};
    assertion(!command.command_apdu().empty(), "not _command_apdu_.empty()");
    DWORD length = ISCardCmd::Reply_capacity;
    command.set_reply_length(0);
    const LONG result =
        SCardTransmit(_card.get(), &pci, command.command_apdu().data(),
                      static_cast<DWORD>(command.command_apdu().size()), nullptr, command.reply_buffer(), &length);
    // A card taken out under the command comes back as an empty reply or as one of several
    // failures before the service reports it gone: the holder is told it was taken out.
    if ((result != SCARD_S_SUCCESS || length == 0) && result != SCARD_E_TIMEOUT && card_gone(_card.get()))
        throw Scard_error(static_cast<uint32_t>(SCARD_W_REMOVED_CARD), "SCardTransmit");
    check(result, "SCardTransmit");
    command.set_reply_length(std::min<DWORD>(length, ISCardCmd::Reply_capacity));
    return transaction.end();
}

} // namespace velin
