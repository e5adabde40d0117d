// Types the next PIN of a script into the signer's PIN dialog whenever one is open, and presses OK.
#pragma once

#include "norax_sign/app/card_dialogs.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <deque>

namespace velin::test {

class Pin_typist : public QObject {
public:
    explicit Pin_typist(std::deque<QString> pins) : _pins(std::move(pins))
    {
        connect(&_timer, &QTimer::timeout, this, [this] {
            auto* dialog = qobject_cast<Dlg_Pin*>(QApplication::activeModalWidget());
            if (!dialog || _pins.empty())
                return;
            auto* field = dialog->findChild<QLineEdit*>("pin_field");
            if (!field->text().isEmpty())
                return;
            field->setText(_pins.front());
            held = field->text();
            _pins.pop_front();
            ++typed;
            dialog->findChild<QPushButton*>("ok_button")->click();
        });
        _timer.start(20);
    }
    int typed = 0;
    QString held; // shares the field's buffer with the last PIN typed

private:
    std::deque<QString> _pins;
    QTimer _timer;
};

} // namespace velin::test
