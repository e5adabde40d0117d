// What a worker does when a step ends: a posted window message in the verifier.
#pragma once

#include "VelinVerify/worker/window_registry.h"

#include <atomic>
#include <cstdint>

namespace velin {

class Notification {
public:
    virtual ~Notification() = default;
    virtual void notify() = 0;
};

// Posts (message, first, second) to a registered window; does nothing while no window is set.
// The owner changes the message number before each wake-up; the worker reads it when the step
// ends, so every field is atomic.
class Window_notification : public Notification {
public:
    void notify() override;

    void set_window(Window_handle window) { _window = window; }
    Window_handle window() const { return _window; }
    void set_message(unsigned message) { _message = message; }
    unsigned message() const { return _message; }
    void set_parameters(uintptr_t first, intptr_t second)
    {
        _first = first;
        _second = second;
    }

private:
    std::atomic<Window_handle> _window{0};
    std::atomic<unsigned> _message{0};
    std::atomic<uintptr_t> _first{0};
    std::atomic<intptr_t> _second{0};
};

} // namespace velin
