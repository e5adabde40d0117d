#include "VelinVerify/update/update_transfer.h"

#include "common/file_io.h"
#include "common/message_box.h"
#include "common/trace.h"
#include "net/http_status.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace velin {

const char* const Update_check_failed = "La verifica della disponibilità di aggiornamenti è fallita.";

namespace {

constexpr std::size_t Save_chunk = 100000;

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

std::string trimmed(const std::string& text)
{
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && is_space(text[begin]))
        ++begin;
    while (end > begin && is_space(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

} // namespace

void Update_transfer::request_text(const std::string& url)
{
    _url = url;
    _local_path.clear();
    _outcome = Text_requested;
    _request.set_body_limit(Text_limit);
}

void Update_transfer::request_file(const std::string& url, const std::string& local_path)
{
    _url = url;
    _local_path = local_path;
    _outcome = File_requested;
    _request.set_body_limit(Default_body_limit);
}

void Update_transfer::fail(const std::string& text)
{
    _error_text = text;
    _error_icon = MB_ICONERROR;
    if (_outcome != Http_error)
        _outcome = Failed;
}

bool Update_transfer::start()
{
    _response_text.clear();
    _error_text.clear();
    _error_icon = 0;
    Trace(Trace_kind, Level_info) << "Scaricamento di " << _url;
    _request.start(Http_request::Get, _url.c_str());
    if (_request.state() == Http_request::Started)
        return true;
    Trace(Trace_kind, Level_error) << "Richiesta non inviata: " << _request.error_description();
    _error_text = Update_check_failed;
    _error_icon = MB_ICONWARNING;
    _outcome = Failed;
    return false;
}

bool Update_transfer::poll()
{
    if (_outcome != Text_requested && _outcome != File_requested)
        return true;
    if (!_request.completed())
        return false;
    if (!_request.succeeded()) {
        const long status = _request.http_status();
        Trace(Trace_kind, Level_error) << "Risposta del server: " << status;
        _outcome = Http_error;
        fail(std::string(Update_check_failed) + " " + http_status_text(status));
        return true;
    }
    if (_outcome == Text_requested) {
        _request.read_response_text();
        if (!_request.response_text_read()) {
            fail(Update_check_failed);
            return true;
        }
        _response_text = trimmed(_request.response_text());
        _outcome = Done;
        return true;
    }
    if (save_file())
        _outcome = Done;
    return true;
}

bool Update_transfer::save_file()
{
    _request.read_response_stream();
    if (!_request.response_stream_read()) {
        fail(Update_check_failed);
        return false;
    }
    ::unlink(_local_path.c_str());
    Descriptor_handle file(::open(_local_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    bool written = static_cast<bool>(file);
    if (written) {
        Response_stream& stream = _request.response_stream();
        std::vector<char> chunk(Save_chunk);
        for (;;) {
            const std::size_t count = stream.read(chunk.data(), chunk.size());
            if (!write_all(file.get(), std::string_view(chunk.data(), count))) {
                written = false;
                break;
            }
            if (count < chunk.size())
                break;
        }
    }
    int error = written ? 0 : errno;
    if (written && ::close(file.release()) != 0) {
        written = false;
        error = errno;
    }
    if (written)
        return true;
    ::unlink(_local_path.c_str());
    Trace(Trace_kind, Level_error) << "Salvataggio fallito: " << _local_path << ": " << std::strerror(error);
    fail("Impossibile salvare il file scaricato " + _local_path + ".");
    return false;
}

void Update_transfer::abandon()
{
    _request.abort();
    if (_outcome == Text_requested || _outcome == File_requested)
        _outcome = Failed;
}

} // namespace velin
