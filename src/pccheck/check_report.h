// The report of a PC check: lines appended to a text file (opened, written and closed for every
// line, so a crash loses nothing already found), the messages the window shows, and the counter of
// problems.
#pragma once

#include <functional>
#include <string>

namespace velin::pccheck {

// "Velin_Manager_VERIFICA_INSTALLAZIONE.txt" in the user's private runtime folder.
std::string default_report_path();

class Check_report {
public:
    explicit Check_report(std::string path);

    // Replaces the report with an empty file. 0 or the errno of the failure.
    int create_empty();

    // One line appended to the file.
    void report_line(const std::string& text);
    // Shown in the messages box and written as a report line.
    void message(const std::string& text);
    // "Ho trovato un problema: " + user text, "Continuo a cercare..." shown; the report text
    // written; the counter grows. An empty user text is the report text.
    void problem(const std::string& report_text, const std::string& user_text = {});

    int problems() const { return _problems; }
    const std::string& path() const { return _path; }
    // Everything shown so far, one message a line.
    const std::string& messages() const { return _messages; }
    // errno of the first line that could not be written, 0 while all were.
    int write_error() const { return _write_error; }

    // Called with every message as it is shown (the window's messages box).
    std::function<void(const std::string& text)> on_message;

private:
    std::string _path;
    std::string _messages;
    int _problems = 0;
    int _write_error = 0;
    bool _started = false;
};

} // namespace velin::pccheck
