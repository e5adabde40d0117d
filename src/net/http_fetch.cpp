#include "net/http_fetch.h"

#include "common/trace.h"

namespace velin {

Http_fetch_result http_fetch(const Http_fetch_request& request, const std::atomic<bool>& cancel)
{
    constexpr std::chrono::milliseconds Poll_interval{100};
    Http_fetch_result result;
    Curl_transfer transfer;
    if (!transfer.valid()) {
        result.error = Curl_transfer::creation_error();
        return result;
    }
    const char* method = request.content_type.empty() ? "GET" : "POST";
    if (std::string error = transfer.open(method, request.url, request.limits, request.body_limit); !error.empty()) {
        result.error = std::move(error);
        return result;
    }
    if (!request.content_type.empty()) {
        if (std::string error = transfer.set_request_body(request.body, request.content_type); !error.empty()) {
            result.error = std::move(error);
            return result;
        }
    }
    if (std::string error = transfer.send(); !error.empty()) {
        result.error = std::move(error);
        return result;
    }
    while (!transfer.completed()) {
        if (cancel) {
            transfer.abort();
            result.error = "Scaricamento annullato.";
            return result;
        }
        transfer.wait(Poll_interval);
    }
    result.status = transfer.status();
    if (result.status == 200)
        result.body = transfer.take_body();
    else
        result.error = "Dati non disponibili (" + std::to_string(result.status) + ").";
    return result;
}

} // namespace velin
