// A kernel-style event for the worker: auto-reset (one signal releases one wait) or manual-reset,
// with timed waits. Built on a mutex and a condition variable.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

namespace velin {

// Outcome of a wait, numbered as the worker's records show it.
enum Wait_result : int {
    Wait_null = 0,
    Wait_signalled = 1,
    Wait_timed_out = 2,
    Wait_abandoned = 3,
    Wait_failed = 4,
};

class Event {
public:
    Event() = default;
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    // Makes the event usable; a second creation is refused (returns false).
    bool create(bool manual_reset, bool initially_signalled);
    bool is_valid() const;
    bool manual_reset() const;

    // False when the event was never created.
    bool set();
    void reset();

    // Without a limit, waits until signalled. Waiting on an event never created fails at once.
    Wait_result wait(std::optional<std::chrono::milliseconds> limit = std::nullopt);

private:
    mutable std::mutex _mutex;
    std::condition_variable _signal;
    bool _valid = false;
    bool _manual_reset = false;
    bool _signalled = false;
};

} // namespace velin
