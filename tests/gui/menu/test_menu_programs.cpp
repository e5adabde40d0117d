// The menu's own loop (run_menu, as velin-menu runs it) with the real programs beside it, on an X
// server: a click on "Firma documenti" or "Visualizza dati anagrafici" starts the program, the
// menu waits (hidden) while it runs and comes back when it ends; only "Esci" ends the menu.
#include "VelinMenu/app/menu_app.h"
#include "VelinMenu/app/menu_dialog.h"
#include "common/guarded_application.h"
#include "common/launcher.h"
#include "test_folder.h"

#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <csignal>

using namespace velin;

class Test_menu_programs : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        const std::filesystem::path& folder = test::private_environment();
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString((folder / "config").string()));
        // No daily update run, and no card service: the card-data page finds no reader of
        // another test's bed.
        qputenv("PCSCLITE_CSOCK_NAME", QByteArray::fromStdString((folder / "no-pcscd.comm").string()));
        QVERIFY2(qgetenv("QT_QPA_PLATFORM") == "xcb", "run under an X server (xvfb-run) with QT_QPA_PLATFORM=xcb");
    }

    void the_menu_waits_for_the_program_it_started_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("program");
        QTest::newRow("Firma documenti") << "sign_button"
                                         << "velin-sign";
        QTest::newRow("Visualizza dati anagrafici") << "card_data_button"
                                                    << "velin-dati-carta";
    }

    void the_menu_waits_for_the_program_it_started()
    {
        QFETCH(QString, button);
        QFETCH(QString, program);
        pid_t started = 0;
        bool waited = false; // the menu still ran, hidden, while the program ran
        bool came_back = false; // and showed itself again when the program ended
        QPointer<CVelinMenuDlg> menu;
        QObject context; // the timers below end with this test

        QTimer::singleShot(200, &context, [&] {
            for (QWidget* window : QApplication::topLevelWidgets())
                if (auto* found = qobject_cast<CVelinMenuDlg*>(window))
                    menu = found;
            if (!menu)
                return;
            menu->findChild<QPushButton*>(button)->click();
            if (menu->program())
                started = menu->program()->pid();
            // The program is still running a while later: so must the menu be.
            QTimer::singleShot(1500, &context, [&] {
                if (!menu || !started || ::kill(started, 0) != 0)
                    return;
                waited = !menu->isVisible() && menu->waiting_for_program();
                ::kill(started, SIGTERM);
                auto* poll = new QTimer(menu);
                QObject::connect(poll, &QTimer::timeout, &context, [&, poll] {
                    if (!menu || !menu->isVisible())
                        return;
                    poll->stop();
                    came_back = !menu->waiting_for_program();
                    menu->findChild<QPushButton*>("exit_button")->click();
                });
                poll->start(50);
            });
        });
        // Should the menu never come back, the test still ends.
        QTimer::singleShot(15000, &context, [&] {
            if (menu)
                menu->reject();
        });
        const char* argv[] = {"velin-menu"};
        QElapsedTimer clock;
        clock.start();
        run_menu(1, argv);

        if (started && ::kill(started, 0) == 0)
            ::kill(started, SIGTERM); // the menu ended under it
        QVERIFY2(started != 0, qPrintable(program + " was not started"));
        QVERIFY2(waited, qPrintable("the menu ended after " + QString::number(clock.elapsed()) + " ms while " +
                                    program + " ran"));
        QVERIFY(came_back);
        QTest::qWait(100); // nothing of this run is left for the next
    }
};

int main(int argc, char** argv)
{
    Guarded_application application(argc, argv);
    Test_menu_programs test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_menu_programs.moc"
