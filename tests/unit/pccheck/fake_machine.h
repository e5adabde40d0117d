// A prepared machine for the PC check: a folder standing for the file-system root, a home folder,
// commands answered from a table (and recorded), and a reader list chosen by the test.
#pragma once

#include "pccheck/pc_check_settings.h"
#include "pccheck/pc_environment.h"
#include "test_folder.h"

#include <map>
#include <string>
#include <vector>

namespace velin::test {

class Fake_machine {
public:
    Fake_machine();

    // A file below the root (path starts with "/"); folders are made as needed.
    void put(const std::string& path, const std::string& content);
    // A file in the home folder.
    void put_home(const std::string& path, const std::string& content);
    // The answer to a command line (its words joined by blanks), also for a service started.
    void answer(const std::string& command, int exit_code, const std::string& output = {});
    // os-release of a supported Debian 12, and a machine where pcscd runs under systemd with one
    // reader: the usual good machine.
    void debian_with_systemd();

    pccheck::Pc_environment environment;
    std::vector<std::string> commands; // every command run or service started, in order; "stop " + a service stopped
    const std::filesystem::path& root() const { return _folder.path(); }

private:
    Test_folder _folder;
    std::map<std::string, pccheck::Command_result> _answers;
};

// The report file of a whole run, and the problems counted.
struct Run_outcome {
    std::string report;
    std::string messages;
    int problems = 0;
};

Run_outcome run_check(const pccheck::Pc_environment& environment, pccheck::Pc_check_settings settings = {});

} // namespace velin::test
