#include "VelinVerify/update/dlg_check_updates.h"

#include "common/message_box.h"
#include "common/trace.h"
#include "ui_dlg_check_updates.h"

#include <QPushButton>
#include <QShowEvent>

#include <exception>

namespace velin {

Dlg_check_updates::Dlg_check_updates(Update_transfer& transfer, bool show_errors,
                                     std::chrono::milliseconds poll_interval, QWidget* parent)
    : QDialog(parent), _ui(std::make_unique<Ui::Dlg_check_updates>()), _transfer(transfer), _show_errors(show_errors)
{
    _ui->setupUi(this);
    // The window runs modally but never reaches the screen.
    setAttribute(Qt::WA_DontShowOnScreen);
    _timer.setInterval(static_cast<int>(poll_interval.count()));
    connect(&_timer, &QTimer::timeout, this, &Dlg_check_updates::tick);
    connect(_ui->cancel_button, &QPushButton::clicked, this, &Dlg_check_updates::reject);
}

Dlg_check_updates::~Dlg_check_updates() = default;

void Dlg_check_updates::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    move(-32000, -32000);
    if (!_started) {
        _started = true;
        // Once exec() has its loop running: done() from inside show() would come too early.
        QTimer::singleShot(0, this, &Dlg_check_updates::start);
    }
}

void Dlg_check_updates::start()
{
    guarded([this] {
        if (_transfer.start())
            _timer.start();
        else
            finish(); // nothing would ever end a window whose request did not go out
    });
}

void Dlg_check_updates::tick()
{
    guarded([this] {
        if (_transfer.poll())
            finish();
    });
}

void Dlg_check_updates::finish()
{
    _timer.stop();
    if (_show_errors && !_transfer.error_text().empty())
        message_box(_transfer.error_text(), MB_OK | _transfer.error_icon(), nullptr, Suite_caption);
    done(_transfer.outcome());
}

template <class Action>
void Dlg_check_updates::guarded(Action action)
{
    try {
        action();
    } catch (const std::exception& error) {
        Trace(Trace_kind, Level_error) << "Trasferimento dell'aggiornamento fallito: " << error.what();
        end_failed();
    } catch (...) {
        Trace(Trace_kind, Level_error) << "Trasferimento dell'aggiornamento fallito.";
        end_failed();
    }
}

void Dlg_check_updates::end_failed()
{
    _timer.stop();
    _transfer.abandon();
    done(Update_transfer::Failed);
}

void Dlg_check_updates::reject()
{
    // "Annulla", or the window closed: the transfer in progress is abandoned.
    _timer.stop();
    _transfer.abandon();
    done(_transfer.outcome());
}

} // namespace velin
