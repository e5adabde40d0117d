#include "common/launcher.h"

#include "common/settings_record.h"
#include "common/trace.h"

#include <QApplication>
#include <QWidget>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <system_error>
#include <thread>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace velin {

Sibling_process::~Sibling_process()
{
    if (_status || finished())
        return;
    // The child goes on running; someone still has to collect its exit status. Without a thread
    // to spare it stays a zombie until this program ends, which is harmless.
    const pid_t pid = _pid;
    try {
        std::thread([pid] {
            while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (const std::system_error&) {
    }
}

bool Sibling_process::finished()
{
    if (_status)
        return true;
    int status = 0;
    pid_t reaped;
    do
        reaped = ::waitpid(_pid, &status, WNOHANG);
    while (reaped < 0 && errno == EINTR);
    if (reaped == _pid)
        _status = status;
    else if (reaped < 0)
        _status = -1; // not our child any more: nothing left to wait for
    return _status.has_value();
}

bool Sibling_process::wait(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    auto pause = std::chrono::milliseconds(1);
    while (!finished()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(20));
    }
    return true;
}

std::string sibling_parameters(const std::string& arguments, quintptr active_window)
{
    // Window handles are 32-bit on the platform whose command line this mirrors; X11 ids fit.
    char parent[32];
    std::snprintf(parent, sizeof parent, " /parent=0x%08x", static_cast<unsigned>(active_window & 0xFFFFFFFFu));
    return arguments + parent;
}

std::vector<std::string> split_command_line(const std::string& parameters)
{
    std::vector<std::string> arguments;
    std::string current;
    bool in_argument = false;
    bool quoted = false;
    for (size_t i = 0; i < parameters.size(); ++i) {
        const char c = parameters[i];
        if (c == '\\') {
            size_t count = 0;
            while (i < parameters.size() && parameters[i] == '\\')
                ++count, ++i;
            in_argument = true;
            if (i < parameters.size() && parameters[i] == '"') {
                // 2n backslashes before a quote are n backslashes and a quote that groups;
                // 2n+1 are n backslashes and a literal quote.
                current.append(count / 2, '\\');
                if (count % 2 == 1)
                    current += '"';
                else
                    quoted = !quoted;
            } else {
                current.append(count, '\\');
                --i;
            }
        } else if (c == '"') {
            in_argument = true;
            if (quoted && i + 1 < parameters.size() && parameters[i + 1] == '"') {
                current += '"';
                ++i;
            } else {
                quoted = !quoted;
            }
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (in_argument)
                arguments.push_back(std::move(current));
            current.clear();
            in_argument = false;
        } else {
            current += c;
            in_argument = true;
        }
    }
    if (in_argument)
        arguments.push_back(std::move(current));
    return arguments;
}

std::string sibling_path(const std::string& target)
{
    std::error_code error;
    std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    std::string relative = target;
    for (char& c : relative)
        if (c == '\\')
            c = '/';
    return (executable.parent_path() / relative).lexically_normal().string();
}

std::unique_ptr<Sibling_process> start_sibling(const std::string& target, const std::string& arguments)
{
    quintptr active = 0;
    if (QWidget* window = QApplication::activeWindow())
        active = static_cast<quintptr>(window->winId());
    const std::string path = sibling_path(target);
    std::vector<std::string> words = split_command_line(sibling_parameters(arguments, active));
    words.insert(words.begin(), path);
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    // The sibling gets a session of its own (it outlives this program and its terminal), default
    // signal handling, an empty signal mask and none of this program's descriptors: an inherited
    // log lock would keep this program's log file taken.
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_t actions;
    if (posix_spawnattr_init(&attributes) != 0)
        return nullptr;
    if (posix_spawn_file_actions_init(&actions) != 0) {
        posix_spawnattr_destroy(&attributes);
        return nullptr;
    }
    sigset_t empty;
    sigset_t defaults;
    sigemptyset(&empty);
    sigemptyset(&defaults);
    for (int signal_number : {SIGPIPE, SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGCHLD, SIGUSR1, SIGUSR2})
        sigaddset(&defaults, signal_number);
    posix_spawnattr_setsigmask(&attributes, &empty);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);

    pid_t pid = -1;
    const int error = posix_spawn(&pid, path.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0)
        return nullptr;
    return std::make_unique<Sibling_process>(pid);
}

std::unique_ptr<Sibling_process> start_update_run(bool quiet)
{
    return start_sibling("velin-verify", quiet ? "/update /quiet" : "/update");
}

std::string strdate(std::chrono::system_clock::time_point when)
{
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[48];
    std::snprintf(text, sizeof text, "%02d/%02d/%02d", local.tm_mon + 1, local.tm_mday, local.tm_year % 100);
    return text;
}

std::unique_ptr<Sibling_process> daily_update_check(Settings_record& settings,
                                                    std::chrono::system_clock::time_point now)
{
    Trace(Trace_kind, Level_info) << "Verifica aggiornamenti...";
    if (!settings.Aggiornamenti) {
        Trace(Trace_kind, Level_info) << "Verifica disabilitata.";
        return nullptr;
    }
    const std::string today = strdate(now);
    Trace(Trace_kind, Level_info) << "Data attuale:";
    Trace(Trace_kind, Level_info) << today;
    Trace(Trace_kind, Level_info) << "Ultimo aggiornamento:";
    Trace(Trace_kind, Level_info) << settings.UltimoAggiornamento;
    std::unique_ptr<Sibling_process> run;
    if (today != settings.UltimoAggiornamento) {
        settings.UltimoAggiornamento = today;
        // Unless today's date is stored, every program started today would start another run.
        if (settings.save_user_part())
            run = start_update_run(true);
        else
            Trace(Trace_kind, Level_error) << "Salvataggio della data dell'ultimo aggiornamento fallito: "
                                              "verifica degli aggiornamenti non avviata.";
    }
    Trace(Trace_kind, Level_info) << "Verifica completata.";
    return run;
}

} // namespace velin
