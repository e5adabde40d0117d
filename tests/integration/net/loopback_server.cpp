#include "loopback_server.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <stdexcept>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace velin::test {

namespace {

int loopback_socket(unsigned short& port, bool listening)
{
    const int descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (descriptor < 0)
        throw std::runtime_error("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        (listening && ::listen(descriptor, 64) != 0) ||
        ::getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(descriptor);
        throw std::runtime_error("cannot listen on a loopback port");
    }
    port = ntohs(address.sin_port);
    return descriptor;
}

bool send_all(int descriptor, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t sent = ::send(descriptor, data, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

const char* reason(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    default:
        return "Status";
    }
}

} // namespace

unsigned short closed_port()
{
    unsigned short port = 0;
    // Bound but never listening: connections to it are refused.
    const int descriptor = loopback_socket(port, false);
    ::close(descriptor);
    return port;
}

Loopback_server::Loopback_server(Handler handler) : _handler(std::move(handler))
{
    _listener = loopback_socket(_port, true);
    _wake = ::eventfd(0, EFD_CLOEXEC);
    _acceptor = std::thread([this] { accept_loop(); });
}

Loopback_server::Loopback_server(Request_handler handler) : _request_handler(std::move(handler))
{
    _listener = loopback_socket(_port, true);
    _wake = ::eventfd(0, EFD_CLOEXEC);
    _acceptor = std::thread([this] { accept_loop(); });
}

std::string Http_request_seen::header(const std::string& name) const
{
    const auto lower = [](std::string text) {
        std::transform(text.begin(), text.end(), text.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        return text;
    };
    const std::string wanted = "\r\n" + lower(name) + ":";
    const std::string lowered = lower(head);
    const std::size_t at = lowered.find(wanted);
    if (at == std::string::npos)
        return {};
    const std::size_t start = head.find_first_not_of(' ', at + wanted.size());
    const std::size_t end = head.find("\r\n", at + wanted.size());
    return start == std::string::npos || start >= end ? std::string() : head.substr(start, end - start);
}

Loopback_server::~Loopback_server()
{
    _stopping = true;
    const uint64_t one = 1;
    (void)!::write(_wake, &one, sizeof one);
    _acceptor.join();
    for (auto& connection : _connections)
        connection.join();
    ::close(_listener);
    ::close(_wake);
}

std::string Loopback_server::url(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(_port) + path;
}

std::vector<std::string> Loopback_server::requests() const
{
    std::lock_guard lock(_mutex);
    return _requests;
}

bool Loopback_server::stopping_or_readable(int descriptor, int timeout_ms)
{
    std::array<pollfd, 2> watched{{{descriptor, POLLIN, 0}, {_wake, POLLIN, 0}}};
    ::poll(watched.data(), watched.size(), timeout_ms);
    return _stopping || (watched[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

void Loopback_server::accept_loop()
{
    while (!_stopping) {
        if (!stopping_or_readable(_listener, -1) || _stopping)
            break;
        const int connection = ::accept4(_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0)
            continue;
        std::lock_guard lock(_mutex);
        _connections.emplace_back([this, connection] {
            serve(connection);
            ::close(connection);
        });
    }
}

void Loopback_server::serve(int connection)
{
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
        if (!stopping_or_readable(connection, -1) || _stopping)
            return;
        const ssize_t received = ::recv(connection, buffer, sizeof buffer, 0);
        if (received <= 0)
            return;
        request.append(buffer, static_cast<std::size_t>(received));
    }
    const std::size_t method_end = request.find(' ');
    const std::size_t path_end = request.find(' ', method_end + 1);
    const std::string method = request.substr(0, method_end);
    const std::string path = request.substr(method_end + 1, path_end - method_end - 1);
    {
        std::lock_guard lock(_mutex);
        _requests.push_back(method + " " + path);
    }
    Http_answer answer;
    if (_request_handler) {
        Http_request_seen seen{method, path, request.substr(0, request.find("\r\n\r\n") + 2), {}};
        seen.body = request.substr(request.find("\r\n\r\n") + 4);
        const std::string length = seen.header("Content-Length");
        const std::size_t expected = std::min<std::size_t>(length.empty() ? 0 : std::stoul(length), 1 << 20);
        while (seen.body.size() < expected) {
            if (!stopping_or_readable(connection, -1) || _stopping)
                return;
            const ssize_t received = ::recv(connection, buffer, sizeof buffer, 0);
            if (received <= 0)
                return;
            seen.body.append(buffer, static_cast<std::size_t>(received));
        }
        answer = _request_handler(seen);
    } else {
        answer = _handler(method, path);
    }

    if (answer.silent) {
        // Hold the connection until the client gives up or the server stops.
        while (!_stopping) {
            if (stopping_or_readable(connection, 1000) && !_stopping) {
                if (::recv(connection, buffer, sizeof buffer, 0) <= 0) {
                    ++_abandoned;
                    return;
                }
            }
        }
        return;
    }

    std::string head = "HTTP/1.1 " + std::to_string(answer.status) + " " + reason(answer.status) + "\r\n";
    for (const auto& [name, value] : answer.headers)
        head += name + ": " + value + "\r\n";
    if (!answer.endless) {
        std::size_t length = answer.generated_size ? answer.generated_size : answer.body.size();
        if (answer.declared_length)
            length = answer.declared_length;
        head += "Content-Length: " + std::to_string(length) + "\r\n";
    }
    head += "Connection: close\r\n\r\n";
    if (!send_all(connection, head.data(), head.size()))
        return;

    if (answer.generated_size || answer.endless) {
        std::string chunk(1 << 16, '\0');
        for (std::size_t position = 0; !_stopping && (answer.endless || position < answer.generated_size);) {
            const std::size_t count =
                answer.endless ? chunk.size() : std::min(chunk.size(), answer.generated_size - position);
            for (std::size_t i = 0; i < count; ++i)
                chunk[i] = generated_byte(position + i);
            if (!send_all(connection, chunk.data(), count))
                return;
            position += count;
        }
        return;
    }
    if (answer.trickle_ms > 0) {
        for (std::size_t position = 0; position < answer.body.size(); ++position) {
            // Readable here means the client has closed the connection.
            if (stopping_or_readable(connection, answer.trickle_ms) || _stopping)
                return;
            if (!send_all(connection, answer.body.data() + position, 1))
                return;
        }
        return;
    }
    send_all(connection, answer.body.data(), answer.body.size());
}

} // namespace velin::test
