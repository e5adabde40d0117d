// The checks against prepared machines: what each one writes, which findings are problems, and
// what it asks systemctl to do.
#include "fake_machine.h"

#include "common/version.h"
#include "pccheck/check_report.h"
#include "pccheck/pc_check.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

namespace {

using namespace velin;
using namespace velin::test;
using testing::HasSubstr;
using testing::Not;

const std::string Show = " --property=LoadState,ActiveState,SubState,UnitFileState";

// A module that loads and answers C_GetInfo: SoftHSM with a token folder of the test's own.
pccheck::Pc_check_settings settings_with_softhsm(const Test_folder& folder)
{
    std::filesystem::create_directories(folder / "tokens");
    write_file(folder / "softhsm2.conf", "directories.tokendir = " + (folder / "tokens").string() +
                                             "\nobjectstore.backend = file\nlog.level = ERROR\n");
    ::setenv("SOFTHSM2_CONF", (folder / "softhsm2.conf").c_str(), 1);
    pccheck::Pc_check_settings settings;
    settings.pkcs11_module = "/usr/lib/softhsm/libsofthsm2.so";
    return settings;
}

// The module path is read below the machine's root: the fake root holds a copy of SoftHSM.
void install_softhsm(Fake_machine& machine)
{
    std::filesystem::create_directories(machine.environment.root + "/usr/lib/softhsm");
    std::filesystem::copy_file("/usr/lib/softhsm/libsofthsm2.so",
                               machine.environment.root + "/usr/lib/softhsm/libsofthsm2.so");
}

TEST(Pc_check, unsupported_system_runs_only_the_system_check_and_ends_with_a_problem)
{
    Fake_machine machine;
    machine.put("/etc/os-release", "NAME=\"Windows Subsystem\"\nPRETTY_NAME=\"Slackware 15.0\"\nID=slackware\n"
                                   "VERSION_ID=15.0\n");
    machine.environment.locale = "it_CH.UTF-8";
    const Run_outcome run = run_check(machine.environment);
    EXPECT_THAT(run.report, HasSubstr("\nAnalisi del PC.\n"));
    EXPECT_THAT(run.report, HasSubstr("La versione di Velin Manager usata è: " + std::string(Suite_version) +
                                      ".\n\nVerifica del sistema operativo\n"
                                      "Sistema Operativo: Slackware 15.0\nVersione del kernel: 6.1.0-13-amd64\n"
                                      "Lingua: Italiano (Svizzera)\n"));
    EXPECT_THAT(run.report, HasSubstr("Ho trovato un problema: Questo sistema operativo non è supportato.\n"
                                      "Continuo a cercare...\nQuesto sistema operativo non è supportato.\n"
                                      "Analisi completata.\n"));
    EXPECT_THAT(run.report, Not(HasSubstr("Verifica dei privilegi")));
    EXPECT_THAT(run.report, HasSubstr("E' stato rilevato un problema durante la verifica dell'installazione.\n\n"
                                      "Fine del tracciato: ci sono dei problemi.\n"));
    EXPECT_EQ(run.problems, 1);
    EXPECT_TRUE(machine.commands.empty());

    // A missing os-release is not a supported system either; the locale is written as it is.
    Fake_machine bare;
    bare.environment.locale = "de_DE.UTF-8";
    const Run_outcome unknown = run_check(bare.environment);
    EXPECT_THAT(unknown.report, HasSubstr("Sistema Operativo: <non disponibile>\n"));
    EXPECT_THAT(unknown.report, HasSubstr("Lingua: de_DE.UTF-8\n"));
    EXPECT_EQ(unknown.problems, 1);
}

TEST(Pc_check, supported_systems_come_from_the_setting)
{
    EXPECT_TRUE(pccheck::is_supported_system("debian 12;ubuntu 22.04;fedora 39+", "debian", "12"));
    EXPECT_TRUE(pccheck::is_supported_system("debian 12;ubuntu 22.04;fedora 39+", "ubuntu", "22.04"));
    EXPECT_FALSE(pccheck::is_supported_system("debian 12;ubuntu 22.04;fedora 39+", "ubuntu", "23.10"));
    EXPECT_TRUE(pccheck::is_supported_system("debian 12;ubuntu 22.04;fedora 39+", "fedora", "41"));
    EXPECT_FALSE(pccheck::is_supported_system("debian 12;ubuntu 22.04;fedora 39+", "fedora", "38"));
    EXPECT_FALSE(pccheck::is_supported_system("debian 12", "debian", "11"));
    EXPECT_FALSE(pccheck::is_supported_system("debian 12", "", ""));
    EXPECT_FALSE(pccheck::is_supported_system(";;debian;+; 12", "debian", "12"));
    EXPECT_EQ(pccheck::language_name("it_IT.UTF-8"), "Italiano (Italia)");
    EXPECT_EQ(pccheck::language_name("it_IT@euro"), "Italiano (Italia)");
    EXPECT_EQ(pccheck::language_name("C"), "C");
}

TEST(Pc_check, good_machine_with_systemd_reports_everything_and_no_problem)
{
    Fake_machine machine;
    machine.debian_with_systemd();
    machine.environment.groups = {"mario", "sudo", "scard"};
    machine.put("/etc/group", "root:x:0:\nsudo:x:27:mario\nscard:x:120:mario\n");
    machine.put("/usr/share/polkit-1/actions/org.debian.pcsc-lite.policy", "<policyconfig/>");
    machine.put("/usr/lib/pcsc/drivers/ifd-ccid.bundle/Contents/Info.plist",
                "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                "<key>CFBundleExecutable</key><string>libccid.so</string>"
                "<key>CFBundleShortVersionString</key><string>1.5.2</string>"
                "<key>ifdFriendlyName</key><array><string>ACS &amp; Co ACR 38U</string><string>Other</string></array>"
                "</dict></plist>");
    machine.put("/usr/lib/firefox-esr/application.ini", "[App]\nVendor=Mozilla\nVersion=115.5.0esr\n");
    machine.put_home(".mozilla/firefox/abcd.default-esr/pkcs11.txt",
                     "library=\nname=NSS Internal PKCS #11 Module\n\n"
                     "library=/usr/lib/softhsm/libsofthsm2.so\nname=Carta Velin\n");
    machine.answer("chromium --version", 0, "Chromium 120.0.6099.224 built on Debian 12.4\n");
    machine.put("/usr/lib/jvm/java-17-openjdk-amd64/release", "JAVA_VERSION=\"17.0.9\"\n");
    machine.put("/usr/lib/jvm/java-17-openjdk-amd64/lib/server/libjvm.so", "");
    Test_folder softhsm;
    pccheck::Pc_check_settings settings = settings_with_softhsm(softhsm);
    install_softhsm(machine);
    // The card library is the only thing missing on this machine.
    const Run_outcome run = run_check(machine.environment, settings);

    EXPECT_THAT(run.report, HasSubstr("Sistema Operativo: Debian GNU/Linux 12 (bookworm)\n"));
    EXPECT_THAT(run.report, HasSubstr("Lingua: Italiano (Italia)\nQuesto sistema operativo è supportato.\n"));
    EXPECT_THAT(run.report, HasSubstr("L'utente ha privilegi di Amministratore.\n"
                                      "L'accesso al servizio Smartcard è regolato da polkit "
                                      "(/usr/share/polkit-1/actions/org.debian.pcsc-lite.policy).\n"
                                      "L'utente fa parte del gruppo 'scard' del servizio Smartcard.\n"));
    EXPECT_THAT(run.report, HasSubstr("Stato del servizio: pcscd.service active (running), pcscd.socket active "
                                      "(running)\nIl servizio Smartcard è già in esecuzione.\n"
                                      "Configurazione attuale del servizio Smartcard: pcscd.socket enabled\n"
                                      "Il servizio Smartcard è già automatico.\n"));
    EXPECT_THAT(run.report, HasSubstr("Classe del dispositivo: lettore di smart card\nLettore: ACS & Co ACR 38U\n"
                                      "Data del driver: "));
    EXPECT_THAT(run.report, HasSubstr("Nome del driver: libccid.so\nVersione del driver: 1.5.2\n"));
    EXPECT_THAT(run.report, HasSubstr("Verifica dei lettori visibili via PC/SC...\nLettore Virtual PCD 00 00\n"));
    EXPECT_THAT(run.report, HasSubstr("Il CSP è installato.\nProduttore: SoftHSM\n"));
    EXPECT_THAT(run.report, HasSubstr("Versione della libreria: 2."));
    // Nothing of what a Linux machine does not have, and no label in English.
    for (const char* absent : {"Internet Explorer", "ServicePack", "Driver ", "Device class"})
        EXPECT_THAT(run.report, Not(HasSubstr(absent)));
    EXPECT_THAT(run.report, HasSubstr("Versione di Mozilla Firefox: 115.5.0esr\n"
                                      "Profilo di Firefox abcd.default-esr: il modulo PKCS#11 della carta è "
                                      "registrato tra i dispositivi di sicurezza.\n"));
    EXPECT_THAT(run.report, HasSubstr("Versione di Chromium: 120.0.6099.224\n"));
    EXPECT_THAT(run.report, HasSubstr("Versione di Java: 17.0.9 (" + machine.environment.root +
                                      "/usr/lib/jvm/java-17-openjdk-amd64)\nAnalisi completata.\n"));
    // The missing card library: one problem, and the five lines without values.
    EXPECT_THAT(run.report, HasSubstr("ISSUER: <non rilevato>\nMANUFACTURER: <non rilevato>\nTYPE: <non rilevato>\n"
                                      "ATR: <non rilevato>\nCERTIFICATE: <non rilevato>\n"));
    EXPECT_THAT(run.messages, HasSubstr("La libreria della Carta Velin non è installata correttamente."));
    EXPECT_EQ(run.problems, 1);
    EXPECT_EQ(
        std::count(machine.commands.begin(), machine.commands.end(), "systemctl --no-ask-password start pcscd.socket"),
        0);
}

TEST(Pc_check, stopped_service_is_started_and_enabled_and_failures_carry_their_codes)
{
    Fake_machine machine;
    machine.debian_with_systemd();
    machine.answer("systemctl show pcscd.service" + Show, 0,
                   "LoadState=loaded\nActiveState=inactive\nSubState=dead\nUnitFileState=indirect\n");
    machine.answer("systemctl show pcscd.socket" + Show, 0,
                   "LoadState=loaded\nActiveState=inactive\nSubState=dead\nUnitFileState=disabled\n");
    machine.answer("systemctl --no-ask-password start pcscd.socket", 0);
    machine.answer("systemctl --no-ask-password enable pcscd.socket", 0);
    pccheck::Check_report report((machine.root() / "report.txt").string());
    pccheck::Pc_check check(machine.environment, {}, report);
    check.check_smart_card_service();
    EXPECT_EQ(read_file(machine.root() / "report.txt"),
              "Verifica servizio Smart Card\nRichiesta informazioni sul servizio Smartcard...\n"
              "Stato del servizio: pcscd.service inactive (dead), pcscd.socket inactive (dead)\n"
              "Il servizio Smartcard non è in esecuzione: avvio in corso...\n"
              "Il servizio Smartcard è stato avviato.\n"
              "Configurazione attuale del servizio Smartcard: pcscd.socket disabled\n"
              "Configura il servizio Smartcard per l'avvio automatico...\n"
              "Il servizio Smartcard è stato configurato per l'avvio automatico.\n");
    EXPECT_EQ(report.problems(), 0);

    // As a user polkit does not let through: both actions fail with systemctl's code.
    machine.answer("systemctl --no-ask-password start pcscd.socket", 1,
                   "Failed to start pcscd.socket: Interactive authentication required.\n");
    machine.answer("systemctl --no-ask-password enable pcscd.socket", 4);
    pccheck::Check_report refused((machine.root() / "refused.txt").string());
    pccheck::Pc_check again(machine.environment, {}, refused);
    again.check_smart_card_service();
    const std::string text = read_file(machine.root() / "refused.txt");
    EXPECT_THAT(text, HasSubstr("L'avvio del servizio Smartcard è fallito (errore 1)\n"
                                "Failed to start pcscd.socket: Interactive authentication required.\n"));
    EXPECT_THAT(text, HasSubstr("La configurazione del servizio Smartcard è fallita (errore 4)\n"
                                "L'utente NON ha privilegi di Amministratore: il servizio Smartcard deve essere "
                                "avviato e configurato da un amministratore.\n"));
    EXPECT_EQ(refused.problems(), 2);
}

TEST(Pc_check, missing_pcscd_is_a_problem_with_and_without_systemd)
{
    Fake_machine machine;
    machine.debian_with_systemd();
    machine.answer("systemctl show pcscd.service" + Show, 0, "LoadState=not-found\nActiveState=inactive\n");
    machine.answer("systemctl show pcscd.socket" + Show, 0, "LoadState=not-found\nActiveState=inactive\n");
    pccheck::Check_report report((machine.root() / "report.txt").string());
    pccheck::Pc_check(machine.environment, {}, report).check_smart_card_service();
    EXPECT_THAT(report.messages(), HasSubstr("Ho trovato un problema: In questa installazione di Linux non risulta "
                                             "presente il servizio di gestione delle smart card (pcscd).\n"));
    EXPECT_THAT(read_file(machine.root() / "report.txt"),
                HasSubstr("\nIl servizio Smartcard non è presente sul computer.\n"));
    EXPECT_EQ(report.problems(), 1);

    // No systemd, no daemon, no socket.
    Fake_machine plain;
    pccheck::Check_report plain_report((plain.root() / "report.txt").string());
    pccheck::Pc_check(plain.environment, {}, plain_report).check_smart_card_service();
    EXPECT_THAT(read_file(plain.root() / "report.txt"),
                HasSubstr("Il servizio Smartcard non è presente sul computer.\n"));
    EXPECT_TRUE(plain.commands.empty());

    // No systemd, the daemon installed but not running: only the administrator may start it.
    plain.put("/usr/sbin/pcscd", "#!/bin/sh\n");
    ::chmod((plain.environment.root + "/usr/sbin/pcscd").c_str(), 0755);
    pccheck::Check_report user_report((plain.root() / "user.txt").string());
    pccheck::Pc_check(plain.environment, {}, user_report).check_smart_card_service();
    EXPECT_THAT(read_file(plain.root() / "user.txt"),
                HasSubstr("Stato del servizio: non in esecuzione\nIl servizio Smartcard non è in esecuzione: avvio in "
                          "corso...\n"));
    EXPECT_THAT(read_file(plain.root() / "user.txt"),
                HasSubstr("L'avvio del servizio Smartcard è fallito (errore 5)\n"));
    EXPECT_TRUE(plain.commands.empty());
    plain.environment.uid = 0;
    const std::string started = plain.environment.root + "/usr/sbin/pcscd --foreground";
    plain.answer(started, 0);
    pccheck::Check_report root_report((plain.root() / "root.txt").string());
    {
        pccheck::Pc_check check(plain.environment, {}, root_report);
        check.check_smart_card_service();
        EXPECT_THAT(read_file(plain.root() / "root.txt"), HasSubstr("Il servizio Smartcard è stato avviato.\n"));
        // Running while the check runs, stopped when it ends, and said so.
        EXPECT_EQ(plain.commands, std::vector<std::string>{started});
        check.finish();
        EXPECT_EQ(plain.commands, (std::vector<std::string>{started, "stop " + started}));
    }
    EXPECT_THAT(read_file(plain.root() / "root.txt"),
                HasSubstr("Il servizio Smartcard avviato dalla verifica è stato fermato.\n"));
    EXPECT_EQ(plain.commands.size(), 2u);
}

// The real starter with a stand-in daemon: it listens where pcscd would (below the machine's root)
// and writes its process id and arguments. No process of the check's outlives the check.
TEST(Pc_check, the_service_started_as_root_is_the_checks_own_and_ends_with_it)
{
    Fake_machine machine;
    machine.environment.uid = 0;
    machine.environment.start_service = [](const std::vector<std::string>& argv, const std::string& socket) {
        return pccheck::start_owned_service(argv, socket, 10000);
    };
    const auto daemon = [&](const std::string& body) {
        machine.put("/usr/sbin/pcscd", "#!/usr/bin/python3\nimport os, socket, sys, time\n"
                                       "root = os.path.dirname(os.path.abspath(__file__)) + '/../..'\n" +
                                           body);
        ::chmod((machine.environment.root + "/usr/sbin/pcscd").c_str(), 0755);
    };
    daemon("open(root + '/daemon', 'w').write(str(os.getpid()) + ' ' + ' '.join(sys.argv[1:]))\n"
           "os.makedirs(root + '/run/pcscd', exist_ok=True)\n"
           "listening = socket.socket(socket.AF_UNIX)\nlistening.bind(root + '/run/pcscd/pcscd.comm')\n"
           "time.sleep(600)\n");
    Test_folder folder;
    pid_t pid = 0;
    {
        pccheck::Check_report report((folder / "report.txt").string());
        pccheck::Pc_check check(machine.environment, {}, report);
        check.check_smart_card_service();
        const std::string seen = read_file(machine.root() / "root" / "daemon");
        EXPECT_THAT(seen, testing::EndsWith(" --foreground"));
        pid = static_cast<pid_t>(std::stol(seen));
        EXPECT_EQ(::kill(pid, 0), 0) << "the service runs while the check runs";
        EXPECT_EQ(report.problems(), 0);
        check.finish();
        EXPECT_EQ(::kill(pid, 0), -1) << "the service outlived the check";
    }
    EXPECT_THAT(read_file(folder / "report.txt"), HasSubstr("Il servizio Smartcard è stato avviato.\n"));

    // A check that is abandoned midway stops it too.
    std::filesystem::remove(machine.root() / "root" / "run" / "pcscd" / "pcscd.comm");
    {
        pccheck::Check_report report((folder / "abandoned.txt").string());
        pccheck::Pc_check(machine.environment, {}, report).check_smart_card_service();
    }
    pid = static_cast<pid_t>(std::stol(read_file(machine.root() / "root" / "daemon")));
    EXPECT_EQ(::kill(pid, 0), -1) << "the service outlived an abandoned check";

    // A daemon that ends before it listens is a failed start with its code, and nothing is left.
    std::filesystem::remove(machine.root() / "root" / "run" / "pcscd" / "pcscd.comm");
    daemon("sys.exit(3)\n");
    pccheck::Check_report failed((folder / "failed.txt").string());
    pccheck::Pc_check(machine.environment, {}, failed).check_smart_card_service();
    EXPECT_THAT(read_file(folder / "failed.txt"), HasSubstr("L'avvio del servizio Smartcard è fallito (errore 3)\n"));
    EXPECT_EQ(failed.problems(), 1);
}

TEST(Pc_check, readers_none_or_a_failed_pcsc_call_are_problems)
{
    Fake_machine machine;
    machine.environment.list_readers = [] { return pccheck::Reader_list{}; };
    machine.put("/etc/reader.conf.d/vpcd",
                "# virtual reader\nFRIENDLYNAME      \"Virtual PCD\"\n"
                "DEVICENAME        /dev/null:0x8C7B\nLIBPATH /usr/lib/pcsc/drivers/serial/libifdvpcd.so\n");
    machine.put("/usr/lib/pcsc/drivers/broken.bundle/Contents/Info.plist", "<plist><dict><key>CFBundleExecutable");
    pccheck::Check_report report((machine.root() / "report.txt").string());
    pccheck::Pc_check(machine.environment, {}, report).check_readers();
    const std::string text = read_file(machine.root() / "report.txt");
    EXPECT_THAT(text, HasSubstr("Lettore: broken.bundle\nData del driver: "));
    EXPECT_THAT(text, HasSubstr("Lettore: Virtual PCD\n"));
    EXPECT_THAT(text, HasSubstr("Nome del driver: /usr/lib/pcsc/drivers/serial/libifdvpcd.so\n"));
    EXPECT_THAT(text, HasSubstr("Verifica dei lettori visibili via PC/SC...\n"
                                "Ho trovato un problema: Non risulta installato alcun lettore di smart card.\n"));
    EXPECT_EQ(report.problems(), 1);

    machine.environment.list_readers = [] { return pccheck::Reader_list{true, 0x8010001D, {}}; };
    pccheck::Check_report failed((machine.root() / "failed.txt").string());
    pccheck::Pc_check(machine.environment, {}, failed).check_readers();
    EXPECT_THAT(read_file(machine.root() / "failed.txt"),
                HasSubstr("La rilevazione dei lettori PC/SC è fallita.\nOperazione fallita (errore smart card "
                          "0x8010001D)\n"));
    EXPECT_EQ(failed.problems(), 1);
}

TEST(Pc_check, missing_or_broken_pkcs11_module_is_a_problem_with_the_site_hint)
{
    Fake_machine machine;
    pccheck::Pc_check_settings settings;
    settings.pkcs11_module = "/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so";
    settings.middleware_site = "https://middleware.example/";
    pccheck::Check_report report((machine.root() / "report.txt").string());
    pccheck::Pc_check(machine.environment, settings, report).check_middleware();
    EXPECT_EQ(read_file(machine.root() / "report.txt"),
              "Verifica del CSP...\nModulo PKCS#11: /usr/lib/x86_64-linux-gnu/opensc-pkcs11.so\n"
              "Ho trovato un problema: Non risulta installata la Aurea Desk. Questo software è reperibile sul sito "
              "https://middleware.example/\nContinuo a cercare...\nIl CSP NON è installato.\n");
    EXPECT_EQ(report.problems(), 1);

    // A file that is no shared library: present, but its version cannot be read.
    machine.put("/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so", "not a library");
    pccheck::Check_report broken((machine.root() / "broken.txt").string());
    pccheck::Pc_check(machine.environment, settings, broken).check_middleware();
    EXPECT_THAT(read_file(machine.root() / "broken.txt"),
                HasSubstr("Il CSP è installato.\nHo trovato un problema: La rilevazione della versione di "
                          "'/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so' è fallita.\n"));
    EXPECT_EQ(broken.problems(), 1);
}

TEST(Pc_check, without_the_setting_the_module_found_on_the_system_is_named)
{
    // Stand-ins that load and answer: SoftHSM under the names of p11-kit's proxy and OpenSC's.
    Fake_machine machine;
    Test_folder softhsm;
    settings_with_softhsm(softhsm);
    auto report_of = [&machine](const std::string& name) {
        pccheck::Check_report report((machine.root() / name).string());
        pccheck::Pc_check(machine.environment, {}, report).check_middleware();
        EXPECT_EQ(report.problems(), 0) << name;
        return read_file(machine.root() / name);
    };
    auto install = [&machine](const std::string& path) {
        std::filesystem::create_directories(std::filesystem::path(machine.environment.root + path).parent_path());
        std::filesystem::copy_file("/usr/lib/softhsm/libsofthsm2.so", machine.environment.root + path);
    };
    install("/usr/lib/x86_64-linux-gnu/p11-kit-proxy.so");
    EXPECT_THAT(
        report_of("proxy.txt"),
        HasSubstr("Modulo PKCS#11: /usr/lib/x86_64-linux-gnu/p11-kit-proxy.so\nOpenSC non è installato: il "
                  "modulo è il proxy di p11-kit, che offre i moduli registrati in p11-kit.\nIl CSP è installato.\n"
                  "Produttore: SoftHSM\n"));
    // OpenSC comes first wherever it is, here where a distribution without multiarch keeps it.
    install("/usr/lib64/opensc-pkcs11.so");
    const std::string opensc = report_of("opensc.txt");
    EXPECT_THAT(opensc, HasSubstr("Modulo PKCS#11: /usr/lib64/opensc-pkcs11.so\nIl modulo è quello di OpenSC, trovato "
                                  "nel sistema.\nIl CSP è installato.\n"));
    // SoftHSM's one token is not initialised: no card.
    EXPECT_THAT(opensc, HasSubstr("Versione Cryptoki: 2.40\nIl modulo non vede nessuna carta.\n"));
}

TEST(Pc_check, firefox_as_a_snap_or_a_flatpak_is_found_with_its_profiles)
{
    const std::string registered = "library=/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so\nname=Carta Velin\n";
    pccheck::Pc_check_settings settings;
    settings.pkcs11_module = "/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so";
    const auto browsers = [&](Fake_machine& machine) {
        std::filesystem::remove(machine.root() / "report.txt");
        pccheck::Check_report report((machine.root() / "report.txt").string());
        pccheck::Pc_check(machine.environment, settings, report).check_browsers();
        return read_file(machine.root() / "report.txt");
    };

    // Ubuntu's default: the snap, its profiles under ~/snap.
    Fake_machine snap;
    snap.put("/snap/firefox/current/usr/lib/firefox/application.ini", "[App]\nVersion=133.0.3\n");
    snap.put_home("snap/firefox/common/.mozilla/firefox/k2x.default/pkcs11.txt", registered);
    EXPECT_THAT(browsers(snap), HasSubstr("Versione di Mozilla Firefox: 133.0.3 (snap)\n"
                                          "Profilo di Firefox k2x.default (snap): il modulo PKCS#11 della carta è "
                                          "registrato tra i dispositivi di sicurezza.\n"));

    // The flatpak installed for the system or for the user alone, its profiles under ~/.var.
    Fake_machine flatpak;
    flatpak.put("/var/lib/flatpak/app/org.mozilla.firefox/current/active/files/lib/firefox/application.ini",
                "[App]\nVersion=128.5.1\n");
    flatpak.put_home(".var/app/org.mozilla.firefox/.mozilla/firefox/p9.default-release/pkcs11.txt",
                     "library=\nname=NSS Internal PKCS #11 Module\n");
    EXPECT_THAT(browsers(flatpak), HasSubstr("Versione di Mozilla Firefox: 128.5.1 (flatpak)\n"
                                             "Profilo di Firefox p9.default-release (flatpak): il modulo PKCS#11 "
                                             "della carta NON è registrato tra i dispositivi di sicurezza.\n"));
    Fake_machine user_flatpak;
    user_flatpak.put_home(".local/share/flatpak/app/org.mozilla.firefox/current/active/files/lib/firefox/"
                          "application.ini",
                          "[App]\nVersion=129.0\n");
    EXPECT_THAT(browsers(user_flatpak), HasSubstr("Versione di Mozilla Firefox: 129.0 (flatpak)\n"));

    // The distribution's package beside the snap: both are told.
    snap.put("/usr/lib/firefox-esr/application.ini", "[App]\nVersion=115.5.0esr\n");
    const std::string both = browsers(snap);
    EXPECT_THAT(both, HasSubstr("Versione di Mozilla Firefox: 115.5.0esr\nVersione di Mozilla Firefox: 133.0.3 "
                                "(snap)\n"));
    EXPECT_THAT(both, Not(HasSubstr("Mozilla Firefox non è installato")));
}

TEST(Pc_check, browsers_and_java_when_nothing_is_installed)
{
    Fake_machine machine;
    machine.put_home(".mozilla/firefox/x.default/pkcs11.txt", "library=\nname=NSS Internal PKCS #11 Module\n");
    pccheck::Pc_check_settings settings;
    settings.pkcs11_module = "/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so";
    settings.java_hint = "Installare Java.";
    pccheck::Check_report report((machine.root() / "report.txt").string());
    pccheck::Pc_check check(machine.environment, settings, report);
    check.check_browsers();
    check.check_java();
    const std::string text = read_file(machine.root() / "report.txt");
    EXPECT_THAT(text, HasSubstr("Mozilla Firefox non è installato.\nProfilo di Firefox x.default: il modulo PKCS#11 "
                                "della carta NON è registrato tra i dispositivi di sicurezza.\n"));
    EXPECT_THAT(text, HasSubstr("Chromium non è installato.\n"));
    EXPECT_EQ(report.messages(), "Le funzioni di firma e verifica di documenti Adobe PDF non funzioneranno.\n"
                                 "Installare Java.");
    EXPECT_EQ(report.problems(), 0); // a missing Java is shown, not counted
}

TEST(Pc_check, a_check_that_breaks_is_a_problem_and_the_run_goes_on)
{
    Fake_machine machine;
    machine.debian_with_systemd();
    machine.environment.run = [](const std::vector<std::string>&) -> pccheck::Command_result {
        throw std::runtime_error("runner\nrotto");
    };
    // Values from the machine cannot forge report lines.
    machine.environment.list_readers = [] { return pccheck::Reader_list{false, 0, {"Lettore\nFine del tracciato"}}; };
    const Run_outcome run = run_check(machine.environment);
    EXPECT_THAT(run.report, HasSubstr("Una verifica si è interrotta per un errore imprevisto: runner rotto\n"));
    EXPECT_THAT(run.report, HasSubstr("Lettore Lettore Fine del tracciato\n"));
    EXPECT_THAT(run.report, HasSubstr("Verifica di SUN Java...\n"));
    EXPECT_THAT(run.report, HasSubstr("Analisi completata.\n"));
    EXPECT_THAT(run.report, HasSubstr("Fine del tracciato: ci sono dei problemi.\n"));
}

TEST(Check_report, appends_to_an_existing_report_and_refuses_a_planted_link)
{
    Test_folder folder;
    write_file(folder / "log.txt", "traccia del verificatore\n");
    pccheck::Check_report report((folder / "log.txt").string());
    report.report_line("uno");
    report.message("due");
    EXPECT_EQ(read_file(folder / "log.txt"), "traccia del verificatore\nuno\ndue\n");
    EXPECT_EQ(report.messages(), "due");
    EXPECT_EQ(report.write_error(), 0);

    std::filesystem::create_symlink(folder / "elsewhere.txt", folder / "link.txt");
    pccheck::Check_report planted((folder / "link.txt").string());
    planted.report_line("segreto");
    EXPECT_NE(planted.write_error(), 0);
    EXPECT_FALSE(std::filesystem::exists(folder / "elsewhere.txt"));

    pccheck::Check_report fresh((folder / "log.txt").string());
    EXPECT_EQ(fresh.create_empty(), 0);
    EXPECT_EQ(read_file(folder / "log.txt"), "");
}

} // namespace
