// The verifier's options: whether revocation is checked and whether revocation lists may be
// downloaded ("&Verifica adesso" starts the interactive update run). Only the user part of the
// settings is written.
#pragma once

#include <QDialog>

#include <memory>

namespace Ui {
class Settings_dialog;
}

namespace velin {

class Settings_record;

class Settings_dialog : public QDialog {
    Q_OBJECT

public:
    Settings_dialog(Settings_record& settings, QWidget* parent = nullptr);
    ~Settings_dialog() override;

private:
    // The download box makes sense only while revocation is checked: enabled with it, and shown
    // unchecked whenever it is off.
    void apply_revocation_rule();
    void on_ok();

    Settings_record& _settings;
    std::unique_ptr<Ui::Settings_dialog> _ui;
};

} // namespace velin
