// The support request window: the user's name, surname, address (twice) and description, the
// report text; "Invia richiesta di supporto" checks the form and sends the mail.
#pragma once

#include "pccheck/pc_check_settings.h"
#include "pccheck/support_request.h"

#include <QDialog>

#include <functional>
#include <memory>

namespace Ui {
class Support_dialog;
}

namespace velin::pccheck {

using Support_sender = std::function<Send_result(const Support_form& form)>;

class Support_dialog : public QDialog {
    Q_OBJECT
public:
    // sender empty: send_support_request with the settings.
    Support_dialog(const std::string& report_text, Pc_check_settings settings, Support_sender sender = {},
                   QWidget* parent = nullptr);
    ~Support_dialog() override;

private:
    void on_send();

    Pc_check_settings _settings;
    Support_sender _sender;
    std::string _report_text;
    std::unique_ptr<Ui::Support_dialog> _ui;
};

} // namespace velin::pccheck
