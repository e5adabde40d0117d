#include "cardlib/scard.h"

#include "cardlib/card_exceptions.h"
#include "common/trace.h"

#include <openssl/crypto.h>

#include <memory>

namespace velin::cardlib {

namespace {

struct Reader_list_releaser {
    SCARDCONTEXT context;
    void operator()(char* list) const { SCardFreeMemory(context, list); }
};

} // namespace

SCard_context::SCard_context()
{
    SCARDCONTEXT context = 0;
    const LONG result = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context);
    if (result != SCARD_S_SUCCESS) {
        Trace(Trace_kind, Level_error) << "SCardEstablishContext: " << trace_code(result);
        throw Winapi_exception(static_cast<uint32_t>(result));
    }
    reset(context);
}

std::string SCard_context::find_reader_with_card()
{
    char* raw = nullptr;
    DWORD length = SCARD_AUTOALLOCATE;
    const LONG result = SCardListReaders(get(), nullptr, reinterpret_cast<char*>(&raw), &length);
    if (result != SCARD_S_SUCCESS) {
        Trace(Trace_kind, Level_warn) << "SCardListReaders: " << trace_code(result);
        throw Winapi_exception(static_cast<uint32_t>(result));
    }
    const std::unique_ptr<char, Reader_list_releaser> list(raw, Reader_list_releaser{get()});
    _reader_with_card.clear();
    // Walk the double-NUL-terminated list within the length the service reported.
    const char* end = raw + length;
    for (const char* name = raw; name < end && *name; name += std::char_traits<char>::length(name) + 1) {
        SCARD_READERSTATE state{};
        state.szReader = name;
        state.dwCurrentState = SCARD_STATE_UNAWARE;
        const LONG status = SCardGetStatusChange(get(), 0, &state, 1);
        if (status != SCARD_S_SUCCESS) {
            Trace(Trace_kind, Level_warn) << "SCardGetStatusChange: " << trace_code(status);
            throw Winapi_exception(static_cast<uint32_t>(status));
        }
        if (state.dwEventState & SCARD_STATE_PRESENT) {
            _reader_with_card = name;
            break;
        }
    }
    Trace(Trace_kind, Level_info) << "Lettore con la carta: \"" << _reader_with_card << "\"";
    return _reader_with_card;
}

Card_transaction::Card_transaction(SCARDHANDLE card, DWORD disposition) : _card(card), _disposition(disposition)
{
    require(card != 0, "card ne NULL");
    require(disposition <= SCARD_EJECT_CARD, "disposition le SCARD_EJECT_CARD");
    const LONG result = SCardBeginTransaction(card);
    if (result != SCARD_S_SUCCESS) {
        Trace(Trace_kind, Level_error) << "SCardBeginTransaction: " << trace_code(result);
        throw Winapi_exception(static_cast<uint32_t>(result));
    }
}

Card_transaction::~Card_transaction()
{
    const LONG result = SCardEndTransaction(_card, _disposition);
    if (result != SCARD_S_SUCCESS)
        Trace(Trace_kind, Level_warn) << "SCardEndTransaction: " << trace_code(result);
}

SCard::SCard(std::shared_ptr<SCard_context> context, const std::string& reader, DWORD share_mode)
    : _context(std::move(context))
{
    require(_context != nullptr, "context ne NULL");
    connect(reader, share_mode);
}

SCard::~SCard()
{
    if (_card) {
        const LONG result = SCardDisconnect(_card, SCARD_RESET_CARD);
        if (result != SCARD_S_SUCCESS)
            Trace(Trace_kind, Level_warn) << "SCardDisconnect: " << trace_code(result);
    }
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
    const LONG result = SCardConnect(_context->get(), reader.c_str(), share_mode, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                                     &card, &protocol);
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

const ISO7816_RESPONSE_APDU& SCard::transmit(const ISO7816_COMMAND_APDU& command)
{
    require(_card != 0, "card ne NULL");
    // The library speaks T=1 only.
    require(_protocol == SCARD_PROTOCOL_T1, "protocol eq SCARD_PROTOCOL_T1");
    Bytes bytes = command.serialise();
    if (command.secret())
        Trace(Trace_kind, Level_trace) << "APDU > " << to_hex(Bytes(bytes.begin(), bytes.begin() + 4), " ") << " (dati riservati)";
    else
        Trace(Trace_kind, Level_trace) << "APDU > " << to_hex(bytes, " ");
    SCARD_IO_REQUEST send_pci{};
    send_pci.dwProtocol = _protocol;
    send_pci.cbPciLength = sizeof send_pci;
    uint8_t buffer[256];
    DWORD received = sizeof buffer;
    const LONG result = SCardTransmit(_card, &send_pci, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, buffer,
                                      &received);
    OPENSSL_cleanse(bytes.data(), bytes.size());
    if (result != SCARD_S_SUCCESS) {
        Trace(Trace_kind, Level_warn) << "SCardTransmit: " << trace_code(result);
        throw Winapi_exception(static_cast<uint32_t>(result));
    }
    check(received <= sizeof buffer, "received le 256");
    if (received == 0)
        throw CEnumException<CProtocolErrors::CCode>(CProtocolErrors::Empty_reply);
    if (received == 1)
        throw CEnumException<CProtocolErrors::CCode>(CProtocolErrors::One_byte_reply);
    _last_response = ISO7816_RESPONSE_APDU(Bytes(buffer, buffer + received));
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
        char reader[256];
        DWORD reader_length = sizeof reader;
        DWORD state = 0;
        DWORD protocol = 0;
        uint8_t atr[33]; // SCARD_ATR_LENGTH
        DWORD atr_length = sizeof atr;
        const LONG result = SCardStatus(_card, reader, &reader_length, &state, &protocol, atr, &atr_length);
        if (result != SCARD_S_SUCCESS) {
            Trace(Trace_kind, Level_warn) << "SCardStatus: " << trace_code(result);
            throw Winapi_exception(static_cast<uint32_t>(result));
        }
        _atr.assign(atr, atr + std::min<DWORD>(atr_length, sizeof atr));
        Trace(Trace_kind, Level_info) << "ATR del lettore: " << to_hex(_atr, " ");
    }
    return _atr;
}

} // namespace velin::cardlib
