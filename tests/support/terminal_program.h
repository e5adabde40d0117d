// A program run with a terminal of its own as standard input (a pseudo-terminal the test types
// the holder's answers into) or with /dev/null, its standard output and error kept apart.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace velin::test {

struct Terminal_run {
    int exit_code = -1; // -1: not started, or ended by a signal
    std::string output;
    std::string errors;
};

// argv[0] is the program's path. typed: what the holder types (all of it at once, before the
// questions come), or nullptr for standard input on /dev/null. environment: the whole
// environment, "NAME=value" each. The files go into folder.
Terminal_run run_with_terminal(const std::filesystem::path& folder, const std::vector<std::string>& argv,
                               const std::string* typed, const std::vector<std::string>& environment);

// This process's environment, with the entries of changes put in place of those of the same name.
std::vector<std::string> environment_with(const std::vector<std::string>& changes);

} // namespace velin::test
