// HTTP statuses and the network error numbers that stand in their place when no answer came.
#pragma once

#include <string>

namespace velin {

// Network error numbers in the WinINet numbering, which the suite's messages use; they arrive in
// place of the HTTP status of a request that got no answer.
constexpr long Http_error_internal = 12004;
constexpr long Http_error_timeout = 12002;
constexpr long Http_error_invalid_url = 12005;
constexpr long Http_error_unrecognized_scheme = 12006;
constexpr long Http_error_name_not_resolved = 12007;
constexpr long Http_error_operation_cancelled = 12017;
constexpr long Http_error_cannot_connect = 12029;
constexpr long Http_error_connection_aborted = 12030;
constexpr long Http_error_connection_reset = 12031;
constexpr long Http_error_invalid_ca = 12045;
constexpr long Http_error_invalid_server_response = 12152;
constexpr long Http_error_redirect_failed = 12156;
constexpr long Http_error_security_channel = 12157;
constexpr long Http_error_decoding_failed = 12175;

// Whether a status is a server's answer, not a network error number.
constexpr bool is_http_answer(long status)
{
    return status >= 100 && status < 1000;
}

// The Italian text of an HTTP status or a network error number.
std::string http_status_text(long status);

// The network error number of a libcurl result (a CURLcode).
long http_error_from_curl(int curl_code);

} // namespace velin
