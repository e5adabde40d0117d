#include "net/http_fetch.h"

#include "common/trace.h"

#include <curl/curl.h>

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
    const auto failed = [&](std::string error) {
        result.status = transfer.status();
        result.error = std::move(error);
        return result;
    };
    if (std::string error = transfer.open(method, request.url, request.limits, request.body_limit); !error.empty())
        return failed(std::move(error));
    if (!request.content_type.empty()) {
        if (std::string error = transfer.set_request_body(request.body, request.content_type); !error.empty())
            return failed(std::move(error));
    }
    if (!request.accept.empty()) {
        if (std::string error = transfer.add_header("Accept: " + request.accept); !error.empty())
            return failed(std::move(error));
    }
    if (request.user) {
        if (std::string error = transfer.set_basic_credentials(request.user, request.password ? request.password : "");
            !error.empty())
            return failed(std::move(error));
    }
    if (std::string error = transfer.send(); !error.empty())
        return failed(std::move(error));
    while (!transfer.completed()) {
        if (cancel) {
            transfer.abort();
            result.error = "Scaricamento annullato.";
            return result;
        }
        transfer.wait(Poll_interval);
    }
    result.status = transfer.status();
    result.too_large = transfer.body_too_large();
    if (result.status == 200)
        result.body = transfer.take_body();
    else
        result.error = "Dati non disponibili (" + std::to_string(result.status) + ").";
    return result;
}

std::string url_for_trace(const std::string& url)
{
    const Owner<CURLU, Curl_url_release> parsed(curl_url());
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK)
        return "(indirizzo non valido)";
    curl_url_set(parsed.get(), CURLUPART_USER, nullptr, 0);
    curl_url_set(parsed.get(), CURLUPART_PASSWORD, nullptr, 0);
    char* text = nullptr;
    if (curl_url_get(parsed.get(), CURLUPART_URL, &text, 0) != CURLUE_OK)
        return "(indirizzo non valido)";
    const Owner<char, Curl_text_release> owned(text);
    return text;
}

} // namespace velin
