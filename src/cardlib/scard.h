// PC/SC access: the resource-manager context, one connection to a card, and the exclusive-access
// guard around each command sequence. No call waits for a card: every status query has a zero
// time-out and an absent card fails at once. Each PC/SC call runs through Card_call, within the
// card time of the exported call.
#pragma once

#include "card_io/pcsc.h"
#include "cardlib/iso7816_apdu.h"
#include "common/failure.h"

#include <winscard.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace velin::cardlib {

struct SCard_context_releaser {
    bool operator()(SCARDCONTEXT context) const;
};

// One PC/SC context, shared by the objects that use it.
class SCard_context : public Handle<SCARDCONTEXT, 0, SCard_context_releaser> {
public:
    // SCardEstablishContext (user scope); a failure raises Winapi_exception.
    SCard_context();

    // The first reader, in listing order, that holds a card; empty when none does. No readers at
    // all raise Winapi_exception(SCARD_E_NO_READERS_AVAILABLE).
    std::string find_reader_with_card();
    const std::string& reader_with_card() const { return _reader_with_card; }

private:
    std::string _reader_with_card;
};

// Exclusive access to the card for one command sequence.
class Card_transaction {
public:
    Card_transaction(SCARDHANDLE card, DWORD disposition);
    ~Card_transaction();
    Card_transaction(const Card_transaction&) = delete;
    Card_transaction& operator=(const Card_transaction&) = delete;

private:
    card_io::Transaction _transaction;
};

// One connection to a card, made on construction; disconnection resets the card, so a PIN
// verified on it does not outlive the connection.
class SCard {
public:
    SCard(std::shared_ptr<SCard_context> context, const std::string& reader, DWORD share_mode = SCARD_SHARE_SHARED);
    ~SCard();
    SCard(const SCard&) = delete;
    SCard& operator=(const SCard&) = delete;

    // Sends one command over T=1 and keeps the reply as the last response; no status check. A
    // card taken out under the command is SCARD_W_REMOVED_CARD, whatever the service said.
    const ISO7816_RESPONSE_APDU& transmit(const ISO7816_COMMAND_APDU& command);
    // transmit, then SCard_command_failed_exception unless SW1 is 90.
    const ISO7816_RESPONSE_APDU& transmit_checked(const ISO7816_COMMAND_APDU& command);
    const ISO7816_RESPONSE_APDU& last_response() const { return _last_response; }

    // The ATR the reader reports, asked once per connection.
    const Bytes& atr();
    // The CNS ATR of the card: the reader's when it is one, else the card's EF_ATR file (card
    // identification). Cached for the connection.
    const Bytes& card_atr();

    const std::string& reader_name() const { return _reader; }
    SCARDHANDLE handle() const { return _card; }
    DWORD active_protocol() const { return _protocol; }

    // True when the reader no longer holds the card this connection was made to. Waits up to
    // `settle` for the service to notice (it polls its readers a few times a second).
    bool card_gone(std::chrono::milliseconds settle);

private:
    void connect(const std::string& reader, DWORD share_mode);

    std::shared_ptr<SCard_context> _context;
    std::string _reader;
    SCARDHANDLE _card = 0;
    DWORD _protocol = 0;
    DWORD _disposition = SCARD_RESET_CARD;
    ISO7816_RESPONSE_APDU _last_response;
    Bytes _atr;
    std::optional<Bytes> _card_atr;
};

} // namespace velin::cardlib
