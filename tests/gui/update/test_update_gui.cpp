// The update run's windows, offscreen: "&Verifica adesso" against a loopback server with a newer
// version leaves the verified package with its LEGGIMI.txt and opens the folder; the check window
// ends on every failure and shows it only when asked; velin-verify /update keeps a second run out
// while the first asks its question.
#include "VelinVerify/update/dlg_check_updates.h"
#include "VelinVerify/update/dlg_update.h"
#include "VelinVerify/update/download_folder.h"
#include "VelinVerify/update/package_signature.h"
#include "box_recorder.h"
#include "common/message_box.h"
#include "loopback_server.h"
#include "test_folder.h"

#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QtTest>

#include <filesystem>
#include <thread>

using namespace velin;
namespace fs = std::filesystem;

namespace {

const std::string base = "/components/velin-desktop/";
// The suite's package 3.1.3.1 and its signature, made by the update authority's tool.
std::string package;
std::string package_signature;

test::Http_answer published(const std::string& path)
{
    if (path == base + "Install.exe-VERSION.txt")
        return test::answer(200, "0.0.0");
    if (path == base + "version")
        return test::answer(200, "3.1.3.1\n");
    if (path == base + "velin-manager.deb")
        return test::answer(200, package);
    if (path == base + "velin-manager.deb.p7s")
        return test::answer(200, package_signature);
    return test::answer(404, "");
}

} // namespace

class Test_update_gui : public QObject {
    Q_OBJECT

private:
    test::Box_recorder _boxes;

private slots:
    void initTestCase()
    {
        test::private_environment();
        ::setenv("VELIN_OPEN_COMMAND", VELIN_OPEN_RECORDER, 1);
        const test::Test_folder made;
        const fs::path deb = made / "velin-manager.deb";
        QCOMPARE(std::system((std::string("'") + VELIN_SOURCE_DIR +
                              "/tools/make-update-authority' package velin-manager 3.1.3.1 '" + deb.string() + "'")
                                 .c_str()),
                 0);
        package = test::read_file(deb);
        package_signature = test::read_file(deb.string() + ".p7s");
        _boxes.question_answer = IDYES;
        _boxes.install();
    }
    void init() { _boxes.clear(); }

    void check_now_leaves_the_verified_package_and_opens_its_folder()
    {
        test::Loopback_server server([](const std::string&, const std::string& path) { return published(path); });
        test::Test_folder home;
        const fs::path opened = home / "aperti.txt";
        ::setenv("VELIN_TEST_ARGV_FILE", opened.c_str(), 1);
        // Started by the menu: boxes go over the menu's window.
        set_starter_window(0x1234);

        Update_configuration configuration;
        configuration.interactive = true;
        configuration.server = server.url("");
        configuration.installed_suite = 0x03010300;
        configuration.installed_workstation = [] { return 0u; };
        configuration.desktop = [&] { return (home / "Desktop").string(); };
        configuration.clock = [] { return std::time(nullptr); };
        configuration.authority_pem = update_authority_pem;
        configuration.lock_folder = home.path().string();
        Dlg_update window(configuration, std::chrono::milliseconds(10));
        QCOMPARE(window.exec(), 1);

        QCOMPARE(_boxes.size(), size_t(1));
        QCOMPARE(_boxes[0].text, std::string(Text_update_question));
        QCOMPARE(_boxes[0].caption, std::string("Velin Manager"));
        QCOMPARE(_boxes[0].flags, MB_YESNO | MB_TOPMOST);
        QCOMPARE(_boxes[0].owner_rule, Message_box_owner::Starter);
        QCOMPARE(_boxes[0].owner_id, quintptr(0x1234));
        QCOMPARE(_boxes[0].buttons, (std::vector<std::string>{"&Sì", "&No"}));

        const fs::path folder = home / "Desktop/Aggiornamenti Velin Manager";
        QCOMPARE(test::read_file(folder / "velin-manager.deb"), package);
        QCOMPARE(test::read_file(folder / "LEGGIMI.txt"), leggimi_text({"velin-manager.deb"}));
        QTRY_VERIFY(!test::recorded_runs(opened).empty());
        QCOMPARE(test::recorded_runs(opened), (std::vector<std::vector<std::string>>{{folder.string()}}));
        set_starter_window(0);
    }

    void check_window_ends_on_every_failure_and_shows_it_only_when_asked()
    {
        const struct {
            std::string url;
            int outcome;
            std::string text;
            unsigned icon;
        } cases[] = {
            {"http://127.0.0.1:" + std::to_string(test::closed_port()) + "/version", Update_transfer::Http_error,
             "La verifica della disponibilità di aggiornamenti è fallita. Impossibile connettersi al server.",
             MB_ICONERROR},
            // Never sent: the window still ends.
            {"ftp://127.0.0.1/version", Update_transfer::Failed,
             "La verifica della disponibilità di aggiornamenti è fallita.", MB_ICONWARNING},
        };
        for (const auto& tried : cases) {
            for (const bool show : {true, false}) {
                _boxes.clear();
                Update_transfer transfer;
                transfer.request_text(tried.url);
                Dlg_check_updates dialog(transfer, show, std::chrono::milliseconds(10));
                QCOMPARE(dialog.exec(), tried.outcome);
                if (!show) {
                    QVERIFY(_boxes.empty());
                    continue;
                }
                QCOMPARE(_boxes.size(), size_t(1));
                QCOMPARE(_boxes[0].text, tried.text);
                QCOMPARE(_boxes[0].flags, MB_OK | tried.icon | MB_TOPMOST);
            }
        }

        // "Annulla" on a server that never answers: the transfer is abandoned, nothing is shown.
        test::Loopback_server silent([](const std::string&, const std::string&) { return test::silent_answer(); });
        _boxes.clear();
        Update_transfer transfer;
        transfer.request_text(silent.url("/version"));
        Dlg_check_updates dialog(transfer, true, std::chrono::milliseconds(10));
        QCOMPARE(dialog.windowTitle(), QString("Verifica aggiornamenti"));
        QCOMPARE(dialog.findChild<QLabel*>("progress_label")->text(), QString("Verifica in corso, attendere..."));
        QCOMPARE(dialog.findChild<QPushButton*>("cancel_button")->text(), QString("Annulla"));
        QTimer::singleShot(100, &dialog, [&] { dialog.findChild<QPushButton*>("cancel_button")->click(); });
        QCOMPARE(dialog.exec(), int(Update_transfer::Failed));
        QVERIFY(_boxes.empty());
        QTRY_COMPARE(silent.abandoned_connections(), 1);
    }

    void a_second_update_run_ends_at_once_while_the_first_asks()
    {
        test::Loopback_server server([](const std::string&, const std::string& path) { return published(path); });
        test::Test_folder home;
        const fs::path machine = home / "machine.reg";
        test::write_file(machine, "Windows Registry Editor Version 5.00\n\n"
                                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Valdora Vidizoved\\Velin Manager\\Impostazioni]\n"
                                  "\"ServerAggiornamenti\"=\"" +
                                      server.url("") +
                                      "\"\n"
                                      "\"ModuloPKCS11\"=\"/nonexistent/pkcs11.so\"\n\n"
                                      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Valdora Vidizoved\\Velin Manager]\n"
                                      "\"Versione\"=dword:03010300\n\n");
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("VELIN_MACHINE_REGISTRY", QString::fromStdString(machine.string()));
        environment.insert("HOME", QString::fromStdString(home.path().string()));
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        QProcess first;
        first.setProcessEnvironment(environment);
        first.start(VELIN_VERIFY_PROGRAM, {"/update", "/quiet"});
        QVERIFY(first.waitForStarted());
        // Both versions read: the first run now waits on its question (no one answers it).
        QTRY_COMPARE_WITH_TIMEOUT(server.requests().size(), size_t(2), 30000);
        QProcess second;
        second.setProcessEnvironment(environment);
        second.start(VELIN_VERIFY_PROGRAM, {"/update"});
        QVERIFY(second.waitForFinished(30000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 2);
        QCOMPARE(server.requests().size(), size_t(2));
        QCOMPARE(first.state(), QProcess::Running);
        first.kill();
        QVERIFY(first.waitForFinished(10000));

        // The run ended, the lock went with it: a run without a server ends at once with 0.
        test::write_file(machine, "Windows Registry Editor Version 5.00\n\n");
        QProcess third;
        third.setProcessEnvironment(environment);
        third.start(VELIN_VERIFY_PROGRAM, {"/update", "/quiet"});
        QVERIFY(third.waitForFinished(30000));
        QCOMPARE(third.exitCode(), 0);
    }
};

QTEST_MAIN(Test_update_gui)
#include "test_update_gui.moc"
