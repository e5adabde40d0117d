#include "terminal_program.h"

#include "test_folder.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace velin::test {

Terminal_run run_with_terminal(const std::filesystem::path& folder, const std::vector<std::string>& argv,
                               const std::string* typed, const std::vector<std::string>& environment)
{
    Terminal_run run;
    std::vector<std::string> words = argv;
    std::vector<char*> word_pointers;
    for (std::string& word : words)
        word_pointers.push_back(word.data());
    word_pointers.push_back(nullptr);
    std::vector<std::string> entries = environment;
    std::vector<char*> entry_pointers;
    for (std::string& entry : entries)
        entry_pointers.push_back(entry.data());
    entry_pointers.push_back(nullptr);

    int master = -1;
    std::string input = "/dev/null";
    if (typed) {
        master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
            return run;
        input = ::ptsname(master);
        if (::write(master, typed->data(), typed->size()) != static_cast<ssize_t>(typed->size())) {
            ::close(master);
            return run;
        }
    }
    const std::string out = (folder / "terminal-run.out").string();
    const std::string err = (folder / "terminal-run.err").string();
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDWR | O_NOCTTY, 0);
    ::posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    const int spawned =
        ::posix_spawn(&pid, words[0].c_str(), &actions, nullptr, word_pointers.data(), entry_pointers.data());
    ::posix_spawn_file_actions_destroy(&actions);
    if (spawned == 0) {
        int status = 0;
        // The pseudo-terminal echoes what was typed: it is read so that it never fills.
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            pollfd ready{master, POLLIN, 0};
            if (master >= 0 && ::poll(&ready, 1, 50) > 0) {
                char echo[256];
                if (::read(master, echo, sizeof echo) <= 0)
                    ::usleep(50000);
            } else if (master < 0) {
                ::usleep(50000);
            }
        }
        run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    if (master >= 0)
        ::close(master);
    run.output = read_file(out);
    run.errors = read_file(err);
    return run;
}

std::vector<std::string> environment_with(const std::vector<std::string>& changes)
{
    std::vector<std::string> result;
    const auto name_of = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        bool replaced = false;
        for (const std::string& change : changes)
            replaced = replaced || name_of(change) == name_of(text);
        if (!replaced)
            result.push_back(text);
    }
    result.insert(result.end(), changes.begin(), changes.end());
    return result;
}

} // namespace velin::test
