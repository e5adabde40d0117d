// The suite's entry window: a button for every function. Programs started from it run on their
// own; meanwhile the menu hides off-screen and comes back where it was when the program ends. It
// is run with run_dialog (menu_app.h), not exec(): hiding a dialog ends its exec().
#pragma once

#include <QDialog>
#include <QRect>
#include <QTimer>

#include <memory>
#include <string>

namespace Ui {
class Menu_dialog;
}

namespace velin {

class Settings_record;
class Sibling_process;

class CVelinMenuDlg : public QDialog {
    Q_OBJECT

public:
    static constexpr int Poll_period_ms = 111;

    explicit CVelinMenuDlg(Settings_record& settings, QWidget* parent = nullptr);
    ~CVelinMenuDlg() override;

    // Starts a sibling program; true when it started (the menu then hides until it ends).
    bool launch(const std::string& target);
    bool waiting_for_program() const { return _timer.isActive(); }
    // The program followed while the menu waits; none otherwise.
    const Sibling_process* program() const { return _program.get(); }

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void poll_program();
    void run_pin_dialog(QDialog& dialog);
    void show_about();

    Settings_record& _settings;
    std::unique_ptr<Ui::Menu_dialog> _ui;
    std::unique_ptr<Sibling_process> _program;
    QTimer _timer;
    QRect _saved_geometry;
};

} // namespace velin
