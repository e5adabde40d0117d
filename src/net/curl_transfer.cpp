#include "net/curl_transfer.h"

#include "net/http_status.h"

#include <curl/curl.h>

#include <algorithm>
#include <mutex>

namespace velin {

namespace {

void global_init()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// A non-zero answer makes libcurl end the transfer (as aborted by the callback).
int check_deadline(void* self, curl_off_t download_total, curl_off_t, curl_off_t, curl_off_t)
{
    return static_cast<Curl_transfer*>(self)->past_deadline(download_total) ? 1 : 0;
}

constexpr long Redirect_limit = 10;
constexpr long Receive_buffer = 256 * 1024;

} // namespace

void Curl_easy_release::operator()(CURL* handle) const
{
    curl_easy_cleanup(handle);
}

void Curl_multi_release::operator()(CURLM* handle) const
{
    curl_multi_cleanup(handle);
}

void Curl_url_release::operator()(CURLU* url) const
{
    curl_url_cleanup(url);
}

void Curl_text_release::operator()(char* text) const
{
    curl_free(text);
}

Curl_transfer::Curl_transfer()
{
    global_init();
    _easy.reset(curl_easy_init());
    _multi.reset(curl_multi_init());
}

std::string Curl_transfer::creation_error()
{
    return curl_easy_strerror(CURLE_FAILED_INIT);
}

Curl_transfer::~Curl_transfer()
{
    abort();
}

std::size_t Curl_transfer::write_body(char* data, std::size_t size, std::size_t count, void* self)
{
    auto& transfer = *static_cast<Curl_transfer*>(self);
    const std::size_t length = size * count;
    if (length > transfer._body_limit - transfer._body.size()) {
        transfer._body_too_large = true;
        return 0; // libcurl ends the transfer with a write error
    }
    transfer._body.append(data, length);
    return length;
}

bool Curl_transfer::past_deadline(long long download_total)
{
    if (_limits.total.count() <= 0)
        return false;
    std::chrono::milliseconds allowed = _limits.total;
    if (_limits.floor_speed > 0) {
        // A body past the limit is cut off anyway: an announced length beyond it buys no time.
        const unsigned long long limit = _body_limit;
        const unsigned long long expected =
            download_total > 0 ? std::min(static_cast<unsigned long long>(download_total), limit) : limit;
        allowed += std::chrono::milliseconds(expected * 1000 / _limits.floor_speed);
    }
    if (std::chrono::steady_clock::now() - _sent_at > allowed)
        _deadline_passed = true;
    return _deadline_passed;
}

std::string Curl_transfer::open(const std::string& method, const std::string& url, const Http_time_limits& limits,
                                std::size_t body_limit)
{
    if (!valid())
        return curl_easy_strerror(CURLE_FAILED_INIT);
    abort();
    _method = method;
    _url = url;
    _body.clear();
    _body_limit = body_limit;
    _body_too_large = false;
    _headers.reset();
    _limits = limits;
    _deadline_passed = false;
    _sent = false;
    _completed = false;
    _status = 0;
    _error[0] = '\0';

    CURL* easy = _easy.get();
    curl_easy_reset(easy);
    // A malformed address or a scheme other than http(s) is refused here, before anything is sent.
    const Owner<CURLU, Curl_url_release> parsed(curl_url());
    const auto refuse_address = [this](CURLcode why) {
        _status = http_error_from_curl(why);
        return std::string(curl_easy_strerror(why));
    };
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK)
        return refuse_address(CURLE_URL_MALFORMAT);
    char* raw_scheme = nullptr;
    const CURLUcode got = curl_url_get(parsed.get(), CURLUPART_SCHEME, &raw_scheme, 0);
    const Owner<char, Curl_text_release> scheme(raw_scheme);
    if (got != CURLUE_OK)
        return refuse_address(CURLE_URL_MALFORMAT);
    const std::string scheme_name = scheme.get();
    if (scheme_name != "http" && scheme_name != "https")
        return refuse_address(CURLE_UNSUPPORTED_PROTOCOL);

    CURLcode code = CURLE_OK;
    const auto set = [&](auto option, auto value) {
        if (code == CURLE_OK)
            code = curl_easy_setopt(easy, option, value);
    };
    set(CURLOPT_ERRORBUFFER, _error);
    set(CURLOPT_URL, _url.c_str());
    set(CURLOPT_NOSIGNAL, 1L);
    set(CURLOPT_PROTOCOLS_STR, "http,https");
    set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    set(CURLOPT_FOLLOWLOCATION, 1L);
    set(CURLOPT_MAXREDIRS, Redirect_limit);
    set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits.connect.count()));
    // Less than one byte a second for the whole silence limit ends the transfer as timed out.
    set(CURLOPT_LOW_SPEED_LIMIT, 1L);
    set(CURLOPT_LOW_SPEED_TIME, static_cast<long>((limits.silence.count() + 999) / 1000));
    set(CURLOPT_BUFFERSIZE, Receive_buffer);
    set(CURLOPT_USERAGENT, "Velin Manager");
    set(CURLOPT_WRITEFUNCTION, &Curl_transfer::write_body);
    set(CURLOPT_WRITEDATA, static_cast<void*>(this));
    if (limits.total.count() > 0) {
        set(CURLOPT_XFERINFOFUNCTION, &check_deadline);
        set(CURLOPT_XFERINFODATA, static_cast<void*>(this));
        set(CURLOPT_NOPROGRESS, 0L);
    }
    if (_method == "POST") {
        set(CURLOPT_POST, 1L);
        set(CURLOPT_POSTFIELDSIZE, 0L);
        set(CURLOPT_POSTFIELDS, "");
    } else if (_method != "GET") {
        // PUT and PROPFIND go with an empty body too.
        set(CURLOPT_POST, 1L);
        set(CURLOPT_POSTFIELDSIZE, 0L);
        set(CURLOPT_POSTFIELDS, "");
        set(CURLOPT_CUSTOMREQUEST, _method.c_str());
    }
    if (code != CURLE_OK)
        return curl_easy_strerror(code);
    return {};
}

std::string Curl_transfer::set_request_body(std::string body, const std::string& content_type)
{
    if (!valid())
        return curl_easy_strerror(CURLE_FAILED_INIT);
    _request_body = std::move(body);
    // A small body goes at once: no round trip waiting for "100 Continue".
    for (const std::string& header : {"Content-Type: " + content_type, std::string("Expect:")}) {
        if (std::string error = add_header(header); !error.empty())
            return error;
    }
    CURL* easy = _easy.get();
    CURLcode code = curl_easy_setopt(easy, CURLOPT_POST, 1L);
    if (code == CURLE_OK)
        code = curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(_request_body.size()));
    if (code == CURLE_OK)
        code = curl_easy_setopt(easy, CURLOPT_POSTFIELDS, _request_body.data());
    return code == CURLE_OK ? std::string() : std::string(curl_easy_strerror(code));
}

std::string Curl_transfer::add_header(const std::string& header)
{
    if (!valid())
        return curl_easy_strerror(CURLE_FAILED_INIT);
    curl_slist* headers = curl_slist_append(_headers.get(), header.c_str());
    if (!headers)
        return curl_easy_strerror(CURLE_OUT_OF_MEMORY);
    _headers.release(); // now part of headers
    _headers = {headers, &curl_slist_free_all};
    const CURLcode code = curl_easy_setopt(_easy.get(), CURLOPT_HTTPHEADER, _headers.get());
    return code == CURLE_OK ? std::string() : std::string(curl_easy_strerror(code));
}

std::string Curl_transfer::set_basic_credentials(const char* user, const char* password)
{
    if (!valid())
        return curl_easy_strerror(CURLE_FAILED_INIT);
    CURL* easy = _easy.get();
    CURLcode code = curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    if (code == CURLE_OK)
        code = curl_easy_setopt(easy, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
    if (code == CURLE_OK)
        code = curl_easy_setopt(easy, CURLOPT_USERNAME, user);
    if (code == CURLE_OK)
        code = curl_easy_setopt(easy, CURLOPT_PASSWORD, password);
    return code == CURLE_OK ? std::string() : std::string(curl_easy_strerror(code));
}

std::string Curl_transfer::send()
{
    if (!valid())
        return curl_easy_strerror(CURLE_FAILED_INIT);
    const CURLMcode code = curl_multi_add_handle(_multi.get(), _easy.get());
    if (code != CURLM_OK)
        return curl_multi_strerror(code);
    _attached = true;
    _sent = true;
    _sent_at = std::chrono::steady_clock::now();
    pump();
    return {};
}

bool Curl_transfer::pump()
{
    if (!_attached)
        return _completed;
    int running = 0;
    curl_multi_perform(_multi.get(), &running);
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(_multi.get(), &left)) {
        if (message->msg != CURLMSG_DONE || message->easy_handle != _easy.get())
            continue;
        const CURLcode result = message->data.result;
        long status = 0;
        if (result == CURLE_OK && curl_easy_getinfo(_easy.get(), CURLINFO_RESPONSE_CODE, &status) == CURLE_OK &&
            status != 0) {
            _status = status;
        } else {
            _status = http_error_from_curl(result == CURLE_OK ? CURLE_WEIRD_SERVER_REPLY
                                           : result == CURLE_ABORTED_BY_CALLBACK && _deadline_passed
                                               ? CURLE_OPERATION_TIMEDOUT
                                               : result);
        }
        curl_multi_remove_handle(_multi.get(), _easy.get());
        _attached = false;
        _completed = true;
    }
    return _completed;
}

bool Curl_transfer::wait(std::chrono::milliseconds limit)
{
    if (_attached)
        curl_multi_poll(_multi.get(), nullptr, 0, static_cast<int>(limit.count()), nullptr);
    return pump();
}

void Curl_transfer::abort()
{
    if (_attached)
        curl_multi_remove_handle(_multi.get(), _easy.get());
    _attached = false;
    _sent = false;
    _completed = false;
}

} // namespace velin
