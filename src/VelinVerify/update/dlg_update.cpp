#include "VelinVerify/update/dlg_update.h"

#include "VelinVerify/update/dlg_check_updates.h"
#include "common/message_box.h"
#include "common/shell_open.h"
#include "common/trace.h"

#include <QShowEvent>
#include <QTimer>

#include <exception>

namespace velin {

Dlg_update::Dlg_update(Update_configuration configuration, std::chrono::milliseconds poll_interval, QWidget* parent)
    : QDialog(parent), _run(std::move(configuration), *this), _poll_interval(poll_interval)
{
    setWindowTitle(QString::fromUtf8(Suite_caption));
    setAttribute(Qt::WA_DontShowOnScreen);
}

void Dlg_update::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    move(-32000, -32000);
    if (!_started) {
        _started = true;
        QTimer::singleShot(0, this, &Dlg_update::run);
    }
}

void Dlg_update::run()
{
    int result = 1;
    try {
        result = _run.run();
    } catch (const std::exception& error) {
        Trace(Trace_kind, Level_error) << "Aggiornamento interrotto: " << error.what();
        unexpected_failure();
    } catch (...) {
        Trace(Trace_kind, Level_error) << "Aggiornamento interrotto.";
        unexpected_failure();
    }
    done(result);
}

void Dlg_update::unexpected_failure()
{
    try {
        message_box("La verifica degli aggiornamenti si è interrotta per un errore imprevisto.", MB_OK | MB_ICONERROR,
                    nullptr, Suite_caption);
    } catch (...) {
        // Nothing more can be told; the run ends all the same.
    }
}

void Dlg_update::run_transfer(Update_transfer& transfer, bool show_errors)
{
    Dlg_check_updates dialog(transfer, show_errors, _poll_interval, this);
    dialog.exec();
}

int Dlg_update::message(const std::string& text, unsigned flags)
{
    return message_box(text, flags, nullptr, Suite_caption);
}

bool Dlg_update::open_folder(const std::string& folder)
{
    return shell_open(folder) == 0;
}

} // namespace velin
