// One transfer of the update run: a text (a published version) or a file (a package or its
// signature) fetched with an Http_request whose completion the owner polls from a timer. The
// check dialog (Dlg_check_updates) shows nothing but this; tests drive it without a window.
#pragma once

#include "net/http_request.h"

#include <cstddef>
#include <string>

namespace velin {

// "La verifica della disponibilità di aggiornamenti è fallita."
extern const char* const Update_check_failed;

class Update_transfer {
public:
    enum Outcome : int {
        Not_requested = 0,
        Text_requested = 1,
        File_requested = 2,
        Done = 3,
        Http_error = 4, // the server answered with a status other than 200
        Failed = 5, // any other failure
    };

    // A published version is a few bytes: a larger answer is no version.
    static constexpr std::size_t Text_limit = 64 * 1024;

    void request_text(const std::string& url);
    // The file is written at local_path (created anew, never through a link) once the whole
    // answer is in; nothing is left there when the transfer fails.
    void request_file(const std::string& url, const std::string& local_path);

    // How long the transfer may take (before start); a transfer past its limit fails as timed out.
    void set_time_limits(const Http_time_limits& limits) { _request.set_time_limits(limits); }

    // Sends the request. False when it could not even be sent: outcome Failed, with the error
    // (warning icon).
    bool start();
    // Once the answer is in, handles it and returns true; false while it is still on its way.
    bool poll();
    // Abandons a transfer in progress (the dialog closed): outcome Failed, no error shown.
    void abandon();

    int outcome() const { return _outcome; }
    // The published text without leading and trailing white space, once Done.
    const std::string& response_text() const { return _response_text; }
    // What to show the user when the transfer failed (empty otherwise), and its icon.
    const std::string& error_text() const { return _error_text; }
    unsigned error_icon() const { return _error_icon; }

private:
    void fail(const std::string& text);
    bool save_file();

    Http_request _request;
    std::string _url;
    std::string _local_path;
    std::string _response_text;
    std::string _error_text;
    unsigned _error_icon = 0;
    int _outcome = Not_requested;
};

} // namespace velin
