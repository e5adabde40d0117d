#include "net/http_request.h"

#include "common/failure.h"
#include "net/file_download.h"

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace velin {

namespace {

// Short enough that a transfer runs at network speed, long enough to cost nothing while idle.
constexpr int Pump_interval_ms = 10;
constexpr std::size_t Save_chunk = 100000;

const char* method_name(int method)
{
    switch (method) {
    case Http_request::Get:
        return "GET";
    case Http_request::Post:
        return "POST";
    case Http_request::Put:
        return "PUT";
    case Http_request::Propfind:
        return "PROPFIND";
    default:
        assertion(false, "false");
        return nullptr;
    }
}

} // namespace

std::size_t Response_stream::read(char* buffer, std::size_t size)
{
    const std::size_t count = std::min(size, _bytes.size() - _position);
    std::memcpy(buffer, _bytes.data() + _position, count);
    _position += count;
    return count;
}

void save_response_stream(Response_stream& stream, std::ostream& file)
{
    std::vector<char> chunk(Save_chunk);
    for (;;) {
        const std::size_t count = stream.read(chunk.data(), chunk.size());
        file.write(chunk.data(), static_cast<std::streamsize>(count));
        if (!file)
            throw std::runtime_error("");
        if (count < chunk.size())
            break;
    }
}

Http_request::Http_request() = default;

Http_request::~Http_request()
{
    stop_pump();
}

void Http_request::fail(uint32_t code, const std::string& description)
{
    _state = Request_failed;
    _error_code = code;
    _error_description = description;
}

void Http_request::stop_pump()
{
    if (_pump)
        _pump->stop();
}

void Http_request::start(int method, const char* url)
{
    assertion(url != nullptr, "url ne NULL");
    const char* name = method_name(method);
    stop_pump();
    _response_text.clear();
    _response_stream.reset();
    try {
        // A fresh transfer per request, as for File_download.
        _transfer = std::make_unique<Curl_transfer>();
        if (!_transfer->valid()) {
            fail(E_FAIL_CODE, Curl_transfer::creation_error());
            return;
        }
        if (const std::string error = _transfer->open(name, url, _limits, _body_limit); !error.empty()) {
            fail(E_INVALIDARG_CODE, error);
            return;
        }
        if (const std::string error = _transfer->send(); !error.empty()) {
            fail(E_FAIL_CODE, error);
            return;
        }
    } catch (const std::exception& error) {
        fail(E_FAIL_CODE, error.what());
        return;
    }
    _state = Started;
    // Without an event loop (a command-line caller) the owner's polls alone drive the transfer.
    if (QCoreApplication::instance()) {
        if (!_pump) {
            _pump = std::make_unique<QTimer>();
            _pump->setInterval(Pump_interval_ms);
            QObject::connect(_pump.get(), &QTimer::timeout, _pump.get(), [this] {
                if (!_transfer || _transfer->pump())
                    stop_pump();
            });
        }
        _pump->start();
    }
}

bool Http_request::completed()
{
    return _state == Started && _transfer && _transfer->pump();
}

long Http_request::http_status()
{
    assertion(completed(), "completed ()");
    return _transfer->status();
}

bool Http_request::succeeded()
{
    assertion(completed(), "completed ()");
    return _transfer->status() == 200;
}

void Http_request::abort()
{
    stop_pump();
    if (_transfer)
        _transfer->abort();
    if (_state == Started)
        fail(E_ABORT_CODE, "");
}

void Http_request::read_response_text()
{
    assertion(succeeded(), "succeeded ()");
    try {
        _response_text = _transfer->body();
    } catch (...) {
        _response_text.clear();
    }
}

const std::string& Http_request::response_text() const
{
    assertion(response_text_read(), "response_text_read ()");
    return _response_text;
}

void Http_request::read_response_stream()
{
    assertion(succeeded(), "succeeded ()");
    try {
        _response_stream = std::make_unique<Response_stream>(_transfer->body());
    } catch (...) {
        _response_stream.reset();
    }
}

Response_stream& Http_request::response_stream()
{
    assertion(response_stream_read(), "response_stream_read ()");
    return *_response_stream;
}

} // namespace velin
