// The trace log across processes: name selection, reuse, ring wrap, planted links, faults.
#include "test_folder.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using velin::test::Test_folder;

const std::string Log_prefix = "Velin_Manager_025C20A7_E946_49DE_8A05_AB3F0F10E79A_";
constexpr std::string_view End_marker = "\n\n<<<<< FINE DEL FILE DI LOG\n\n";

// One trace_writer process with a pipe on its standard input and output.
class Writer {
public:
    Writer(const fs::path& runtime, std::vector<std::string> arguments)
    {
        int input[2], output[2];
        if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, input[0], 0);
        posix_spawn_file_actions_adddup2(&actions, output[1], 1);

        // The test's own environment (sanitizer options included) with a private log folder.
        std::vector<std::string> environment = {"XDG_RUNTIME_DIR=" + runtime.string(),
                                                "TMPDIR=" + (runtime / "tmp").string()};
        for (char** entry = environ; *entry; ++entry) {
            const std::string_view variable(*entry);
            if (!variable.starts_with("XDG_RUNTIME_DIR=") && !variable.starts_with("TMPDIR="))
                environment.emplace_back(variable);
        }
        std::vector<char*> envp;
        for (auto& entry : environment)
            envp.push_back(entry.data());
        envp.push_back(nullptr);
        arguments.insert(arguments.begin(), TRACE_WRITER);
        std::vector<char*> argv;
        for (auto& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        if (posix_spawn(&_pid, TRACE_WRITER, &actions, nullptr, argv.data(), envp.data()) != 0)
            throw std::runtime_error("spawn");
        posix_spawn_file_actions_destroy(&actions);
        ::close(input[0]);
        ::close(output[1]);
        _input = input[1];
        _output = output[0];
    }
    ~Writer()
    {
        finish();
        ::close(_output);
    }

    std::string read_line()
    {
        std::string line;
        char c;
        while (::read(_output, &c, 1) == 1 && c != '\n')
            line += c;
        return line;
    }
    // Closes the input and returns the wait status.
    int finish()
    {
        if (_input >= 0) {
            ::close(_input);
            _input = -1;
        }
        if (_pid > 0) {
            ::waitpid(_pid, &_status, 0);
            _pid = -1;
        }
        return _status;
    }

private:
    pid_t _pid = -1;
    int _input = -1;
    int _output = -1;
    int _status = 0;
};

std::string log_name(int index)
{
    char suffix[8];
    std::snprintf(suffix, sizeof suffix, "%02d.log", index);
    return Log_prefix + suffix;
}

TEST(Trace_processes, running_programs_take_successive_names_and_an_ended_one_is_reused)
{
    Test_folder folder;
    const fs::path logs = folder.path() / "velin-manager";
    Writer first(folder.path(), {"hold"});
    EXPECT_EQ(first.read_line(), (logs / log_name(0)).string());
    Writer second(folder.path(), {"hold"});
    EXPECT_EQ(second.read_line(), (logs / log_name(1)).string());
    Writer third(folder.path(), {"hold"});
    EXPECT_EQ(third.read_line(), (logs / log_name(2)).string());

    // The second program ends; its file holds its record until the next program truncates it.
    ASSERT_EQ(second.finish(), 0);
    const std::string before = velin::test::read_file(logs / log_name(1));
    EXPECT_NE(before.find("avvio"), std::string::npos);
    velin::test::write_file(logs / log_name(1), before + std::string(5000, 'z'));

    Writer fourth(folder.path(), {"hold"});
    EXPECT_EQ(fourth.read_line(), (logs / log_name(1)).string());
    const std::string after = velin::test::read_file(logs / log_name(1));
    EXPECT_EQ(after.find('z'), std::string::npos) << "the reused file was not truncated";
    EXPECT_EQ(after.find(before.substr(0, 40)), std::string::npos);
    EXPECT_EQ(std::count(after.begin(), after.end(), '\n'), 5) << after; // one record + marker
}

TEST(Trace_processes, ring_wraps_past_500000_bytes_with_marker_after_newest_record)
{
    Test_folder folder;
    Writer writer(folder.path(), {"fill", "6000"});
    const std::string path = writer.read_line();
    ASSERT_EQ(writer.finish(), 0);
    const std::string content = velin::test::read_file(path);

    // The file grew just past the wrap mark and no further.
    EXPECT_GT(content.size(), 500000u);
    EXPECT_LT(content.size(), 500000u + 400u);

    // The newest record is followed by the marker; older records follow the marker.
    const auto newest = content.find("record 005999 ");
    ASSERT_NE(newest, std::string::npos);
    const auto newest_end = content.find('\n', newest) + 1;
    EXPECT_EQ(content.compare(newest_end, End_marker.size(), End_marker), 0);
    const std::string after_marker = content.substr(newest_end + End_marker.size());
    EXPECT_NE(after_marker.find("record 004"), std::string::npos);
    EXPECT_EQ(after_marker.find("record 0059"), std::string::npos);

    // The top of the file holds what was written after the wrap.
    const auto first_newline = content.find('\n');
    const std::string first_line = content.substr(0, first_newline);
    EXPECT_NE(first_line.find("record 00"), std::string::npos) << first_line;
    EXPECT_EQ(content.find("<<<<< FINE DEL FILE DI LOG"), content.rfind("<<<<< FINE DEL FILE DI LOG"));
}

TEST(Trace_processes, planted_links_are_never_followed)
{
    Test_folder folder;
    const fs::path logs = folder.path() / "velin-manager";
    fs::create_directories(logs);
    fs::permissions(logs, fs::perms::owner_all, fs::perm_options::replace);
    const fs::path victim = folder.path() / "victim.txt";
    velin::test::write_file(victim, "da non toccare");
    fs::create_symlink(victim, logs / log_name(0));

    Writer writer(folder.path(), {"hold"});
    EXPECT_EQ(writer.read_line(), (logs / log_name(1)).string());
    writer.finish();
    EXPECT_EQ(velin::test::read_file(victim), "da non toccare");

    // A link in place of the private folder itself is refused: the log goes to the other folder.
    Test_folder second;
    fs::create_directories(second.path() / "elsewhere");
    fs::create_directories(second.path() / "tmp");
    fs::create_directory_symlink(second.path() / "elsewhere", second.path() / "velin-manager");
    Writer redirected(second.path(), {"hold"});
    const std::string path = redirected.read_line();
    redirected.finish();
    EXPECT_EQ(path, (second.path() / "tmp" / ("velin-manager-" + std::to_string(::geteuid())) / log_name(0)).string());
    EXPECT_TRUE(fs::is_empty(second.path() / "elsewhere"));
}

TEST(Trace_processes, a_program_with_every_name_taken_runs_without_a_log)
{
    Test_folder folder;
    std::vector<std::unique_ptr<Writer>> holders;
    for (int i = 0; i < 20; ++i) {
        holders.push_back(std::make_unique<Writer>(folder.path(), std::vector<std::string>{"hold"}));
        ASSERT_FALSE(holders.back()->read_line().empty());
    }
    Writer late(folder.path(), {"hold"});
    EXPECT_EQ(late.read_line(), "");
    EXPECT_EQ(late.finish(), 0);
}

TEST(Trace_processes, memory_fault_writes_its_record_and_ends_the_process)
{
    Test_folder folder;
    Writer writer(folder.path(), {"segv"});
    const std::string path = writer.read_line();
    const int status = writer.finish();
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGSEGV);
    const std::string content = velin::test::read_file(path);
    EXPECT_NE(content.find(" ERROR  SEH exception EXCEPTION_ACCESS_VIOLATION\n"), std::string::npos) << content;
}

} // namespace
