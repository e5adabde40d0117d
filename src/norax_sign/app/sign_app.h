// Start-up of velin-sign: the error boxes, the starter's window, the settings and the daily
// update check, then the main window, or straight to the batch when the command line names
// documents.
#pragma once

#include <optional>
#include <string>

namespace velin {

// Runs the program after the application object exists; returns the exit code (0, or 1 when a
// batch from the command line did not sign every document).
int run_sign(int argc, const char* const* argv);

// "--help" and "--version" anywhere on the command line: the answer for standard output, given
// before anything else runs (no display, no trace, no settings). Nothing for other command lines.
std::optional<std::string> sign_information_request(int argc, const char* const* argv);

} // namespace velin
