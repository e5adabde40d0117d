// The verifier's options, activity report and About box driven offscreen. The program runs from
// two folders (see CMakeLists.txt): one laid out as an installation, one that holds nothing else.
#include "VelinVerify/dialogs/about_dialog.h"
#include "VelinVerify/dialogs/log_report.h"
#include "VelinVerify/dialogs/settings_dialog.h"
#include "box_recorder.h"
#include "common/launcher.h"
#include "common/message_box.h"
#include "common/registry.h"
#include "common/settings_record.h"
#include "common/trace.h"
#include "test_folder.h"
#include "trace_records.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QtTest>

#include <filesystem>
#include <sstream>

#include <sys/stat.h>

using namespace velin;
using velin::test::recorded_runs;

namespace {

uint32_t stored_dword(const char* name)
{
    const auto read = read_dword(Registry_root::Current_user, Settings_key, name);
    return read.succeeded() ? read.value() : 0xFFFFFFFFu;
}

} // namespace

class Test_verify_dialogs : public QObject {
    Q_OBJECT

private:
    test::Box_recorder _boxes;

    std::filesystem::path argv_file(const char* name) const { return test::private_environment() / name; }

private slots:
    void initTestCase()
    {
        test::private_environment();
        Trace(Trace_kind, Level_info) << "Avvio del test dei dialoghi del verificatore.";
        _boxes.install();
    }
    void init() { _boxes.clear(); }

    void settings_rule_and_saving()
    {
        const std::filesystem::path hive = test::private_environment() / "user.reg";
        std::filesystem::remove(hive);
        Settings_record settings;
        {
            Settings_dialog dialog(settings);
            QCOMPARE(dialog.windowTitle(), QString("Impostazioni"));
            auto* verify = dialog.findChild<QCheckBox*>("verify_revocation_box");
            auto* update = dialog.findChild<QCheckBox*>("update_revocation_box");
            QCOMPARE(verify->text(), QString("Verifica la revoca dei certificati usati per la firma"));
            QCOMPARE(update->text(), QString("Aggiorna automaticamente le liste di certificati revocati"));
            QVERIFY(verify->isChecked() && update->isChecked() && update->isEnabled());

            // Unchecking the first clears and disables the second; checking it again enables the
            // second but leaves it unchecked.
            verify->click();
            QVERIFY(!update->isChecked() && !update->isEnabled());
            verify->click();
            QVERIFY(update->isEnabled() && !update->isChecked());
            update->click();
            QVERIFY(update->isChecked());
            verify->click();
            QVERIFY(!update->isChecked() && !update->isEnabled());

            // Annulla: nothing changes, nothing is written.
            dialog.findChild<QPushButton*>("cancel_button")->click();
            QCOMPARE(dialog.result(), int(QDialog::Rejected));
        }
        QVERIFY(settings.VerificaCRL && settings.AggiornaCRL);
        QVERIFY(!std::filesystem::exists(hive));

        {
            Settings_dialog dialog(settings);
            dialog.findChild<QCheckBox*>("verify_revocation_box")->click();
            dialog.findChild<QPushButton*>("ok_button")->click();
            QCOMPARE(dialog.result(), int(QDialog::Accepted));
        }
        QVERIFY(!settings.VerificaCRL && !settings.AggiornaCRL);
        QCOMPARE(stored_dword("VerificaCRL"), 0u);
        QCOMPARE(stored_dword("AggiornaCRL"), 0u);

        // A record that says "download" without "verify" is shown by the same rule, and confirming
        // stores what is shown.
        settings.AggiornaCRL = true;
        {
            Settings_dialog dialog(settings);
            auto* update = dialog.findChild<QCheckBox*>("update_revocation_box");
            QVERIFY(!update->isChecked() && !update->isEnabled());
            dialog.findChild<QPushButton*>("ok_button")->click();
        }
        QVERIFY(!settings.AggiornaCRL);
        QCOMPARE(stored_dword("AggiornaCRL"), 0u);
        QVERIFY(_boxes.empty());
    }

    void check_now_starts_the_interactive_update_run()
    {
        const auto runs_file = argv_file("aggiornamento.txt");
        ::setenv("VELIN_TEST_ARGV_FILE", runs_file.c_str(), 1);
        Settings_record settings;
        Settings_dialog dialog(settings);
        auto* check_now = dialog.findChild<QPushButton*>("check_now_button");
        QCOMPARE(check_now->text(), QString("&Verifica adesso"));
        check_now->click();
        QTRY_VERIFY(!recorded_runs(runs_file).empty());
        const auto runs = recorded_runs(runs_file);
        QCOMPARE(runs.size(), size_t(1));
        QCOMPARE(runs[0].size(), size_t(2));
        QCOMPARE(runs[0][0], std::string("/update"));
        QVERIFY(runs[0][1].rfind("/parent=0x", 0) == 0);
    }

    void log_copy_goes_to_the_private_folder()
    {
        Trace(Trace_kind, Level_info) << "Riga da ritrovare nella copia del rapporto.";
        const std::string expected = private_runtime_folder() + "/Velin_Manager_RAPPORTO_ATTIVITA.log";
        QCOMPARE(activity_report_path(), expected);
        test::write_file(expected, std::string(700000, 'x')); // an older, longer copy is replaced

        QString title;
        QString text;
        QTimer::singleShot(0, [&] {
            auto* dialog = qobject_cast<Dialog_log_report*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            title = dialog->windowTitle();
            text = dialog->findChild<QLabel*>("explanation_label")->text();
            QCOMPARE(dialog->log_copy_path(), expected);
            dialog->findChild<QPushButton*>("cancel_button")->click();
        });
        run_activity_report();
        QCOMPARE(title, QString("Rapporto attività"));
        QCOMPARE(text, QString("L'applicazione genererà un tracciamento dell'attività. L'operazione potrebbe "
                               "richiedere qualche minuto.\n\nAl termine del tracciamento verrà aperta la cartella "
                               "contenente il rapporto delle attività."));
        const std::string copy = test::read_file(expected);
        QVERIFY(copy.find("Riga da ritrovare nella copia del rapporto.") != std::string::npos);
        QVERIFY(copy.size() < 700000);
        struct stat info {};
        QCOMPARE(::stat(expected.c_str(), &info), 0);
        QCOMPARE(info.st_mode & 0777, 0600u);

        // A link planted at the copy's name is not followed: its target stays as it was.
        test::Test_folder folder;
        const auto target = folder / "bersaglio.txt";
        test::write_file(target, "intatto");
        const auto link = folder / "Velin_Manager_RAPPORTO_ATTIVITA.log";
        std::filesystem::create_symlink(target, link);
        QVERIFY(!copy_log_file(trace_current_path(), link.string()));
        QCOMPARE(test::read_file(target), std::string("intatto"));
        QVERIFY(!copy_log_file(folder / "assente.log", (folder / "copia.log").string()));

        // Without a private folder the copy goes to the bare name in the current folder.
        const std::string runtime = std::getenv("XDG_RUNTIME_DIR");
        const std::string temp = std::getenv("TMPDIR");
        ::setenv("XDG_RUNTIME_DIR", target.c_str(), 1);
        ::setenv("TMPDIR", target.c_str(), 1);
        const std::string fallback = activity_report_path();
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        ::setenv("TMPDIR", temp.c_str(), 1);
        QCOMPARE(fallback, std::string("Velin_Manager_RAPPORTO_ATTIVITA.log"));
    }

    void generate_waits_for_the_tool_and_closes()
    {
        test::Test_folder folder;
        std::filesystem::create_directories(folder / "con spazi");
        const std::string copy = (folder / "con spazi" / "rapporto.log").string();
        const auto runs_file = argv_file("strumento.txt");
        ::setenv("VELIN_TEST_ARGV_FILE", runs_file.c_str(), 1);
        ::setenv("VELIN_TEST_SLEEP_MS", "500", 1);

        Dialog_log_report dialog(copy);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        // Timers still fire while the tool runs (the window keeps painting), under the busy cursor.
        bool busy_seen = false;
        bool open_after_close = false;
        QTimer::singleShot(200, [&] {
            busy_seen = QApplication::overrideCursor() && QApplication::overrideCursor()->shape() == Qt::WaitCursor;
            dialog.close(); // refused while the tool runs
            open_after_close = dialog.isVisible();
        });
        QElapsedTimer clock;
        clock.start();
        dialog.findChild<QPushButton*>("generate_button")->click();
        QVERIFY(clock.elapsed() >= 450);
        QVERIFY(busy_seen);
        QVERIFY(open_after_close);
        QCOMPARE(QApplication::overrideCursor(), nullptr);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QVERIFY(!dialog.isVisible());
        QCOMPARE(recorded_runs(runs_file), (std::vector<std::vector<std::string>>{{copy}}));
        ::unsetenv("VELIN_TEST_SLEEP_MS");
    }

    void license_and_help_open_beside_the_program()
    {
        const auto runs_file = argv_file("aperture.txt");
        ::setenv("VELIN_TEST_ARGV_FILE", runs_file.c_str(), 1);
        ::setenv("VELIN_OPEN_COMMAND", VELIN_TEST_RECORDER, 1);
        const std::string installed = std::filesystem::weakly_canonical(VELIN_TEST_INSTALLED).string();
        QCOMPARE(license_path(), installed + "/Licenza.txt");
        QCOMPARE(help_path(), installed + "/help/index.htm");

        About_dialog about;
        QCOMPARE(about.findChild<QLabel*>("version_label")->text(), QString("Versione " VELIN_VERSION));
        about.findChild<QPushButton*>("license_button")->click();
        QTRY_COMPARE(recorded_runs(runs_file).size(), size_t(1));
        open_help();
        QTRY_COMPARE(recorded_runs(runs_file).size(), size_t(2));
        const auto runs = recorded_runs(runs_file);
        QCOMPARE(runs[0], std::vector<std::string>{installed + "/Licenza.txt"});
        QCOMPARE(runs[1], std::vector<std::string>{installed + "/help/index.htm"});
        QVERIFY(_boxes.empty());
        ::unsetenv("VELIN_OPEN_COMMAND");
    }

    // Run from the bare folder: no PC check tool, no license, no help beside the program.
    void missing_tool_license_and_help()
    {
        QVERIFY2(!std::filesystem::exists(sibling_path(Pc_check_tool_name)), "run from the bare folder");
        const auto runs_file = argv_file("nessuna-apertura.txt");
        ::setenv("VELIN_TEST_ARGV_FILE", runs_file.c_str(), 1);
        ::setenv("VELIN_OPEN_COMMAND", VELIN_TEST_RECORDER, 1);

        Dialog_log_report dialog(activity_report_path());
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        dialog.findChild<QPushButton*>("generate_button")->click();
        QVERIFY(dialog.isVisible());
        QCOMPARE(QApplication::overrideCursor(), nullptr);

        About_dialog about;
        about.findChild<QPushButton*>("license_button")->click();
        QCOMPARE(_boxes.size(), size_t(1));
        QCOMPARE(_boxes[0].text, std::string("La visualizzazione della licenza d'uso è fallita."));
        QCOMPARE(_boxes[0].caption, std::string("Errore"));
        QVERIFY(_boxes[0].flags & MB_ICONERROR);

        open_help();
        QVERIFY(test::traced(Level_error, {help_path()}));
        QCOMPARE(_boxes.size(), size_t(1));
        QTest::qWait(200);
        QVERIFY(!std::filesystem::exists(runs_file));
        ::unsetenv("VELIN_OPEN_COMMAND");
    }
};

QTEST_MAIN(Test_verify_dialogs)
#include "test_verify_dialogs.moc"
