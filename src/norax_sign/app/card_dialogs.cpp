#include "norax_sign/app/card_dialogs.h"

#include "card_io/status_words.h"
#include "common/message_box.h"
#include "common/secret_field.h"
#include "common/trace.h"
#include "ui_insert_card_dialog.h"
#include "ui_pin_entry_dialog.h"

#include <QRegularExpressionValidator>

#include <exception>

namespace velin {

InsertCardDialog::InsertCardDialog(QWidget* parent) : QDialog(parent), _ui(std::make_unique<Ui::Insert_card_dialog>())
{
    _ui->setupUi(this);
    _ui->card_icon->setPixmap(windowIcon().pixmap(32, 32));
    connect(_ui->cancel_button, &QPushButton::clicked, this, &QDialog::reject);
    _timer.setInterval(Search_period_ms);
    connect(&_timer, &QTimer::timeout, this, &InsertCardDialog::search_again);
}

InsertCardDialog::~InsertCardDialog() = default;

int InsertCardDialog::run()
{
    if (!_search.list_readers()) {
        message_box("Errore durante la rilevazione dei lettori.", MB_OK | MB_ICONERROR, parentWidget(), Suite_caption);
        return Dialog_failed;
    }
    if (_search.search())
        return IDOK;
    _timer.start();
    if (!_timer.isActive()) {
        message_box("Si è verificato un errore.", MB_OK | MB_ICONERROR, parentWidget(), Suite_caption);
        return Dialog_failed;
    }
    const int result = exec() == QDialog::Accepted ? IDOK : IDCANCEL;
    _timer.stop();
    return result;
}

void InsertCardDialog::search_again()
{
    try {
        if (_search.search()) {
            _timer.stop();
            accept();
        }
    } catch (const std::exception& error) {
        // Keeps the dialog open: the next tick tries again.
        Trace(Trace_kind, Level_info) << "Eccezione: " << error.what();
    }
}

Dlg_Pin::Dlg_Pin(std::shared_ptr<ISCard> card, QWidget* parent)
    : QDialog(parent), _ui(std::make_unique<Ui::Pin_entry_dialog>()), _card(std::move(card))
{
    _ui->setupUi(this);
    _ui->pin_field->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,8}")), _ui->pin_field));
    connect(_ui->pin_field, &QLineEdit::textChanged, this, &Dlg_Pin::update_ok);
    connect(_ui->ok_button, &QPushButton::clicked, this, &Dlg_Pin::on_ok);
    connect(_ui->cancel_button, &QPushButton::clicked, this, &QDialog::reject);
    connect(this, &QDialog::finished, this, [this] { wipe_field(*_ui->pin_field); });
    // A card with a signature application signs with that key, under its own PIN: that PIN is the
    // one asked for and checked.
    if (_card) {
        try {
            _pin_reference = signing_pin_reference(*_card);
        } catch (const std::exception& error) {
            Trace(Trace_kind, Level_info) << "Eccezione: " << error.what();
        }
        if (_pin_reference == Signature_pin_reference)
            _ui->pin_label->setText(QStringLiteral("Inserire il PIN di firma:"));
    }
    update_ok();
}

Dlg_Pin::~Dlg_Pin()
{
    wipe_field(*_ui->pin_field);
}

int Dlg_Pin::run()
{
    const int result = exec();
    return result == QDialog::Rejected ? IDCANCEL : result;
}

Pin_text Dlg_Pin::take_pin()
{
    return std::move(_accepted_pin);
}

void Dlg_Pin::update_ok()
{
    _ui->ok_button->setEnabled(pin_can_be_confirmed(field_secret(*_ui->pin_field).view()));
}

void Dlg_Pin::on_ok()
{
    Pin_text pin = field_secret(*_ui->pin_field);
    uint32_t result = Pin_status_unknown;
    std::optional<int> tries;
    try {
        result = verify_card_pin(*_card, pin.view(), _pin_reference, &tries);
    } catch (const std::exception& error) {
        Trace(Trace_kind, Level_info) << "Eccezione: " << error.what();
    }
    if (result == 0) {
        _accepted_pin = std::move(pin);
        accept();
        return;
    }
    pin.wipe();
    // The card's own count: the wrong PIN that used the last try has blocked it.
    if (result == Pin_wrong && tries == 0)
        result = Pin_blocked;
    if (result == Pin_wrong) {
        message_box(with_tries_left("Il PIN è sbagliato.\n\nRiprova.", tries), MB_OK | MB_ICONERROR, this,
                    Suite_caption);
        wipe_field(*_ui->pin_field);
        update_ok();
        _ui->pin_field->setFocus();
        return;
    }
    message_box(result == Pin_blocked ? "Il PIN è bloccato." : "Si è verificato un errore.", MB_OK | MB_ICONERROR, this,
                Suite_caption);
    done(Dialog_failed);
}

} // namespace velin
