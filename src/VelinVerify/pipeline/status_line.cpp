#include "VelinVerify/pipeline/status_line.h"

namespace velin {

std::string_view severity_name(Line_severity severity)
{
    switch (severity) {
    case Line_severity::Error:
        return "error";
    case Line_severity::Question:
        return "question";
    case Line_severity::Warning:
        return "warning";
    case Line_severity::Information:
        return "info";
    case Line_severity::Application:
        return "app";
    }
    return "error";
}

} // namespace velin
