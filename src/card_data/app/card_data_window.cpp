#include "card_data/app/card_data_window.h"

#include "common/failure.h"
#include "ui_card_data_window.h"

#include <QApplication>
#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>

namespace velin {

Card_data_window::Card_data_window(std::function<Card_data()> read, QWidget* parent)
    : QDialog(parent), _ui(std::make_unique<Ui::Card_data_window>()), _read(std::move(read))
{
    _ui->setupUi(this);
    connect(_ui->copy_button, &QPushButton::clicked, this, &Card_data_window::copy_to_clipboard);
    connect(_ui->refresh_button, &QPushButton::clicked, this, &Card_data_window::refresh);
    connect(_ui->close_button, &QPushButton::clicked, this, &QDialog::accept);
}

Card_data_window::~Card_data_window()
{
    // What was shown stays in no clipboard and no widget longer than the window: the clipboard
    // is emptied unless something else was copied since.
    if (!_copied.isEmpty() && QGuiApplication::clipboard()->text() == _copied)
        QGuiApplication::clipboard()->clear();
    _data = {};
}

void Card_data_window::refresh()
{
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    try {
        _data = _read();
    } catch (...) {
        trace_current_exception();
        _data = {};
        _data.failures.push_back({"Dati della carta", 0, "Si è verificato un errore durante la lettura della carta."});
    }
    QGuiApplication::restoreOverrideCursor();
    show_data();
}

void Card_data_window::show_data()
{
    while (_ui->fields_layout->rowCount() > 0)
        _ui->fields_layout->removeRow(0);
    for (const Card_data_row& row : _data.rows) {
        auto* value = new QLabel(QString::fromStdString(row.value));
        value->setObjectName(QString::fromStdString(row.key));
        value->setTextInteractionFlags(Qt::TextSelectableByMouse);
        value->setWordWrap(true);
        _ui->fields_layout->addRow(QString::fromStdString(row.label + ":"), value);
    }
    QString failures;
    for (const Card_data_failure& failure : _data.failures)
        failures += QString::fromStdString(failure.what + ": " + failure.text +
                                           (failure.code ? " (" + code_text(failure.code) + ")" : "") + "\n");
    _ui->failure_label->setText(failures.trimmed());
    _ui->failure_label->setVisible(!failures.isEmpty());
    _ui->copy_button->setEnabled(!_data.rows.empty());
}

void Card_data_window::copy_to_clipboard()
{
    _copied = QString::fromStdString(_data.as_text());
    QGuiApplication::clipboard()->setText(_copied);
}

} // namespace velin
