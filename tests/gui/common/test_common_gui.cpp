// The message box (through an answerer: no box is ever shown), the launcher of sibling programs
// and the daily update trigger, with a stand-in velin-verify that records its arguments.
#include "common/file_dialog.h"
#include "common/guarded_application.h"
#include "common/launcher.h"
#include "common/message_box.h"
#include "common/registry.h"
#include "common/settings_record.h"
#include "common/shell_open.h"
#include "common/trace.h"
#include "test_folder.h"
#include "trace_records.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QMessageBox>
#include <QRegularExpression>
#include <QTimer>
#include <QTreeView>
#include <QWidget>
#include <QtTest>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include <sys/wait.h>
#include <unistd.h>

using namespace velin;
using velin::test::recorded_runs;

namespace {

// Where the log stood when the running test began.
size_t trace_start = 0;

// How many INFO records written since the test began name the part ("" for all of them).
size_t info_records(const std::string& part = {})
{
    return velin::test::count_traced(Level_info, {part}, trace_start);
}

std::chrono::system_clock::time_point utc(int year, int month, int day, int hour)
{
    std::tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    return std::chrono::system_clock::from_time_t(timegm(&fields));
}

std::string parent_argument(quintptr window)
{
    char text[32];
    std::snprintf(text, sizeof text, "/parent=0x%08x", static_cast<unsigned>(window));
    return text;
}

} // namespace

class Test_common_gui : public QObject {
    Q_OBJECT

public:
    explicit Test_common_gui(std::filesystem::path folder) : _folder(std::move(folder)) {}

private:
    std::filesystem::path _folder;
    std::vector<Message_box_request> _requests;
    int _answer = 0;

    std::string path(const char* name) const { return (_folder / name).string(); }
    std::string argv_file() const { return path("argv.txt"); }

    static bool exists(const std::string& file) { return std::filesystem::exists(file); }

    // Every box is answered: recorded, then the preset answer or the first button.
    void install_answerer()
    {
        set_message_box_answerer([this](const Message_box_request& request) {
            _requests.push_back(request);
            return _answer ? _answer : request.button_ids.front();
        });
    }

private slots:
    void initTestCase()
    {
        // Everything this process writes stays in its folder; the log is opened there on first use.
        for (const char* sub : {"tmp", "config", "etc"})
            std::filesystem::create_directories(path(sub));
        ::setenv("TMPDIR", path("tmp").c_str(), 1);
        ::setenv("VELIN_USER_REGISTRY", path("config/user.reg").c_str(), 1);
        ::setenv("VELIN_MACHINE_REGISTRY", path("etc/machine.reg").c_str(), 1);
        ::setenv("VELIN_TEST_ARGV_FILE", argv_file().c_str(), 1);
        ::setenv("TZ", "UTC", 1);
        ::tzset();
        install_answerer();
        QVERIFY2(exists(sibling_path("velin-verify")),
                 "the stand-in velin-verify must be built beside the test program");
    }

    void init()
    {
        _requests.clear();
        _answer = 0;
        trace_start = velin::test::trace_mark();
        set_starter_window(0);
        ::unsetenv("VELIN_TEST_SLEEP_MS");
        ::setenv("VELIN_MACHINE_REGISTRY", path("etc/machine.reg").c_str(), 1);
        std::filesystem::remove(argv_file());
        std::filesystem::remove(path("config/user.reg"));
        std::filesystem::remove(path("etc/machine.reg"));
    }

    void starter_window_is_the_first_well_formed_parent_argument()
    {
        const char* single[] = {"velin-verify", "/parent=0x00001234"};
        set_starter_window_from_arguments(2, single);
        QCOMPARE(starter_window(), quintptr(0x1234));

        set_starter_window(0);
        const char* several[] = {"velin-sign",         "doc.p7m",
                                 "/parent=0x1234",     "/parent=0x000012345",
                                 "/PARENT=0x00005678", "/parent=0x0000abcg",
                                 "/parent=0x0000AbCd", "/parent=0x00001234"};
        set_starter_window_from_arguments(8, several);
        QCOMPARE(starter_window(), quintptr(0xabcd));

        set_starter_window(0);
        const char* none[] = {"velin-menu", "/changepin", "parent=0x00001234"};
        set_starter_window_from_arguments(3, none);
        QCOMPARE(starter_window(), quintptr(0));
        // The program's own name is not an argument.
        const char* name_only[] = {"/parent=0x00001234"};
        set_starter_window_from_arguments(1, name_only);
        QCOMPARE(starter_window(), quintptr(0));
    }

    void box_owner_follows_the_owner_rule()
    {
        const char* arguments[] = {"velin-verify", "/parent=0x00001234"};
        set_starter_window_from_arguments(2, arguments);

        // No visible window of its own: the starter's window owns the box.
        QCOMPARE(message_box("Testo", MB_OK), IDOK);
        QCOMPARE(_requests.size(), size_t(1));
        QCOMPARE(_requests[0].owner_rule, Message_box_owner::Starter);
        QCOMPARE(_requests[0].owner_id, quintptr(0x1234));
        QCOMPARE(_requests[0].caption, std::string("Error"));
        QCOMPARE(_requests[0].text, std::string("Testo"));
        QCOMPARE(_requests[0].flags, MB_TOPMOST);

        QWidget window;
        window.show();
        window.activateWindow();
        QTRY_COMPARE(QApplication::activeWindow(), &window);
        message_box("Testo", MB_OK, nullptr, Suite_caption);
        QCOMPARE(_requests.back().owner_rule, Message_box_owner::Active_window);
        QCOMPARE(_requests.back().owner_widget, &window);
        QCOMPARE(_requests.back().caption, std::string("Velin Manager"));

        QWidget other;
        message_box("Testo", MB_OK, &other, Suite_caption);
        QCOMPARE(_requests.back().owner_rule, Message_box_owner::Given);
        QCOMPARE(_requests.back().owner_widget, &other);

        window.hide();
        message_box("Testo", MB_OK);
        QCOMPARE(_requests.back().owner_rule, Message_box_owner::Starter);

        set_starter_window(0);
        message_box("Testo", MB_OK);
        QCOMPARE(_requests.back().owner_rule, Message_box_owner::Desktop);
        QVERIFY(_requests.back().owner_widget == nullptr);
    }

    void box_has_italian_captions_whatever_the_platform()
    {
        struct Case {
            unsigned type;
            std::vector<std::string> captions;
            std::vector<int> ids;
            int escape;
        };
        const Case cases[] = {
            {MB_OK, {"OK"}, {IDOK}, IDOK},
            {MB_OKCANCEL, {"OK", "Annulla"}, {IDOK, IDCANCEL}, IDCANCEL},
            {MB_ABORTRETRYIGNORE, {"&Interrompi", "&Riprova", "&Ignora"}, {IDABORT, IDRETRY, IDIGNORE}, 0},
            {MB_YESNOCANCEL, {"&Sì", "&No", "Annulla"}, {IDYES, IDNO, IDCANCEL}, IDCANCEL},
            {MB_YESNO, {"&Sì", "&No"}, {IDYES, IDNO}, 0},
            {MB_RETRYCANCEL, {"&Riprova", "Annulla"}, {IDRETRY, IDCANCEL}, IDCANCEL},
            {MB_CANCELTRYCONTINUE, {"Annulla", "&Riprova", "&Continua"}, {IDCANCEL, IDTRYAGAIN, IDCONTINUE}, IDCANCEL},
        };
        for (const Case& c : cases) {
            _requests.clear();
            message_box("Domanda?", c.type | MB_ICONQUESTION, nullptr, Suite_caption);
            QCOMPARE(_requests.size(), size_t(1));
            const Message_box_request& request = _requests[0];
            QCOMPARE(request.buttons, c.captions);
            QCOMPARE(request.button_ids, c.ids);
            QCOMPARE(request.default_button, c.ids.front());
            QCOMPARE(request.escape_button, c.escape);
            QCOMPARE(request.flags, c.type | MB_ICONQUESTION | MB_TOPMOST);
            QCOMPARE(request.beep, MB_ICONQUESTION);
            QVERIFY(!request.platform_box);
        }

        // The id the user picks is what the caller gets; the second button can be the default.
        _answer = IDNO;
        QCOMPARE(message_box("Sovrascrivere?", MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2, nullptr, Suite_caption),
                 IDNO);
        QCOMPARE(_requests.back().default_button, IDNO);
        QCOMPARE(_requests.back().beep, MB_ICONWARNING);
        // A topmost flag given by the caller stays once.
        message_box("Testo", MB_OK | MB_TOPMOST);
        QCOMPARE(_requests.back().flags, MB_TOPMOST);
    }

    // The real box, answered from a timer: it must carry the captions, the caption text, the
    // topmost hint, and map the clicked button back to its id.
    void real_box_shows_what_the_request_describes()
    {
        Message_box_answerer no_answerer;
        set_message_box_answerer(no_answerer);
        QString title;
        QStringList captions;
        bool on_top = false;
        QTimer answer;
        answer.setInterval(20);
        QObject::connect(&answer, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box)
                return;
            answer.stop();
            title = box->windowTitle();
            on_top = box->windowFlags().testFlag(Qt::WindowStaysOnTopHint);
            for (QAbstractButton* button : box->buttons())
                captions << button->text();
            for (QAbstractButton* button : box->buttons())
                if (button->text() == "&No")
                    button->click();
        });
        answer.start();
        const int pressed = message_box("Continuare?", MB_YESNOCANCEL | MB_ICONQUESTION, nullptr, Suite_caption);
        install_answerer();
        QCOMPARE(pressed, IDNO);
        QCOMPARE(title, QString("Velin Manager"));
        QVERIFY(on_top);
        captions.sort();
        QCOMPARE(captions, (QStringList{"&No", "&Sì", "Annulla"}));
    }

    void error_system_modal_box_is_the_platforms_own()
    {
        message_box("Errore grave", MB_OKCANCEL | MB_ICONERROR | MB_SYSTEMMODAL, nullptr, Suite_caption);
        const Message_box_request& request = _requests.back();
        QVERIFY(request.platform_box);
        QCOMPARE(request.flags, MB_OKCANCEL | MB_ICONERROR | MB_SYSTEMMODAL | MB_TOPMOST);
        QCOMPARE(request.button_ids, (std::vector<int>{IDOK, IDCANCEL}));
        // The platform's box keeps the platform's captions: Qt's own, in Italian.
        QCOMPARE(request.buttons[1], QCoreApplication::translate("QPlatformTheme", "Cancel").toStdString());
        QCOMPARE(request.buttons[1], std::string("Annulla"));
        QCOMPARE(request.beep, 0u);

        for (unsigned flags : {MB_ICONERROR, MB_ICONWARNING | MB_SYSTEMMODAL, MB_ICONINFORMATION | MB_SYSTEMMODAL}) {
            message_box("Testo", flags);
            QVERIFY(!_requests.back().platform_box);
            QCOMPARE(_requests.back().buttons, std::vector<std::string>{"OK"});
        }
    }

    void save_all_failure_shows_the_administrator_box_and_reloads()
    {
        ::setenv("VELIN_MACHINE_REGISTRY", "/dev/null/velin/machine.reg", 1);
        Settings_record record;
        record.load();
        record.JavaHome = "/opt/java";
        record.FirmaParallela = true;
        save_all_settings(record);
        QCOMPARE(_requests.size(), size_t(1));
        QCOMPARE(_requests[0].text, std::string("L'operazione richiesta non può essere eseguita.\n"
                                                "Verificare che l'utente corrente abbia privilegi di Amministratore."));
        QCOMPARE(_requests[0].caption, std::string("Velin Manager"));
        QCOMPARE(_requests[0].flags & MB_ICONMASK, MB_ICONERROR);
        QVERIFY(!_requests[0].platform_box);
        QCOMPARE(record.JavaHome, std::string());
        QCOMPARE(record.FirmaParallela, false);

        // A save that works shows nothing.
        ::setenv("VELIN_MACHINE_REGISTRY", path("etc/machine.reg").c_str(), 1);
        record.JavaHome = "/opt/java";
        save_all_settings(record);
        QCOMPARE(_requests.size(), size_t(1));
        QCOMPARE(record.JavaHome, std::string("/opt/java"));
    }

    void parameters_end_with_the_parent_window()
    {
        QCOMPARE(sibling_parameters("", 0x1234), std::string(" /parent=0x00001234"));
        QCOMPARE(sibling_parameters("", 0), std::string(" /parent=0x00000000"));
        QCOMPARE(sibling_parameters("", 0xABCDEF12), std::string(" /parent=0xabcdef12"));
        QCOMPARE(sibling_parameters("/update /quiet", 0x5a0001f), std::string("/update /quiet /parent=0x05a0001f"));

        QCOMPARE(split_command_line(" /parent=0x00001234"), (std::vector<std::string>{"/parent=0x00001234"}));
        QCOMPARE(split_command_line("\"C:\\Documenti\\a b.p7m\"  /pdf\t\"\" x\"y z\"w"),
                 (std::vector<std::string>{"C:\\Documenti\\a b.p7m", "/pdf", "", "xy zw"}));
        QCOMPARE(split_command_line("a\\\\\"b c\" d\\\"e \"f\"\"g\""),
                 (std::vector<std::string>{"a\\b c", "d\"e", "f\"g"}));

        const std::filesystem::path folder = std::filesystem::path(sibling_path("velin-verify")).parent_path();
        QCOMPARE(sibling_path("..\\roro\\main.hta"), (folder.parent_path() / "roro" / "main.hta").string());
    }

    void started_sibling_gets_the_parameters_as_its_arguments()
    {
        auto process = start_sibling("velin-verify", "\"C:\\Documenti\\a b.p7m\" /pdf");
        QVERIFY2(process, "the stand-in velin-verify did not start");
        QVERIFY(process->wait(std::chrono::seconds(10)));
        QVERIFY(WIFEXITED(*process->wait_status()) && WEXITSTATUS(*process->wait_status()) == 0);
        auto runs = recorded_runs(argv_file());
        QCOMPARE(runs.size(), size_t(1));
        QCOMPARE(runs[0], (std::vector<std::string>{"C:\\Documenti\\a b.p7m", "/pdf", "/parent=0x00000000"}));

        // No arguments: only the parent window; with a window active, its id.
        QWidget window;
        window.show();
        window.activateWindow();
        QTRY_COMPARE(QApplication::activeWindow(), &window);
        process = start_sibling("..\\common\\velin-verify");
        QVERIFY2(process, "a relative path with backslashes must resolve beside the program");
        QVERIFY(process->wait(std::chrono::seconds(10)));
        runs = recorded_runs(argv_file());
        QCOMPARE(runs.size(), size_t(2));
        QCOMPARE(runs[1], std::vector<std::string>{parent_argument(window.winId())});
        QVERIFY(QRegularExpression("^/parent=0x[0-9a-f]{8}$").match(QString::fromStdString(runs[1][0])).hasMatch());

        QVERIFY(!start_sibling("velin-nothing"));
    }

    void shell_open_opens_documents_and_folders_never_programs()
    {
        const std::filesystem::path folder = std::filesystem::path(argv_file()).parent_path() / "shell-open";
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        const std::string document = (folder / "contratto.pdf").string();
        const std::string program = (folder / "contratto.pdf.sh").string();
        const std::string launcher = (folder / "Contratto.DESKTOP").string();
        for (const std::string& path : {document, program, launcher})
            std::ofstream(path) << "#!/bin/sh\n";
        std::filesystem::permissions(program, std::filesystem::perms::owner_exec, std::filesystem::perm_options::add);

        ::setenv("VELIN_OPEN_COMMAND", sibling_path("velin-verify").c_str(), 1);
        QCOMPARE(shell_open(""), 2ul);
        QCOMPARE(shell_open((folder / "assente.pdf").string()), 2ul);
        QCOMPARE(shell_open(program), 5ul);
        QCOMPARE(shell_open(launcher), 5ul);
        QCOMPARE(shell_open(document), 0ul);
        QCOMPARE(shell_open(folder.string()), 0ul);
        QTRY_COMPARE(recorded_runs(argv_file()).size(), size_t(2));
        auto runs = recorded_runs(argv_file());
        std::sort(runs.begin(), runs.end());
        QCOMPARE(runs, (std::vector<std::vector<std::string>>{{folder.string()}, {document}}));

        ::setenv("VELIN_OPEN_COMMAND", (folder / "nessun-programma").c_str(), 1);
        QCOMPARE(shell_open(document), 1155ul);
        ::unsetenv("VELIN_OPEN_COMMAND");
        std::filesystem::remove_all(folder);
    }

    void file_dialog_filters_and_refusals()
    {
        QCOMPARE(qt_file_filter("Certificato X509 (*.cer;*.crt)"), std::string("Certificato X509 (*.cer *.crt)"));
        QCOMPARE(qt_file_filter("Tutti i file (*.*)"), std::string("Tutti i file (*.*)"));

        File_dialog_request seen;
        set_file_dialog_answerer([&seen](const File_dialog_request& request) -> std::optional<std::string> {
            seen = request;
            return "/dati/contratto.txt";
        });
        File_dialog_request request;
        request.title = "Scegli il documento da verificare";
        request.accept = [](const std::string& path) { return path.ends_with(".p7m"); };
        QCOMPARE(file_dialog(request), std::optional<std::string>());
        QCOMPARE(seen.title, request.title);
        request.kind = File_dialog_request::Kind::Save;
        QCOMPARE(file_dialog(request), std::optional<std::string>("/dati/contratto.txt"));
        set_file_dialog_answerer({});
    }

    // Qt's own windows in Italian, and the real save dialog with every column title in full.
    void qt_dialogs_speak_italian_and_show_whole_column_titles()
    {
        QCOMPARE(QCoreApplication::translate("QFileDialog", "%1 already exists.\nDo you want to replace it?"),
                 QString::fromUtf8("%1 esiste già.\nVuoi sostituirlo?"));
        QCOMPARE(QCoreApplication::translate("QFileDialog", "&Save"), QString("&Salva"));

        test::Test_folder folder;
        test::write_file(folder / "contratto.txt", "testo");
        QStringList titles;
        QString cut;
        QTimer::singleShot(300, [&] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            auto* view = dialog->findChild<QTreeView*>("treeView");
            for (int i = 0; view && i < view->header()->count(); ++i) {
                const QString title = view->model()->headerData(i, Qt::Horizontal).toString();
                titles << title;
                const int needed = view->header()->fontMetrics().horizontalAdvance(title);
                if (view->header()->sectionSize(i) < needed)
                    cut += title + " ";
                if (view->header()->sectionViewportPosition(i) + needed > view->viewport()->width())
                    cut += title + " (fuori vista) ";
            }
            dialog->reject();
        });
        File_dialog_request request;
        request.kind = File_dialog_request::Kind::Save;
        request.title = "Salva il documento firmato";
        request.folder = folder.path().string();
        QCOMPARE(file_dialog(request), std::optional<std::string>());
        QVERIFY2(titles.contains("Dimensione") && titles.contains("Data di modifica"), qPrintable(titles.join(", ")));
        QVERIFY2(cut.isEmpty(), qPrintable("cut: " + cut));
    }

    void sibling_outlives_its_handle_and_its_starter()
    {
        ::setenv("VELIN_TEST_SLEEP_MS", "300", 1);
        pid_t pid = 0;
        {
            auto process = start_sibling("velin-verify", "/primo");
            QVERIFY(process);
            pid = process->pid();
            QVERIFY(!process->finished());
        }
        QTRY_VERIFY_WITH_TIMEOUT(recorded_runs(argv_file()).size() == 1, 10000);
        // Dropped while running, yet collected once ended: no zombie stays behind.
        const std::string proc_entry = "/proc/" + std::to_string(pid);
        QTRY_VERIFY_WITH_TIMEOUT(!exists(proc_entry), 10000);

        // A starter that ends at once: the sibling still runs to its end.
        const pid_t starter = ::fork();
        QVERIFY(starter >= 0);
        if (starter == 0)
            ::_exit(start_sibling("velin-verify", "/secondo") ? 0 : 1);
        int status = 0;
        QCOMPARE(::waitpid(starter, &status, 0), starter);
        QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        QTRY_VERIFY_WITH_TIMEOUT(recorded_runs(argv_file()).size() == 2, 10000);
        QCOMPARE(recorded_runs(argv_file())[1].front(), std::string("/secondo"));
    }

    void daily_trigger_starts_the_quiet_update_once_a_day()
    {
        QCOMPARE(strdate(utc(2026, 12, 8, 10)), std::string("12/08/26"));
        QCOMPARE(strdate(utc(2000, 1, 5, 0)), std::string("01/05/00"));

        Settings_record settings;
        settings.Aggiornamenti = true;
        settings.UltimoAggiornamento = "12/07/26";
        auto run = daily_update_check(settings, utc(2026, 12, 8, 10));
        QVERIFY2(!trace_current_path().empty(), "the trace log is unavailable: records cannot be checked");
        QVERIFY2(run, "the update run was not started");
        QVERIFY(run->wait(std::chrono::seconds(10)));
        auto runs = recorded_runs(argv_file());
        QCOMPARE(runs.size(), size_t(1));
        QCOMPARE(runs[0].size(), size_t(3));
        QCOMPARE(runs[0][0], std::string("/update"));
        QCOMPARE(runs[0][1], std::string("/quiet"));
        QVERIFY(QRegularExpression("^/parent=0x[0-9a-f]{8}$").match(QString::fromStdString(runs[0][2])).hasMatch());
        // Today's date and the last check's are traced.
        QCOMPARE(info_records("12/08/26"), size_t(1));
        QCOMPARE(info_records("12/07/26"), size_t(1));
        QCOMPARE(settings.UltimoAggiornamento, std::string("12/08/26"));
        QCOMPARE(settings.status, 1);

        // The next program started the same day loads the stored date and starts nothing.
        trace_start = velin::test::trace_mark();
        Settings_record next;
        next.load();
        next.Aggiornamenti = true;
        QCOMPARE(next.UltimoAggiornamento, std::string("12/08/26"));
        QVERIFY(!daily_update_check(next, utc(2026, 12, 8, 23)));
        QCOMPARE(info_records("12/08/26"), size_t(2));
        QTest::qWait(200);
        QCOMPARE(recorded_runs(argv_file()).size(), size_t(1));

        // The day after, it runs again.
        run = daily_update_check(next, utc(2026, 12, 9, 0));
        QVERIFY(run);
        QVERIFY(run->wait(std::chrono::seconds(10)));
        QCOMPARE(recorded_runs(argv_file()).size(), size_t(2));
        QCOMPARE(read_text(Registry_root::Current_user, Settings_key, "UltimoAggiornamento").value(),
                 std::string("12/09/26"));
    }

    void daily_trigger_starts_nothing_when_the_date_cannot_be_saved()
    {
        // Every program started today would otherwise start one more update run.
        ::setenv("VELIN_USER_REGISTRY", "/dev/null/velin/user.reg", 1);
        Settings_record settings;
        settings.Aggiornamenti = true;
        settings.UltimoAggiornamento = "12/07/26";
        QVERIFY(!daily_update_check(settings, utc(2026, 12, 8, 10)));
        ::setenv("VELIN_USER_REGISTRY", path("config/user.reg").c_str(), 1);
        QCOMPARE(settings.status, Settings_record::Status_failed);
        QVERIFY(velin::test::traced(Level_error, {"data"}, trace_start));
        QTest::qWait(200);
        QVERIFY(!exists(argv_file()));
    }

    void exception_leaving_an_event_handler_is_shown_and_the_program_goes_on()
    {
        // An object whose handler throws, as a slot or handler of ours might: the event loop
        // delivers it twice and the program is still here.
        class Throwing : public QObject {
        public:
            int events = 0;
            bool event(QEvent* event) override
            {
                if (event->type() != QEvent::User)
                    return QObject::event(event);
                ++events;
                throw std::runtime_error("documento senza nome");
            }
        } throwing;
        QCoreApplication::postEvent(&throwing, new QEvent(QEvent::User));
        QCoreApplication::postEvent(&throwing, new QEvent(QEvent::User));
        QTRY_COMPARE(throwing.events, 2);
        QCOMPARE(_requests.size(), size_t(2));
        QCOMPARE(_requests[0].text, std::string("Si è verificato un errore."));
        QCOMPARE(_requests[0].caption, std::string("Velin Manager"));
        QCOMPARE(_requests[0].flags & MB_ICONMASK, MB_ICONERROR);
        QVERIFY(velin::test::traced(Level_error, {"documento senza nome"}, trace_start));
    }

    void daily_trigger_does_nothing_when_updates_are_off()
    {
        Settings_record settings;
        settings.Aggiornamenti = false;
        QVERIFY(!daily_update_check(settings, utc(2026, 12, 8, 10)));
        QVERIFY2(!trace_current_path().empty(), "the trace log is unavailable: records cannot be checked");
        // The check is traced as started and given up, without looking at any date.
        QCOMPARE(info_records(), size_t(2));
        QCOMPARE(info_records("/"), size_t(0));
        QTest::qWait(200);
        QVERIFY(!exists(argv_file()));
        QVERIFY(!exists(path("config/user.reg")));
        QCOMPARE(settings.UltimoAggiornamento, std::string());
    }
};

int main(int argc, char** argv)
{
    // The private folder exists before QApplication: Qt looks up XDG_RUNTIME_DIR while starting.
    std::string pattern = (std::filesystem::temp_directory_path() / "velin-gui-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::filesystem::path folder = pattern;
    std::filesystem::create_directory(folder / "run");
    std::filesystem::permissions(folder / "run", std::filesystem::perms::owner_all);
    ::setenv("XDG_RUNTIME_DIR", (folder / "run").c_str(), 1);
    int result = 0;
    {
        Guarded_application application(argc, argv);
        Test_common_gui test(folder);
        result = QTest::qExec(&test, argc, argv);
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return result;
}

#include "test_common_gui.moc"
