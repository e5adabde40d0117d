// The holder's questions on the terminal, for a host that runs without windows from one (a batch
// run, --json): a line on standard error, the answer read from standard input. Bytes are read
// one at a time, so nothing the host itself reads later is taken from it.
#include "cardlib/terminal_prompt.h"

#include "cardlib/reading_prompt.h"

#include "common/trace.h"

#include <cerrno>
#include <cstdio>
#include <string>

#include <termios.h>
#include <unistd.h>

namespace velin::cardlib::terminal {

namespace {

// A line can hold a PIN or an answer; more than this is not an answer.
constexpr size_t Max_line = 64;
constexpr int Attempts = 3;

void say(const std::string& text)
{
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
}

// One line from standard input, without its end; nothing at the end of the input. Characters
// past Max_line are read and dropped.
template <class Sink>
bool read_line(Sink&& keep)
{
    bool any = false;
    for (;;) {
        char c = 0;
        const ssize_t got = ::read(STDIN_FILENO, &c, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return any;
        any = true;
        if (c == '\n')
            return true;
        if (c != '\r')
            keep(c);
    }
}

// Yes or no to question; no at the end of the input or after a few answers that are neither.
bool yes_or_no(const std::string& question)
{
    for (int attempt = 0; attempt < Attempts; ++attempt) {
        say(question + " " + Answer_hint);
        std::string answer;
        const bool read = read_line([&answer](char c) {
            if (answer.size() < Max_line)
                answer += c;
        });
        if (!read) {
            say("\n");
            return false;
        }
        while (!answer.empty() && answer.back() == ' ')
            answer.pop_back();
        while (!answer.empty() && answer.front() == ' ')
            answer.erase(0, 1);
        for (char& c : answer)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        if (answer == "s" || answer == "si" || answer == "sì")
            return true;
        if (answer == "n" || answer == "no")
            return false;
    }
    return false;
}

// Echo off on the terminal while the PIN is typed, back as it was afterwards.
class Hidden_input {
public:
    Hidden_input()
    {
        if (::tcgetattr(STDIN_FILENO, &_saved) == 0) {
            termios quiet = _saved;
            quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
            _changed = ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet) == 0;
        }
    }
    ~Hidden_input()
    {
        if (_changed)
            ::tcsetattr(STDIN_FILENO, TCSANOW, &_saved);
    }
    Hidden_input(const Hidden_input&) = delete;
    Hidden_input& operator=(const Hidden_input&) = delete;

private:
    termios _saved{};
    bool _changed = false;
};

// One item reads as one sentence; several stand one a line between its two halves.
std::string reading_request(const std::vector<CNS_known_file_info>& items)
{
    const char* between = items.size() == 1 ? " " : "\n";
    return std::string("\n") + Card_caption + " - LETTURA DATI\nL'applicazione ha chiesto di leggere" + between +
           listed_descriptions(items) + between + registered_on_card(items) + "\n" + Site_warning + "\n";
}

} // namespace

const char* const Answer_hint = "(s/n): ";
const char* const Site_warning = "Se sei connesso a Internet la richiesta potrebbe venire da un sito al quale sei "
                                 "collegato. In questo caso verifica che la richiesta sia coerente con le finalità "
                                 "del sito.";
const char* const Consent_question = "Autorizzi la lettura?";
const char* const Pin_question = "Autorizzo la lettura, questo è il PIN (invio vuoto per non leggere): ";

bool available()
{
    return ::isatty(STDIN_FILENO) == 1;
}

bool consent(const std::vector<CNS_known_file_info>& items)
{
    Trace(Trace_kind, Level_info) << "Consenso chiesto sul terminale";
    say(reading_request(items));
    return yes_or_no(Consent_question);
}

std::optional<Pin_text> pin(const CNS_known_file_info& info)
{
    Trace(Trace_kind, Level_info) << "PIN chiesto sul terminale";
    say(reading_request({info}));
    say(Pin_question);
    Pin_text typed;
    bool overflow = false;
    {
        Hidden_input hidden;
        read_line([&](char c) {
            if (!typed.push_back(c))
                overflow = true;
        });
    }
    say("\n");
    if (typed.empty() && !overflow)
        return std::nullopt;
    if (overflow)
        typed.wipe(); // too long: an empty PIN, which the PIN rule refuses
    return typed;
}

void wrong_pin(const std::string& text)
{
    say("\n" + text + "\n");
}

bool property_consent(const std::string& question)
{
    Trace(Trace_kind, Level_info) << "Consenso alle informazioni tecniche chiesto sul terminale";
    // The question's last line is the question itself; the lines before it explain.
    const size_t last = question.rfind('\n');
    say(std::string("\n") + Card_caption + "\n" + (last == std::string::npos ? "" : question.substr(0, last + 1)));
    return yes_or_no(last == std::string::npos ? question : question.substr(last + 1));
}

} // namespace velin::cardlib::terminal
