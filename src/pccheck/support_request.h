// The support request: the form's checks, the mail body and its delivery over SMTP.
#pragma once

#include "pccheck/pc_check_settings.h"

#include <string>

namespace velin::pccheck {

struct Support_form {
    std::string name;
    std::string surname;
    std::string email;
    std::string email_again;
    std::string description;
    std::string report; // the report text shown in the window
};

enum class Form_field { None, Description, Name, Surname, Email, Email_again };

struct Form_check {
    Form_field field = Form_field::None; // where the focus goes; None when the form is complete
    std::string message;
};

// The checks in the form's order: description, name, surname, e-mail, the two addresses equal;
// then an address a mail server could take (one "@", no blanks or line breaks).
Form_check check_support_form(const Support_form& form);

// "NOME: ", "COGNOME: ", "PROBLEMA: ", "TRACCIATO: " with their values, one after the other.
std::string support_request_body(const Support_form& form);

// The whole message as it goes on the wire: headers (subject "Richiesta di assistenza", the
// user's address as sender, the support mailbox as recipient), then the body in UTF-8 with CRLF
// line ends and no line longer than an SMTP server accepts.
std::string support_request_message(const Support_form& form, const std::string& mailbox);

struct Send_result {
    bool sent = false;
    std::string failure; // libcurl's text when not sent, for the trace
};

// Sends the request with libcurl to the server of the settings (STARTTLS required when set).
Send_result send_support_request(const Support_form& form, const Pc_check_settings& settings);

extern const char* const Request_sent_text; // "Ho inviato la richiesta di assistenza.\nGrazie..."
extern const char* const Request_failed_text; // "L'invio della richiesta ... non è riuscito.\n\nChiama..."

} // namespace velin::pccheck
