// The activity report: a copy of this program's trace log handed to the PC check tool, which
// builds a support report around it.
#pragma once

#include <QDialog>

#include <memory>
#include <string>

namespace Ui {
class Dialog_log_report;
}

namespace velin {

// The PC check tool, started from this program's folder.
extern const char* const Pc_check_tool_name; // "Velin Manager - Verifica PC"

// Where the copy of the log goes: "Velin_Manager_RAPPORTO_ATTIVITA.log" in the user's private
// runtime folder (the one that holds the logs), or the bare name in the current folder when that
// folder cannot be had.
std::string activity_report_path();

// Copies the file at `source` to `destination`, replacing an earlier copy. The copy is created
// 0600 and never written through a link or into anything but a regular file. False on failure.
bool copy_log_file(const std::string& source, const std::string& destination);

// The menu command: copies the current trace log (a failed copy is ignored) and runs
// Dialog_log_report modally with the copy's path.
void run_activity_report(QWidget* parent = nullptr);

class Dialog_log_report : public QDialog {
    Q_OBJECT

public:
    explicit Dialog_log_report(std::string log_copy_path, QWidget* parent = nullptr);
    ~Dialog_log_report() override;

    const std::string& log_copy_path() const { return _log_copy_path; }

protected:
    // While the tool runs the window cannot be closed: it closes by itself when the tool ends.
    void closeEvent(QCloseEvent* event) override;

private:
    // Starts the PC check tool with the copy's path as its only argument and waits for it with
    // the busy cursor, then closes with OK. When it cannot be started nothing happens.
    void on_generate();

    std::string _log_copy_path;
    bool _tool_running = false;
    std::unique_ptr<Ui::Dialog_log_report> _ui;
};

} // namespace velin
