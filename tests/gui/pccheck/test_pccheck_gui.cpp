// The PC check's window and the support window, offscreen, on prepared machines: the run's
// messages and buttons, "Apri cartella...", and the support form's checks and result boxes.
#include "../../unit/pccheck/fake_machine.h"
#include "box_recorder.h"
#include "common/message_box.h"
#include "pccheck/app/pc_check_window.h"
#include "pccheck/app/support_dialog.h"
#include "test_folder.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

#include <functional>

#include <sys/stat.h>

using namespace velin;
using namespace velin::pccheck;

namespace {

// Runs action on the first modal window once it is up.
void when_modal(std::function<void(QWidget*)> action)
{
    QTimer::singleShot(20, [action] {
        if (QWidget* modal = QApplication::activeModalWidget())
            action(modal);
        else
            when_modal(action);
    });
}

// A machine where everything is in order: Debian with pcscd under systemd, one reader, the card
// library stand-in, and a module that answers C_GetInfo (SoftHSM with the test's own tokens).
Pc_check_settings good_machine(test::Fake_machine& machine, const test::Test_folder& folder)
{
    machine.debian_with_systemd();
    machine.environment.card_library = CARD_LIBRARY_STAND_IN;
    machine.put("/usr/lib/jvm/java-17/release", "JAVA_VERSION=\"17.0.9\"\n");
    std::filesystem::create_directories(folder / "tokens");
    test::write_file(folder / "softhsm2.conf", "directories.tokendir = " + (folder / "tokens").string() + "\n");
    ::setenv("SOFTHSM2_CONF", (folder / "softhsm2.conf").c_str(), 1);
    std::filesystem::create_directories(machine.environment.root + "/usr/lib/softhsm");
    std::filesystem::copy_file("/usr/lib/softhsm/libsofthsm2.so",
                               machine.environment.root + "/usr/lib/softhsm/libsofthsm2.so");
    Pc_check_settings settings;
    settings.pkcs11_module = "/usr/lib/softhsm/libsofthsm2.so";
    return settings;
}

} // namespace

class Test_pccheck_gui : public QObject {
    Q_OBJECT

private:
    test::Box_recorder _boxes;

private slots:
    void initTestCase()
    {
        test::private_environment();
        _boxes.install();
    }
    void init() { _boxes.clear(); }

    void a_clean_run_says_so_and_keeps_the_folder_button_off()
    {
        test::Fake_machine machine;
        test::Test_folder folder;
        const Pc_check_settings settings = good_machine(machine, folder);
        const std::string report_path = (folder / "report.txt").string();
        test::write_file(report_path, "a previous run\n");
        Pc_check_window window(machine.environment, settings, report_path);
        window.show();
        QCOMPARE(window.windowTitle(), QString("Velin Manager - Verifica installazione"));
        auto* support = window.findChild<QPushButton*>("support_button");
        auto* folder_button = window.findChild<QPushButton*>("open_folder_button");
        QVERIFY(!support->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(window.run_finished(), 20000);
        const QString shown = window.findChild<QPlainTextEdit*>("messages_box")->toPlainText();
        QCOMPARE(shown,
                 QString::fromStdString("Sto controllando l'installazione della Aurea Desk, attendere prego...\n\n\n"
                                        "Nessun problema rilevato.\n"
                                        "È possibile utilizzare Velin Manager senza problemi.\n\n"
                                        "Il tracciato delle verifiche effettuate è disponibile nel file " +
                                        report_path));
        QVERIFY(support->isEnabled());
        QVERIFY(!folder_button->isEnabled());
        const std::string report = test::read_file(report_path);
        // The window's report starts anew; the card's lines come from the library it loaded.
        QVERIFY(report.rfind("\nAnalisi del PC.\n", 0) == 0);
        QVERIFY(report.find("ISSUER: Regione di prova\nMANUFACTURER: Produttore di prova\nTYPE: CNS\n"
                            "ATR: 3B FF 18 00") != std::string::npos);
        QVERIFY(report.find("CERTIFICATE: MIIBstandin\n") != std::string::npos);
        QVERIFY(report.find("Fine del tracciato: è tutto a posto.\n") != std::string::npos);
    }

    void a_card_reading_that_fails_is_a_problem_with_what_to_do()
    {
        test::Fake_machine machine;
        test::Test_folder folder;
        const Pc_check_settings settings = good_machine(machine, folder);
        ::setenv("STAND_IN_CERTIFICATE_FAILS", "1", 1);
        Pc_check_window window(machine.environment, settings, (folder / "report.txt").string());
        window.show();
        QTRY_VERIFY_WITH_TIMEOUT(window.run_finished(), 20000);
        ::unsetenv("STAND_IN_CERTIFICATE_FAILS");
        const QString shown = window.findChild<QPlainTextEdit*>("messages_box")->toPlainText();
        QVERIFY2(shown.contains(QString::fromUtf8("Ho trovato un problema: Non è stata trovata la Carta Velin: "
                                                  "inseriscila nel lettore e ripeti la verifica.")),
                 qPrintable(shown));
        QVERIFY(!shown.contains("Nessun problema rilevato."));
        QVERIFY(shown.endsWith("E' stato rilevato un problema durante la verifica dell'installazione."));
        QVERIFY(window.findChild<QPushButton*>("open_folder_button")->isEnabled());
        const std::string report = test::read_file(folder / "report.txt");
        QVERIFY2(report.find("CERTIFICATE: Carta non rilevata.\n") != std::string::npos, report.c_str());
        QVERIFY2(report.find("\nLe informazioni della carta non sono state lette (CERTIFICATE).\n") !=
                     std::string::npos,
                 report.c_str());
        QVERIFY(report.find("Fine del tracciato: ci sono dei problemi.\n") != std::string::npos);
    }

    void a_problem_enables_the_folder_button_which_opens_the_folder()
    {
        test::Fake_machine machine;
        test::Test_folder folder;
        machine.put("/etc/os-release", "ID=plan9\nVERSION_ID=4\n");
        test::write_file(folder / "open.sh", "#!/bin/sh\necho \"$1\" > \"$(dirname \"$0\")/opened.txt\"\n");
        ::chmod((folder / "open.sh").c_str(), 0755);
        ::setenv("VELIN_OPEN_COMMAND", (folder / "open.sh").c_str(), 1);
        Pc_check_window window(machine.environment, {}, (folder / "report.txt").string());
        window.show();
        QTRY_VERIFY_WITH_TIMEOUT(window.run_finished(), 20000);
        const QString shown = window.findChild<QPlainTextEdit*>("messages_box")->toPlainText();
        QVERIFY(shown.contains(
            "Ho trovato un problema: Questo sistema operativo non è supportato.\nContinuo a cercare..."));
        QVERIFY(shown.endsWith("E' stato rilevato un problema durante la verifica dell'installazione."));
        auto* folder_button = window.findChild<QPushButton*>("open_folder_button");
        QVERIFY(folder_button->isEnabled());
        folder_button->click();
        QTRY_VERIFY(std::filesystem::exists(folder / "opened.txt"));
        QCOMPARE(test::read_file(folder / "opened.txt"), folder.path().string() + "\n");
        ::unsetenv("VELIN_OPEN_COMMAND");
    }

    void support_form_checks_then_sends_the_report()
    {
        Pc_check_settings settings;
        std::vector<Support_form> sent;
        bool succeed = false;
        Support_dialog dialog("Analisi del PC.\nFine del tracciato: ci sono dei problemi.\n", settings,
                              [&](const Support_form& form) {
                                  sent.push_back(form);
                                  Send_result result;
                                  result.sent = succeed;
                                  result.failure = succeed ? "" : "connessione rifiutata";
                                  return result;
                              });
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QCOMPARE(dialog.findChild<QPlainTextEdit*>("report_box")->toPlainText(),
                 QString("Analisi del PC.\nFine del tracciato: ci sono dei problemi.\n"));
        auto* send = dialog.findChild<QPushButton*>("send_button");
        QCOMPARE(send->text(), QString("Invia richiesta di supporto"));
        const auto field = [&](const char* name) { return dialog.findChild<QLineEdit*>(name); };
        auto* description = dialog.findChild<QPlainTextEdit*>("description_field");

        // Each missing field in turn: its text, and the focus on it.
        const std::vector<std::pair<std::function<void()>, std::pair<QWidget*, const char*>>> steps = {
            {[] {}, {description, "Hai dimenticato di descrivere cosa c'è che non va."}},
            {[&] { description->setPlainText("La carta non viene letta."); },
             {field("name_field"), "Hai dimenticato di scrivere il tuo nome."}},
            {[&] { field("name_field")->setText("Mario"); },
             {field("surname_field"), "Hai dimenticato di scrivere il tuo cognome."}},
            {[&] { field("surname_field")->setText("Rossi"); },
             {field("email_field"), "Hai dimenticato di scrivere la tua mail."}},
            {[&] {
                 field("email_field")->setText("mario@example.org");
                 field("email_again_field")->setText("mario@example.com");
             },
             {field("email_again_field"), "Controlla i due indirizzi mail perché non sono uguali."}},
        };
        for (const auto& [fill, expected] : steps) {
            fill();
            _boxes.clear();
            send->click();
            QCOMPARE(_boxes.size(), size_t(1));
            QCOMPARE(QString::fromStdString(_boxes[0].text), QString::fromUtf8(expected.second));
            QCOMPARE(QString::fromStdString(_boxes[0].caption), QString("Velin Manager"));
            QTRY_COMPARE(QApplication::focusWidget(), expected.first);
        }
        QVERIFY(sent.empty());

        // A failed delivery: the box, and the form stays for another try.
        field("email_again_field")->setText("mario@example.org");
        _boxes.clear();
        send->click();
        QCOMPARE(sent.size(), size_t(1));
        QCOMPARE(QString::fromStdString(_boxes.at(0).text),
                 QString("L'invio della richiesta di assistenza non è riuscito.\n\nChiama l'assistenza."));
        QVERIFY(dialog.isVisible());
        QCOMPARE(sent[0].report, std::string("Analisi del PC.\nFine del tracciato: ci sono dei problemi.\n"));
        QCOMPARE(sent[0].name, std::string("Mario"));

        succeed = true;
        _boxes.clear();
        send->click();
        QCOMPARE(QString::fromStdString(_boxes.at(0).text),
                 QString("Ho inviato la richiesta di assistenza.\nGrazie per aver collaborato con noi."));
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QVERIFY(!dialog.isVisible());
    }

    void support_button_opens_the_form_with_the_whole_report()
    {
        test::Fake_machine machine;
        test::Test_folder folder;
        machine.put("/etc/os-release", "ID=plan9\nVERSION_ID=4\n");
        Pc_check_window window(machine.environment, {}, (folder / "report.txt").string());
        std::string carried;
        window.set_support_sender([&](const Support_form& form) {
            carried = form.report;
            return Send_result{true, {}};
        });
        window.show();
        QTRY_VERIFY_WITH_TIMEOUT(window.run_finished(), 20000);
        when_modal([](QWidget* modal) {
            QCOMPARE(modal->windowTitle(), QString("Chiedi assistenza"));
            modal->findChild<QPlainTextEdit*>("description_field")->setPlainText("Non va.");
            modal->findChild<QLineEdit*>("name_field")->setText("Mario");
            modal->findChild<QLineEdit*>("surname_field")->setText("Rossi");
            modal->findChild<QLineEdit*>("email_field")->setText("mario@example.org");
            modal->findChild<QLineEdit*>("email_again_field")->setText("mario@example.org");
            modal->findChild<QPushButton*>("send_button")->click();
        });
        window.findChild<QPushButton*>("support_button")->click();
        QCOMPARE(carried, test::read_file(folder / "report.txt"));
        QVERIFY(carried.find("Sistema Operativo: <non disponibile>") != std::string::npos);
    }
};

QTEST_MAIN(Test_pccheck_gui)
#include "test_pccheck_gui.moc"
