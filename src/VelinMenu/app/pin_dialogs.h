// The PIN change and PIN unblock windows: three fields of at most 8 characters, OK enabled only
// while all three hold something, and the logic of the OK button behind them.
#pragma once

#include "VelinMenu/pin/pin_dialog_logic.h"

#include <QDialog>

#include <memory>

namespace Ui {
class Pin_dialog;
}

namespace velin {

class Pin_dialog : public QDialog, public Pin_dialog_view {
    Q_OBJECT

public:
    ~Pin_dialog() override;

    int message(const std::string& text, unsigned flags) override;
    void reset_new_pin() override;
    void reset_first_field() override;

protected:
    Pin_dialog(QWidget* parent, const QString& title, const QString& first_label);
    void set_logic(std::unique_ptr<Pin_dialog_logic> logic) { _logic = std::move(logic); }

private:
    void update_ok();
    void on_ok();
    // The typed secrets are overwritten in the fields' own buffers when the dialog closes.
    void wipe_fields();

    std::unique_ptr<Ui::Pin_dialog> _ui;
    std::unique_ptr<Pin_dialog_logic> _logic;
};

class Pin_change_dialog : public Pin_dialog {
public:
    explicit Pin_change_dialog(QWidget* parent = nullptr, Pin_dialog_logic::Card_search search = nullptr);
};

class Pin_unblock_dialog : public Pin_dialog {
public:
    explicit Pin_unblock_dialog(QWidget* parent = nullptr, Pin_dialog_logic::Card_search search = nullptr);
};

} // namespace velin
