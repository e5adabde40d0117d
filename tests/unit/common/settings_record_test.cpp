// The settings record over the two hives: defaults, status, saving and the administrator message.
#include "settings_test_folder.h"

#include "common/registry.h"
#include "common/settings_record.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace velin {
namespace {

using test::Settings_test;

const char* const Expected_administrator_message =
    "L'operazione richiesta non può essere eseguita.\n"
    "Verificare che l'utente corrente abbia privilegi di Amministratore.";

const std::string Header = "Windows Registry Editor Version 5.00\n\n";
const std::string Machine_keys = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Valdora Vidizoved\\Velin Manager]\n"
                                 "\"Versione\"=dword:03030000\n"
                                 "\n"
                                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Valdora Vidizoved\\Velin Manager\\Impostazioni]\n"
                                 "\"Aggiornamenti\"=dword:00000001\n"
                                 "\"FirmaParallela\"=dword:00000002\n"
                                 "\"JavaHome\"=\"/usr/lib/jvm/java-17-openjdk-amd64\"\n";

TEST_F(Settings_test, LoadGivesDefaultsForWhatIsMissingOrMistyped)
{
    Settings_record record;
    record.VerificaCRL = false;
    record.JavaHome = "left over";
    record.load();
    EXPECT_EQ(record.status, 2);
    EXPECT_FALSE(record.FirmaParallela);
    EXPECT_EQ(record.Versione, 0u) << "a missing version makes every published version newer";
    EXPECT_EQ(record.JavaHome, "");
    EXPECT_FALSE(record.Aggiornamenti);
    EXPECT_TRUE(record.VerificaCRL);
    EXPECT_TRUE(record.AggiornaCRL);
    EXPECT_EQ(record.UltimoAggiornamento, "");
    EXPECT_EQ(record.MetodoRevoca, 0u);

    // Everything present and well typed: status 1; any non-zero number is true.
    write_file(machine_hive(), Header + Machine_keys);
    write_file(user_hive(), Header + "[HKEY_CURRENT_USER\\SOFTWARE\\Valdora Vidizoved\\Velin Manager\\Impostazioni]\n"
                                     "\"UltimoAggiornamento\"=\"12/07/26\"\n"
                                     "\"VerificaCRL\"=dword:00000000\n"
                                     "\"AggiornaCRL\"=dword:00000000\n"
                                     "\"MetodoRevoca\"=dword:00000002\n");
    record.load();
    EXPECT_EQ(record.status, 1);
    EXPECT_EQ(record.MetodoRevoca, 2u);
    EXPECT_EQ(record.Versione, 0x03030000u);
    EXPECT_TRUE(record.Aggiornamenti);
    EXPECT_TRUE(record.FirmaParallela);
    EXPECT_EQ(record.JavaHome, "/usr/lib/jvm/java-17-openjdk-amd64");
    EXPECT_EQ(record.UltimoAggiornamento, "12/07/26");
    EXPECT_FALSE(record.VerificaCRL);
    EXPECT_FALSE(record.AggiornaCRL);

    // VerificaCRL stored as the text "1": read as missing, so the default true and status 2.
    write_file(user_hive(), Header + "[HKEY_CURRENT_USER\\SOFTWARE\\Valdora Vidizoved\\Velin Manager\\Impostazioni]\n"
                                     "\"UltimoAggiornamento\"=\"12/07/26\"\n"
                                     "\"VerificaCRL\"=\"1\"\n"
                                     "\"AggiornaCRL\"=dword:00000000\n");
    record.load();
    EXPECT_EQ(record.status, 2);
    EXPECT_TRUE(record.VerificaCRL);
    EXPECT_FALSE(record.AggiornaCRL);
    EXPECT_EQ(record.UltimoAggiornamento, "12/07/26");
}

TEST_F(Settings_test, SavedPartsLoadBackIntoAnEqualRecord)
{
    Settings_record saved;
    saved.FirmaParallela = true;
    saved.JavaHome = "/opt/java \"17\"\\jre";
    saved.Aggiornamenti = true;
    saved.VerificaCRL = false;
    saved.AggiornaCRL = false;
    saved.UltimoAggiornamento = "12/08/26";

    saved.save_user_part();
    EXPECT_EQ(saved.status, 1);
    EXPECT_FALSE(std::filesystem::exists(machine_hive())) << "the user part touches only the user hive";
    saved.save_machine_part();
    EXPECT_EQ(saved.status, 1);
    // The installer writes the version; the programs never do.
    ASSERT_EQ(write_dword(Registry_root::Local_machine, Installation_key, "Versione", 0x03030000), 0u);

    Settings_record loaded;
    loaded.load();
    EXPECT_EQ(loaded.status, 1) << "every saved value, the texts included, must read back";
    EXPECT_EQ(loaded.FirmaParallela, true);
    EXPECT_EQ(loaded.Versione, 0x03030000u);
    EXPECT_EQ(loaded.JavaHome, saved.JavaHome);
    EXPECT_EQ(loaded.Aggiornamenti, true);
    EXPECT_EQ(loaded.VerificaCRL, false);
    EXPECT_EQ(loaded.AggiornaCRL, false);
    EXPECT_EQ(loaded.UltimoAggiornamento, "12/08/26");
    const std::string machine = read_file(machine_hive());
    EXPECT_NE(machine.find("\"FirmaParallela\"=dword:00000001\n"), std::string::npos) << machine;
    EXPECT_EQ(read_file(user_hive()).find("JavaHome"), std::string::npos);

    // Nothing failed: no message, status 1, values kept.
    int shown = 0;
    loaded.JavaHome = "/usr/lib/jvm/default-java";
    loaded.save_all([&](const std::string&) { ++shown; });
    EXPECT_EQ(shown, 0);
    EXPECT_EQ(loaded.status, 1);
    EXPECT_EQ(read_text(Registry_root::Local_machine, Settings_key, "JavaHome").value(), "/usr/lib/jvm/default-java");
}

TEST_F(Settings_test, SaveAllOnAnUncreatableMachineHiveShowsTheMessageAndReloads)
{
    ::setenv("VELIN_MACHINE_REGISTRY", "/dev/null/velin/machine.reg", 1);
    Settings_record record;
    record.load();
    record.JavaHome = "/opt/java";
    record.Aggiornamenti = true;
    record.VerificaCRL = false;

    std::vector<std::string> messages;
    record.save_all([&](const std::string& message) { messages.push_back(message); });
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], Expected_administrator_message);
    EXPECT_EQ(std::string(Administrator_message), Expected_administrator_message);
    // Reloaded: what the record holds is what the registry holds. The user part was written.
    EXPECT_EQ(record.JavaHome, "");
    EXPECT_FALSE(record.Aggiornamenti);
    EXPECT_FALSE(record.VerificaCRL);
    EXPECT_EQ(record.status, 2);
}

// A user without administrator rights over a real machine hive. Root ignores file modes, so the
// save runs in a child that has given up root for "nobody".
TEST_F(Settings_test, SaveAllWithoutAdministratorRightsShowsTheMessageAndReloads)
{
    const std::string machine_content = Header + Machine_keys;
    write_file(machine_hive(), machine_content);
    std::filesystem::permissions(folder, std::filesystem::perms(0755));
    std::filesystem::permissions(std::filesystem::path(machine_hive()).parent_path(), std::filesystem::perms(0755));
    std::filesystem::create_directories(std::filesystem::path(user_hive()).parent_path());
    std::filesystem::permissions(std::filesystem::path(user_hive()).parent_path(), std::filesystem::perms(0777));
    if (::geteuid() != 0)
        std::filesystem::permissions(std::filesystem::path(machine_hive()).parent_path(), std::filesystem::perms(0555));

    int channel[2];
    ASSERT_EQ(::pipe(channel), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(channel[0]);
        if (::geteuid() == 0) {
            const passwd* nobody = ::getpwnam("nobody");
            if (!nobody || ::setgroups(0, nullptr) != 0 || ::setgid(nobody->pw_gid) != 0 ||
                ::setuid(nobody->pw_uid) != 0)
                ::_exit(3);
        }
        Settings_record record;
        record.load();
        record.JavaHome = "/home/utente/java";
        record.UltimoAggiornamento = "12/08/26";
        std::string report;
        int shown = 0;
        record.save_all([&](const std::string& message) {
            ++shown;
            report += "message=" + message + "\n";
        });
        report += "shown=" + std::to_string(shown) + "\nJavaHome=" + record.JavaHome +
                  "\nUltimoAggiornamento=" + record.UltimoAggiornamento + "\n";
        report +=
            "code=" + std::to_string(write_dword(Registry_root::Local_machine, Settings_key, "FirmaParallela", 1)) +
            "\n";
        const ssize_t written = ::write(channel[1], report.data(), report.size());
        ::_exit(written == static_cast<ssize_t>(report.size()) ? 0 : 4);
    }
    ::close(channel[1]);
    std::string report;
    char buffer[512];
    for (ssize_t n; (n = ::read(channel[0], buffer, sizeof buffer)) > 0;)
        report.append(buffer, static_cast<size_t>(n));
    ::close(channel[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    std::filesystem::permissions(std::filesystem::path(machine_hive()).parent_path(), std::filesystem::perms(0755));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the unprivileged child failed: " << status;

    EXPECT_EQ(report, std::string("message=") + Expected_administrator_message +
                          "\nshown=1\n"
                          "JavaHome=/usr/lib/jvm/java-17-openjdk-amd64\n"
                          "UltimoAggiornamento=12/08/26\n"
                          "code=" +
                          std::to_string(error_code_from_errno(EACCES)) + "\n");
    EXPECT_EQ(error_code_from_errno(EACCES), 5u) << "access denied";
    EXPECT_EQ(read_file(machine_hive()), machine_content);
}

} // namespace
} // namespace velin
