// velin-pccheck run as a program: the batch run and the activity report's hand-over, against a
// prepared root (VELIN_PCCHECK_ROOT), a PC/SC socket nobody listens on, and stand-in commands.
#include "pccheck/app/pccheck_app.h"
#include "test_folder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include <sys/stat.h>
#include <sys/wait.h>

namespace {

using namespace velin::test;
using testing::HasSubstr;

std::string quoted(const std::string& text)
{
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

void put(const std::filesystem::path& file, const std::string& content, bool executable = false)
{
    std::filesystem::create_directories(file.parent_path());
    write_file(file, content);
    if (executable)
        ::chmod(file.c_str(), 0755);
}

struct Program_run {
    int exit_code = -1;
    std::string output;
};

// The program with a clean environment of the folder's own.
Program_run run_program(const Test_folder& folder, const std::string& arguments,
                        const std::string& program = VELIN_PCCHECK_BINARY, bool display = true,
                        const std::string& environment = "")
{
    std::filesystem::create_directories(folder / "runtime");
    const std::string command =
        "env -i PATH=" + quoted((folder / "bin").string() + ":/usr/bin:/bin") +
        " HOME=" + quoted((folder / "home").string()) + " XDG_RUNTIME_DIR=" + quoted((folder / "runtime").string()) +
        " TMPDIR=" + quoted((folder / "runtime").string()) +
        " VELIN_PCCHECK_ROOT=" + quoted((folder / "root").string()) +
        " VELIN_MACHINE_REGISTRY=" + quoted((folder / "machine.reg").string()) +
        " VELIN_USER_REGISTRY=" + quoted((folder / "user.reg").string()) +
        " VELIN_CARD_LIBRARY=" + quoted((folder / "missing.so").string()) +
        " PCSCLITE_CSOCK_NAME=" + quoted((folder / "no-pcscd.comm").string()) +
        " VELIN_OPEN_COMMAND=" + quoted((folder / "bin" / "open-recorder").string()) + environment +
        " LANG=it_IT.UTF-8" + (display ? " QT_QPA_PLATFORM=offscreen " : " ") + quoted(program) + " " + arguments +
        " > " + quoted((folder / "stdout.txt").string()) + " 2>&1";
    const int status = std::system(command.c_str());
    Program_run run;
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.output = read_file(folder / "stdout.txt");
    return run;
}

void prepare_machine(const Test_folder& folder, const std::string& os_release)
{
    put(folder / "root/etc/os-release", os_release);
    put(folder / "bin/chromium", "#!/bin/sh\necho 'Chromium 120.0.6099.224 built on Debian 12.4'\n", true);
    put(folder / "bin/open-recorder", "#!/bin/sh\necho \"$1\" >> \"$(dirname \"$0\")/opened.txt\"\n", true);
    put(folder / "machine.reg", "Windows Registry Editor Version 5.00\r\n\r\n"
                                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Valdora Vidizoved\\Velin Manager\\Impostazioni]\r\n"
                                "\"ModuloPKCS11\"=\"/usr/lib/mancante/pkcs11.so\"\r\n"
                                "\"SitoMiddleware\"=\"https://middleware.example/\"\r\n");
}

TEST(Command_line, arguments)
{
    const char* plain[] = {"velin-pccheck", nullptr};
    EXPECT_FALSE(velin::pccheck::parse_pccheck_arguments(1, plain).path_given);
    // An absolute path begins with "/" and is still the report; the starter's window is not.
    const char* handover[] = {"velin-pccheck", "/parent=0x00001234", "/run/user/1000/velin manager/log.txt", "other"};
    const auto given = velin::pccheck::parse_pccheck_arguments(4, handover);
    EXPECT_TRUE(given.path_given);
    EXPECT_FALSE(given.batch);
    EXPECT_EQ(given.report_path, "/run/user/1000/velin manager/log.txt");
    const char* batch[] = {"velin-pccheck", "/batch"};
    const auto batch_only = velin::pccheck::parse_pccheck_arguments(2, batch);
    EXPECT_TRUE(batch_only.batch);
    EXPECT_FALSE(batch_only.path_given);
}

TEST(Command_line, help_version_and_unknown_switches_touch_nothing)
{
    Test_folder folder;
    prepare_machine(folder, "ID=debian\nVERSION_ID=\"12\"\n");
    // A systemctl that records being asked: nothing may reach the system's services.
    put(folder / "bin/systemctl", "#!/bin/sh\necho \"$@\" >> \"$(dirname \"$0\")/systemctl.txt\"\n", true);
    const auto untouched = [&](const std::string& what) {
        EXPECT_FALSE(std::filesystem::exists(folder / "bin/systemctl.txt")) << what;
        EXPECT_FALSE(std::filesystem::exists(folder / "runtime/velin-manager/Velin_Manager_VERIFICA_INSTALLAZIONE.txt"))
            << what;
        EXPECT_FALSE(std::filesystem::exists(folder / "bin/opened.txt")) << what;
    };
    // Without a display: answered before any window could be wanted.
    const Program_run help = run_program(folder, "--help", VELIN_PCCHECK_BINARY, false);
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_EQ(help.output.rfind("Uso: velin-pccheck [TRACCIATO] [/batch]", 0), 0u) << help.output;
    EXPECT_EQ(run_program(folder, "/batch -h", VELIN_PCCHECK_BINARY, false).output, help.output);
    const Program_run version = run_program(folder, "--version", VELIN_PCCHECK_BINARY, false);
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_EQ(version.output, "velin-pccheck " VELIN_VERSION "\n");
    untouched("--help");

    // An unknown switch is refused, never taken as the report's name.
    for (const char* wrong : {"--batch", "/BATCH", "-x", "/?"}) {
        const Program_run refused = run_program(folder, quoted(wrong), VELIN_PCCHECK_BINARY, false);
        EXPECT_EQ(refused.exit_code, 2) << wrong;
        EXPECT_EQ(refused.output.rfind(std::string("velin-pccheck: opzione sconosciuta: ") + wrong + ".\nUso:", 0), 0u)
            << refused.output;
        untouched(wrong);
    }
    EXPECT_FALSE(std::filesystem::exists("--help"));
    EXPECT_FALSE(std::filesystem::exists("--batch"));
}

TEST(Command_line, batch_run_prints_the_messages_and_appends_to_the_given_report)
{
    Test_folder folder;
    prepare_machine(folder, "PRETTY_NAME=\"Slackware 15.0\"\nID=slackware\nVERSION_ID=15.0\n");
    write_file(folder / "report.txt", "prima riga\n");
    const Program_run run = run_program(folder, "/batch " + quoted((folder / "report.txt").string()));
    EXPECT_EQ(run.exit_code, 1) << run.output;
    EXPECT_THAT(run.output, HasSubstr("Sto controllando l'installazione della Aurea Desk, attendere prego...\n\n"
                                      "Ho trovato un problema: Questo sistema operativo non è supportato.\n"
                                      "Continuo a cercare...\n\n"
                                      "E' stato rilevato un problema durante la verifica dell'installazione.\n"));
    const std::string report = read_file(folder / "report.txt");
    EXPECT_EQ(report.rfind("prima riga\n\nAnalisi del PC.\n", 0), 0u) << report;
    EXPECT_THAT(report, HasSubstr("Sistema Operativo: Slackware 15.0\n"));
    EXPECT_THAT(report, HasSubstr("Fine del tracciato: ci sono dei problemi.\n"));
    EXPECT_FALSE(std::filesystem::exists(folder / "bin/opened.txt"));

    // Without a path the report is the private folder's, made anew.
    const Program_run own = run_program(folder, "/batch");
    EXPECT_EQ(own.exit_code, 1);
    const std::string default_report =
        read_file(folder / "runtime/velin-manager/Velin_Manager_VERIFICA_INSTALLAZIONE.txt");
    EXPECT_EQ(default_report.rfind("\nAnalisi del PC.\n", 0), 0u) << default_report;

    // A report that cannot be written: said, and a code of its own.
    const Program_run unwritable = run_program(folder, "/batch " + quoted((folder / "no/such/folder/r.txt").string()));
    EXPECT_EQ(unwritable.exit_code, 2);
    EXPECT_THAT(unwritable.output, HasSubstr("Il tracciato non può essere scritto nel file "));
}

TEST(Command_line, batch_report_avoids_another_users_private_folder)
{
    // Without XDG_RUNTIME_DIR the report goes to TMPDIR/velin-manager-UID; a link planted there
    // must neither take it nor send it to the current folder.
    Test_folder folder;
    prepare_machine(folder, "ID=debian\nVERSION_ID=\"12\"\n");
    std::filesystem::create_directories(folder / "tmp/altrui");
    const std::filesystem::path planted = folder / "tmp" / ("velin-manager-" + std::to_string(::geteuid()));
    std::filesystem::create_directory_symlink(folder / "tmp/altrui", planted);
    const Program_run run = run_program(folder, "/batch", VELIN_PCCHECK_BINARY, false,
                                        " XDG_RUNTIME_DIR= TMPDIR=" + quoted((folder / "tmp").string()) +
                                            " XDG_CACHE_HOME=" + quoted((folder / "cache").string()));
    EXPECT_THAT(run.output,
                HasSubstr("La cartella " + planted.string() + " non appartiene a questo utente e non viene usata.\n"));
    EXPECT_TRUE(std::filesystem::is_empty(folder / "tmp/altrui"));
    const std::string report =
        read_file(folder / "cache/velin-manager/runtime/Velin_Manager_VERIFICA_INSTALLAZIONE.txt");
    EXPECT_EQ(report.rfind("\nAnalisi del PC.\n", 0), 0u) << run.output;
}

TEST(Command_line, handover_appends_every_check_and_opens_the_folder)
{
    Test_folder folder;
    prepare_machine(folder, "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nID=debian\nVERSION_ID=\"12\"\n");
    const std::filesystem::path log = folder / "activity dir" / "Velin_Manager_RAPPORTO_ATTIVITA.log";
    put(log, "2026-12-08 traccia del verificatore\n");
    // Started as the verifier starts it: by its product name, from the programs' folder.
    const std::string product =
        std::filesystem::path(VELIN_PCCHECK_BINARY).parent_path() / "Velin Manager - Verifica PC";
    const Program_run run = run_program(folder, quoted(log.string()), product);
    EXPECT_EQ(run.exit_code, 0) << run.output;
    const std::string report = read_file(log);
    EXPECT_EQ(report.rfind("2026-12-08 traccia del verificatore\n\nAnalisi del PC.\n", 0), 0u);
    // Every check ran: no pcscd in this root, no PC/SC, no card library, no module.
    for (const char* line : {"Questo sistema operativo è supportato.\n", "privilegi di Amministratore.\n",
                             "Il servizio Smartcard non è presente sul computer.\n",
                             "La rilevazione dei lettori PC/SC è fallita.\n", "ISSUER: <non rilevato>\n",
                             "Modulo PKCS#11: /usr/lib/mancante/pkcs11.so\n", "sul sito https://middleware.example/\n",
                             "Il CSP NON è installato.\n", "Versione di Chromium: 120.0.6099.224\n",
                             "Le funzioni di firma e verifica di documenti Adobe PDF non funzioneranno.\n",
                             "Analisi completata.\n", "Fine del tracciato: ci sono dei problemi.\n"})
        EXPECT_THAT(report, HasSubstr(line));
    // The file manager is started without being waited for.
    const std::string opened = (folder / "activity dir").string() + "\n";
    for (int tries = 0; tries < 200 && read_file(folder / "bin/opened.txt") != opened; ++tries)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(read_file(folder / "bin/opened.txt"), opened);
}

} // namespace
