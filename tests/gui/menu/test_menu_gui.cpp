// The menu's windows driven offscreen: launching and coming back, the PIN dialogs' fields, the
// settings dialog with a machine hive that cannot be written, the command line.
#include "VelinMenu/app/menu_app.h"
#include "VelinMenu/app/menu_dialog.h"
#include "VelinMenu/app/menu_settings_dialog.h"
#include "VelinMenu/app/pin_dialogs.h"
#include "box_recorder.h"
#include "common/message_box.h"
#include "common/registry.h"
#include "common/settings_record.h"
#include "common/version.h"
#include "test_folder.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

using namespace velin;

class Test_menu_gui : public QObject {
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

    void command_line_chooses_the_window()
    {
        const char* none[] = {"velin-menu"};
        const char* change[] = {"velin-menu", "/changepin"};
        const char* unblock[] = {"velin-menu", "/unblockpin", "/parent=0x00001234"};
        const char* parent_first[] = {"velin-menu", "/parent=0x00001234", "/changepin"};
        QCOMPARE(menu_window_for(1, none), Menu_window::Menu);
        QCOMPARE(menu_window_for(2, change), Menu_window::Change_pin);
        QCOMPARE(menu_window_for(3, unblock), Menu_window::Unblock_pin);
        QCOMPARE(menu_window_for(3, parent_first), Menu_window::Menu);
    }

    void launching_hides_the_menu_and_brings_it_back_where_it_was()
    {
        Settings_record settings;
        CVelinMenuDlg menu(settings);
        // The title names the version of this build, as --version and the About box do.
        const QString title = QString("Velin Manager ") + Suite_version;
        QCOMPARE(menu.windowTitle(), title);
        menu.move(200, 150);
        menu.show();
        QVERIFY(QTest::qWaitForWindowExposed(&menu));
        const QPoint where = menu.pos();
        QCOMPARE(menu.windowTitle(), title);

        menu.findChild<QPushButton*>("verify_button")->click();
        QVERIFY(!menu.isVisible());
        QVERIFY(menu.waiting_for_program());
        QTRY_VERIFY_WITH_TIMEOUT(menu.isVisible(), 3000);
        QCOMPARE(menu.pos(), where);
        QVERIFY(!menu.waiting_for_program());

        // "Visualizza dati anagrafici" starts the card-data page the same way.
        menu.findChild<QPushButton*>("card_data_button")->click();
        QVERIFY(!menu.isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(menu.isVisible(), 3000);
    }

    void a_missing_program_leaves_the_menu_visible()
    {
        Settings_record settings;
        CVelinMenuDlg menu(settings);
        menu.show();
        QVERIFY(QTest::qWaitForWindowExposed(&menu));
        menu.findChild<QPushButton*>("sign_button")->click();
        QVERIFY(menu.isVisible());
        QVERIFY(!menu.waiting_for_program());
        QVERIFY(_boxes.empty());
    }

    void pin_dialog_fields_and_ok_button()
    {
        int searches = 0;
        Pin_change_dialog dialog(nullptr, [&] {
            ++searches;
            return Card_access_result{};
        });
        QCOMPARE(dialog.windowTitle(), QString("Cambia il PIN"));
        auto* first = dialog.findChild<QLineEdit*>("first_field");
        auto* new_pin = dialog.findChild<QLineEdit*>("new_pin_field");
        auto* confirmation = dialog.findChild<QLineEdit*>("confirmation_field");
        auto* ok = dialog.findChild<QPushButton*>("ok_button");
        QCOMPARE(first->maxLength(), 8);
        QCOMPARE(new_pin->maxLength(), 8);
        QCOMPARE(confirmation->maxLength(), 8);
        QVERIFY(!ok->isEnabled());
        QTest::keyClicks(first, "12345");
        QTest::keyClicks(new_pin, "1234567890");
        QCOMPARE(new_pin->text(), QString("12345678"));
        QVERIFY(!ok->isEnabled());
        QTest::keyClicks(confirmation, "99999");
        QVERIFY(ok->isEnabled());
        // Copies of the fields' texts share the fields' buffers: they show whether those were wiped.
        const QString typed_new = new_pin->text(), typed_confirmation = confirmation->text();
        const QString typed_first = first->text();

        ok->click();
        QCOMPARE(_boxes.size(), size_t(1));
        QCOMPARE(_boxes[0].text, std::string("I PIN non corrispondono."));
        QCOMPARE(_boxes[0].caption, std::string("Velin Manager"));
        QCOMPARE(new_pin->text(), QString());
        QCOMPARE(confirmation->text(), QString());
        QCOMPARE(first->text(), QString("12345"));
        QVERIFY(!ok->isEnabled());
        QCOMPARE(searches, 0);
        QCOMPARE(typed_new, QString(8, QChar(0)));
        QCOMPARE(typed_confirmation, QString(5, QChar(0)));
        // Closed: the old PIN is wiped too.
        dialog.findChild<QPushButton*>("cancel_button")->click();
        QCOMPARE(typed_first, QString(5, QChar(0)));
        QCOMPARE(first->text(), QString());

        Pin_unblock_dialog unblock;
        QCOMPARE(unblock.windowTitle(), QString("Sblocca il PIN"));
        QCOMPARE(unblock.findChild<QLabel*>("first_label")->text(), QString("&PUK:"));
    }

    void invalid_puk_is_reported_and_nothing_is_sent()
    {
        Pin_unblock_dialog dialog(nullptr, [] {
            return Card_access_result{std::make_shared<ISCard>(), Card_other_cns};
        });
        QTest::keyClicks(dialog.findChild<QLineEdit*>("first_field"), "1234567");
        QTest::keyClicks(dialog.findChild<QLineEdit*>("new_pin_field"), "54321");
        QTest::keyClicks(dialog.findChild<QLineEdit*>("confirmation_field"), "54321");
        dialog.findChild<QPushButton*>("ok_button")->click();
        QCOMPARE(_boxes.size(), size_t(1));
        QCOMPARE(_boxes[0].text, std::string("Assertion failed: CNS::is_valid_PUK (_puk)"));
        QVERIFY(_boxes[0].flags & MB_ICONERROR);
    }

    void settings_dialog_without_rights_shows_the_message_and_the_registry_value()
    {
        test::Test_folder folder;
        const std::string machine = (folder / "machine.reg").string();
        qputenv("VELIN_MACHINE_REGISTRY", QByteArray::fromStdString(machine));
        QCOMPARE(write_text(Registry_root::Local_machine, Settings_key, "JavaHome", "/opt/java-registrata"), 0u);
        Settings_record settings;
        settings.load();
        // From now on the machine hive cannot be written.
        qputenv("VELIN_MACHINE_REGISTRY", "/dev/null/machine.reg");
        Menu_settings_dialog::set_folder_chooser([](QWidget*, const std::string& title) {
            return title == "Scegli la cartella dove è installato Java:" ? std::string("/opt/java-scelta")
                                                                         : std::string();
        });
        {
            Menu_settings_dialog dialog(settings);
            QCOMPARE(dialog.windowTitle(), QString("Impostazioni"));
            dialog.findChild<QPushButton*>("browse_button")->click();
            QCOMPARE(dialog.findChild<QComboBox*>("java_home_combo")->currentText(), QString("/opt/java-scelta"));
            dialog.findChild<QPushButton*>("ok_button")->click();
        }
        Menu_settings_dialog::set_folder_chooser(nullptr);
        QCOMPARE(_boxes.size(), size_t(1));
        QCOMPARE(_boxes[0].text, std::string("L'operazione richiesta non può essere eseguita.\n"
                                             "Verificare che l'utente corrente abbia privilegi di Amministratore."));
        // Reloaded from a hive that cannot be read any more: what is shown is what the registry holds.
        QCOMPARE(settings.JavaHome, std::string());

        // Nothing changed: nothing saved, no message.
        _boxes.clear();
        Menu_settings_dialog unchanged(settings);
        unchanged.findChild<QPushButton*>("ok_button")->click();
        QVERIFY(_boxes.empty());
        qputenv("VELIN_MACHINE_REGISTRY",
                QByteArray::fromStdString((test::private_environment() / "machine.reg").string()));
    }

    void java_runtimes_are_listed_once_and_sorted()
    {
        test::Test_folder folder;
        for (const char* name : {"java-b", "java-a", "not-java"})
            std::filesystem::create_directories(folder / name);
        test::write_file(folder / "java-b" / "release", "JAVA_VERSION=\"17\"");
        test::write_file(folder / "java-a" / "release", "JAVA_VERSION=\"11\"");
        const auto homes = java_runtime_homes(folder.path().string());
        QCOMPARE(homes.size(), size_t(2));
        QCOMPARE(homes[0], (folder / "java-a").string());
        QCOMPARE(homes[1], (folder / "java-b").string());
        QVERIFY(java_runtime_homes("/nonexistent").empty());
    }
};

QTEST_MAIN(Test_menu_gui)
#include "test_menu_gui.moc"
