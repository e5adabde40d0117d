// The support request: the form's checks, the body, and its delivery to a loopback mailbox.
#include "pccheck/support_request.h"
#include "test_folder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <regex>
#include <thread>

#include <sys/wait.h>

namespace {

using namespace velin::pccheck;
using testing::HasSubstr;
using testing::Not;

Support_form complete_form()
{
    Support_form form;
    form.name = "Mario";
    form.surname = "Rossi";
    form.email = "mario.rossi@example.org";
    form.email_again = "mario.rossi@example.org";
    form.description = "La carta non viene letta.";
    form.report = "Analisi del PC.\nLettore Virtual PCD 00 00\n.\nFine del tracciato: ci sono dei problemi.";
    return form;
}

TEST(Support_form, the_five_checks_in_order_then_the_address)
{
    Support_form form;
    form.description = "  \n";
    EXPECT_EQ(check_support_form(form).field, Form_field::Description);
    EXPECT_EQ(check_support_form(form).message, "Hai dimenticato di descrivere cosa c'è che non va.");
    form.description = "Non va.";
    EXPECT_EQ(check_support_form(form).field, Form_field::Name);
    EXPECT_EQ(check_support_form(form).message, "Hai dimenticato di scrivere il tuo nome.");
    form.name = "Mario";
    EXPECT_EQ(check_support_form(form).message, "Hai dimenticato di scrivere il tuo cognome.");
    form.surname = "Rossi";
    EXPECT_EQ(check_support_form(form).field, Form_field::Email);
    EXPECT_EQ(check_support_form(form).message, "Hai dimenticato di scrivere la tua mail.");
    form.email = "mario@example.org";
    form.email_again = "mario@example.com";
    EXPECT_EQ(check_support_form(form).field, Form_field::Email_again);
    EXPECT_EQ(check_support_form(form).message, "Controlla i due indirizzi mail perché non sono uguali.");
    form.email_again = form.email;
    EXPECT_EQ(check_support_form(form).field, Form_field::None);

    // The address becomes the sender: nothing that could add a header or a recipient passes.
    for (const char* bad : {"mario", "@example.org", "mario@", "a@b@c", "mario@example.org\r\nBcc: x@y",
                            "mario rossi@example.org", "<x@y>", "x@y,z@w"}) {
        form.email = form.email_again = bad;
        EXPECT_EQ(check_support_form(form).field, Form_field::Email) << bad;
    }
}

TEST(Support_form, body_and_message)
{
    const Support_form form = complete_form();
    EXPECT_EQ(support_request_body(form), "NOME: Mario\nCOGNOME: Rossi\nPROBLEMA: La carta non viene letta.\n"
                                          "TRACCIATO: Analisi del PC.\nLettore Virtual PCD 00 00\n.\n"
                                          "Fine del tracciato: ci sono dei problemi.");
    Support_form long_lines = form;
    long_lines.report = std::string(2500, 'x') + "\r\nfine\rcarrello";
    const std::string message = support_request_message(long_lines, "assistenza@example.org");
    EXPECT_THAT(message, HasSubstr("From: <mario.rossi@example.org>\r\nTo: <assistenza@example.org>\r\n"
                                   "Subject: Richiesta di assistenza\r\n"));
    EXPECT_THAT(message, HasSubstr("Content-Type: text/plain; charset=UTF-8\r\n"));
    EXPECT_TRUE(std::regex_search(message, std::regex("^Date: [A-Z][a-z]{2}, \\d{2} [A-Z][a-z]{2} \\d{4} "
                                                      "\\d{2}:\\d{2}:\\d{2} [+-]\\d{4}\r\n")))
        << message.substr(0, 60);
    size_t longest = 0;
    for (size_t at = 0; at < message.size();) {
        const size_t end = message.find("\r\n", at);
        ASSERT_NE(end, std::string::npos);
        longest = std::max(longest, end - at);
        EXPECT_EQ(message.substr(at, end - at).find_first_of("\r\n"), std::string::npos);
        at = end + 2;
    }
    EXPECT_LE(longest, 998u);
    EXPECT_THAT(message, HasSubstr("\r\nfine carrello\r\n"));
}

// The loopback mailbox of smtp_sink.py: its port, and the file the message lands in.
class Mailbox {
public:
    explicit Mailbox(const std::filesystem::path& file) : _file(file)
    {
        const std::string command =
            std::string("python3 ") + VELIN_SOURCE_DIR + "/tests/unit/pccheck/smtp_sink.py '" + file.string() + "'";
        _pipe = ::popen(command.c_str(), "r");
        if (!_pipe || std::fscanf(_pipe, "%d", &_port) != 1)
            ADD_FAILURE() << "the loopback SMTP server did not start (python3 needed)";
    }
    ~Mailbox()
    {
        if (_pipe)
            ::pclose(_pipe);
    }
    int port() const { return _port; }
    // Waits for the server to end (it ends after one session) and returns what it received.
    std::string received()
    {
        if (_pipe) {
            ::pclose(_pipe);
            _pipe = nullptr;
        }
        return std::filesystem::exists(_file) ? velin::test::read_file(_file) : std::string();
    }

private:
    std::filesystem::path _file;
    FILE* _pipe = nullptr;
    int _port = 0;
};

TEST(Support_request, reaches_a_loopback_mailbox_with_the_report)
{
    velin::test::Test_folder folder;
    Mailbox mailbox(folder / "mail.txt");
    ASSERT_NE(mailbox.port(), 0);
    Pc_check_settings settings;
    settings.mail_server = "127.0.0.1";
    settings.mail_port = static_cast<uint32_t>(mailbox.port());
    settings.mail_starttls = false;
    settings.support_mailbox = "assistenza@example.org";
    const Send_result result = send_support_request(complete_form(), settings);
    EXPECT_TRUE(result.sent) << result.failure;
    const std::string mail = mailbox.received();
    EXPECT_THAT(mail, HasSubstr("MAIL FROM:<mario.rossi@example.org>"));
    EXPECT_THAT(mail, HasSubstr("RCPT TO:<assistenza@example.org>"));
    EXPECT_THAT(mail, HasSubstr("Subject: Richiesta di assistenza\r\n"));
    // The report's lone "." is escaped on the wire (the server reads it back as "..").
    EXPECT_THAT(mail, HasSubstr("\r\n\r\nNOME: Mario\r\nCOGNOME: Rossi\r\nPROBLEMA: La carta non viene letta.\r\n"
                                "TRACCIATO: Analisi del PC.\r\nLettore Virtual PCD 00 00\r\n..\r\n"
                                "Fine del tracciato: ci sono dei problemi.\r\n"));
}

TEST(Support_request, failures_are_reported_not_thrown)
{
    velin::test::Test_folder folder;
    Mailbox mailbox(folder / "mail.txt");
    ASSERT_NE(mailbox.port(), 0);
    // The server offers no STARTTLS: with it required (the default), nothing is sent.
    Pc_check_settings settings;
    settings.mail_server = "127.0.0.1";
    settings.mail_port = static_cast<uint32_t>(mailbox.port());
    const Send_result refused = send_support_request(complete_form(), settings);
    EXPECT_FALSE(refused.sent);
    EXPECT_FALSE(refused.failure.empty());
    EXPECT_EQ(mailbox.received(), "");

    // Nobody listens any more on that port.
    settings.mail_starttls = false;
    EXPECT_FALSE(send_support_request(complete_form(), settings).sent);
    // A mailbox setting that is no address.
    settings.support_mailbox = "assistenza\r\nBcc: x@y";
    EXPECT_FALSE(send_support_request(complete_form(), settings).sent);
}

} // namespace
