// The card search and the PIN entry before a batch is signed. InsertCardDialog finds a CNS card
// in one of the readers (searching again every 50 ms while the user inserts it); Dlg_Pin checks
// the PIN of the key the signers use against that card. run() answers IDOK, IDCANCEL or 3 (no
// reader list, no PIN usable).
#pragma once

#include "common/pin_text.h"
#include "norax_sign/card_entry.h"

#include <QDialog>
#include <QTimer>

#include <memory>
#include <string>

namespace Ui {
class Insert_card_dialog;
class Pin_entry_dialog;
} // namespace Ui

namespace velin {

constexpr int Dialog_failed = 3;

class InsertCardDialog : public QDialog {
    Q_OBJECT

public:
    static constexpr int Search_period_ms = 50;

    explicit InsertCardDialog(QWidget* parent = nullptr);
    ~InsertCardDialog() override;

    // Lists the readers and searches; the dialog is shown only while no card is found.
    int run();

    const Card_search& search() const { return _search; }

private:
    void search_again();

    std::unique_ptr<Ui::Insert_card_dialog> _ui;
    Card_search _search;
    QTimer _timer;
};

class Dlg_Pin : public QDialog {
    Q_OBJECT

public:
    Dlg_Pin(std::shared_ptr<ISCard> card, QWidget* parent = nullptr);
    ~Dlg_Pin() override;

    int run();
    // The PIN the card accepted, moved out of the dialog (which keeps no copy). The field's text
    // is wiped in place when the dialog closes.
    Pin_text take_pin();

private:
    void update_ok();
    void on_ok();

    std::unique_ptr<Ui::Pin_entry_dialog> _ui;
    std::shared_ptr<ISCard> _card;
    uint8_t _pin_reference = Card_pin_reference;
    Pin_text _accepted_pin;
};

} // namespace velin
