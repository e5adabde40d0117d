#include "card_io/pcsc.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <thread>
#include <utility>

namespace velin::card_io {

namespace {

// SCARD_ATTR_ATR_STRING: the attribute's number, the same on every PC/SC implementation.
constexpr DWORD Attribute_atr_string = 0x00090303u;

LONG run_here(Pcsc_call call)
{
    return call();
}

LONG release_here(Pcsc_call call) noexcept
{
    try {
        return call();
    } catch (...) {
        return SCARD_F_UNKNOWN_ERROR;
    }
}

// What SCardStatus fills in; the reader's name is not kept.
struct Status_buffers {
    char reader[256];
    DWORD reader_length = sizeof reader;
    DWORD state = 0;
    DWORD protocol = 0;
    uint8_t atr[36]; // the longest ATR a reader driver reports, with room to spare
    DWORD atr_length = sizeof atr;

    LONG ask(SCARDHANDLE card)
    {
        return SCardStatus(card, reader, &reader_length, &state, &protocol, atr, &atr_length);
    }
    Bytes atr_bytes() const { return Bytes(atr, atr + std::min<DWORD>(atr_length, sizeof atr)); }
};

// The bytes of one exchange, owned by the call itself: after a time-out it still writes here.
struct Exchange {
    Bytes command;
    uint8_t reply[Reply_capacity];
    DWORD received = sizeof reply;
    SCARD_IO_REQUEST send_pci{};
    ~Exchange()
    {
        OPENSSL_cleanse(command.data(), command.size());
        OPENSSL_cleanse(reply, sizeof reply);
    }
};

} // namespace

const Pcsc_runner Direct_calls{&run_here, &release_here};

std::vector<std::string> reader_names(const char* names, size_t length)
{
    std::vector<std::string> readers;
    const char* end = names + length;
    for (const char* name = names; name < end && *name;) {
        const char* stop = std::find(name, end, '\0');
        readers.emplace_back(name, stop);
        name = stop + (stop < end ? 1 : 0);
    }
    return readers;
}

LONG list_reader_names(const Reader_list_call& call, std::vector<std::string>& names)
{
    names.clear();
    std::vector<char> buffer;
    // A reader plugged in between asking for the size and listing makes the list longer than
    // the size asked: a few more tries cover readers plugged in one after another.
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD length = 0;
        LONG result = call(nullptr, &length);
        if (result != SCARD_S_SUCCESS)
            return result;
        buffer.assign(length, '\0');
        result = call(buffer.data(), &length);
        if (result == SCARD_E_INSUFFICIENT_BUFFER)
            continue;
        if (result != SCARD_S_SUCCESS)
            return result;
        names = reader_names(buffer.data(), std::min<size_t>(length, buffer.size()));
        return SCARD_S_SUCCESS;
    }
    return SCARD_E_INSUFFICIENT_BUFFER;
}

LONG Pcsc::establish_context(DWORD scope, SCARDCONTEXT& context) const
{
    auto made = std::make_shared<SCARDCONTEXT>(0);
    const LONG result =
        _runner.run([scope, made] { return SCardEstablishContext(scope, nullptr, nullptr, made.get()); });
    context = result == SCARD_S_SUCCESS ? *made : 0;
    return result;
}

LONG Pcsc::release_context(SCARDCONTEXT context) const noexcept
{
    return _runner.release([context] { return SCardReleaseContext(context); });
}

LONG Pcsc::list_readers(SCARDCONTEXT context, std::vector<std::string>& names) const
{
    auto listed = std::make_shared<std::vector<std::string>>();
    const LONG result = _runner.run([context, listed] {
        return list_reader_names(
            [context](char* buffer, DWORD* length) { return SCardListReaders(context, nullptr, buffer, length); },
            *listed);
    });
    names = std::move(*listed);
    return result;
}

LONG Pcsc::card_present(SCARDCONTEXT context, const std::string& reader, bool& present) const
{
    auto state = std::make_shared<std::pair<std::string, SCARD_READERSTATE>>(reader, SCARD_READERSTATE{});
    const LONG result = _runner.run([context, state] {
        state->second.szReader = state->first.c_str();
        state->second.dwCurrentState = SCARD_STATE_UNAWARE;
        return SCardGetStatusChange(context, 0, &state->second, 1);
    });
    present = result == SCARD_S_SUCCESS && (state->second.dwEventState & SCARD_STATE_PRESENT);
    return result;
}

LONG Pcsc::connect(SCARDCONTEXT context, const std::string& reader, DWORD share_mode, DWORD protocols,
                   SCARDHANDLE& card, DWORD& protocol) const
{
    struct Connection {
        std::string reader;
        SCARDHANDLE card = 0;
        DWORD protocol = 0;
    };
    auto connection = std::make_shared<Connection>();
    connection->reader = reader;
    const LONG result = _runner.run([context, connection, share_mode, protocols] {
        return SCardConnect(context, connection->reader.c_str(), share_mode, protocols, &connection->card,
                            &connection->protocol);
    });
    card = result == SCARD_S_SUCCESS ? connection->card : 0;
    protocol = result == SCARD_S_SUCCESS ? connection->protocol : 0;
    return result;
}

LONG Pcsc::disconnect(SCARDHANDLE card, DWORD disposition) const
{
    return _runner.run([card, disposition] { return SCardDisconnect(card, disposition); });
}

LONG Pcsc::release_card(SCARDHANDLE card, DWORD disposition) const noexcept
{
    return _runner.release([card, disposition] { return SCardDisconnect(card, disposition); });
}

LONG Pcsc::status(SCARDHANDLE card, Card_status& status) const
{
    auto buffers = std::make_shared<Status_buffers>();
    const LONG result = _runner.run([card, buffers] { return buffers->ask(card); });
    status.state = buffers->state;
    status.protocol = buffers->protocol;
    status.atr = result == SCARD_S_SUCCESS ? buffers->atr_bytes() : Bytes();
    return result;
}

LONG Pcsc::atr_attribute(SCARDHANDLE card, Bytes& atr) const
{
    struct Attribute {
        uint8_t atr[36];
        DWORD length = sizeof atr;
    };
    auto attribute = std::make_shared<Attribute>();
    const LONG result = _runner.run(
        [card, attribute] { return SCardGetAttrib(card, Attribute_atr_string, attribute->atr, &attribute->length); });
    if (result == SCARD_E_UNSUPPORTED_FEATURE) {
        Card_status reported;
        const LONG status_result = status(card, reported);
        atr = std::move(reported.atr);
        return status_result;
    }
    atr = result == SCARD_S_SUCCESS
              ? Bytes(attribute->atr, attribute->atr + std::min<DWORD>(attribute->length, sizeof attribute->atr))
              : Bytes();
    return result;
}

bool Pcsc::card_gone(SCARDHANDLE card, std::chrono::milliseconds settle) const
{
    const auto until = std::chrono::steady_clock::now() + settle;
    for (;;) {
        Card_status reported;
        switch (status(card, reported)) {
        case SCARD_S_SUCCESS:
            if (reported.state & SCARD_ABSENT)
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

LONG Pcsc::begin_transaction(SCARDHANDLE card) const
{
    return _runner.run([card] { return SCardBeginTransaction(card); });
}

LONG Pcsc::end_transaction(SCARDHANDLE card, DWORD disposition) const noexcept
{
    return _runner.release([card, disposition] { return SCardEndTransaction(card, disposition); });
}

LONG Pcsc::transmit(SCARDHANDLE card, DWORD protocol, Bytes command, Bytes& reply) const
{
    auto exchange = std::make_shared<Exchange>();
    exchange->command = std::move(command);
    exchange->send_pci.dwProtocol = protocol;
    exchange->send_pci.cbPciLength = sizeof exchange->send_pci;
    const LONG result = _runner.run([card, exchange] {
        return SCardTransmit(card, &exchange->send_pci, exchange->command.data(),
                             static_cast<DWORD>(exchange->command.size()), nullptr, exchange->reply,
                             &exchange->received);
    });
    if (result == SCARD_S_SUCCESS)
        reply.assign(exchange->reply, exchange->reply + std::min<DWORD>(exchange->received, sizeof exchange->reply));
    else
        reply.clear();
    return result;
}

Transaction::Transaction(const Pcsc& pcsc, SCARDHANDLE card, DWORD disposition)
    : _pcsc(pcsc),
      _card(card),
      _disposition(disposition),
      _result(pcsc.begin_transaction(card)),
      _open(_result == SCARD_S_SUCCESS)
{}

LONG Transaction::end() noexcept
{
    if (!_open)
        return SCARD_S_SUCCESS;
    _open = false;
    return _pcsc.end_transaction(_card, _disposition);
}

LONG list_readers_once(DWORD scope, std::vector<std::string>& names)
{
    names.clear();
    const Pcsc pcsc;
    SCARDCONTEXT context = 0;
    const LONG result = pcsc.establish_context(scope, context);
    if (result != SCARD_S_SUCCESS)
        return result;
    const LONG listed = pcsc.list_readers(context, names);
    pcsc.release_context(context);
    return listed;
}

bool Context_release::operator()(SCARDCONTEXT context) const
{
    return Pcsc().release_context(context) == SCARD_S_SUCCESS;
}

bool Card_reset_release::operator()(SCARDHANDLE card) const
{
    return Pcsc().release_card(card, SCARD_RESET_CARD) == SCARD_S_SUCCESS;
}

} // namespace velin::card_io
