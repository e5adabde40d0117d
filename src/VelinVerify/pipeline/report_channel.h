// Where report_info and report_error go while the verifier runs: to the "Attività" list of the
// current verification window (the layer started last, until it is destroyed), otherwise to a
// message box. Reports may come from a worker thread, so each is queued and announced to its
// window by a posted message, and added on the user-interface thread.
#pragma once

#include "VelinVerify/pipeline/status_line.h"
#include "VelinVerify/worker/window_registry.h"
#include "trust/report.h"

#include <functional>
#include <string>
#include <vector>

namespace velin {

// The message a window gets when reports wait for it (after the pipeline's WM_APP .. WM_APP + 2).
inline constexpr unsigned Report_message = 0x8000 + 3;

// The process-wide current verification window; clearing a window that is no longer current does
// nothing (the last one made current wins).
//
// The layers of one verified file form a report group: what a worker of the group reports goes to
// the group's own current window, the last layer of that file started, and never to a layer of
// another file verified at the same time. Group 0 is no group: such reports, and those of any
// thread outside a group, go to the process-wide current window.
using Report_group = int;
Report_group new_report_group();
void set_current_verification_window(Window_handle window, Report_group group = 0);
void clear_current_verification_window(Window_handle window);

// While it lives, what its thread reports belongs to the group; with a window, to that window
// (a layer's own step: what it finds is that layer's, even when an inner layer has started since,
// and must count in that layer's outcome, not stand after the summary of another).
class Report_group_scope {
public:
    explicit Report_group_scope(Report_group group, Window_handle own = 0);
    ~Report_group_scope();
    Report_group_scope(const Report_group_scope&) = delete;
    Report_group_scope& operator=(const Report_group_scope&) = delete;

private:
    Report_group _previous;
    Window_handle _previous_window;
};

// While it lives, what its thread reports is a notice of the run, not a finding about the file
// of the window it goes to (loading the trusted lists): the window shows it, and its outcome does
// not count it.
class Run_notice_scope {
public:
    Run_notice_scope();
    ~Run_notice_scope();
    Run_notice_scope(const Run_notice_scope&) = delete;
    Run_notice_scope& operator=(const Run_notice_scope&) = delete;

private:
    bool _previous;
};

// The lines reported for a window since it last asked (information or error lines), without the
// notices of the run.
std::vector<Status_line> take_reported_lines(Window_handle window);
// The notices of the run reported for a window since it last asked.
std::vector<Status_line> take_reported_notices(Window_handle window);

// Installs the report handler for its lifetime (the previous one comes back afterwards).
// without_window is called on the user-interface thread for what is reported while there is no
// current verification window: the program shows it in a box titled "Velin Manager" with the
// information (64) or error (16) icon.
class Report_channel {
public:
    using Fallback = std::function<void(const Status_line& line)>;

    explicit Report_channel(Fallback without_window);
    ~Report_channel();
    Report_channel(const Report_channel&) = delete;
    Report_channel& operator=(const Report_channel&) = delete;

    // Hands what waits for the channel to its fallback now, notices of the run included, rather
    // than when the event loop next delivers the channel's messages.
    void deliver_pending();

private:
    Fallback _fallback;
    Window_registration _window;
    Report_handler _previous;
};

} // namespace velin
