// The reading dialogs as the holder sees them. Each test runs in its own process, so the tests
// without a host application really have none.
#include "cardlib/card_exceptions.h"
#include "cardlib/reading_prompt.h"
#include "test_folder.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

using namespace velin::cardlib;

const CNS_known_file_info& personal_data()
{
    return catalogue_entry(15);
}

// Runs action on the application's thread once the window on top is a modal one.
void when_modal(std::function<void(QWidget*)> action)
{
    QTimer::singleShot(30, [action] {
        if (QWidget* modal = QApplication::activeModalWidget())
            action(modal);
        else
            when_modal(action);
    });
}

void click(QWidget* window, const char* name)
{
    auto* button = window->findChild<QPushButton*>(name);
    ASSERT_NE(button, nullptr) << name;
    button->click();
}

template <class E>
E code_of(const std::function<void()>& action)
{
    try {
        action();
    } catch (const CEnumException<E>& e) {
        return e.code();
    }
    ADD_FAILURE() << "no failure";
    return E{};
}

struct Host_application {
    int argc = 1;
    char name[8] = "host";
    char* argv[2] = {name, nullptr};
    QApplication application{argc, argv};
};

TEST(Reading_dialog, consent_dialog_texts_and_more_information)
{
    Host_application host;
    std::string description_box;
    bool dialog_open_after_box = false;
    QStringList labels;
    when_modal([&](QWidget* dialog) {
        EXPECT_EQ(dialog->windowTitle(), "Carta Velin");
        for (QLabel* label : dialog->findChildren<QLabel*>())
            labels << label->text();
        EXPECT_EQ(dialog->findChild<QPushButton*>("read_button")->text(), "Leggi i dati");
        EXPECT_EQ(dialog->findChild<QPushButton*>("refuse_button")->text(), "Non leggere i dati");
        EXPECT_EQ(dialog->findChild<QLineEdit*>("pin_field"), nullptr);
        when_modal([&, dialog](QWidget* box) {
            auto* message = qobject_cast<QMessageBox*>(box);
            ASSERT_NE(message, nullptr);
            EXPECT_EQ(message->windowTitle(), "Carta Velin");
            description_box = message->text().toStdString();
            message->button(QMessageBox::Ok)->click();
            QTimer::singleShot(30, [&, dialog] {
                dialog_open_after_box = dialog->isVisible() && QApplication::activeModalWidget() == dialog;
                click(dialog, "read_button");
            });
        });
        click(dialog, "more_button");
    });
    EXPECT_TRUE(qt_dialogs::consent(personal_data()));
    EXPECT_EQ(labels,
              (QStringList{
                  "LETTURA DATI", "L'applicazione ha chiesto di leggere", "i dati anagrafici",
                  "registrati sulla tua Carta Velin.",
                  QString::fromUtf8(
                      "Se sei connesso a Internet la richiesta potrebbe venire da un sito al quale sei "
                      "collegato. In questo caso verifica che la richiesta sia coerente con le finalità del sito.")}));
    EXPECT_EQ(description_box, personal_data().long_description);
    EXPECT_TRUE(dialog_open_after_box);

    when_modal([](QWidget* dialog) { click(dialog, "refuse_button"); });
    EXPECT_EQ(code_of<BASIC_ERRORS::CError>([] { ask_consent(personal_data()); }), BASIC_ERRORS::Cancelled);
}

// A view's question: the items one a line, the participle agreeing with all of them, and every
// long description behind "Dimmi di più"; one item of its own agrees with it alone.
TEST(Reading_dialog, one_question_lists_the_items_of_a_view)
{
    Host_application host;
    const std::vector<CNS_known_file_info> items = {personal_data(), catalogue_entry(13), technical_information()};
    QStringList labels;
    std::string description_box;
    when_modal([&](QWidget* dialog) {
        for (QLabel* label : dialog->findChildren<QLabel*>())
            labels << label->text();
        when_modal([&, dialog](QWidget* box) {
            description_box = qobject_cast<QMessageBox*>(box)->text().toStdString();
            qobject_cast<QMessageBox*>(box)->button(QMessageBox::Ok)->click();
            QTimer::singleShot(30, [dialog] { click(dialog, "read_button"); });
        });
        click(dialog, "more_button");
    });
    EXPECT_TRUE(qt_dialogs::consent(items));
    ASSERT_EQ(labels.size(), 5);
    EXPECT_EQ(labels[1], "L'applicazione ha chiesto di leggere");
    EXPECT_EQ(labels[2],
              "- i dati anagrafici;\n- il numero seriale della Carta;\n- le informazioni tecniche della Carta");
    EXPECT_EQ(labels[3], "registrati sulla tua Carta Velin.");
    EXPECT_EQ(description_box, personal_data().long_description + "\n\n" + catalogue_entry(13).long_description +
                                   "\n\n" + technical_information().long_description);

    labels.clear();
    when_modal([&](QWidget* dialog) {
        for (QLabel* label : dialog->findChildren<QLabel*>())
            labels << label->text();
        click(dialog, "refuse_button");
    });
    EXPECT_EQ(code_of<BASIC_ERRORS::CError>([] { ask_consent(catalogue_entry(13)); }), BASIC_ERRORS::Cancelled);
    ASSERT_EQ(labels.size(), 5);
    EXPECT_EQ(labels[2], "il numero seriale della Carta");
    EXPECT_EQ(labels[3], "registrato sulla tua Carta Velin.");
}

TEST(Reading_dialog, pin_dialog_accepts_five_to_eight_characters)
{
    Host_application host;
    std::vector<bool> enabled;
    QString pin_label;
    when_modal([&](QWidget* dialog) {
        auto* field = dialog->findChild<QLineEdit*>("pin_field");
        ASSERT_NE(field, nullptr);
        EXPECT_EQ(field->echoMode(), QLineEdit::Password);
        auto* read = dialog->findChild<QPushButton*>("read_button");
        for (QLabel* label : dialog->findChildren<QLabel*>())
            pin_label = label->text();
        enabled.push_back(read->isEnabled());
        field->setText("1234");
        enabled.push_back(read->isEnabled());
        field->setText("123456789");
        EXPECT_EQ(field->text(), "12345678");
        enabled.push_back(read->isEnabled());
        field->setText("12345");
        enabled.push_back(read->isEnabled());
        read->click();
    });
    const auto pin = qt_dialogs::pin(catalogue_entry(4));
    ASSERT_TRUE(pin.has_value());
    EXPECT_EQ(pin->view(), "12345");
    EXPECT_EQ(enabled, (std::vector<bool>{false, false, true, true}));
    EXPECT_EQ(pin_label, QString::fromUtf8("Autorizzo la lettura, questo è il PIN:"));

    when_modal([](QWidget* dialog) { click(dialog, "refuse_button"); });
    EXPECT_FALSE(qt_dialogs::pin(catalogue_entry(4)).has_value());
}

TEST(Reading_dialog, property_question_defaults_to_no)
{
    Host_application host;
    when_modal([](QWidget* box) {
        auto* message = qobject_cast<QMessageBox*>(box);
        ASSERT_NE(message, nullptr);
        EXPECT_EQ(message->text().toStdString(), Property_question);
        EXPECT_EQ(message->windowTitle(), "Carta Velin");
        EXPECT_EQ(message->defaultButton(), message->button(QMessageBox::No));
        message->defaultButton()->click();
    });
    try {
        ask_property_consent();
        ADD_FAILURE() << "No was taken for Yes";
    } catch (const Winapi_exception& e) {
        EXPECT_EQ(e.code(), 5u);
    }
    when_modal([](QWidget* box) { qobject_cast<QMessageBox*>(box)->button(QMessageBox::Yes)->click(); });
    EXPECT_NO_THROW(ask_property_consent());

    when_modal([](QWidget* box) {
        EXPECT_EQ(qobject_cast<QMessageBox*>(box)->text().toStdString(), Wrong_pin_text);
        qobject_cast<QMessageBox*>(box)->button(QMessageBox::Ok)->click();
    });
    show_wrong_pin();
}

TEST(Reading_dialog, calls_from_another_thread_than_the_windows_are_refused)
{
    Host_application host;
    QUARK_ERROR code{};
    std::thread worker([&] { code = code_of<QUARK_ERROR>([] { ask_consent(personal_data()); }); });
    worker.join();
    EXPECT_EQ(code, QUARK_ERROR::Invalid_state);
}

TEST(Reading_dialog, host_without_application_gets_one_for_the_dialog)
{
    ASSERT_EQ(QCoreApplication::instance(), nullptr);
    // The dialog's application appears on this thread during the call; a helper thread waits
    // for it and posts the click to it.
    std::atomic<bool> done{false};
    std::thread clicker([&] {
        while (!done && !QCoreApplication::instance())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (done)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [] { when_modal([](QWidget* d) { click(d, "read_button"); }); },
            Qt::QueuedConnection);
    });
    EXPECT_NO_THROW(ask_consent(personal_data()));
    done = true;
    clicker.join();
    // Gone again with the dialog.
    EXPECT_EQ(QCoreApplication::instance(), nullptr);
}

// Standard input and error of this process replaced while it lives: standard input by a
// terminal of its own (a pseudo-terminal the test types into), or by /dev/null; standard error
// by a file.
class Replaced_stdio {
public:
    explicit Replaced_stdio(bool terminal)
    {
        _saved_in = ::dup(STDIN_FILENO);
        _saved_err = ::dup(STDERR_FILENO);
        int input = -1;
        if (terminal) {
            _master = ::posix_openpt(O_RDWR | O_NOCTTY);
            EXPECT_GE(_master, 0);
            EXPECT_EQ(::grantpt(_master), 0);
            EXPECT_EQ(::unlockpt(_master), 0);
            input = ::open(::ptsname(_master), O_RDWR | O_NOCTTY);
        } else {
            input = ::open("/dev/null", O_RDONLY);
        }
        EXPECT_GE(input, 0);
        ::dup2(input, STDIN_FILENO);
        ::close(input);
        const int error = ::open((_folder / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(error, STDERR_FILENO);
        ::close(error);
    }
    ~Replaced_stdio()
    {
        ::dup2(_saved_in, STDIN_FILENO);
        ::dup2(_saved_err, STDERR_FILENO);
        ::close(_saved_in);
        ::close(_saved_err);
        if (_master >= 0)
            ::close(_master);
    }
    Replaced_stdio(const Replaced_stdio&) = delete;
    Replaced_stdio& operator=(const Replaced_stdio&) = delete;

    // What the holder types, before the question comes.
    void type(const std::string& text) { EXPECT_EQ(::write(_master, text.data(), text.size()), ssize_t(text.size())); }
    // Everything written to standard error so far; forgotten afterwards.
    std::string shown()
    {
        std::fflush(stderr);
        std::string text = velin::test::read_file(_folder / "stderr");
        ::ftruncate(STDERR_FILENO, 0);
        ::lseek(STDERR_FILENO, 0, SEEK_SET);
        return text;
    }

private:
    velin::test::Test_folder _folder;
    int _saved_in = -1;
    int _saved_err = -1;
    int _master = -1;
};

TEST(Reading_dialog, without_a_display_the_holder_is_asked_on_the_terminal)
{
    ::unsetenv("QT_QPA_PLATFORM");
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    Replaced_stdio terminal(true);

    terminal.type("s\n");
    EXPECT_NO_THROW(ask_consent(personal_data()));
    const std::string asked = terminal.shown();
    EXPECT_NE(asked.find("Carta Velin - LETTURA DATI\nL'applicazione ha chiesto di leggere " +
                         personal_data().short_description + " registrati sulla tua Carta Velin.\n"),
              std::string::npos)
        << asked;
    EXPECT_NE(asked.find("Autorizzi la lettura? (s/n): "), std::string::npos) << asked;

    // An answer that is neither is asked again; "N" is no.
    terminal.type("forse\nN\n");
    EXPECT_EQ(code_of<BASIC_ERRORS::CError>([] { ask_consent(personal_data()); }), BASIC_ERRORS::Cancelled);
    const std::string twice = terminal.shown();
    EXPECT_NE(twice.find("(s/n): "), twice.rfind("(s/n): ")) << twice;

    // One item agrees with its own participle; several stand one a line, asked once.
    terminal.type("s\n");
    EXPECT_NO_THROW(ask_consent(catalogue_entry(18)));
    EXPECT_NE(terminal.shown().find("leggere la lista dei servizi installati registrata sulla tua Carta Velin.\n"),
              std::string::npos);
    terminal.type("s\n");
    EXPECT_NO_THROW(ask_consent(std::vector<CNS_known_file_info>{personal_data(), catalogue_entry(13)}));
    const std::string listed = terminal.shown();
    EXPECT_NE(listed.find("L'applicazione ha chiesto di leggere\n- i dati anagrafici;\n- il numero seriale della "
                          "Carta\nregistrati sulla tua Carta Velin.\n"),
              std::string::npos)
        << listed;
    EXPECT_EQ(listed.find("(s/n): "), listed.rfind("(s/n): ")) << listed;

    // The technical question: its explanation, then the question with the answers.
    terminal.type("sì\n");
    EXPECT_NO_THROW(ask_property_consent());
    EXPECT_NE(terminal.shown().find("malfunzionamenti.\n\nAutorizzi la lettura di queste informazioni? (s/n): "),
              std::string::npos);
    terminal.type("no\n");
    try {
        ask_property_consent();
        ADD_FAILURE() << "No was taken for Yes";
    } catch (const Winapi_exception& e) {
        EXPECT_EQ(e.code(), 5u);
    }

    // The PIN, typed without echo; an empty line does not read.
    terminal.type("12345\n");
    EXPECT_EQ(ask_pin(catalogue_entry(4)).view(), "12345");
    terminal.type("\n");
    EXPECT_EQ(code_of<BASIC_ERRORS::CError>([] { ask_pin(catalogue_entry(4)); }), BASIC_ERRORS::Cancelled);
    // No window was made for any of it.
    EXPECT_EQ(QCoreApplication::instance(), nullptr);
}

TEST(Reading_dialog, a_host_without_windows_asks_on_the_terminal)
{
    Replaced_stdio terminal(true);
    int argc = 1;
    char name[] = "host";
    char* argv[] = {name, nullptr};
    QCoreApplication host(argc, argv);
    terminal.type("s\n");
    EXPECT_NO_THROW(ask_consent(personal_data()));
    EXPECT_NE(terminal.shown().find("Autorizzi la lettura? (s/n): "), std::string::npos);
}

TEST(Reading_dialog, a_host_with_windows_is_never_asked_on_the_terminal)
{
    // Its user looks at its windows: a call from another thread is refused, terminal or not.
    Replaced_stdio terminal(true);
    Host_application host;
    terminal.type("s\n");
    QUARK_ERROR code{};
    std::thread worker([&] { code = code_of<QUARK_ERROR>([] { ask_consent(personal_data()); }); });
    worker.join();
    EXPECT_EQ(code, QUARK_ERROR::Invalid_state);
    EXPECT_EQ(terminal.shown().find("(s/n)"), std::string::npos);
}

TEST(Reading_dialog, no_display_means_no_reading)
{
    // Not on a terminal either: nobody can be asked.
    Replaced_stdio not_a_terminal(false);
    ::unsetenv("QT_QPA_PLATFORM");
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    EXPECT_EQ(code_of<QUARK_ERROR>([] { ask_consent(personal_data()); }), QUARK_ERROR::Invalid_state);
    EXPECT_EQ(QCoreApplication::instance(), nullptr);
    // A display named but not there: Qt would end the process, so the library does not try.
    ::setenv("DISPLAY", ":97", 1);
    EXPECT_EQ(code_of<QUARK_ERROR>([] { ask_consent(personal_data()); }), QUARK_ERROR::Invalid_state);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    EXPECT_EQ(code_of<QUARK_ERROR>([] { ask_pin(catalogue_entry(4)); }), QUARK_ERROR::Invalid_state);
    ::setenv("QT_QPA_PLATFORM", "wayland", 1);
    ::setenv("WAYLAND_DISPLAY", "wayland-97", 1);
    EXPECT_EQ(code_of<QUARK_ERROR>([] { ask_property_consent(); }), QUARK_ERROR::Invalid_state);
    EXPECT_EQ(QCoreApplication::instance(), nullptr);
}

} // namespace
