// CVelinVerifyApp: the start-up of the verifier's window program and its command line
//   velin-verify [FILE] [/update] [/quiet] [/parent=0x%08x]
#pragma once

#include <optional>
#include <string>

namespace velin {

struct Verify_command_line {
    // The first argument that is none of the three switches; the scan stops there. (Here paths
    // begin with "/" too, so a switch is known by its name, not by its first character.)
    std::optional<std::string> file;
    bool update = false; // "/update", in any case
    bool quiet = false; // "/quiet", in any case
};

Verify_command_line parse_verify_command_line(int argc, const char* const* argv);

// The whole run of the window program (QApplication made by the caller); the exit status.
int run_verify_app(int argc, const char* const* argv);

} // namespace velin
