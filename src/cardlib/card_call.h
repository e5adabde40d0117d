// The card time of one exported call. Every PC/SC call the exported function makes runs on the
// call's own worker thread, and the caller waits for the card at most 15 s in all (time spent
// on the holder's dialogs does not count): a card that answers slowly, or a service that does
// not answer at all, cannot hold the caller. Past that time the worker is left to finish on its
// own and the caller gets SCARD_E_TIMEOUT.
#pragma once

#include "card_io/pcsc.h"

#include <winscard.h>

#include <chrono>
#include <functional>
#include <memory>

namespace velin::cardlib {

constexpr std::chrono::milliseconds Default_card_time{15000};

// Internal test hook (not exported): the card time of the calls that start afterwards; zero
// restores the default.
void set_card_time_for_tests(std::chrono::milliseconds time);

class Card_call {
public:
    // Becomes the current call of this thread until it is destroyed.
    Card_call();
    ~Card_call();
    Card_call(const Card_call&) = delete;
    Card_call& operator=(const Card_call&) = delete;

    // Runs one PC/SC call on the current call's worker and returns its result; without a current
    // call, on this thread. Whatever the function captures must be its own (by value or shared):
    // after a time-out it still runs, later. Raises Winapi_exception(SCARD_E_TIMEOUT) when the
    // card time is used up, at once for every call after that.
    static LONG run(std::function<LONG()> call);

    // For the releases in destructors: like run but never raises. Once the time is over the
    // release is only queued behind the call still in progress; false means it failed or did
    // not run yet.
    static bool release(std::function<LONG()> call) noexcept;

    struct Worker;

private:
    std::shared_ptr<Worker> _worker;
    Card_call* _previous;
};

// The PC/SC layer with each call run through the current call (Card_call::run, and
// Card_call::release for the releases).
const card_io::Pcsc& pcsc();

} // namespace velin::cardlib
