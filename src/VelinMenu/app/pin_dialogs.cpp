#include "VelinMenu/app/pin_dialogs.h"

#include "card_channel/scard.h"
#include "card_io/status_words.h"
#include "common/message_box.h"
#include "common/secret_field.h"
#include "common/trace.h"
#include "ui_pin_dialog.h"

namespace velin {

Pin_dialog::Pin_dialog(QWidget* parent, const QString& title, const QString& first_label)
    : QDialog(parent), _ui(std::make_unique<Ui::Pin_dialog>())
{
    _ui->setupUi(this);
    setWindowTitle(title);
    _ui->first_label->setText(first_label);
    for (QLineEdit* field : {_ui->first_field, _ui->new_pin_field, _ui->confirmation_field})
        connect(field, &QLineEdit::textChanged, this, &Pin_dialog::update_ok);
    connect(_ui->ok_button, &QPushButton::clicked, this, &Pin_dialog::on_ok);
    connect(_ui->cancel_button, &QPushButton::clicked, this, &QDialog::reject);
    connect(this, &QDialog::finished, this, &Pin_dialog::wipe_fields);
    update_ok();
}

Pin_dialog::~Pin_dialog()
{
    wipe_fields();
}

void Pin_dialog::wipe_fields()
{
    for (QLineEdit* field : {_ui->first_field, _ui->new_pin_field, _ui->confirmation_field})
        wipe_field(*field);
}

void Pin_dialog::update_ok()
{
    _ui->ok_button->setEnabled(!_ui->first_field->text().isEmpty() && !_ui->new_pin_field->text().isEmpty() &&
                               !_ui->confirmation_field->text().isEmpty());
}

int Pin_dialog::message(const std::string& text, unsigned flags)
{
    return message_box(text, flags, this, Suite_caption);
}

void Pin_dialog::reset_new_pin()
{
    wipe_field(*_ui->new_pin_field);
    wipe_field(*_ui->confirmation_field);
    _ui->new_pin_field->setFocus();
    update_ok();
}

void Pin_dialog::reset_first_field()
{
    wipe_field(*_ui->first_field);
    _ui->first_field->setFocus();
    update_ok();
}

void Pin_dialog::on_ok()
{
    Pin_outcome outcome = Pin_stay_open;
    try {
        outcome = _logic->on_ok(field_secret(*_ui->first_field), field_secret(*_ui->new_pin_field),
                                field_secret(*_ui->confirmation_field));
    } catch (const Scard_error& error) {
        // The card or the reader failed under the command: said once, the dialog stays open.
        Trace(Trace_kind, Level_error) << "Eccezione: " << error.what();
        message_box(card_failure_text(error.code()), MB_OK | MB_ICONERROR, this, Suite_caption);
    } catch (const std::exception& error) {
        Trace(Trace_kind, Level_error) << "Eccezione: " << error.what();
        message_box(error.what(), MB_OK | MB_ICONERROR, this, Suite_caption);
    }
    if (outcome == Pin_close_ok)
        accept();
    else if (outcome == Pin_close_cancel)
        reject();
}

Pin_change_dialog::Pin_change_dialog(QWidget* parent, Pin_dialog_logic::Card_search search)
    : Pin_dialog(parent, QString::fromUtf8("Cambia il PIN"), QString::fromUtf8("&Vecchio PIN:"))
{
    set_logic(std::make_unique<Pin_change_logic>(*this, std::move(search)));
}

Pin_unblock_dialog::Pin_unblock_dialog(QWidget* parent, Pin_dialog_logic::Card_search search)
    : Pin_dialog(parent, QString::fromUtf8("Sblocca il PIN"), QString::fromUtf8("&PUK:"))
{
    set_logic(std::make_unique<Pin_unblock_logic>(*this, std::move(search)));
}

} // namespace velin
