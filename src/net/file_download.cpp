#include "net/file_download.h"

#include "common/file_io.h"
#include "common/trace.h"

namespace velin {

namespace {

constexpr std::chrono::milliseconds Poll_interval{100};

} // namespace

void File_download::start(const std::string& remote_path)
{
    trace_value("remote_path", remote_path);
    assertion(!remote_path.empty(), "not is_empty (remote_path)");
    _started = false;
    _saved = false;
    set_result(E_FAIL_CODE);

    Trace(Trace_kind, Level_trace) << "Creazione della richiesta HTTP.";
    // A fresh transfer per request: a handle reused after a failed name resolution stops applying
    // its silence limit.
    _transfer = std::make_unique<Curl_transfer>();
    if (!_transfer->valid()) {
        set_error(Curl_transfer::creation_error());
        return;
    }
    Trace(Trace_kind, Level_trace) << "Apertura della connessione.";
    if (const std::string error = _transfer->open("GET", remote_path, _limits, _body_limit); !error.empty()) {
        set_error(error);
        set_result(E_INVALIDARG_CODE);
        return;
    }
    Trace(Trace_kind, Level_trace) << "Invio della richiesta.";
    if (const std::string error = _transfer->send(); !error.empty()) {
        set_error(error);
        return;
    }
    _started = true;
    set_result(0);
}

bool File_download::completed()
{
    return _started && _transfer && _transfer->pump();
}

bool File_download::wait(std::chrono::milliseconds limit)
{
    return _started && _transfer && _transfer->wait(limit);
}

long File_download::http_status()
{
    assertion(completed(), "completed ()");
    return _transfer->status();
}

bool File_download::exists()
{
    return completed() && _transfer->status() == 200;
}

void File_download::abort()
{
    assertion(_started, "started ()");
    if (_transfer)
        _transfer->abort();
    set_result(E_ABORT_CODE);
}

void File_download::save(const std::string& file_name)
{
    assertion(exists(), "exists ()");
    assertion(!file_name.empty(), "not is_empty (file_name)");
    _saved = false;
    if (_transfer->body().empty()) {
        set_result(E_FAIL_CODE);
        return;
    }
    // The lists go to the user's own cache: nobody else has a reason to read them.
    if (const int error = replace_file(file_name, _transfer->body(), 0600); error != 0) {
        set_error(system_error_text(error_code_from_errno(error)));
        return;
    }
    set_result(0);
    _saved = succeeded();
}

bool download_crl_file(const std::string& url, const std::string& path, const std::atomic<bool>& cancel)
{
    File_download download;
    download.start(url);
    if (!download.started()) {
        Trace(Trace_kind, Level_info) << "Errore durante la connessione al server.";
        return false;
    }

    Trace(Trace_kind, Level_trace) << "Completamento della connessione...";
    bool cancelled = false;
    for (;;) {
        if (download.completed()) {
            cancelled = cancel;
            break;
        }
        if (cancel) {
            cancelled = true;
            break;
        }
        // Up to 100 ms, less when the network has something for us.
        download.wait(Poll_interval);
    }
    if (cancelled) {
        download.abort();
        Trace(Trace_kind, Level_info) << "Scaricamento annullato.";
        return false;
    }

    if (download.http_status() != 200) {
        Trace(Trace_kind, Level_error) << "Dati non disponibili.";
        return false;
    }
    Trace(Trace_kind, Level_trace) << "Connessione completata: salvataggio della CRL su disco";
    download.save(path);
    if (!download.saved()) {
        Trace(Trace_kind, Level_trace) << "Errore durante il salvataggio della CRL.";
        return false;
    }
    Trace(Trace_kind, Level_trace) << "File scaricato.";
    return true;
}

} // namespace velin
