#include "net/http_status.h"

#include <curl/curl.h>

namespace velin {

std::string http_status_text(long status)
{
    switch (status) {
    case 401:
        return "Accesso negato.";
    case 404:
        return "File non trovato.";
    case 500:
        return "Errore interno del server.";
    case Http_error_timeout:
        return "Il server non risponde.";
    case Http_error_name_not_resolved:
        return "Indirizzo del server non risolto.";
    case Http_error_cannot_connect:
        return "Impossibile connettersi al server.";
    default:
        return "Codice HTTP: " + std::to_string(status);
    }
}

long http_error_from_curl(int curl_code)
{
    switch (static_cast<CURLcode>(curl_code)) {
    case CURLE_UNSUPPORTED_PROTOCOL:
        return Http_error_unrecognized_scheme;
    case CURLE_URL_MALFORMAT:
        return Http_error_invalid_url;
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
        return Http_error_name_not_resolved;
    case CURLE_COULDNT_CONNECT:
        return Http_error_cannot_connect;
    case CURLE_OPERATION_TIMEDOUT:
        return Http_error_timeout;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_GOT_NOTHING:
        return Http_error_invalid_server_response;
    case CURLE_PARTIAL_FILE:
    case CURLE_WRITE_ERROR: // the body went past its limit
    case CURLE_FILESIZE_EXCEEDED:
        return Http_error_connection_aborted;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
        return Http_error_connection_reset;
    case CURLE_ABORTED_BY_CALLBACK:
        return Http_error_operation_cancelled;
    case CURLE_TOO_MANY_REDIRECTS:
        return Http_error_redirect_failed;
    case CURLE_PEER_FAILED_VERIFICATION:
        return Http_error_invalid_ca;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CLIENTCERT:
    case CURLE_USE_SSL_FAILED:
        return Http_error_security_channel;
    case CURLE_BAD_CONTENT_ENCODING:
        return Http_error_decoding_failed;
    default:
        return Http_error_internal;
    }
}

} // namespace velin
