// Dlg_update: the main window of `velin-verify /update`. It never shows itself; it runs the
// update run when it opens, each transfer in a Dlg_check_updates, and ends with the run's result.
#pragma once

#include "VelinVerify/update/update_run.h"

#include <QDialog>

#include <chrono>

namespace velin {

class Dlg_update : public QDialog, private Update_host {
    Q_OBJECT

public:
    Dlg_update(Update_configuration configuration, std::chrono::milliseconds poll_interval = std::chrono::seconds(1),
               QWidget* parent = nullptr);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void run();
    void unexpected_failure();

    void run_transfer(Update_transfer& transfer, bool show_errors) override;
    int message(const std::string& text, unsigned flags) override;
    bool open_folder(const std::string& folder) override;

    Update_run _run;
    std::chrono::milliseconds _poll_interval;
    bool _started = false;
};

} // namespace velin
