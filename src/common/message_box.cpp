#include "common/message_box.h"

#include "common/hex.h"
#include "common/settings_record.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QWindow>

#include <atomic>
#include <cstring>
#include <memory>

namespace velin {

const char* const Suite_caption = "Velin Manager";

namespace {

std::atomic<quintptr> starter{0};
Message_box_answerer answerer;

struct Button {
    int id;
    const char* caption; // the suite's own box
    QMessageBox::StandardButton standard; // the platform's box
    const char* platform_caption; // the platform's box, where Qt has no standard button
    QMessageBox::ButtonRole role;
};

constexpr Button Ok{IDOK, "OK", QMessageBox::Ok, nullptr, QMessageBox::AcceptRole};
constexpr Button Cancel{IDCANCEL, "Annulla", QMessageBox::Cancel, nullptr, QMessageBox::RejectRole};
constexpr Button Abort{IDABORT, "&Interrompi", QMessageBox::Abort, nullptr, QMessageBox::RejectRole};
constexpr Button Retry{IDRETRY, "&Riprova", QMessageBox::Retry, nullptr, QMessageBox::AcceptRole};
constexpr Button Ignore{IDIGNORE, "&Ignora", QMessageBox::Ignore, nullptr, QMessageBox::AcceptRole};
constexpr Button Yes{IDYES, "&Sì", QMessageBox::Yes, nullptr, QMessageBox::YesRole};
constexpr Button No{IDNO, "&No", QMessageBox::No, nullptr, QMessageBox::NoRole};
// Italian Windows captions "Try Again" like "Retry".
constexpr Button Try_again{IDTRYAGAIN, "&Riprova", QMessageBox::NoButton, "&Try Again", QMessageBox::AcceptRole};
constexpr Button Continue{IDCONTINUE, "&Continua", QMessageBox::NoButton, "&Continue", QMessageBox::AcceptRole};

std::vector<Button> buttons_of(unsigned flags)
{
    switch (flags & MB_TYPEMASK) {
    case MB_OKCANCEL:
        return {Ok, Cancel};
    case MB_ABORTRETRYIGNORE:
        return {Abort, Retry, Ignore};
    case MB_YESNOCANCEL:
        return {Yes, No, Cancel};
    case MB_YESNO:
        return {Yes, No};
    case MB_RETRYCANCEL:
        return {Retry, Cancel};
    case MB_CANCELTRYCONTINUE:
        return {Cancel, Try_again, Continue};
    default:
        return {Ok};
    }
}

QMessageBox::Icon icon_of(unsigned flags)
{
    switch (flags & MB_ICONMASK) {
    case MB_ICONERROR:
        return QMessageBox::Critical;
    case MB_ICONQUESTION:
        return QMessageBox::Question;
    case MB_ICONWARNING:
        return QMessageBox::Warning;
    case MB_ICONINFORMATION:
        return QMessageBox::Information;
    default:
        return QMessageBox::NoIcon;
    }
}

bool parse_parent_argument(const char* argument, quintptr& window)
{
    static constexpr char prefix[] = "/parent=0x";
    constexpr size_t prefix_length = sizeof prefix - 1;
    if (!argument || std::strlen(argument) != prefix_length + 8 || std::strncmp(argument, prefix, prefix_length) != 0)
        return false;
    quintptr value = 0;
    for (const char* c = argument + prefix_length; *c; ++c) {
        const int digit = hex_digit_value(*c);
        if (digit < 0)
            return false;
        value = value << 4 | static_cast<quintptr>(digit);
    }
    window = value;
    return true;
}

} // namespace

void set_message_box_answerer(Message_box_answerer new_answerer)
{
    answerer = std::move(new_answerer);
}

void set_starter_window_from_arguments(int argc, const char* const* argv)
{
    for (int i = 1; i < argc; ++i) {
        quintptr window = 0;
        if (parse_parent_argument(argv[i], window)) {
            starter = window;
            return;
        }
    }
}

void set_starter_window(quintptr window)
{
    starter = window;
}

quintptr starter_window()
{
    return starter;
}

int message_box(const std::string& text, unsigned flags, QWidget* owner, const char* caption,
                const std::vector<std::string>& button_captions)
{
    Message_box_request request;
    request.text = text;
    request.caption = caption ? caption : "Error";
    request.flags = flags | MB_TOPMOST;
    request.platform_box = (flags & MB_ICONMASK) == MB_ICONERROR && (flags & MB_SYSTEMMODAL) != 0;

    QWidget* const active = QApplication::activeWindow();
    if (owner) {
        request.owner_rule = Message_box_owner::Given;
        request.owner_widget = owner;
    } else if (active && active->isVisible()) {
        request.owner_rule = Message_box_owner::Active_window;
        request.owner_widget = active;
    } else if (starter_window() != 0) {
        request.owner_rule = Message_box_owner::Starter;
        request.owner_id = starter_window();
    }

    // The starter's window is another process's: it can only be a transient parent, and only
    // while the box is really shown. Declared before the box, so the box goes first.
    std::unique_ptr<QWindow> foreign_owner;
    QMessageBox box(icon_of(request.flags), QString::fromStdString(request.caption), QString::fromStdString(text),
                    QMessageBox::NoButton, request.owner_widget);
    box.setTextFormat(Qt::PlainText);
    box.setWindowFlag(Qt::WindowStaysOnTopHint, true);

    const std::vector<Button> buttons = buttons_of(request.flags);
    std::vector<QAbstractButton*> widgets;
    for (size_t i = 0; i < buttons.size(); ++i) {
        const Button& button = buttons[i];
        QAbstractButton* widget = nullptr;
        if (i < button_captions.size())
            widget = box.addButton(QString::fromStdString(button_captions[i]), button.role);
        else if (request.platform_box && button.standard != QMessageBox::NoButton)
            widget = box.addButton(button.standard);
        else
            widget = box.addButton(QString::fromUtf8(request.platform_box ? button.platform_caption : button.caption),
                                   button.role);
        widgets.push_back(widget);
        request.buttons.push_back(widget->text().toStdString());
        request.button_ids.push_back(button.id);
    }

    const size_t default_index = std::min<size_t>((request.flags & MB_DEFMASK) >> 8, buttons.size() - 1);
    request.default_button = buttons[default_index].id;
    if (auto* push = qobject_cast<QPushButton*>(widgets[default_index]))
        box.setDefaultButton(push);

    // As on Windows: closing the box means Cancel when it has one, OK when it is the only button.
    QAbstractButton* escape = nullptr;
    for (size_t i = 0; i < buttons.size(); ++i) {
        if (buttons[i].id == IDCANCEL || buttons.size() == 1) {
            escape = widgets[i];
            request.escape_button = buttons[i].id;
        }
    }
    if (escape)
        box.setEscapeButton(escape);
    if (!request.platform_box)
        request.beep = request.flags & MB_ICONMASK;

    if (answerer)
        return answerer(request);

    if (request.owner_rule == Message_box_owner::Starter) {
        foreign_owner.reset(QWindow::fromWinId(static_cast<WId>(request.owner_id)));
        if (foreign_owner) {
            box.winId();
            if (QWindow* handle = box.windowHandle())
                handle->setTransientParent(foreign_owner.get());
        }
    }
    if (!request.platform_box)
        QApplication::beep();
    box.exec();
    QAbstractButton* clicked = box.clickedButton();
    for (size_t i = 0; i < widgets.size(); ++i)
        if (widgets[i] == clicked)
            return buttons[i].id;
    return request.escape_button ? request.escape_button : IDCANCEL;
}

void save_all_settings(Settings_record& record)
{
    record.save_all(
        [](const std::string& message) { message_box(message, MB_OK | MB_ICONERROR, nullptr, Suite_caption); });
}

} // namespace velin
