#include "cardlib/scard.h"

#include "cardlib/card_call.h"
#include "cardlib/card_exceptions.h"
#include "common/trace.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <memory>
#include <thread>
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

// The bytes of one exchange. Owned by the PC/SC call itself: after a time-out the call still
// writes here, later.
struct Exchange {
    Bytes command;
    uint8_t reply[256];
    DWORD received = sizeof reply;
    SCARD_IO_REQUEST send_pci{};
    ~Exchange()
    {
        OPENSSL_cleanse(command.data(), command.size());
        OPENSSL_cleanse(reply, sizeof reply);
    }
};

struct Reader_status {
    char reader[256];
    DWORD reader_length = sizeof reader;
    DWORD state = 0;
    DWORD protocol = 0;
    uint8_t atr[33]; // SCARD_ATR_LENGTH
    DWORD atr_length = sizeof atr;
};

} // namespace

bool SCard_context_releaser::operator()(SCARDCONTEXT context) const
{
    return Card_call::release([context] { return SCardReleaseContext(context); });
}

SCard_context::SCard_context()
{
    auto context = std::make_shared<SCARDCONTEXT>(0);
    const LONG result =
        Card_call::run([context] { return SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, context.get()); });
    if (result != SCARD_S_SUCCESS) {
        Trace(Trace_kind, Level_error) << "SCardEstablishContext: " << trace_code(result);
        throw Winapi_exception(static_cast<uint32_t>(result));
    }
    reset(*context);
}

std::string SCard_context::find_reader_with_card()
{
    struct Listing {
        std::vector<char> names;
        std::vector<std::string> with_card;
    };
    auto listing = std::make_shared<Listing>();
    const SCARDCONTEXT context = get();
    const LONG result = Card_call::run([context, listing] {
        DWORD length = 0;
        LONG status = SCardListReaders(context, nullptr, nullptr, &length);
        if (status != SCARD_S_SUCCESS)
            return status;
        listing->names.assign(length, '\0');
        status = SCardListReaders(context, nullptr, listing->names.data(), &length);
        listing->names.resize(std::min<size_t>(length, listing->names.size()));
        return status;
    });
    if (result != SCARD_S_SUCCESS)
        fail("SCardListReaders", result);
    _reader_with_card.clear();
    // Walk the double-NUL-terminated list within the length the service reported.
    const char* raw = listing->names.data();
    const char* end = raw + listing->names.size();
    for (const char* name = raw; name < end && *name; name += std::char_traits<char>::length(name) + 1) {
        auto state = std::make_shared<std::pair<std::string, SCARD_READERSTATE>>(name, SCARD_READERSTATE{});
        const LONG status = Card_call::run([context, state] {
            state->second.szReader = state->first.c_str();
            state->second.dwCurrentState = SCARD_STATE_UNAWARE;
            return SCardGetStatusChange(context, 0, &state->second, 1);
        });
        if (status != SCARD_S_SUCCESS)
            fail("SCardGetStatusChange", status);
        if (state->second.dwEventState & SCARD_STATE_PRESENT) {
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
    const LONG result = Card_call::run([card] { return SCardBeginTransaction(card); });
    if (result != SCARD_S_SUCCESS) {
        Trace(Trace_kind, Level_error) << "SCardBeginTransaction: " << trace_code(result);
        throw Winapi_exception(static_cast<uint32_t>(result));
    }
}

Card_transaction::~Card_transaction()
{
    const SCARDHANDLE card = _card;
    const DWORD disposition = _disposition;
    if (!Card_call::release([card, disposition] { return SCardEndTransaction(card, disposition); }))
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
    if (_card) {
        const SCARDHANDLE card = _card;
        if (!Card_call::release([card] { return SCardDisconnect(card, SCARD_RESET_CARD); }))
            Trace(Trace_kind, Level_warn) << "SCardDisconnect non riuscita";
    }
}

void SCard::connect(const std::string& reader, DWORD share_mode)
{
    _reader = reader;
    // No reader holds a card. The platform's service answers an empty name with "unknown
    // reader"; the holder is told what is really missing: the card.
    if (reader.empty())
        throw Winapi_exception(static_cast<uint32_t>(SCARD_E_NO_SMARTCARD));
    struct Connection {
        std::string reader;
        SCARDHANDLE card = 0;
        DWORD protocol = 0;
    };
    auto connection = std::make_shared<Connection>();
    connection->reader = reader;
    const SCARDCONTEXT context = _context->get();
    const LONG result = Card_call::run([context, connection, share_mode] {
        return SCardConnect(context, connection->reader.c_str(), share_mode, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                            &connection->card, &connection->protocol);
    });
    if (result != SCARD_S_SUCCESS) {
        Trace(Trace_kind, Level_warn) << "SCardConnect: " << trace_code(result);
        if (static_cast<uint32_t>(result) == static_cast<uint32_t>(SCARD_W_REMOVED_CARD))
            throw Winapi_exception(static_cast<uint32_t>(SCARD_E_NO_SMARTCARD));
        throw Winapi_exception(static_cast<uint32_t>(result));
    }
    _card = connection->card;
    _protocol = connection->protocol;
    _disposition = SCARD_RESET_CARD;
}

bool SCard::card_gone(std::chrono::milliseconds settle)
{
    const auto until = std::chrono::steady_clock::now() + settle;
    const SCARDHANDLE card = _card;
    for (;;) {
        auto status = std::make_shared<Reader_status>();
        const LONG result = Card_call::run([card, status] {
            return SCardStatus(card, status->reader, &status->reader_length, &status->state, &status->protocol,
                               status->atr, &status->atr_length);
        });
        switch (result) {
        case SCARD_S_SUCCESS:
            if (status->state & SCARD_ABSENT)
                return true;
            break;
        case SCARD_W_REMOVED_CARD:
        case SCARD_E_NO_SMARTCARD:
            return true;
        case SCARD_W_RESET_CARD:
            break;
        default:
            return false;
        }
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

const ISO7816_RESPONSE_APDU& SCard::transmit(const ISO7816_COMMAND_APDU& command)
{
    require(_card != 0, "card ne NULL");
    // The library speaks T=1 only.
    require(_protocol == SCARD_PROTOCOL_T1, "protocol eq SCARD_PROTOCOL_T1");
    auto exchange = std::make_shared<Exchange>();
    exchange->command = command.serialise();
    const Bytes& bytes = exchange->command;
    if (command.secret())
        Trace(Trace_kind, Level_trace) << "APDU > " << to_hex(Bytes(bytes.begin(), bytes.begin() + 4), " ")
                                       << " (dati riservati)";
    else
        Trace(Trace_kind, Level_trace) << "APDU > " << to_hex(bytes, " ");
    exchange->send_pci.dwProtocol = _protocol;
    exchange->send_pci.cbPciLength = sizeof exchange->send_pci;
    const SCARDHANDLE card = _card;
    const LONG result = Card_call::run([card, exchange] {
        return SCardTransmit(card, &exchange->send_pci, exchange->command.data(),
                             static_cast<DWORD>(exchange->command.size()), nullptr, exchange->reply,
                             &exchange->received);
    });
    if (result != SCARD_S_SUCCESS) {
        Trace(Trace_kind, Level_warn) << "SCardTransmit: " << trace_code(result);
        // The service reports a card pulled out under a command in several ways (no data, a
        // broken transaction, a communication error): whatever it said, it was a removal.
        if (result != SCARD_E_TIMEOUT && result != SCARD_W_REMOVED_CARD && card_gone(Removal_settle))
            throw Winapi_exception(static_cast<uint32_t>(SCARD_W_REMOVED_CARD));
        throw Winapi_exception(static_cast<uint32_t>(result));
    }
    check(exchange->received <= sizeof exchange->reply, "received le 256");
    if (exchange->received == 0) {
        // A card that leaves mid-command is seen first as an empty reply, then as gone.
        if (card_gone(Removal_settle)) {
            Trace(Trace_kind, Level_warn) << "La carta è stata rimossa durante il comando";
            throw Winapi_exception(static_cast<uint32_t>(SCARD_W_REMOVED_CARD));
        }
        throw CEnumException<CProtocolErrors::CCode>(CProtocolErrors::Empty_reply);
    }
    if (exchange->received == 1)
        throw CEnumException<CProtocolErrors::CCode>(CProtocolErrors::One_byte_reply);
    _last_response = ISO7816_RESPONSE_APDU(Bytes(exchange->reply, exchange->reply + exchange->received));
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
        auto status = std::make_shared<Reader_status>();
        const SCARDHANDLE card = _card;
        const LONG result = Card_call::run([card, status] {
            return SCardStatus(card, status->reader, &status->reader_length, &status->state, &status->protocol,
                               status->atr, &status->atr_length);
        });
        if (result != SCARD_S_SUCCESS)
            fail("SCardStatus", result);
        _atr.assign(status->atr, status->atr + std::min<DWORD>(status->atr_length, sizeof status->atr));
        Trace(Trace_kind, Level_info) << "ATR del lettore: " << to_hex(_atr, " ");
    }
    return _atr;
}

} // namespace velin::cardlib
