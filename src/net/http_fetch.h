// One small HTTP exchange done on the calling thread (a verification worker): an answer to an
// OCSP request, an authority's certificate. Limited in size and time, and given up as soon as the
// analysis is cancelled.
#pragma once

#include "net/curl_transfer.h"

#include <atomic>
#include <cstddef>
#include <optional>
#include <string>

namespace velin {

struct Http_fetch_request {
    std::string url;
    // A POST with this body and Content-Type when the type is not empty; a GET otherwise.
    std::string body;
    std::string content_type;
    // The Accept header, when not empty.
    std::string accept;
    // HTTP basic authentication, when user is set; no redirect is then followed. The texts are
    // the caller's and must live until the call returns.
    const char* user = nullptr;
    const char* password = nullptr;
    Http_time_limits limits;
    std::size_t body_limit = Default_body_limit;
};

struct Http_fetch_result {
    // The HTTP status, or the network error number (also for an address refused before anything
    // went out); 0 when nothing went out for another reason or it was cancelled.
    long status = 0;
    // The answer went past the body limit.
    bool too_large = false;
    std::string body;
    // Why there is no answer, for the trace log (empty with status 200).
    std::string error;
};

Http_fetch_result http_fetch(const Http_fetch_request& request, const std::atomic<bool>& cancel);

// An address as it may be traced: without the user and password it may carry.
std::string url_for_trace(const std::string& url);

} // namespace velin
