#include "pccheck/support_request.h"

#include "common/trace.h"
#include "net/mail_submission.h"

#include <boost/format.hpp>

#include <QByteArray>
#include <QDateTime>
#include <QLocale>

#include <algorithm>

namespace velin::pccheck {

const char* const Request_sent_text = "Ho inviato la richiesta di assistenza.\nGrazie per aver collaborato con noi.";
const char* const Request_failed_text = "L'invio della richiesta di assistenza non è riuscito.\n\nChiama l'assistenza.";

namespace {

// RFC 5322 allows 998 characters a line; the report's certificate lines are far shorter, but
// nothing stops a driver name from being longer.
constexpr size_t Max_line = 990;

bool usable_address(const std::string& address)
{
    const size_t at = address.find('@');
    if (at == std::string::npos || at == 0 || at + 1 == address.size() ||
        address.find('@', at + 1) != std::string::npos)
        return false;
    return std::none_of(address.begin(), address.end(), [](char c) {
        return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '<' || c == '>' || c == ',' ||
               static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
    });
}

bool is_blank(const std::string& text)
{
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
}

// The Date header in the form mail readers parse: English names, numeric zone.
std::string header_date()
{
    const QDateTime now = QDateTime::currentDateTime();
    const int offset = now.offsetFromUtc() / 60;
    const int magnitude = offset < 0 ? -offset : offset;
    return QLocale::c().toString(now, "ddd, dd MMM yyyy HH:mm:ss ").toStdString() + (offset < 0 ? "-" : "+") +
           (boost::format("%02d%02d") % (magnitude / 60) % (magnitude % 60)).str();
}

} // namespace

Form_check check_support_form(const Support_form& form)
{
    if (is_blank(form.description))
        return {Form_field::Description, "Hai dimenticato di descrivere cosa c'è che non va."};
    if (is_blank(form.name))
        return {Form_field::Name, "Hai dimenticato di scrivere il tuo nome."};
    if (is_blank(form.surname))
        return {Form_field::Surname, "Hai dimenticato di scrivere il tuo cognome."};
    if (is_blank(form.email))
        return {Form_field::Email, "Hai dimenticato di scrivere la tua mail."};
    if (form.email != form.email_again)
        return {Form_field::Email_again, "Controlla i due indirizzi mail perché non sono uguali."};
    // The address becomes the sender of the mail: a line break in it would add headers.
    if (!usable_address(form.email))
        return {Form_field::Email, "L'indirizzo mail non è valido."};
    return {};
}

std::string support_request_body(const Support_form& form)
{
    return "NOME: " + form.name + "\n" + "COGNOME: " + form.surname + "\n" + "PROBLEMA: " + form.description + "\n" +
           "TRACCIATO: " + form.report;
}

std::string support_request_message(const Support_form& form, const std::string& mailbox)
{
    std::string message;
    message += "Date: " + header_date() + "\r\n";
    message += "From: <" + form.email + ">\r\n";
    message += "To: <" + mailbox + ">\r\n";
    message += "Subject: Richiesta di assistenza\r\n";
    message += "MIME-Version: 1.0\r\n";
    message += "Content-Type: text/plain; charset=UTF-8\r\n";
    message += "Content-Transfer-Encoding: 8bit\r\n";
    message += "\r\n";
    const std::string body = support_request_body(form);
    size_t at = 0;
    while (at <= body.size()) {
        size_t end = body.find('\n', at);
        if (end == std::string::npos)
            end = body.size();
        std::string line = body.substr(at, end - at);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        // A lone CR inside a line would end it on some servers and not on others.
        std::replace(line.begin(), line.end(), '\r', ' ');
        while (line.size() > Max_line) {
            message += line.substr(0, Max_line) + "\r\n";
            line.erase(0, Max_line);
        }
        message += line + "\r\n";
        at = end + 1;
    }
    return message;
}

Send_result send_support_request(const Support_form& form, const Pc_check_settings& settings)
{
    Send_result result;
    if (!usable_address(form.email) || !usable_address(settings.support_mailbox)) {
        result.failure = "indirizzo non valido";
        return result;
    }
    Mail_submission mail;
    mail.server = settings.mail_server;
    mail.port = settings.mail_port;
    mail.require_tls = settings.mail_starttls;
    mail.sender = form.email;
    mail.recipient = settings.support_mailbox;
    mail.message = support_request_message(form, settings.support_mailbox);
    result.failure = submit_mail(mail);
    if (!result.failure.empty()) {
        Trace(Trace_kind, Level_error) << "Invio della richiesta di assistenza fallito: " << result.failure;
        return result;
    }
    Trace(Trace_kind, Level_info) << "Richiesta di assistenza inviata a " << settings.support_mailbox;
    result.sent = true;
    return result;
}

} // namespace velin::pccheck
