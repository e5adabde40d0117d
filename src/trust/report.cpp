#include "trust/report.h"

#include "common/trace.h"

#include <mutex>

namespace velin {

namespace {

std::mutex handler_lock;
Report_handler current_handler;

void report(int severity, const std::string& text)
{
    Report_handler handler;
    {
        std::lock_guard<std::mutex> guard(handler_lock);
        handler = current_handler;
    }
    if (handler)
        handler(severity, text);
    else
        Trace(Trace_kind, severity == Report_error     ? Level_error
                          : severity == Report_warning ? Level_warn
                                                       : Level_info)
            << text;
}

} // namespace

Report_handler set_report_handler(Report_handler handler)
{
    std::lock_guard<std::mutex> guard(handler_lock);
    std::swap(current_handler, handler);
    return handler;
}

void report_info(const std::string& text)
{
    report(Report_information, text);
}

void report_error(const std::string& text)
{
    report(Report_error, text);
}

} // namespace velin

namespace velin {

void report_warning(const std::string& text)
{
    report(Report_warning, text);
}

} // namespace velin
