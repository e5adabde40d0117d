// The registry layer against real hive files in a private folder.
#include "settings_test_folder.h"
#include "test_folder.h"

#include "common/registry.h"
#include "common/trace.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace velin {
namespace {

using test::Settings_test;

constexpr auto User = Registry_root::Current_user;
constexpr auto Machine = Registry_root::Local_machine;

std::vector<std::string> trace_records;

void capture_trace(int, int level, const std::string& message)
{
    if (level == Level_trace)
        trace_records.push_back(message);
}

TEST_F(Settings_test, WrittenValuesLandInTheRegeditTextForm)
{
    EXPECT_EQ(write_dword(User, Settings_key, "VerificaCRL", 1), 0u);
    EXPECT_EQ(write_text(User, Settings_key, "UltimoAggiornamento", "12/08/26"), 0u);
    EXPECT_EQ(read_file(user_hive()), "Windows Registry Editor Version 5.00\n"
                                      "\n"
                                      "[HKEY_CURRENT_USER\\SOFTWARE]\n"
                                      "\n"
                                      "[HKEY_CURRENT_USER\\SOFTWARE\\Valdora Vidizoved]\n"
                                      "\n"
                                      "[HKEY_CURRENT_USER\\SOFTWARE\\Valdora Vidizoved\\Velin Manager]\n"
                                      "\n"
                                      "[HKEY_CURRENT_USER\\SOFTWARE\\Valdora Vidizoved\\Velin Manager\\Impostazioni]\n"
                                      "\"VerificaCRL\"=dword:00000001\n"
                                      "\"UltimoAggiornamento\"=\"12/08/26\"\n"
                                      "\n");
    // The machine hive is a file of its own, created with its folder on first write.
    EXPECT_FALSE(std::filesystem::exists(machine_hive()));
    EXPECT_EQ(write_dword(Machine, Installation_key, "Versione", 0x03030000), 0u);
    EXPECT_NE(read_file(machine_hive())
                  .find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Valdora Vidizoved\\Velin Manager]\n"
                        "\"Versione\"=dword:03030000\n"),
              std::string::npos);
}

TEST_F(Settings_test, TextsAndNumbersReadBackExactly)
{
    const std::string texts[] = {
        "C:\\Program Files\\Java\\jre6", "tra \"virgolette\" e \\\\server\\share\\",
        "perché è già così — ünïcödé ✓", "",
        "ends with a backslash\\",
    };
    int index = 0;
    for (const std::string& text : texts) {
        const std::string name = "Testo" + std::to_string(index++);
        ASSERT_EQ(write_text(User, Settings_key, name, text), 0u) << text;
    }
    for (uint32_t number : {0u, 1u, 0x7FFFFFFFu, 0xFFFFFFFFu, 0x03030000u})
        ASSERT_EQ(write_dword(Machine, Installation_key, "N" + std::to_string(number), number), 0u);

    index = 0;
    for (const std::string& text : texts) {
        const Registry_text_read read = read_text(User, Settings_key, "Testo" + std::to_string(index++));
        ASSERT_TRUE(read.succeeded()) << read.message();
        EXPECT_EQ(read.value(), text);
        EXPECT_EQ(read.type(), REG_SZ);
        EXPECT_EQ(read.data().size(), text.size() + 1) << "a text is stored with its terminating zero";
    }
    for (uint32_t number : {0u, 1u, 0x7FFFFFFFu, 0xFFFFFFFFu, 0x03030000u}) {
        const Registry_dword_read read = read_dword(Machine, Installation_key, "N" + std::to_string(number));
        ASSERT_TRUE(read.succeeded()) << read.message();
        EXPECT_EQ(read.value(), number);
    }
    // Windows compares key and value names without regard to case.
    const Registry_text_read lower =
        read_text(User, "software\\valdora vidizoved\\velin manager\\IMPOSTAZIONI", "testo0");
    ASSERT_TRUE(lower.succeeded());
    EXPECT_EQ(lower.value(), texts[0]);
    // Rewriting a value replaces it in place.
    ASSERT_EQ(write_text(User, Settings_key, "Testo0", "nuovo"), 0u);
    EXPECT_EQ(read_text(User, Settings_key, "Testo0").value(), "nuovo");
    EXPECT_EQ(read_file(user_hive()).find("jre6"), std::string::npos);
}

TEST_F(Settings_test, ReadResultCodesFollowTheStoredType)
{
    write_file(user_hive(), "\xEF\xBB\xBF"
                            "Windows Registry Editor Version 5.00\r\n"
                            "\r\n"
                            "; written by hand\r\n"
                            "[HKEY_CURRENT_USER\\SOFTWARE\\Valdora Vidizoved\\Velin Manager\\Impostazioni]\r\n"
                            "\"Testo\"=\"1\"\r\n"
                            "  \"Numero\"=dword:2a\r\n"
                            "\"Corto\"=hex(4):01,00\r\n"
                            "\"SenzaZero\"=hex(1):41,42\r\n"
                            "\"Vuoto\"=hex(4):\r\n"
                            "\"Espanso\"=hex(2):25,00\r\n"
                            "\"Lista\"=hex(7):61,00,62,00,\\\r\n"
                            "  00\r\n");

    const Registry_dword_read as_number = read_dword(User, Settings_key, "Testo");
    EXPECT_EQ(as_number.result(), ERROR_DATATYPE_MISMATCH_CODE);
    EXPECT_EQ(as_number.type(), REG_SZ);
    EXPECT_EQ(as_number.data(), (std::vector<uint8_t>{'1', 0}));
    EXPECT_FALSE(as_number.message().empty());

    EXPECT_EQ(read_dword(User, Settings_key, "Numero").value(), 42u);
    EXPECT_EQ(read_text(User, Settings_key, "Numero").result(), ERROR_DATATYPE_MISMATCH_CODE);
    EXPECT_EQ(read_dword(User, Settings_key, "Corto").result(), E_FAIL_CODE);
    // What is genuinely stored without a final zero keeps failing.
    EXPECT_EQ(read_text(User, Settings_key, "SenzaZero").result(), E_FAIL_CODE);
    EXPECT_EQ(read_dword(User, Settings_key, "Vuoto").result(), E_FAIL_CODE);
    EXPECT_EQ(read_text(User, Settings_key, "Espanso").result(), ERROR_DATATYPE_MISMATCH_CODE);
    EXPECT_EQ(read_text(User, Settings_key, "Lista").data(), (std::vector<uint8_t>{'a', 0, 'b', 0, 0}));
    EXPECT_EQ(read_text(User, Settings_key, "Manca").result(), ERROR_FILE_NOT_FOUND_CODE);
    EXPECT_EQ(read_text(User, "SOFTWARE\\Altro", "Testo").result(), ERROR_FILE_NOT_FOUND_CODE);
    EXPECT_EQ(read_dword(Machine, Installation_key, "Versione").result(), ERROR_FILE_NOT_FOUND_CODE)
        << "a missing hive file is an empty hive";

    // A write keeps every other value with its type, and the hand-written values still read.
    ASSERT_EQ(write_dword(User, Settings_key, "Nuovo", 7), 0u);
    const std::string rewritten = read_file(user_hive());
    EXPECT_NE(rewritten.find("\"Corto\"=hex(4):01,00\n"), std::string::npos) << rewritten;
    EXPECT_NE(rewritten.find("\"SenzaZero\"=hex(1):41,42\n"), std::string::npos) << rewritten;
    EXPECT_NE(rewritten.find("\"Espanso\"=hex(2):25,00\n"), std::string::npos) << rewritten;
    EXPECT_NE(rewritten.find("\"Vuoto\"=hex(4):\n"), std::string::npos) << rewritten;
    EXPECT_EQ(read_text(User, Settings_key, "Lista").data(), (std::vector<uint8_t>{'a', 0, 'b', 0, 0}));
    EXPECT_EQ(read_dword(User, Settings_key, "Testo").result(), ERROR_DATATYPE_MISMATCH_CODE);
    EXPECT_EQ(read_dword(User, Settings_key, "Numero").value(), 42u);
}

TEST_F(Settings_test, ProgrammingErrorsAreAssertions)
{
    using velin::test::assertion_text;
    EXPECT_EQ(assertion_text([] { read_dword(Registry_root::None, Settings_key, "X"); }),
              "Assertion failed: root_key ne NULL");
    EXPECT_EQ(assertion_text([] { read_text(Registry_root::None, Settings_key, "X"); }),
              "Assertion failed: root_key ne NULL");
    EXPECT_EQ(assertion_text([] { read_dword(User, "", "X"); }), "Assertion failed: not is_empty (key_path)");
    EXPECT_EQ(assertion_text([] { read_text(User, Settings_key, ""); }), "Assertion failed: not is_empty (value)");

    Registry_write writer;
    EXPECT_EQ(assertion_text([&] { writer.write_dword(Registry_root::None, Settings_key, "X", 1); }),
              "Assertion failed: root ne NULL");
    EXPECT_EQ(assertion_text([&] { writer.write_text(Registry_root::None, Settings_key, "X", "a"); }),
              "Assertion failed: root ne NULL");
    EXPECT_EQ(assertion_text([&] { writer.write_dword(User, "", "X", 1); }),
              "Assertion failed: not is_empty (key_path)");
    EXPECT_EQ(assertion_text([&] { writer.write_text(User, "", "X", "a"); }),
              "Assertion failed: not is_empty (key_path)");
    EXPECT_EQ(assertion_text([&] { writer.write_dword(User, Settings_key, "", 1); }),
              "Assertion failed: not is_empty (value)");
    EXPECT_EQ(assertion_text([&] { writer.write_text(User, Settings_key, "X", nullptr); }),
              "Assertion failed: data ne NULL");
    EXPECT_FALSE(std::filesystem::exists(user_hive())) << "a refused call writes nothing";

    // One write, then its result must be taken before the writer is used again.
    writer.write_dword(User, Settings_key, "X", 1);
    EXPECT_EQ(writer.check_status(), Registry_write::Check_wait);
    EXPECT_EQ(assertion_text([&] { writer.write_dword(User, Settings_key, "Y", 2); }),
              "Assertion failed: _check_status ne Check_wait");
    EXPECT_EQ(assertion_text([&] { writer.write_text(User, Settings_key, "Y", "b"); }),
              "Assertion failed: _check_status ne Check_wait");
    EXPECT_EQ(writer.check(), 0u);
    writer.write_text(User, Settings_key, "", "predefinito"); // an empty name is the key's default value
    EXPECT_EQ(writer.check(), 0u);
    EXPECT_NE(read_file(user_hive()).find("@=\"predefinito\"\n"), std::string::npos);
}

TEST_F(Settings_test, UnwritableMachineHiveGivesTheSystemCode)
{
    setenv("VELIN_MACHINE_REGISTRY", "/dev/null/velin/machine.reg", 1);
    trace_records.clear();
    set_trace_hook(capture_trace);
    Registry_write writer;
    writer.write_dword(Machine, Settings_key, "Aggiornamenti", 1);
    EXPECT_EQ(writer.check(), error_code_from_errno(ENOTDIR));
    EXPECT_FALSE(writer.succeeded());
    EXPECT_NE(writer.message().find("Aggiornamenti"), std::string::npos);
    set_trace_hook(nullptr);
    ASSERT_FALSE(trace_current_path().empty()) << "the trace log is unavailable: its records cannot be checked";
    ASSERT_EQ(trace_records.size(), 1u);
    EXPECT_NE(trace_records[0].find(writer.message()), std::string::npos) << trace_records[0];
    EXPECT_EQ(read_dword(Machine, Settings_key, "Aggiornamenti").result(), ERROR_FILE_NOT_FOUND_CODE);

    // A line break in a name would break the file's line structure: refused, nothing written.
    EXPECT_NE(write_dword(User, "SOFTWARE\\A\nB", "X", 1), 0u);
    EXPECT_NE(write_text(User, Settings_key, "X\n[Y]", "a"), 0u);
    EXPECT_FALSE(std::filesystem::exists(user_hive()));
}

TEST_F(Settings_test, WriteKeepsTheFileModeAndLeavesNoTemporaryFiles)
{
    ASSERT_EQ(write_dword(User, Settings_key, "A", 1), 0u);
    ASSERT_EQ(::chmod(user_hive().c_str(), 0640), 0);
    ASSERT_EQ(write_dword(User, Settings_key, "B", 2), 0u);
    struct stat status {};
    ASSERT_EQ(::stat(user_hive().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(user_hive()).parent_path()))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"user.reg", "user.reg.lock"}));
}

TEST_F(Settings_test, ConcurrentWritersKeepEachOthersValues)
{
    constexpr int writers = 4;
    constexpr int values_each = 25;
    std::vector<pid_t> children;
    for (int w = 0; w < writers; ++w) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int failures = 0;
            for (int v = 0; v < values_each; ++v)
                failures += write_dword(User, Settings_key, "W" + std::to_string(w) + "_" + std::to_string(v),
                                        static_cast<uint32_t>(w * 1000 + v)) != 0;
            ::_exit(failures);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a writer failed";
    }
    for (int w = 0; w < writers; ++w)
        for (int v = 0; v < values_each; ++v) {
            const Registry_dword_read read =
                read_dword(User, Settings_key, "W" + std::to_string(w) + "_" + std::to_string(v));
            ASSERT_TRUE(read.succeeded()) << "lost value of writer " << w << ": " << read.message();
            EXPECT_EQ(read.value(), static_cast<uint32_t>(w * 1000 + v));
        }
}

// Damaged files: the values before the damage read, a write is refused and the file kept as is.
TEST_F(Settings_test, DamagedHivesAreReadUpToTheDamageAndNeverRewritten)
{
    const std::string good = "Windows Registry Editor Version 5.00\n"
                             "\n"
                             "[HKEY_CURRENT_USER\\SOFTWARE\\Valdora Vidizoved\\Velin Manager\\Impostazioni]\n"
                             "\"VerificaCRL\"=dword:00000000\n"
                             "\"UltimoAggiornamento\"=\"12/07/26\"\n";
    struct Case {
        const char* name;
        std::string tail;
    };
    std::string huge_line = "\"Enorme\"=\"";
    huge_line.append(10u << 20, 'x');
    huge_line += "\"\n";
    std::string garbage;
    for (int i = 0; i < 4096; ++i)
        garbage += static_cast<char>((i * 7919 + 13) % 256);
    const Case cases[] = {
        {"truncated inside a text", "\"JavaHome\"=\"/usr/li"},
        {"truncated inside a continued list", "\"Lista\"=hex(7):61,00,\\\n"},
        {"binary garbage", garbage},
        {"a 10 MB single line", huge_line + "\"Dopo\"=dword:00000001\n"},
        {"a bad escape", "\"Cattivo\"=\"a\\b\"\n"},
        {"a value before any key", "[\n\"Orfano\"=dword:1\n"},
        {"a key deletion", "[-HKEY_CURRENT_USER\\SOFTWARE]\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string content = good + c.tail;
        write_file(user_hive(), content);
        const Registry_dword_read flag = read_dword(User, Settings_key, "VerificaCRL");
        ASSERT_TRUE(flag.succeeded()) << flag.message();
        EXPECT_EQ(flag.value(), 0u);
        EXPECT_EQ(read_text(User, Settings_key, "UltimoAggiornamento").value(), "12/07/26");
        EXPECT_EQ(read_dword(User, Settings_key, "Dopo").result(), ERROR_FILE_NOT_FOUND_CODE);

        Registry_write writer;
        writer.write_dword(User, Settings_key, "AggiornaCRL", 1);
        EXPECT_EQ(writer.check(), ERROR_BADDB_CODE);
        EXPECT_TRUE(read_file(user_hive()) == content) << "the damaged hive was rewritten";
    }

    // Garbage from the first byte: nothing reads, nothing is overwritten.
    write_file(user_hive(), garbage);
    EXPECT_EQ(read_dword(User, Settings_key, "VerificaCRL").result(), ERROR_FILE_NOT_FOUND_CODE);
    EXPECT_EQ(write_dword(User, Settings_key, "VerificaCRL", 1), ERROR_BADDB_CODE);
    EXPECT_TRUE(read_file(user_hive()) == garbage);

    // A folder where the hive should be.
    std::filesystem::remove(user_hive());
    std::filesystem::create_directory(user_hive());
    EXPECT_EQ(read_dword(User, Settings_key, "VerificaCRL").result(), error_code_from_errno(EISDIR));
    EXPECT_NE(write_dword(User, Settings_key, "VerificaCRL", 1), 0u);
    EXPECT_TRUE(std::filesystem::is_directory(user_hive()));

    // A pipe (or a device) named as the hive: not read, which would block, and never replaced.
    std::filesystem::remove(user_hive());
    ASSERT_EQ(::mkfifo(user_hive().c_str(), 0600), 0);
    EXPECT_NE(read_dword(User, Settings_key, "VerificaCRL").result(), 0u);
    EXPECT_NE(write_dword(User, Settings_key, "VerificaCRL", 1), 0u);
    EXPECT_TRUE(std::filesystem::is_fifo(user_hive()));

    // An empty file is an empty hive, and may be written.
    std::filesystem::remove(user_hive());
    write_file(user_hive(), "");
    EXPECT_EQ(read_dword(User, Settings_key, "VerificaCRL").result(), ERROR_FILE_NOT_FOUND_CODE);
    EXPECT_EQ(write_dword(User, Settings_key, "VerificaCRL", 1), 0u);
}

TEST(Registry_hive_text, ReparsesToTheSameValues)
{
    std::string long_list = "ff";
    for (int i = 1; i < 100; ++i)
        long_list += ",ff";
    const Registry_hive hive = Registry_hive::parse("Windows Registry Editor Version 5.00\n\n"
                                                    "[HKEY_CURRENT_USER\\A]\n"
                                                    "\"Ctrl\"=hex(1):41,0a,42,00\n"
                                                    "\"Zero\"=hex(1):41,00,42,00\n"
                                                    "\"Q\"=hex(b):01,02,03,04,05,06,07,08\n"
                                                    "\"Bin\"=hex:" +
                                                    long_list +
                                                    "\n"
                                                    "\"Dup\"=dword:1\n"
                                                    "[hkey_current_user\\a]\n"
                                                    "\"dup\"=\"sostituito\"\n");
    ASSERT_TRUE(hive.intact());
    ASSERT_EQ(hive.keys().size(), 1u) << "keys differing in case are one key";
    const std::string text = hive.serialize();
    const Registry_hive again = Registry_hive::parse(text);
    ASSERT_TRUE(again.intact()) << text;
    ASSERT_EQ(again.keys().size(), 1u);
    const auto& before = hive.keys()[0].values;
    const auto& after = again.keys()[0].values;
    ASSERT_EQ(before.size(), 5u);
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < before.size(); ++i) {
        EXPECT_EQ(before[i].name, after[i].name);
        EXPECT_EQ(before[i].type, after[i].type);
        EXPECT_EQ(before[i].data, after[i].data);
    }
    // Texts that the quoted form cannot hold keep the hex form; long lists are continued.
    EXPECT_NE(text.find("\"Ctrl\"=hex(1):41,0a,42,00\n"), std::string::npos) << text;
    EXPECT_NE(text.find(",\\\n  ff"), std::string::npos) << text;
    const auto* dup = again.find_value("HKEY_CURRENT_USER\\A", "DUP");
    ASSERT_NE(dup, nullptr);
    EXPECT_EQ(dup->type, REG_SZ) << "the later line for a value wins";
    EXPECT_EQ(again.find_value("HKEY_CURRENT_USER\\A", "Bin")->data.size(), 100u);
}

} // namespace
} // namespace velin
