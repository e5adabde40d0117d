// One HTTP request on libcurl: an easy handle driven through a multi handle of its own, so that the
// owner decides when it makes progress (a polling loop on the worker, a timer on the user-interface
// thread) and can abort it at any moment. Used by File_download and Http_request.
#pragma once

#include "common/owner.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

typedef void CURL;
typedef void CURLM;
struct curl_slist;
struct Curl_URL;

namespace velin {

// Connection and silence limits standing in for the platform client's own time-outs: a server that
// accepts the connection and never answers must not hold a worker for ever.
struct Http_time_limits {
    std::chrono::milliseconds connect{std::chrono::seconds(60)};
    std::chrono::milliseconds silence{std::chrono::seconds(60)};
    // The whole transfer, 0 for no limit: a server that trickles a byte now and then passes the
    // silence limit for ever. With a floor speed (bytes a second) the limit grows by the time the
    // announced body takes at that speed (the body limit when no length is announced). A transfer
    // past its limit ends as timed out.
    std::chrono::milliseconds total{0};
    std::size_t floor_speed = 0;
};

// Bodies are kept in memory; a larger one ends the transfer as aborted.
constexpr std::size_t Default_body_limit = 256u * 1024u * 1024u;

// CURL and CURLM are both void to the compiler: each has its releaser named.
struct Curl_easy_release {
    void operator()(CURL* handle) const;
};
struct Curl_multi_release {
    void operator()(CURLM* handle) const;
};
struct Curl_url_release {
    void operator()(Curl_URL* url) const;
};
struct Curl_text_release {
    void operator()(char* text) const;
};

class Curl_transfer {
public:
    Curl_transfer();
    ~Curl_transfer();
    Curl_transfer(const Curl_transfer&) = delete;
    Curl_transfer& operator=(const Curl_transfer&) = delete;

    // Both handles exist.
    bool valid() const { return _easy && _multi; }
    // Why the handles do not exist.
    static std::string creation_error();

    // Prepares a request without a body. Only http and https, also after redirects. Returns an
    // error description, empty on success; an address refused here leaves its network error
    // number as the status.
    std::string open(const std::string& method, const std::string& url, const Http_time_limits& limits,
                     std::size_t body_limit);
    // After open and before send: the request carries these bytes as a POST body with this
    // Content-Type. Returns an error description, empty on success.
    std::string set_request_body(std::string body, const std::string& content_type);
    // After open: one more request header ("Name: value"). Returns an error description, empty on
    // success.
    std::string add_header(const std::string& header);
    // After open: the request carries these credentials (HTTP basic authentication) and follows
    // no redirect, so that they reach the host the caller named and no other. Both texts must
    // outlive the call only; libcurl keeps copies until the next open.
    std::string set_basic_credentials(const char* user, const char* password);
    // Starts the transfer. Returns an error description, empty on success.
    std::string send();

    // Lets the transfer progress without blocking; true once it has ended.
    bool pump();
    // Blocks until there is network activity or the time is up, then pumps.
    bool wait(std::chrono::milliseconds limit);
    // Ends the transfer at once; it then counts as not completed.
    void abort();

    bool completed() const { return _completed; }
    // The HTTP status of the final answer, or the network error number when there was none.
    long status() const { return _status; }
    const std::string& body() const { return _body; }
    // The body went past its limit (the transfer then ended as aborted).
    bool body_too_large() const { return _body_too_large; }
    std::string take_body() { return std::move(_body); }

    // Whether the transfer is past its whole-transfer limit, given the body length announced
    // (0 when none); remembered, so that the end counts as a time-out. libcurl's progress
    // callback asks this.
    bool past_deadline(long long download_total);

private:
    static std::size_t write_body(char* data, std::size_t size, std::size_t count, void* self);

    Owner<CURL, Curl_easy_release> _easy;
    Owner<CURLM, Curl_multi_release> _multi;
    std::unique_ptr<curl_slist, void (*)(curl_slist*)> _headers{nullptr, nullptr};
    std::string _request_body;
    std::string _method;
    std::string _url;
    std::string _body;
    std::size_t _body_limit = Default_body_limit;
    bool _body_too_large = false;
    Http_time_limits _limits;
    std::chrono::steady_clock::time_point _sent_at;
    bool _deadline_passed = false;
    char _error[256] = {};
    bool _attached = false;
    bool _sent = false;
    bool _completed = false;
    long _status = 0;
};

} // namespace velin
