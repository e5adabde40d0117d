#include "norax_sign/app/error_boxes.h"

#include "common/message_box.h"
#include "common/trace.h"

#include <deque>
#include <mutex>
#include <string>

namespace velin {

namespace {

std::mutex pending_mutex;
std::deque<std::string> pending;

void collect(int, int level, const std::string& message)
{
    if (level < Level_error)
        return;
    std::lock_guard lock(pending_mutex);
    pending.push_back(message);
}

} // namespace

void install_error_box_hook()
{
    set_trace_hook(&collect);
}

void remove_error_box_hook()
{
    set_trace_hook(nullptr);
}

void show_pending_error_boxes(QWidget* owner)
{
    for (;;) {
        std::string text;
        {
            std::lock_guard lock(pending_mutex);
            if (pending.empty())
                return;
            text = std::move(pending.front());
            pending.pop_front();
        }
        message_box(text, MB_OK | MB_ICONERROR, owner, Suite_caption);
    }
}

} // namespace velin
