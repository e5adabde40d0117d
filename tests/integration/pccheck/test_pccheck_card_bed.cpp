// The PC check on this machine's real facts: the card bed's pcscd and readers, the simulated card
// read through the built card library (its questions answered as the holder would), and the
// bed's SoftHSM module as the card middleware. Nothing is started or enabled: the runner lets
// only systemctl's queries and --version through.
#include "card_bed.h"
#include "common/registry.h"
#include "pccheck/check_report.h"
#include "pccheck/pc_check.h"
#include "terminal_program.h"
#include "test_folder.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>

#include <filesystem>

using namespace velin;
using namespace velin::pccheck;

namespace {

// Answers every question of the card library while it lives: Yes (or No) to the technical
// question, "Leggi i dati" to reading the certificate.
class Holder {
public:
    explicit Holder(bool consent)
    {
        QObject::connect(&_timer, &QTimer::timeout, [consent] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal)
                return;
            if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                box->button(consent ? QMessageBox::Yes : QMessageBox::No)->click();
            } else if (auto* read = modal->findChild<QPushButton*>(consent ? "read_button" : "refuse_button")) {
                read->click();
            }
        });
        _timer.start(20);
    }

private:
    QTimer _timer;
};

Pc_environment bed_machine(std::vector<std::string>& refused)
{
    Pc_environment environment = Pc_environment::this_machine();
    environment.card_library = CARD_LIBRARY;
    environment.run = [&refused](const std::vector<std::string>& argv) {
        if (argv.size() >= 2 && (argv[1] == "show" || argv[1] == "--version"))
            return run_command(argv);
        std::string line;
        for (const std::string& word : argv)
            line += word + " ";
        refused.push_back(line);
        return Command_result{};
    };
    return environment;
}

std::string run_checks(const test::Test_folder& folder, const std::function<void(Pc_check&)>& checks)
{
    Check_report report((folder / "report.txt").string());
    std::vector<std::string> refused;
    Pc_check check(bed_machine(refused), Pc_check_settings::load(), report);
    checks(check);
    if (!refused.empty())
        qWarning("commands not run: %s", refused.front().c_str());
    return test::read_file(folder / "report.txt");
}

} // namespace

class Test_pccheck_card_bed : public QObject {
    Q_OBJECT

private:
    test::Card_bed _bed;

private slots:
    void initTestCase()
    {
        test::private_environment();
        QVERIFY2(_bed.running(), "the card bed is not running: run through ctest (fixture card_bed)");
        ::setenv("SOFTHSM2_CONF", _bed.env("SOFTHSM2_CONF").c_str(), 1);
        QCOMPARE(
            write_text(Registry_root::Local_machine, Settings_key, "ModuloPKCS11", _bed.env("CARD_BED_PKCS11_MODULE")),
            0u);
    }
    void cleanup()
    {
        _bed.empty(0);
        _bed.insert(0, "regional --reset-state");
    }

    void service_readers_card_and_middleware_of_this_machine()
    {
        test::Test_folder folder;
        const Holder holder(true);
        const std::string report = run_checks(folder, [](Pc_check& check) {
            check.check_smart_card_service();
            check.check_readers();
            check.check_card();
            check.check_middleware();
        });
        QVERIFY2(report.find("Il servizio Smartcard è già in esecuzione.\n") != std::string::npos, report.c_str());
        QVERIFY2(report.find("Lettore: Virtual PCD\n") != std::string::npos, report.c_str());
        QVERIFY2(report.find("Lettore Virtual PCD 00 00\nLettore Virtual PCD 00 01\n") != std::string::npos,
                 report.c_str());
        QVERIFY2(report.find("\nATR: 3B ") != std::string::npos, report.c_str());
        QVERIFY2(report.find("\nTYPE: ") != std::string::npos, report.c_str());
        QVERIFY2(report.find("\nCERTIFICATE: MII") != std::string::npos, report.c_str());
        QVERIFY2(report.find("<non rilevato>") == std::string::npos, report.c_str());
        QVERIFY2(report.find("Il CSP è installato.\nProduttore: SoftHSM\n") != std::string::npos, report.c_str());
        QVERIFY2(report.find("Ho trovato un problema") == std::string::npos, report.c_str());
    }

    void without_a_card_or_consent_each_line_carries_the_librarys_text()
    {
        test::Test_folder refused_folder;
        {
            const Holder holder(false);
            const std::string report = run_checks(refused_folder, [](Pc_check& check) { check.check_card(); });
            for (const char* name : {"ISSUER: ", "MANUFACTURER: ", "TYPE: ", "ATR: "}) {
                const size_t at = report.find(std::string("\n") + name);
                QVERIFY2(at != std::string::npos, report.c_str());
                const std::string value = report.substr(at + 1 + std::strlen(name), 5);
                QVERIFY2(value != "<non " && value != "3B FF" && !value.empty() && value[0] != '\n', report.c_str());
            }
        }
        _bed.empty(0);
        test::Test_folder empty_folder;
        const Holder holder(true);
        const std::string report = run_checks(empty_folder, [](Pc_check& check) { check.check_card(); });
        for (const char* name : {"ISSUER", "MANUFACTURER", "TYPE", "ATR", "CERTIFICATE"}) {
            const size_t at = report.find(std::string("\n") + name + ": ");
            QVERIFY2(at != std::string::npos, report.c_str());
            QVERIFY2(report.compare(at + std::strlen(name) + 3, 14, "<non rilevato>") != 0, report.c_str());
        }
        QVERIFY2(report.find("3B FF") == std::string::npos && report.find("MII") == std::string::npos, report.c_str());
    }

    // The program itself, as a user runs it with the card in the reader: without a terminal the
    // card's information cannot be read (the holder cannot be asked), and that is a problem with
    // what to do; from a terminal the holder answers there and the card is read.
    void batch_run_reads_the_card_with_the_holders_answers_on_the_terminal()
    {
        test::Test_folder folder;
        const std::string report = (folder / "report.txt").string();
        const std::vector<std::string> environment = test::environment_with({
            "VELIN_CARD_LIBRARY=" + std::string(CARD_LIBRARY),
            "QT_QPA_PLATFORM=",
            "DISPLAY=",
            "WAYLAND_DISPLAY=",
        });
        const test::Terminal_run nobody =
            test::run_with_terminal(folder.path(), {VELIN_PCCHECK, "/batch", report}, nullptr, environment);
        QVERIFY2(nobody.exit_code == 1, (nobody.output + nobody.errors).c_str());
        QVERIFY2(nobody.output.find("Ho trovato un problema: Le informazioni della carta si leggono solo con il "
                                    "consenso del titolare") != std::string::npos,
                 nobody.output.c_str());
        QVERIFY2(nobody.output.find("Nessun problema rilevato.") == std::string::npos, nobody.output.c_str());
        const std::string refused = test::read_file(report);
        QVERIFY2(refused.find("Le informazioni della carta non sono state lette (ISSUER, MANUFACTURER, TYPE, ATR, "
                              "CERTIFICATE).\n") != std::string::npos,
                 refused.c_str());

        // Yes to the four technical questions and to reading the certificate.
        std::filesystem::remove(report);
        const std::string yes = "s\ns\ns\ns\ns\n";
        const test::Terminal_run answered =
            test::run_with_terminal(folder.path(), {VELIN_PCCHECK, "/batch", report}, &yes, environment);
        const std::string read = test::read_file(report);
        QVERIFY2(read.find("\nATR: 3B ") != std::string::npos, (read + answered.errors).c_str());
        QVERIFY2(read.find("\nCERTIFICATE: MII") != std::string::npos, read.c_str());
        QVERIFY2(read.find("Le informazioni della carta non sono state lette") == std::string::npos, read.c_str());
        QVERIFY2(answered.errors.find("Autorizzi la lettura di queste informazioni? (s/n): ") != std::string::npos,
                 answered.errors.c_str());
    }

    void without_the_setting_opensc_is_found_and_sees_the_cards()
    {
        QCOMPARE(write_text(Registry_root::Local_machine, Settings_key, "ModuloPKCS11", ""), 0u);
        test::Test_folder folder;
        test::write_file(folder / "opensc.conf",
                         "app default {\n\tframework pkcs15 {\n\t\tuse_file_caching = no;\n\t}\n}\n");
        ::setenv("OPENSC_CONF", (folder / "opensc.conf").c_str(), 1);
        _bed.insert(1, "other --reset-state");
        const std::string report = run_checks(folder, [](Pc_check& check) { check.check_middleware(); });
        _bed.empty(1);
        _bed.empty(0);
        test::Test_folder empty_readers;
        const std::string no_card = run_checks(empty_readers, [](Pc_check& check) { check.check_middleware(); });
        ::unsetenv("OPENSC_CONF");
        QCOMPARE(
            write_text(Registry_root::Local_machine, Settings_key, "ModuloPKCS11", _bed.env("CARD_BED_PKCS11_MODULE")),
            0u);

        QVERIFY2(report.find("Modulo PKCS#11: /usr/lib/x86_64-linux-gnu/opensc-pkcs11.so\n"
                             "Il modulo è quello di OpenSC, trovato nel sistema.\nIl CSP è installato.\nProduttore: "
                             "OpenSC") != std::string::npos,
                 report.c_str());
        // One token per PIN: the regional card's two, the other issuer's one.
        for (const char* token :
             {"MARTA VERDELLI (PIN CNS1) (Virtual PCD 00 00", "MARTA VERDELLI (PIN CNS0) (Virtual PCD 00 00",
              "PIETRO BRANCALEONI (PIN CNS0) (Virtual PCD 00 01"})
            QVERIFY2(report.find(std::string("\nCarta vista dal modulo: ") + token) != std::string::npos,
                     report.c_str());
        QVERIFY2(report.find("Ho trovato un problema") == std::string::npos, report.c_str());
        QVERIFY2(no_card.find("\nIl modulo non vede nessuna carta.\n") != std::string::npos, no_card.c_str());
        QVERIFY2(no_card.find("Carta vista") == std::string::npos, no_card.c_str());
    }
};

QTEST_MAIN(Test_pccheck_card_bed)
#include "test_pccheck_card_bed.moc"
