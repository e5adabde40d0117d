// Answers the card library's dialogs (and any message box) as a holder at the keyboard would:
// each new modal window gets the next answer of a list: yes, no, more (ask for the description),
// ok, pin:DIGITS. Every window answered is described on stderr. Used by norax-read and by the
// tests of programs that load the library.
#pragma once

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <deque>
#include <string>
#include <vector>

namespace norax_read {

// Answers each new modal window with the next answer of the list.
class Dialog_answerer {
public:
    size_t answers_left() const { return _answers.size(); }
    // Each window answered, as described on stderr.
    const std::vector<std::string>& seen() const { return _seen; }

    explicit Dialog_answerer(std::deque<std::string> answers) : _answers(std::move(answers))
    {
        QObject::connect(&_timer, &QTimer::timeout, [this] { poll(); });
        _timer.start(20);
    }

private:
    void poll()
    {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || modal == _last)
            return;
        _last = modal;
        _seen.push_back(describe(modal));
        if (_answers.empty()) {
            std::fprintf(stderr, "norax-read: no answer left; closing the window\n");
            modal->close();
            return;
        }
        const std::string answer = _answers.front();
        _answers.pop_front();
        // Let the window finish showing before it is answered.
        QPointer<QWidget> target = modal;
        QTimer::singleShot(10, [target, answer] {
            if (target)
                press(target, answer);
        });
    }

    static std::string describe(QWidget* modal)
    {
        std::string line;
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            line = "box [" + box->windowTitle().toStdString() + "]: " + box->text().toStdString();
        } else {
            std::string text;
            for (QLabel* label : modal->findChildren<QLabel*>())
                text += (text.empty() ? "" : " | ") + label->text().toStdString();
            line = "dialog [" + modal->windowTitle().toStdString() + "]" +
                   (modal->findChild<QLineEdit*>("pin_field") ? " with PIN" : "") + ": " + text;
        }
        std::fprintf(stderr, "%s\n", line.c_str());
        return line;
    }

    static void press(QWidget* modal, const std::string& answer)
    {
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            const QMessageBox::StandardButton which = answer == "yes"  ? QMessageBox::Yes
                                                      : answer == "no" ? QMessageBox::No
                                                                       : QMessageBox::Ok;
            if (QAbstractButton* button = box->button(which))
                button->click();
            else
                box->close();
            return;
        }
        if (answer.rfind("pin:", 0) == 0) {
            if (auto* field = modal->findChild<QLineEdit*>("pin_field"))
                field->setText(QString::fromStdString(answer.substr(4)));
        }
        const char* name = answer == "no" ? "refuse_button" : answer == "more" ? "more_button" : "read_button";
        auto* button = modal->findChild<QPushButton*>(name);
        if (button && button->isEnabled())
            button->click();
        else
            modal->close();
    }

    std::deque<std::string> _answers;
    std::vector<std::string> _seen;
    QPointer<QWidget> _last;
    QTimer _timer;
};

} // namespace norax_read
