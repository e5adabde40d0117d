#include "pccheck/pc_environment.h"

#include "card_io/pcsc.h"

#include <QProcess>
#include <QString>
#include <QStringList>

#include <climits>
#include <cstdlib>
#include <memory>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

extern char** environ;

namespace velin::pccheck {

namespace {

constexpr qsizetype Output_limit = 64 * 1024;

std::vector<std::string> group_names(gid_t primary, const char* user)
{
    std::vector<gid_t> ids{primary};
    int count = 1;
    if (user) {
        ids.resize(64);
        count = static_cast<int>(ids.size());
        if (::getgrouplist(user, primary, ids.data(), &count) < 0) {
            ids.resize(static_cast<size_t>(count));
            if (::getgrouplist(user, primary, ids.data(), &count) < 0)
                count = 0;
        }
    }
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
        if (const group* entry = ::getgrgid(ids[static_cast<size_t>(i)]))
            names.emplace_back(entry->gr_name);
    }
    return names;
}

std::string messages_locale()
{
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value && *value)
            return value;
    }
    return "C";
}

// The card library installed with the programs: PREFIX/lib*/ beside PREFIX/bin/, else whatever
// the dynamic loader finds by name.
std::string installed_card_library()
{
    if (const char* chosen = std::getenv("VELIN_CARD_LIBRARY"); chosen && *chosen)
        return chosen;
    char self[PATH_MAX] = {};
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length > 0) {
        std::string folder(self, static_cast<size_t>(length));
        folder = folder.substr(0, folder.rfind('/'));
        const std::string prefix = folder.substr(0, folder.rfind('/'));
        for (const char* lib : {"/lib/x86_64-linux-gnu/", "/lib64/", "/lib/"}) {
            const std::string candidate = prefix + lib + "libnoraxcard.so.3";
            if (::access(candidate.c_str(), R_OK) == 0)
                return candidate;
        }
    }
    return "libnoraxcard.so.3";
}

bool socket_exists(const std::string& path)
{
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode);
}

// The child started here, stopped and reaped when this goes.
class Owned_process {
public:
    explicit Owned_process(pid_t pid) : _pid(pid) {}
    ~Owned_process()
    {
        if (_pid <= 0)
            return;
        ::kill(_pid, SIGTERM);
        // pcscd ends in one or two seconds after SIGTERM; one that does not is killed.
        for (int waited = 0; waited < 3000; waited += 20) {
            if (reaped())
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ::kill(_pid, SIGKILL);
        int status = 0;
        ::waitpid(_pid, &status, 0);
    }
    Owned_process(const Owned_process&) = delete;
    Owned_process& operator=(const Owned_process&) = delete;

    // True once the child has ended (and is reaped); its exit code in code.
    bool reaped(int* code = nullptr)
    {
        int status = 0;
        const pid_t done = ::waitpid(_pid, &status, WNOHANG);
        if (done == 0)
            return false;
        if (code)
            *code = done == _pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        _pid = -1;
        return true;
    }

private:
    pid_t _pid;
};

} // namespace

Started_service start_owned_service(const std::vector<std::string>& argv, const std::string& socket, int wait_ms)
{
    Started_service result;
    if (argv.empty())
        return result;
    std::vector<char*> words;
    for (const std::string& word : argv)
        words.push_back(const_cast<char*>(word.c_str()));
    words.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    if (::posix_spawn_file_actions_init(&actions) != 0)
        return result;
    for (const int fd : {0, 1, 2})
        ::posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, words[0], &actions, nullptr, words.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return result;
    auto process = std::make_shared<Owned_process>(pid);
    for (int waited = 0; waited <= wait_ms; waited += 50) {
        int code = -1;
        if (process->reaped(&code)) {
            result.exit_code = code == 0 ? -1 : code;
            return result;
        }
        if (socket_exists(socket)) {
            result.exit_code = 0;
            result.running = std::move(process);
            return result;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // Never listened: it is stopped here, with process.
    return result;
}

Command_result run_command(const std::vector<std::string>& argv, int timeout_ms)
{
    Command_result result;
    if (argv.empty())
        return result;
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    QStringList arguments;
    for (size_t i = 1; i < argv.size(); ++i)
        arguments << QString::fromStdString(argv[i]);
    process.start(QString::fromStdString(argv[0]), arguments);
    if (!process.waitForStarted(timeout_ms))
        return result;
    QByteArray output;
    // Read as it comes, so a chatty program neither fills memory nor stalls on a full pipe.
    while (process.state() != QProcess::NotRunning) {
        if (!process.waitForReadyRead(timeout_ms) && process.state() != QProcess::NotRunning) {
            if (process.error() == QProcess::Timedout) {
                process.kill();
                process.waitForFinished(1000);
                result.output = output.toStdString();
                return result;
            }
        }
        const QByteArray chunk = process.readAll();
        if (output.size() < Output_limit)
            output += chunk.left(Output_limit - output.size());
    }
    const QByteArray rest = process.readAll();
    if (output.size() < Output_limit)
        output += rest.left(Output_limit - output.size());
    result.output = output.toStdString();
    if (process.exitStatus() == QProcess::NormalExit)
        result.exit_code = process.exitCode();
    return result;
}

Reader_list list_pcsc_readers()
{
    Reader_list list;
    const LONG code = card_io::list_readers_once(SCARD_SCOPE_SYSTEM, list.readers);
    // No reader at all is an answer, not a failure of the service.
    if (code != SCARD_S_SUCCESS && code != SCARD_E_NO_READERS_AVAILABLE) {
        list.failed = true;
        list.code = static_cast<uint32_t>(code);
    }
    return list;
}

Pc_environment Pc_environment::this_machine()
{
    Pc_environment environment;
    // The tests' prepared machine: system files are read below this folder.
    if (const char* root = std::getenv("VELIN_PCCHECK_ROOT"); root && *root)
        environment.root = root;
    environment.uid = ::getuid();
    const passwd* account = ::getpwuid(environment.uid);
    environment.user_name = account ? account->pw_name : std::to_string(environment.uid);
    const char* home = std::getenv("HOME");
    environment.home = home && *home ? home : (account ? account->pw_dir : "");
    environment.groups = group_names(::getgid(), account ? account->pw_name : nullptr);
    utsname names{};
    if (::uname(&names) == 0)
        environment.kernel_release = names.release;
    environment.locale = messages_locale();
    environment.run = [](const std::vector<std::string>& argv) { return run_command(argv); };
    environment.start_service = [](const std::vector<std::string>& argv, const std::string& socket) {
        return start_owned_service(argv, socket);
    };
    environment.list_readers = list_pcsc_readers;
    environment.card_library = installed_card_library();
    return environment;
}

} // namespace velin::pccheck
