// Dlg_check_updates: the window of one transfer of the update run. It never shows itself (it is
// kept off the screen): it only holds the event loop while the transfer runs, polls it every
// second and, when asked, shows its failure. Its result is the transfer's outcome.
#pragma once

#include "VelinVerify/update/update_transfer.h"

#include <QDialog>
#include <QTimer>

#include <chrono>
#include <memory>

namespace Ui {
class Dlg_check_updates;
}

namespace velin {

class Dlg_check_updates : public QDialog {
    Q_OBJECT

public:
    // The transfer is requested already (text or file); the dialog starts it when it opens.
    Dlg_check_updates(Update_transfer& transfer, bool show_errors,
                      std::chrono::milliseconds poll_interval = std::chrono::seconds(1), QWidget* parent = nullptr);
    ~Dlg_check_updates() override;

protected:
    void showEvent(QShowEvent* event) override;
    void reject() override;

private:
    void start();
    void tick();
    void finish();
    // No exception leaves a slot: one ends the transfer as failed.
    template <class Action>
    void guarded(Action action);
    void end_failed();

    std::unique_ptr<Ui::Dlg_check_updates> _ui;
    Update_transfer& _transfer;
    bool _show_errors;
    bool _started = false;
    QTimer _timer;
};

} // namespace velin
