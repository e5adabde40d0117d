// The PC check's window: the messages of the run as it goes, "Esci", "Apri cartella..." (after a
// problem) and "Chiedi assistenza..." (at the end). The run starts once the window exists and
// goes one check at a time, so the window paints in between.
#pragma once

#include "pccheck/app/support_dialog.h"
#include "pccheck/check_report.h"
#include "pccheck/pc_check.h"

#include <QDialog>

#include <memory>

namespace Ui {
class Pc_check_window;
}

namespace velin::pccheck {

class Pc_check_window : public QDialog {
    Q_OBJECT
public:
    // The report at report_path is created empty when the run starts.
    Pc_check_window(Pc_environment environment, Pc_check_settings settings, std::string report_path,
                    QWidget* parent = nullptr);
    ~Pc_check_window() override;

    bool run_finished() const { return _finished; }
    const Check_report& report() const { return _report; }
    // Tests hand the support window another way to send.
    void set_support_sender(Support_sender sender) { _support_sender = std::move(sender); }

signals:
    void finished_run();

private:
    void step();
    void end_run();
    void open_folder();
    void ask_support();

    Pc_check_settings _settings;
    Check_report _report;
    std::unique_ptr<Pc_check> _check;
    Support_sender _support_sender;
    bool _finished = false;
    std::unique_ptr<Ui::Pc_check_window> _ui;
};

} // namespace velin::pccheck
