// The trace log as one process sees it: line format, levels, indentation, hook, threads.
#include "common/trace.h"
#include "test_folder.h"

#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <sstream>
#include <thread>
#include <tuple>

#include <sys/stat.h>
#include <vector>

namespace {

using velin::Level_error;
using velin::Level_info;
using velin::Level_warn;
using velin::Trace;
using velin::Trace_kind;

// Every test of this program (its other sources too) shares one log; it lives in a private
// folder made before the first record.
const bool environment_ready = (velin::test::private_environment(), true);

std::vector<std::string> lines_containing(const std::string& needle)
{
    std::vector<std::string> found;
    std::istringstream in(velin::test::trace_content());
    for (std::string line; std::getline(in, line);)
        if (line.find(needle) != std::string::npos)
            found.push_back(line);
    return found;
}

std::string only_line_containing(const std::string& needle)
{
    auto lines = lines_containing(needle);
    EXPECT_EQ(lines.size(), 1u) << needle;
    return lines.empty() ? std::string() : lines.front();
}

// "dd/mm/yyyy hh:mm:ss,mmm" then the thread id in 10 columns, one space, the label, the
// indentation, one space, the message.
const std::regex record_pattern(R"(^\d\d/\d\d/\d{4} \d\d:\d\d:\d\d,\d{3} [ \d]{9}\d (.{7})( *) (.*)$)");

TEST(Trace_log, opens_first_name_in_private_folder_with_owner_only_access)
{
    Trace(Trace_kind, Level_info) << "primo record";
    const std::string path = velin::trace_current_path();
    EXPECT_EQ(path, (velin::test::private_environment() / "runtime" / "velin-manager" /
                     "Velin_Manager_025C20A7_E946_49DE_8A05_AB3F0F10E79A_00.log")
                        .string());
    struct stat folder_info {};
    ASSERT_EQ(::stat((velin::test::private_environment() / "runtime" / "velin-manager").c_str(), &folder_info), 0);
    EXPECT_EQ(folder_info.st_mode & 0777, 0700u);
    struct stat file_info {};
    ASSERT_EQ(::stat(path.c_str(), &file_info), 0);
    EXPECT_EQ(file_info.st_mode & 0077, 0u);
}

TEST(Trace_log, record_line_has_time_thread_label_and_message_then_end_marker)
{
    Trace(Trace_kind, Level_warn) << "valore " << 42 << " e testo";
    const std::string line = only_line_containing("valore 42 e testo");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, record_pattern)) << line;
    EXPECT_EQ(match[1].str(), " WARN  ");
    EXPECT_EQ(match[2].str(), "");
    EXPECT_EQ(match[3].str(), "valore 42 e testo");

    const std::string content = velin::test::trace_content();
    const auto end = content.find("valore 42 e testo\n") + std::string("valore 42 e testo\n").size();
    EXPECT_EQ(content.substr(end), "\n\n<<<<< FINE DEL FILE DI LOG\n\n");
}

TEST(Trace_log, labels_for_every_level_and_unknown_levels)
{
    const char* expected[] = {" ----- ", " TRACE ", " INFO  ", " NOTE  ", " WARN  ",
                              " ERROR ", " CRIT  ", " ALERT ", " FATAL ", " ----- "};
    for (int level = 0; level <= 9; ++level) {
        const std::string text = "livello-" + std::to_string(level);
        Trace(Trace_kind, level) << text;
        std::smatch match;
        const std::string line = only_line_containing(text);
        ASSERT_TRUE(std::regex_match(line, match, record_pattern)) << line;
        EXPECT_EQ(match[1].str(), expected[level]) << level;
    }
}

TEST(Trace_log, value_record_and_nested_blocks_cap_at_forty_spaces)
{
    velin::trace_value("Nome", "contratto.pdf.p7m");
    EXPECT_NE(only_line_containing("Nome = contratto.pdf.p7m").find(" TRACE  Nome = contratto.pdf.p7m"),
              std::string::npos);
    {
        std::vector<std::unique_ptr<velin::Trace_block>> blocks;
        for (int depth = 0; depth < 11; ++depth)
            blocks.push_back(std::make_unique<velin::Trace_block>("blocco-" + std::to_string(depth)));
        Trace(Trace_kind, Level_info) << "in fondo";
        std::smatch match;
        std::string line = only_line_containing("in fondo");
        ASSERT_TRUE(std::regex_match(line, match, record_pattern));
        EXPECT_EQ(match[2].str().size(), 40u);
        line = only_line_containing("blocco-3");
        ASSERT_TRUE(std::regex_match(line, match, record_pattern));
        EXPECT_EQ(match[2].str().size(), 12u);
        EXPECT_EQ(match[1].str(), " TRACE ");
    }
    // Unwinding eleven blocks must not go below zero: the next block starts from 0 again.
    {
        velin::Trace_block extra("dopo i blocchi");
        Trace(Trace_kind, Level_info) << "rientrato";
    }
    std::smatch match;
    std::string line = only_line_containing("dopo i blocchi");
    ASSERT_TRUE(std::regex_match(line, match, record_pattern));
    EXPECT_EQ(match[2].str().size(), 0u);
    line = only_line_containing("rientrato");
    ASSERT_TRUE(std::regex_match(line, match, record_pattern));
    EXPECT_EQ(match[2].str().size(), 4u);
}

TEST(Trace_log, blocks_indent_only_their_own_thread)
{
    velin::Trace_block outer("blocco del primo thread");
    std::thread other([] { Trace(Trace_kind, Level_info) << "dall'altro thread"; });
    other.join();
    std::smatch match;
    const std::string line = only_line_containing("dall'altro thread");
    ASSERT_TRUE(std::regex_match(line, match, record_pattern));
    EXPECT_EQ(match[2].str().size(), 0u);
}

struct Hook_calls {
    static inline std::vector<std::tuple<int, int, std::string>> seen;
    static void hook(int kind, int level, const std::string& message) { seen.emplace_back(kind, level, message); }
};

TEST(Trace_log, hook_sees_every_record_with_kind_level_and_message)
{
    Hook_calls::seen.clear();
    velin::set_trace_hook(&Hook_calls::hook);
    Trace(Trace_kind, Level_warn) << "avviso";
    Trace(Trace_kind, Level_error) << "errore " << 7;
    velin::set_trace_hook(nullptr);
    Trace(Trace_kind, Level_error) << "dopo il gancio";
    ASSERT_EQ(Hook_calls::seen.size(), 2u);
    EXPECT_EQ(Hook_calls::seen[0], std::make_tuple(1, int(Level_warn), std::string("avviso")));
    EXPECT_EQ(Hook_calls::seen[1], std::make_tuple(1, int(Level_error), std::string("errore 7")));
}

TEST(Trace_log, records_from_many_threads_never_interleave_inside_a_line)
{
    constexpr int threads = 4;
    constexpr int records = 300;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([t] {
            for (int r = 0; r < records; ++r)
                Trace(Trace_kind, Level_info)
                    << "concorrente T" << t << " R" << r << " " << std::string(50, char('a' + t));
        });
    for (auto& worker : workers)
        worker.join();
    const auto lines = lines_containing("concorrente T");
    ASSERT_EQ(lines.size(), size_t(threads * records));
    const std::regex body(R"(concorrente T(\d) R\d+ ([a-z])\2{49})");
    for (const auto& line : lines) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, record_pattern)) << line;
        const std::string message = match[3].str();
        std::smatch parts;
        ASSERT_TRUE(std::regex_match(message, parts, body)) << message;
        EXPECT_EQ(parts[2].str()[0], char('a' + std::stoi(parts[1].str())));
    }
}

} // namespace
