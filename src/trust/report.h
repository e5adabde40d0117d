// The verifier's two ways of telling the user something from code that has no window: an
// information line and an error line. The program installs a handler that adds the line to the
// "Attività" list of the most recent layer dialog, or shows a message box while there is none;
// without a handler the lines go to the trace log, so nothing said is lost.
#pragma once

#include <functional>
#include <string>

namespace velin {

enum Report_severity : int {
    Report_error = 0,
    Report_warning = 2,
    Report_information = 3,
};

using Report_handler = std::function<void(int severity, const std::string& text)>;

// Installs the handler (an empty one removes it) and returns the one it replaces. The handler
// may be called from any thread.
Report_handler set_report_handler(Report_handler handler);

void report_info(const std::string& text);
void report_error(const std::string& text);
// A line with the warning icon (a message box with the warning icon while there is no dialog).
void report_warning(const std::string& text);

} // namespace velin
