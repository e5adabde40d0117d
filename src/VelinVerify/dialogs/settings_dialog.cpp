#include "VelinVerify/dialogs/settings_dialog.h"

#include "common/launcher.h"
#include "common/settings_record.h"
#include "ui_settings_dialog.h"

namespace velin {

Settings_dialog::Settings_dialog(Settings_record& settings, QWidget* parent)
    : QDialog(parent), _settings(settings), _ui(std::make_unique<Ui::Settings_dialog>())
{
    _ui->setupUi(this);
    _ui->verify_revocation_box->setChecked(settings.VerificaCRL);
    _ui->update_revocation_box->setChecked(settings.AggiornaCRL);
    apply_revocation_rule();
    // clicked, not toggled: the rule follows the user's clicks, as the record's values are shown
    // as they are on opening.
    connect(_ui->verify_revocation_box, &QCheckBox::clicked, this, &Settings_dialog::apply_revocation_rule);
    connect(_ui->ok_button, &QPushButton::clicked, this, &Settings_dialog::on_ok);
    // The interactive update run, as from the menu's settings.
    connect(_ui->check_now_button, &QPushButton::clicked, this, [] { start_update_run(false); });
    connect(_ui->cancel_button, &QPushButton::clicked, this, &QDialog::reject);
}

Settings_dialog::~Settings_dialog() = default;

void Settings_dialog::apply_revocation_rule()
{
    const bool verify = _ui->verify_revocation_box->isChecked();
    _ui->update_revocation_box->setEnabled(verify);
    if (!verify)
        _ui->update_revocation_box->setChecked(false);
}

void Settings_dialog::on_ok()
{
    _settings.VerificaCRL = _ui->verify_revocation_box->isChecked();
    _settings.AggiornaCRL = _ui->update_revocation_box->isChecked();
    // A failed save shows up in the record's status only; the values stay for this run.
    _settings.save_user_part();
    accept();
}

} // namespace velin
