// The reading dialogs on Qt. A host without a QApplication gets one for the dialog's lifetime,
// on the calling thread. A host whose application has no windows or lives on another thread, or
// a machine with no display, cannot show the holder a dialog: the holder is asked on the
// terminal when standard input is one, else the read does not happen.
#include "cardlib/card_exceptions.h"
#include "cardlib/reading_prompt.h"
#include "cardlib/terminal_prompt.h"
#include "common/trace.h"

#include <QApplication>
#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <QVBoxLayout>

#include <dlfcn.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace velin::cardlib::qt_dialogs {

namespace {

// Qt ends the process when its platform cannot start, which would take the host down with us:
// the display is tried first, the way the platform plugin would reach it.
bool x_display_reachable()
{
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display)
        return false;
    void* xcb = dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!xcb)
        return false;
    using Connect = void* (*)(const char*, int*);
    using Has_error = int (*)(void*);
    using Disconnect = void (*)(void*);
    auto connect = reinterpret_cast<Connect>(dlsym(xcb, "xcb_connect"));
    auto has_error = reinterpret_cast<Has_error>(dlsym(xcb, "xcb_connection_has_error"));
    auto disconnect = reinterpret_cast<Disconnect>(dlsym(xcb, "xcb_disconnect"));
    bool reachable = false;
    if (connect && has_error && disconnect) {
        void* connection = connect(display, nullptr);
        reachable = connection && has_error(connection) == 0;
        if (connection)
            disconnect(connection);
    }
    dlclose(xcb);
    return reachable;
}

bool wayland_display_reachable()
{
    const char* display = std::getenv("WAYLAND_DISPLAY");
    if (!display || !*display)
        return false;
    std::string path = display;
    if (path.front() != '/') {
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        if (!runtime || !*runtime)
            return false;
        path = std::string(runtime) + "/" + path;
    }
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode);
}

bool display_available()
{
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    const std::string name = platform ? platform : "";
    if (name.rfind("offscreen", 0) == 0 || name.rfind("minimal", 0) == 0 || name.rfind("vnc", 0) == 0)
        return true;
    if (name.rfind("xcb", 0) == 0)
        return x_display_reachable();
    if (name.rfind("wayland", 0) == 0)
        return wayland_display_reachable();
    return x_display_reachable() || wayland_display_reachable();
}

[[noreturn]] void cannot_ask(const char* why)
{
    Trace(Trace_kind, Level_error) << "Impossibile chiedere il consenso al titolare: " << why;
    throw CEnumException<QUARK_ERROR>(QUARK_ERROR::Invalid_state);
}

// Why no dialog can be shown on this thread; empty when one can. terminal_allowed: whether the
// holder may be asked on the terminal instead, which is so only for a host without windows: a
// host with windows calling from another thread is refused, its user looks at its windows.
const char* why_no_dialog(bool& terminal_allowed)
{
    terminal_allowed = true;
    if (QCoreApplication* existing = QCoreApplication::instance()) {
        if (!qobject_cast<QApplication*>(existing))
            return "l'applicazione non ha finestre";
        terminal_allowed = false;
        if (existing->thread() != QThread::currentThread())
            return "chiamata da un thread diverso da quello delle finestre";
        return "";
    }
    return display_available() ? "" : "nessuno schermo disponibile";
}

// Without a dialog the holder is asked on the terminal the host runs from, when it has one;
// else the reading does not happen.
bool on_terminal()
{
    bool terminal_allowed = false;
    const char* why = why_no_dialog(terminal_allowed);
    if (!*why)
        return false;
    if (!terminal_allowed || !terminal::available())
        cannot_ask(why);
    Trace(Trace_kind, Level_info) << "Nessuna finestra (" << why << "): domanda sul terminale";
    return true;
}

// The application the dialogs need, made for their lifetime when the host has none.
class Gui_session {
public:
    Gui_session()
    {
        if (QCoreApplication* existing = QCoreApplication::instance()) {
            if (!qobject_cast<QApplication*>(existing))
                cannot_ask("l'applicazione non ha finestre");
            if (existing->thread() != QThread::currentThread())
                cannot_ask("chiamata da un thread diverso da quello delle finestre");
            return;
        }
        if (!display_available())
            cannot_ask("nessuno schermo disponibile");
        static int argc = 1;
        static char name[] = "noraxcard";
        static char* argv[] = {name, nullptr};
        _own = std::make_unique<QApplication>(argc, argv);
    }

private:
    std::unique_ptr<QApplication> _own;
};

// While a box is shown, an always-on-top owner steps down so the box can be seen above it.
class Topmost_pause {
public:
    explicit Topmost_pause(QWidget* owner) : _owner(owner)
    {
        if (_owner && (_owner->windowFlags() & Qt::WindowStaysOnTopHint)) {
            _owner->setWindowFlag(Qt::WindowStaysOnTopHint, false);
            _owner->show();
            _paused = true;
        }
    }
    ~Topmost_pause()
    {
        if (_paused) {
            _owner->setWindowFlag(Qt::WindowStaysOnTopHint, true);
            _owner->show();
        }
    }
    Topmost_pause(const Topmost_pause&) = delete;
    Topmost_pause& operator=(const Topmost_pause&) = delete;

private:
    QWidget* _owner;
    bool _paused = false;
};

QWidget* active_owner()
{
    QWidget* active = QApplication::activeWindow();
    return active && active->isVisible() ? active : nullptr;
}

// A box titled "Carta Velin"; returns the standard button pressed.
QMessageBox::StandardButton card_box(QWidget* owner, const std::string& text, QMessageBox::Icon icon,
                                     QMessageBox::StandardButtons buttons, QMessageBox::StandardButton default_button)
{
    Topmost_pause pause(owner);
    QMessageBox box(icon, QString::fromUtf8(Card_caption), QString::fromStdString(text), buttons, owner);
    box.setObjectName("card_message_box");
    box.setTextFormat(Qt::PlainText);
    if (QAbstractButton* yes = box.button(QMessageBox::Yes))
        yes->setText(QString::fromUtf8("&Sì"));
    if (QAbstractButton* no = box.button(QMessageBox::No))
        no->setText("&No");
    box.setDefaultButton(default_button);
    box.exec();
    QAbstractButton* clicked = box.clickedButton();
    return clicked ? box.standardButton(clicked) : QMessageBox::NoButton;
}

class Reading_dialog : public QDialog {
public:
    Reading_dialog(std::vector<CNS_known_file_info> items, bool with_pin, QWidget* owner)
        : QDialog(owner), _items(std::move(items))
    {
        setObjectName("reading_dialog");
        setWindowTitle(QString::fromUtf8(Card_caption));
        setModal(true);
        auto* layout = new QVBoxLayout(this);
        auto* title = new QLabel("LETTURA DATI", this);
        QFont bold = title->font();
        bold.setBold(true);
        title->setFont(bold);
        layout->addWidget(title);
        layout->addWidget(new QLabel("L'applicazione ha chiesto di leggere", this));
        auto* description = new QLabel(QString::fromStdString(listed_descriptions(_items)), this);
        description->setObjectName("short_description");
        description->setFont(bold);
        layout->addWidget(description);
        layout->addWidget(new QLabel(QString::fromStdString(registered_on_card(_items)), this));
        auto* warning =
            new QLabel(QString::fromUtf8(
                           "Se sei connesso a Internet la richiesta potrebbe venire da un sito al quale sei collegato. "
                           "In questo caso verifica che la richiesta sia coerente con le finalità del sito."),
                       this);
        warning->setWordWrap(true);
        layout->addWidget(warning);

        auto* read = new QPushButton("Leggi i dati", this);
        read->setObjectName("read_button");
        if (with_pin) {
            layout->addWidget(new QLabel(QString::fromUtf8("Autorizzo la lettura, questo è il PIN:"), this));
            _pin = new QLineEdit(this);
            _pin->setObjectName("pin_field");
            _pin->setEchoMode(QLineEdit::Password);
            _pin->setMaxLength(8);
            layout->addWidget(_pin);
            // The PIN rule: 5 to 8 characters.
            read->setEnabled(false);
            connect(_pin, &QLineEdit::textChanged, read,
                    [read](const QString& text) { read->setEnabled(text.size() >= 5 && text.size() <= 8); });
        }
        auto* refuse = new QPushButton("Non leggere i dati", this);
        refuse->setObjectName("refuse_button");
        auto* more = new QPushButton(QString::fromUtf8("Dimmi di più sui dati richiesti"), this);
        more->setObjectName("more_button");
        more->setAutoDefault(false);
        auto* buttons = new QHBoxLayout;
        buttons->addWidget(read);
        buttons->addWidget(refuse);
        buttons->addWidget(more);
        layout->addLayout(buttons);
        read->setDefault(true);

        connect(read, &QPushButton::clicked, this, &QDialog::accept);
        connect(refuse, &QPushButton::clicked, this, &QDialog::reject);
        connect(more, &QPushButton::clicked, this, [this] {
            card_box(this, long_descriptions(_items), QMessageBox::Information, QMessageBox::Ok, QMessageBox::Ok);
        });
    }
    ~Reading_dialog() override
    {
        if (_pin) {
            // Qt keeps the text in its own buffers; overwrite what can be reached.
            _pin->setText(QString(_pin->maxLength(), QLatin1Char('0')));
            _pin->clear();
        }
    }

    Pin_text take_pin()
    {
        QByteArray bytes = _pin->text().toUtf8();
        Pin_text pin(std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())));
        bytes.fill('\0');
        return pin;
    }

private:
    const std::vector<CNS_known_file_info> _items;
    QLineEdit* _pin = nullptr;
};

} // namespace

bool consent(const std::vector<CNS_known_file_info>& items)
{
    if (on_terminal())
        return terminal::consent(items);
    Gui_session session;
    QWidget* owner = active_owner();
    Topmost_pause pause(owner);
    Reading_dialog dialog(items, false, owner);
    return dialog.exec() == QDialog::Accepted;
}

std::optional<Pin_text> pin(const CNS_known_file_info& info)
{
    if (on_terminal())
        return terminal::pin(info);
    Gui_session session;
    QWidget* owner = active_owner();
    Topmost_pause pause(owner);
    Reading_dialog dialog({info}, true, owner);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return dialog.take_pin();
}

void wrong_pin()
{
    if (on_terminal())
        return terminal::wrong_pin(Wrong_pin_text);
    Gui_session session;
    card_box(active_owner(), Wrong_pin_text, QMessageBox::Information, QMessageBox::Ok, QMessageBox::Ok);
}

bool property_consent()
{
    if (on_terminal())
        return terminal::property_consent(Property_question);
    Gui_session session;
    return card_box(active_owner(), Property_question, QMessageBox::Question, QMessageBox::Yes | QMessageBox::No,
                    QMessageBox::No) == QMessageBox::Yes;
}

} // namespace velin::cardlib::qt_dialogs
