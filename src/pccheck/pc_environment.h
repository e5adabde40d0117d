// What the PC check looks at, gathered in one object so that a test can hand it a prepared
// machine: the file-system root every system file is read under, the runner of outside commands,
// the user, the PC/SC reader list and the card library to load.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace velin::pccheck {

// What a command printed and how it ended. exit_code is -1 when the program could not be
// started or did not end in time; output holds standard output and error, at most 64 KiB.
struct Command_result {
    int exit_code = -1;
    std::string output;
};

using Command_runner = std::function<Command_result(const std::vector<std::string>& argv)>;

// A service the check started itself. exit_code is 0 when it listens on its socket, the code it
// ended with when it ended first, -1 when it could not be started or did not listen in time.
// While running lives the service runs; the last copy's release stops it (only it: the process
// started here, never one found running).
struct Started_service {
    int exit_code = -1;
    std::shared_ptr<void> running;
};

// Starts argv as a child in the foreground and waits until socket exists.
using Service_starter = std::function<Started_service(const std::vector<std::string>& argv, const std::string& socket)>;

// The readers PC/SC lists, or the failure of the call that listed them.
struct Reader_list {
    bool failed = false;
    uint32_t code = 0; // the PC/SC code of the failed call
    std::vector<std::string> readers;
};

using Reader_lister = std::function<Reader_list()>;

struct Pc_environment {
    // Prefix of every system path ("/etc/os-release" is read as root + "/etc/os-release"); empty
    // for the real machine.
    std::string root;
    // The user's home folder, where browser profiles are found (not under root).
    std::string home;
    std::string user_name;
    uint32_t uid = 0;
    std::vector<std::string> groups; // names of the user's groups, the primary one included
    std::string kernel_release; // uname's release
    std::string locale; // the messages locale: "it_IT.UTF-8", "C", ...
    // Runs systemctl and the browsers' --version.
    Command_runner run;
    // Starts pcscd where no service manager does it.
    Service_starter start_service;
    Reader_lister list_readers;
    // The card library: a path, or a bare name for the dynamic loader's search.
    std::string card_library;

    // root + path.
    std::string path(const std::string& system_path) const { return root + system_path; }

    // This machine, this user: facts are read from the system and the process, commands run for real
    // (at most 20 seconds each), readers are asked of the running pcscd, the card library is the
    // one installed beside this program ($VELIN_CARD_LIBRARY overrides).
    static Pc_environment this_machine();
};

// Runs argv directly (no shell), with a time limit; output is cut at 64 KiB.
Command_result run_command(const std::vector<std::string>& argv, int timeout_ms = 20000);

// Starts argv as this process's child (standard input and output on /dev/null) and waits at most
// wait_ms for socket to appear. The service it gives is stopped with SIGTERM, and SIGKILL after
// 3 seconds, when its last copy goes.
Started_service start_owned_service(const std::vector<std::string>& argv, const std::string& socket,
                                    int wait_ms = 10000);

// The PC/SC reader list of the running service.
Reader_list list_pcsc_readers();

} // namespace velin::pccheck
