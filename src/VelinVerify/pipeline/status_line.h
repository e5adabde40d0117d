// One line of the "Attività" list or of a signature's certificate status list, with the icon it is
// drawn with. The five icons come in this order in both lists.
#pragma once

#include <string>
#include <string_view>

namespace velin {

enum class Line_severity : int {
    Error = 0, // system hand icon
    Question = 1,
    Warning = 2, // exclamation
    Information = 3, // asterisk
    Application = 4,
};

struct Status_line {
    Line_severity severity = Line_severity::Information;
    std::string text;

    friend bool operator==(const Status_line&, const Status_line&) = default;
};

// "error", "question", "warning", "info", "app": the names scripts read.
std::string_view severity_name(Line_severity severity);

} // namespace velin
