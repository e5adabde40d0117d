#include "card_channel/scard.h"

#include "common/failure.h"
#include "common/trace.h"

#include <boost/format.hpp>

#include <chrono>

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

} // namespace

void ISCard::AttachByReader(const std::string& bstrReaderName, DWORD share_mode, DWORD preferred_protocols)
{
    assertion(!_card, "CardHandle eq NULL");
    assertion(0 < bstrReaderName.length(), "0 < bstrReaderName.length()");
    const card_io::Pcsc pcsc;
    if (!_context) {
        SCARDCONTEXT context = 0;
        check(pcsc.establish_context(SCARD_SCOPE_USER, context), "SCardEstablishContext");
        _context.reset(context);
    }
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    check(pcsc.connect(_context.get(), bstrReaderName, share_mode, preferred_protocols, card, protocol),
          "SCardConnect");
    _card.reset(card);
    _protocol = protocol;
    _reader = bstrReaderName;
}

IByteBuffer ISCard::get_Atr()
{
    assertion(static_cast<bool>(_card), "CardHandle ne NULL");
    card_io::Bytes atr;
    check(card_io::Pcsc().atr_attribute(_card.get(), atr), "SCardGetAttrib");
    return IByteBuffer(atr.data(), atr.data() + atr.size());
}

void ISCard::Detach(DWORD disposition)
{
    assertion(static_cast<bool>(_card), "CardHandle ne NULL");
    check(card_io::Pcsc().disconnect(_card.get(), disposition), "SCardDisconnect");
    _card.release();
}

LONG ISCard::Transaction(ISCardCmd** ppCmd)
{
    assertion(ppCmd != nullptr, "ppCmd ne NULL");
    assertion(*ppCmd != nullptr, "*ppCmd ne NULL");
    ISCardCmd& command = **ppCmd;
    Card_transaction transaction(_card.get(), SCARD_LEAVE_CARD);
    check(transaction.result(), "SCardBeginTransaction");
    assertion(!command.command_apdu().empty(), "not _command_apdu_.empty()");
    command.set_reply({});
    const card_io::Pcsc pcsc;
    card_io::Bytes reply;
    const LONG result = pcsc.transmit(_card.get(), _protocol, command.command_apdu(), reply);
    // A card taken out under the command comes back as an empty reply or as one of several
    // failures before the service reports it gone: the holder is told it was taken out.
    if ((result != SCARD_S_SUCCESS || reply.empty()) && result != SCARD_E_TIMEOUT &&
        pcsc.card_gone(_card.get(), std::chrono::milliseconds(1500)))
        throw Scard_error(static_cast<uint32_t>(SCARD_W_REMOVED_CARD), "SCardTransmit");
    check(result, "SCardTransmit");
    command.set_reply(reply);
    return transaction.end();
}

LONG ISCard::transmit(const ISCardCmd& command, card_io::Bytes& reply) const
{
    return card_io::Pcsc().transmit(_card.get(), _protocol, command.command_apdu(), reply);
}

} // namespace velin
