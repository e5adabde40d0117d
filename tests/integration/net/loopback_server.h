// A small HTTP/1.1 server on 127.0.0.1 and a free port, run by the test itself, whose answers the
// test chooses: a body, a status, a redirect, a huge or endless body, or no answer at all.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace velin::test {

struct Http_answer {
    int status = 200;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    // Never answers; holds the connection until the client or the server closes it.
    bool silent = false;
    // A body of this many bytes made on the fly, instead of body.
    std::size_t generated_size = 0;
    // A body without length that never ends.
    bool endless = false;
    // A Content-Length other than the body's (a connection cut short).
    std::size_t declared_length = 0;
    // The body sent one byte at a time with this pause between bytes (0: all at once).
    int trickle_ms = 0;
};

inline Http_answer answer(int status, std::string body, std::vector<std::pair<std::string, std::string>> headers = {})
{
    Http_answer made;
    made.status = status;
    made.body = std::move(body);
    made.headers = std::move(headers);
    return made;
}
inline Http_answer silent_answer()
{
    Http_answer made;
    made.silent = true;
    return made;
}
inline Http_answer generated_answer(std::size_t size)
{
    Http_answer made;
    made.generated_size = size;
    return made;
}
// A body that comes one byte every pause_ms, quick enough for any silence limit.
inline Http_answer trickling_answer(std::string body, int pause_ms)
{
    Http_answer made;
    made.body = std::move(body);
    made.trickle_ms = pause_ms;
    return made;
}
inline Http_answer endless_answer()
{
    Http_answer made;
    made.endless = true;
    return made;
}

// A request as the server received it, for handlers that answer by its headers and body.
struct Http_request_seen {
    std::string method;
    std::string path;
    std::string head; // the request line and header lines as sent
    std::string body; // as long as its Content-Length said

    // A header's value (the name compared without regard to case); empty when absent.
    std::string header(const std::string& name) const;
};

class Loopback_server {
public:
    using Handler = std::function<Http_answer(const std::string& method, const std::string& path)>;
    using Request_handler = std::function<Http_answer(const Http_request_seen& request)>;

    explicit Loopback_server(Handler handler);
    explicit Loopback_server(Request_handler handler);
    ~Loopback_server();
    Loopback_server(const Loopback_server&) = delete;
    Loopback_server& operator=(const Loopback_server&) = delete;

    unsigned short port() const { return _port; }
    std::string url(const std::string& path) const;
    // "METHOD /path" of every request received so far.
    std::vector<std::string> requests() const;
    // Connections the client has closed while the server held them without answering.
    int abandoned_connections() const { return _abandoned; }

    // The byte at a position of a generated body.
    static char generated_byte(std::size_t position) { return static_cast<char>('A' + position % 23); }

private:
    void accept_loop();
    void serve(int connection);
    bool stopping_or_readable(int descriptor, int timeout_ms);

    Handler _handler;
    Request_handler _request_handler;
    int _listener = -1;
    int _wake = -1;
    unsigned short _port = 0;
    std::atomic<bool> _stopping{false};
    std::atomic<int> _abandoned{0};
    mutable std::mutex _mutex;
    std::vector<std::string> _requests;
    std::vector<std::thread> _connections;
    std::thread _acceptor;
};

// A loopback port nothing listens on.
unsigned short closed_port();

} // namespace velin::test
