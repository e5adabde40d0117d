// The progress bar of a layer: one stage is 100, two stages without revocation checking, three
// with it; the background shows the outcome at the end.
#pragma once

#include <string>

namespace velin {

enum class Progress_background : int {
    Default = 0,
    Red = 1, // RGB 255, 0, 0: errors
    Yellow = 2, // RGB 255, 255, 0: warnings
    Green = 3, // RGB 0, 255, 0: success
};

struct Layer_progress {
    static constexpr int Stage = 100;
    static constexpr int Step = 1;
    static constexpr unsigned Bar_colour = 0x0000FF; // blue, as 0xRRGGBB

    int minimum = 0;
    int maximum = 2 * Stage;
    int position = 0;
    std::string caption;
    Progress_background background = Progress_background::Default;
};

} // namespace velin
