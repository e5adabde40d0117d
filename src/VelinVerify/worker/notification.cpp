#include "VelinVerify/worker/notification.h"

namespace velin {

void Window_notification::notify()
{
    const Window_handle window = _window;
    if (window != 0)
        post_window_message(window, _message, _first, _second);
}

} // namespace velin
