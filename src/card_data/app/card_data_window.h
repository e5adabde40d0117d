// The card-data page: the fields read from the card, "Copia" (all of them as text) and
// "Aggiorna" (read again, for example after another card was inserted). What "Copia" put in the
// clipboard leaves it with the window.
#pragma once

#include "card_data/card_data.h"

#include <QDialog>

#include <functional>
#include <memory>

namespace Ui {
class Card_data_window;
}

namespace velin {

class Card_data_window : public QDialog {
    Q_OBJECT

public:
    // read gives the data shown; it is called on opening and by "Aggiorna".
    explicit Card_data_window(std::function<Card_data()> read, QWidget* parent = nullptr);
    ~Card_data_window() override;

    void refresh();
    void copy_to_clipboard();
    const Card_data& data() const { return _data; }

private:
    void show_data();

    std::unique_ptr<Ui::Card_data_window> _ui;
    std::function<Card_data()> _read;
    Card_data _data;
    QString _copied; // what "Copia" put in the clipboard
};

} // namespace velin
