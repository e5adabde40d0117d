// Starting the suite's sibling programs from this program's folder, handing them this program's
// active window as " /parent=0x%08x", and the daily trigger of the update run.
#pragma once

#include <QtGlobal>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace velin {

class Settings_record;

// A started sibling. The child lives on when this object goes away or this program ends; a child
// dropped before its exit was observed is reaped in the background, so none is left a zombie.
class Sibling_process {
public:
    explicit Sibling_process(pid_t pid) : _pid(pid) {}
    ~Sibling_process();
    Sibling_process(const Sibling_process&) = delete;
    Sibling_process& operator=(const Sibling_process&) = delete;

    pid_t pid() const { return _pid; }
    // Polls without waiting (the menu calls it from a timer).
    bool finished();
    // Waits up to `timeout`; true when the child has ended.
    bool wait(std::chrono::milliseconds timeout);
    // The wait status (as waitpid gives it) once finished.
    std::optional<int> wait_status() const { return _status; }

private:
    pid_t _pid;
    std::optional<int> _status;
};

// The caller's arguments, one space, then "/parent=0x" and the window as eight lower-case hex
// digits: sibling_parameters("", 0x1234) is " /parent=0x00001234".
std::string sibling_parameters(const std::string& arguments, quintptr active_window);

// Splits a parameter string as a Windows command line is split into argv (blanks separate,
// double quotes group, backslashes escape a quote).
std::vector<std::string> split_command_line(const std::string& parameters);

// The target (a name or a relative path, "\\" or "/" separated) beside the running executable.
std::string sibling_path(const std::string& target);

// Starts the sibling with sibling_parameters(arguments, active window) as its argv. None when it
// cannot be started; nothing is reported then.
std::unique_ptr<Sibling_process> start_sibling(const std::string& target, const std::string& arguments = {});

// velin-verify "/update", plus " /quiet" when quiet.
std::unique_ptr<Sibling_process> start_update_run(bool quiet);

// Today in the C runtime's _strdate form: MM/DD/YY, local time.
std::string strdate(std::chrono::system_clock::time_point when);

// Once a day per user: when updates are wanted and the stored date is not today, stores today,
// saves the user part of the settings and starts the quiet update run (returned, or none). The
// run is not started when the date could not be saved.
std::unique_ptr<Sibling_process>
daily_update_check(Settings_record& settings,
                   std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

} // namespace velin
