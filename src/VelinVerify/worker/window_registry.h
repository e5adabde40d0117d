// Windows that a worker may post messages to. A dialog registers itself and gets an integer handle;
// a worker posts (handle, message, parameters) and the message is delivered on the thread that
// registered the handle (the user-interface thread for a dialog, a batch lane for a file verified
// there) only if the handle is still registered then. A message for a dialog destroyed in the
// meantime finds no window and is dropped: a worker never holds a pointer to a dialog.
#pragma once

#include <cstdint>
#include <functional>

namespace velin {

// 0 is no window; handles are never reused within a process.
using Window_handle = int;

struct Window_message {
    unsigned message = 0;
    uintptr_t first = 0; // the first message parameter
    intptr_t second = 0; // the second message parameter
};

using Window_receiver = std::function<void(const Window_message&)>;

// On a thread with an event loop, with a QCoreApplication alive. The receiver is called on that
// thread for every message posted to the handle while it is registered. When the thread ends (the
// application's thread: when the application object goes), its windows are unregistered.
Window_handle register_window(Window_receiver receiver);
void unregister_window(Window_handle handle);
bool is_window(Window_handle handle);

// From any thread. False when the handle is not registered (nothing is posted).
bool post_window_message(Window_handle handle, unsigned message, uintptr_t first = 0, intptr_t second = 0);

// A registration that lasts as long as the object.
class Window_registration {
public:
    explicit Window_registration(Window_receiver receiver);
    ~Window_registration();
    Window_registration(const Window_registration&) = delete;
    Window_registration& operator=(const Window_registration&) = delete;

    Window_handle handle() const { return _handle; }

private:
    Window_handle _handle;
};

} // namespace velin
