// An HTTP request of the user-interface thread: started, then polled by its owner's timer until it
// has completed, then read as text or as a stream. It never blocks: a timer of its own lets the
// transfer progress between the owner's polls.
#pragma once

#include "net/curl_transfer.h"

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>

class QTimer;

namespace velin {

// The body of an answer, read from the start in pieces.
class Response_stream {
public:
    explicit Response_stream(std::string bytes) : _bytes(std::move(bytes)) {}

    // Copies up to size bytes; fewer only at the end.
    std::size_t read(char* buffer, std::size_t size);
    std::size_t size() const { return _bytes.size(); }

private:
    std::string _bytes;
    std::size_t _position = 0;
};

// Saves a stream into an open binary file in pieces of 100000 bytes, stopping after the first
// shorter piece. A write error throws std::runtime_error with an empty message.
void save_response_stream(Response_stream& stream, std::ostream& file);

class Http_request {
public:
    enum State : int {
        Not_started = 0,
        Started = 1,
        Request_failed = 4,
    };
    enum Method : int {
        Get = 0,
        Post = 1,
        Put = 2,
        Propfind = 3,
    };

    Http_request();
    ~Http_request();
    Http_request(const Http_request&) = delete;
    Http_request& operator=(const Http_request&) = delete;

    // Sends the request without a body. "Assertion failed: url ne NULL"; a method outside the
    // table is "Assertion failed: false". Any failure leaves the state Request_failed.
    void start(int method, const char* url);
    State state() const { return _state; }

    // The answer (or the network error) is in.
    bool completed();
    // The HTTP status, or the network error number. "Assertion failed: completed ()".
    long http_status();
    // Completed with status 200. "Assertion failed: completed ()".
    bool succeeded();
    // Ends the transfer at once (the user cancelled): state Request_failed, not completed.
    void abort();

    // Both readers require succeeded() ("Assertion failed: succeeded ()").
    void read_response_text();
    bool response_text_read() const { return !_response_text.empty(); }
    // "Assertion failed: response_text_read ()".
    const std::string& response_text() const;
    void read_response_stream();
    bool response_stream_read() const { return _response_stream != nullptr; }
    // "Assertion failed: response_stream_read ()".
    Response_stream& response_stream();

    // The description and code of the last failure.
    const std::string& error_description() const { return _error_description; }
    uint32_t error_code() const { return _error_code; }

    void set_time_limits(const Http_time_limits& limits) { _limits = limits; }
    void set_body_limit(std::size_t bytes) { _body_limit = bytes; }

private:
    void fail(uint32_t code, const std::string& description);
    void stop_pump();

    State _state = Not_started;
    std::unique_ptr<Curl_transfer> _transfer;
    std::unique_ptr<Response_stream> _response_stream;
    std::string _response_text;
    std::string _error_description;
    uint32_t _error_code = 0;
    std::unique_ptr<QTimer> _pump;
    Http_time_limits _limits;
    std::size_t _body_limit = Default_body_limit;
};

} // namespace velin
