// The one PC/SC layer of the suite: context, reader listing, connection, ATR, transactions and
// the exchange of one command. Every function returns the PC/SC code as the service gave it; the
// callers decide whether a failure is an exception (the menu's channel, the card library) or a
// result code (the signer's PIN check, the PC check).
#pragma once

#include <winscard.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace velin::card_io {

using Bytes = std::vector<uint8_t>;
using Pcsc_call = std::function<LONG()>;

// How the PC/SC calls are run. The card library runs each on a worker and may stop waiting for
// it (a card that does not answer must not hold its caller): so every call handed to a runner
// owns what it touches, never the caller's stack. `run` may throw; `release` is for destructors:
// it never throws and answers the call's result, SCARD_F_UNKNOWN_ERROR when the call did not run.
struct Pcsc_runner {
    LONG (*run)(Pcsc_call call);
    LONG (*release)(Pcsc_call call) noexcept;
};

// Each call on the calling thread.
extern const Pcsc_runner Direct_calls;

// The reply buffer of every exchange: a short reply's 256 data bytes can never come back with
// its status word, the commands here ask for at most 254.
constexpr size_t Reply_capacity = 256;

// What SCardStatus says of a connection.
struct Card_status {
    DWORD state = 0;
    DWORD protocol = 0;
    Bytes atr;
};

// The reader names of a PC/SC multi-string (names ended by a NUL, the list by an empty name),
// read within `length` bytes whatever the terminators say.
std::vector<std::string> reader_names(const char* names, size_t length);

// SCardListReaders as `call(buffer, &length)`: asked first for the size it needs, then for the
// names in a buffer of that size, asked again when a reader plugged in meanwhile makes the list
// longer. SCARD_E_NO_READERS_AVAILABLE and every other failure come back as they are.
using Reader_list_call = std::function<LONG(char* names, DWORD* length)>;
LONG list_reader_names(const Reader_list_call& call, std::vector<std::string>& names);

class Pcsc {
public:
    explicit Pcsc(const Pcsc_runner& runner = Direct_calls) : _runner(runner) {}

    LONG establish_context(DWORD scope, SCARDCONTEXT& context) const;
    LONG release_context(SCARDCONTEXT context) const noexcept;
    // All groups' readers, in the service's order.
    LONG list_readers(SCARDCONTEXT context, std::vector<std::string>& names) const;
    // Whether the reader holds a card now, without waiting (a zero time-out).
    LONG card_present(SCARDCONTEXT context, const std::string& reader, bool& present) const;

    LONG connect(SCARDCONTEXT context, const std::string& reader, DWORD share_mode, DWORD protocols, SCARDHANDLE& card,
                 DWORD& protocol) const;
    LONG disconnect(SCARDHANDLE card, DWORD disposition) const;
    LONG release_card(SCARDHANDLE card, DWORD disposition) const noexcept;

    LONG status(SCARDHANDLE card, Card_status& status) const;
    // The ATR attribute; from the status call when the reader driver does not answer the
    // attribute.
    LONG atr_attribute(SCARDHANDLE card, Bytes& atr) const;
    // True when the reader no longer holds the card of this connection. The service notices a
    // removal by polling its readers a few times a second: waits up to `settle` for it to say so.
    bool card_gone(SCARDHANDLE card, std::chrono::milliseconds settle) const;

    LONG begin_transaction(SCARDHANDLE card) const;
    LONG end_transaction(SCARDHANDLE card, DWORD disposition) const noexcept;

    // One command over the connection's protocol; `reply` receives what came back (at most
    // Reply_capacity bytes). The command is taken over and wiped with the reply buffer: it may carry
    // a PIN.
    LONG transmit(SCARDHANDLE card, DWORD protocol, Bytes command, Bytes& reply) const;

private:
    Pcsc_runner _runner;
};

// Exclusive access to the card for one command sequence: begun on construction, ended on
// destruction only if it began.
class Transaction {
public:
    Transaction(const Pcsc& pcsc, SCARDHANDLE card, DWORD disposition);
    ~Transaction() { end(); }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    LONG result() const { return _result; }
    // Ends it now: SCardEndTransaction's result, success when it was not open.
    LONG end() noexcept;

private:
    Pcsc _pcsc;
    SCARDHANDLE _card;
    DWORD _disposition;
    LONG _result;
    bool _open;
};

// Establishes a context, lists the readers, lets the context go: for the callers that want the
// names only.
LONG list_readers_once(DWORD scope, std::vector<std::string>& names);

// The owners of a context and a connection made with Direct_calls. A connection is let go with a
// card reset, so that a PIN verified on it does not outlive it.
struct Context_release {
    bool operator()(SCARDCONTEXT context) const;
};
struct Card_reset_release {
    bool operator()(SCARDHANDLE card) const;
};

} // namespace velin::card_io
