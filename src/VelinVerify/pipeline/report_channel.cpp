#include "VelinVerify/pipeline/report_channel.h"

#include "common/trace.h"

#include <atomic>
#include <map>
#include <mutex>

namespace velin {

namespace {

struct Channel_state {
    std::mutex mutex;
    Window_handle current = 0;
    Window_handle fallback = 0; // the installed channel's own window
    std::map<Report_group, Window_handle> group_current;
    std::map<Window_handle, std::vector<Status_line>> queued;
    std::map<Window_handle, std::vector<Status_line>> queued_notices;
};

thread_local Report_group reporting_group = 0;
thread_local Window_handle reporting_window = 0;
thread_local bool reporting_notices = false;

Channel_state& state()
{
    static Channel_state* instance = new Channel_state; // reports may still come while the process ends
    return *instance;
}

void route(int severity, const std::string& text)
{
    Channel_state& channel = state();
    Window_handle target = 0;
    {
        std::lock_guard lock(channel.mutex);
        if (reporting_window != 0)
            target = reporting_window;
        else if (reporting_group != 0) {
            const auto found = channel.group_current.find(reporting_group);
            if (found != channel.group_current.end())
                target = found->second;
        }
        if (!target)
            target = channel.current ? channel.current : channel.fallback;
        if (target)
            (reporting_notices ? channel.queued_notices : channel.queued)[target].push_back(
                {severity == Report_error     ? Line_severity::Error
                 : severity == Report_warning ? Line_severity::Warning
                                              : Line_severity::Information,
                 text});
    }
    if (target && post_window_message(target, Report_message))
        return;
    if (target) {
        std::lock_guard lock(channel.mutex);
        channel.queued.erase(target);
        channel.queued_notices.erase(target);
    }
    // No window to tell it to: the trace keeps it.
    Trace(Trace_kind, severity == Report_error ? Level_error : Level_info) << text;
}

} // namespace

Report_group new_report_group()
{
    static std::atomic<Report_group> last{0};
    return ++last;
}

void set_current_verification_window(Window_handle window, Report_group group)
{
    std::lock_guard lock(state().mutex);
    state().current = window;
    if (group != 0)
        state().group_current[group] = window;
}

void clear_current_verification_window(Window_handle window)
{
    Channel_state& channel = state();
    std::lock_guard lock(channel.mutex);
    if (channel.current == window)
        channel.current = 0;
    std::erase_if(channel.group_current, [window](const auto& entry) { return entry.second == window; });
    channel.queued.erase(window);
    channel.queued_notices.erase(window);
}

Run_notice_scope::Run_notice_scope() : _previous(reporting_notices)
{
    reporting_notices = true;
}

Run_notice_scope::~Run_notice_scope()
{
    reporting_notices = _previous;
}

Report_group_scope::Report_group_scope(Report_group group, Window_handle own)
    : _previous(reporting_group), _previous_window(reporting_window)
{
    reporting_group = group;
    reporting_window = own;
}

Report_group_scope::~Report_group_scope()
{
    reporting_group = _previous;
    reporting_window = _previous_window;
}

namespace {

std::vector<Status_line> take_queued(std::map<Window_handle, std::vector<Status_line>> Channel_state::*queue,
                                     Window_handle window)
{
    Channel_state& channel = state();
    std::lock_guard lock(channel.mutex);
    auto& lines_of = channel.*queue;
    const auto found = lines_of.find(window);
    if (found == lines_of.end())
        return {};
    std::vector<Status_line> lines = std::move(found->second);
    lines_of.erase(found);
    return lines;
}

} // namespace

std::vector<Status_line> take_reported_lines(Window_handle window)
{
    return take_queued(&Channel_state::queued, window);
}

std::vector<Status_line> take_reported_notices(Window_handle window)
{
    return take_queued(&Channel_state::queued_notices, window);
}

Report_channel::Report_channel(Fallback without_window)
    : _fallback(std::move(without_window)), _window([this](const Window_message& message) {
          if (message.message == Report_message)
              deliver_pending();
      })
{
    {
        std::lock_guard lock(state().mutex);
        state().fallback = _window.handle();
    }
    _previous = set_report_handler(route);
}

void Report_channel::deliver_pending()
{
    // Notices first: they were said while the run set itself up, before any file's line.
    for (const auto& take : {take_reported_notices, take_reported_lines})
        for (const Status_line& line : take(_window.handle()))
            if (_fallback)
                _fallback(line);
}

Report_channel::~Report_channel()
{
    set_report_handler(std::move(_previous));
    std::lock_guard lock(state().mutex);
    if (state().fallback == _window.handle())
        state().fallback = 0;
    state().queued.erase(_window.handle());
    state().queued_notices.erase(_window.handle());
}

} // namespace velin
