// A message box the pipeline asks its window to show: the core has no widgets, so it hands over
// text, icon and title and the window (or the batch mode) decides how to show it.
#pragma once

#include <string>

namespace velin {

// The icons of the suite's message boxes, with the values of the Windows MB_ICON flags.
enum Box_icon : int {
    Icon_error = 16,
    Icon_warning = 48,
    Icon_information = 64,
};

struct Box_request {
    std::string text;
    int icon = Icon_information;
    std::string title = "Velin Manager";

    friend bool operator==(const Box_request&, const Box_request&) = default;
};

} // namespace velin
