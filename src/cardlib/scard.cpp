#include "cardlib/scard.h"

#include "cardlib/card_call.h"
#include "cardlib/card_exceptions.h"
#include "common/trace.h"

#include <utility>
#include <vector>

namespace velin::cardlib {

namespace {

[[noreturn]] void fail(const char* call, LONG result)
{
    Trace(Trace_kind, Level_warn) << call << ": " << trace_code(result);
    throw Winapi_exception(static_cast<uint32_t>(result));
}

// How long a failed exchange waits for the service to report the card gone before it is
// taken for the fault it claims to be.
constexpr std::chrono::milliseconds Removal_settle{1500};

SCARDHANDLE begun_on(SCARDHANDLE card, DWORD disposition)
{
    require(card != 0, "card ne NULL");
    require(disposition <= SCARD_EJECT_CARD, "disposition le SCARD_EJECT_CARD");
    return card;
}

} // namespace

bool SCard_context_releaser::operator()(SCARDCONTEXT context) const
{
    return pcsc().release_context(context) == SCARD_S_SUCCESS;
}

SCard_context::SCard_context()
{
    SCARDCONTEXT context = 0;
    const LONG result = pcsc().establish_context(SCARD_SCOPE_USER, context);
    if (result != SCARD_S_SUCCESS) {
        Trace(Trace_kind, Level_error) << "SCardEstablishContext: " << trace_code(result);
        throw Winapi_exception(static_cast<uint32_t>(result));
    }
    reset(context);
}

std::string SCard_context::find_reader_with_card()
{
    std::vector<std::string> readers;
    const LONG result = pcsc().list_readers(get(), readers);
    if (result != SCARD_S_SUCCESS)
        fail("SCardListReaders", result);
    _reader_with_card.clear();
    for (const std::string& name : readers) {
        bool present = false;
        const LONG status = pcsc().card_present(get(), name, present);
        if (status != SCARD_S_SUCCESS)
            fail("SCardGetStatusChange", status);
        if (present) {
            _reader_with_card = name;
            break;
        }
    }
    Trace(Trace_kind, Level_info) << "Lettore con la carta: \"" << _reader_with_card << "\"";
    return _reader_with_card;
}

Card_transaction::Card_transaction(SCARDHANDLE card, DWORD disposition)
    : _transaction(pcsc(), begun_on(card, disposition), disposition)
{
    if (_transaction.result() != SCARD_S_SUCCESS) {
        Trace(Trace_kind, Level_error) << "SCardBeginTransaction: " << trace_code(_transaction.result());
        throw Winapi_exception(static_cast<uint32_t>(_transaction.result()));
    }
}

Card_transaction::~Card_transaction()
{
    if (_transaction.end() != SCARD_S_SUCCESS)
        Trace(Trace_kind, Level_warn) << "SCardEndTransaction non riuscita";
}

SCard::SCard(std::shared_ptr<SCard_context> context, const std::string& reader, DWORD share_mode)
    : _context(std::move(context))
{
    require(_context != nullptr, "context ne NULL");
    connect(reader, share_mode);
}

SCard::~SCard()
{
    if (_card && pcsc().release_card(_card, SCARD_RESET_CARD) != SCARD_S_SUCCESS)
        Trace(Trace_kind, Level_warn) << "SCardDisconnect non riuscita";
}

void SCard::connect(const std::string& reader, DWORD share_mode)
{
    _reader = reader;
    // No reader holds a card. The platform's service answers an empty name with "unknown
    // reader"; the holder is told what is really missing: the card.
    if (reader.empty())
        throw Winapi_exception(static_cast<uint32_t>(SCARD_E_NO_SMARTCARD));
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    const LONG result =
        pcsc().connect(_context->get(), reader, share_mode, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, card, protocol);
    if (result != SCARD_S_SUCCESS) {
        Trace(Trace_kind, Level_warn) << "SCardConnect: " << trace_code(result);
        if (static_cast<uint32_t>(result) == static_cast<uint32_t>(SCARD_W_REMOVED_CARD))
            throw Winapi_exception(static_cast<uint32_t>(SCARD_E_NO_SMARTCARD));
        throw Winapi_exception(static_cast<uint32_t>(result));
    }
    _card = card;
    _protocol = protocol;
    _disposition = SCARD_RESET_CARD;
}

bool SCard::card_gone(std::chrono::milliseconds settle)
{
    return pcsc().card_gone(_card, settle);
}

const ISO7816_RESPONSE_APDU& SCard::transmit(const ISO7816_COMMAND_APDU& command)
{
    require(_card != 0, "card ne NULL");
    // The library speaks T=1 only.
    require(_protocol == SCARD_PROTOCOL_T1, "protocol eq SCARD_PROTOCOL_T1");
    if (command.secret())
        Trace(Trace_kind, Level_trace) << "APDU > "
                                       << to_hex(Bytes{command.cla(), command.ins(), command.p1(), command.p2()}, " ")
                                       << " (dati riservati)";
    else
        Trace(Trace_kind, Level_trace) << "APDU > " << to_hex(command.serialise(), " ");
    Bytes reply;
    const LONG result = pcsc().transmit(_card, _protocol, command.serialise(), reply);
    if (result != SCARD_S_SUCCESS) {
        Trace(Trace_kind, Level_warn) << "SCardTransmit: " << trace_code(result);
        // The service reports a card pulled out under a command in several ways (no data, a
        // broken transaction, a communication error): whatever it said, it was a removal.
        if (result != SCARD_E_TIMEOUT && result != SCARD_W_REMOVED_CARD && card_gone(Removal_settle))
            throw Winapi_exception(static_cast<uint32_t>(SCARD_W_REMOVED_CARD));
        throw Winapi_exception(static_cast<uint32_t>(result));
    }
    if (reply.empty()) {
        // A card that leaves mid-command is seen first as an empty reply, then as gone.
        if (card_gone(Removal_settle)) {
            Trace(Trace_kind, Level_warn) << "La carta è stata rimossa durante il comando";
            throw Winapi_exception(static_cast<uint32_t>(SCARD_W_REMOVED_CARD));
        }
        throw CEnumException<CProtocolErrors::CCode>(CProtocolErrors::Empty_reply);
    }
    if (reply.size() == 1)
        throw CEnumException<CProtocolErrors::CCode>(CProtocolErrors::One_byte_reply);
    _last_response = ISO7816_RESPONSE_APDU(std::move(reply));
    // Replies carry the holder's data: only their size and status word go to the trace.
    Trace(Trace_kind, Level_trace) << "APDU < " << _last_response.data_size() << " byte, SW "
                                   << to_hex(Bytes{_last_response.sw1(), _last_response.sw2()});
    return _last_response;
}

const ISO7816_RESPONSE_APDU& SCard::transmit_checked(const ISO7816_COMMAND_APDU& command)
{
    const ISO7816_RESPONSE_APDU& response = transmit(command);
    if (response.sw1() != 0x90)
        throw SCard_command_failed_exception(response);
    return response;
}

const Bytes& SCard::atr()
{
    if (_atr.empty()) {
        card_io::Card_status status;
        const LONG result = pcsc().status(_card, status);
        if (result != SCARD_S_SUCCESS)
            fail("SCardStatus", result);
        _atr = std::move(status.atr);
        Trace(Trace_kind, Level_info) << "ATR del lettore: " << to_hex(_atr, " ");
    }
    return _atr;
}

} // namespace velin::cardlib
