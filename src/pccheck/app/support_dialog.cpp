#include "pccheck/app/support_dialog.h"

#include "common/message_box.h"
#include "common/trace.h"
#include "ui_support_dialog.h"

#include <QApplication>

namespace velin::pccheck {

Support_dialog::Support_dialog(const std::string& report_text, Pc_check_settings settings, Support_sender sender,
                               QWidget* parent)
    : QDialog(parent),
      _settings(std::move(settings)),
      _sender(std::move(sender)),
      _report_text(report_text),
      _ui(std::make_unique<Ui::Support_dialog>())
{
    _ui->setupUi(this);
    _ui->report_box->setPlainText(QString::fromStdString(report_text));
    if (!_sender) {
        _sender = [this](const Support_form& form) { return send_support_request(form, _settings); };
    }
    connect(_ui->send_button, &QPushButton::clicked, this, &Support_dialog::on_send);
    connect(_ui->cancel_button, &QPushButton::clicked, this, &QDialog::reject);
}

Support_dialog::~Support_dialog() = default;

void Support_dialog::on_send()
{
    Support_form form;
    form.name = _ui->name_field->text().toStdString();
    form.surname = _ui->surname_field->text().toStdString();
    form.email = _ui->email_field->text().trimmed().toStdString();
    form.email_again = _ui->email_again_field->text().trimmed().toStdString();
    form.description = _ui->description_field->toPlainText().toStdString();
    form.report = _report_text;
    const Form_check check = check_support_form(form);
    if (check.field != Form_field::None) {
        message_box(check.message, MB_OK | MB_ICONWARNING, this, Suite_caption);
        QWidget* field = nullptr;
        switch (check.field) {
        case Form_field::Description:
            field = _ui->description_field;
            break;
        case Form_field::Name:
            field = _ui->name_field;
            break;
        case Form_field::Surname:
            field = _ui->surname_field;
            break;
        case Form_field::Email:
            field = _ui->email_field;
            break;
        case Form_field::Email_again:
            field = _ui->email_again_field;
            break;
        case Form_field::None:
            break;
        }
        if (field)
            field->setFocus(Qt::OtherFocusReason);
        return;
    }
    Send_result result;
    {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        try {
            result = _sender(form);
        } catch (const std::exception& error) {
            result.failure = error.what();
        }
        QApplication::restoreOverrideCursor();
    }
    if (result.sent) {
        message_box(Request_sent_text, MB_OK | MB_ICONINFORMATION, this, Suite_caption);
        accept();
    } else {
        // The form stays filled in: the user may try again or call.
        message_box(Request_failed_text, MB_OK | MB_ICONERROR, this, Suite_caption);
    }
}

} // namespace velin::pccheck
