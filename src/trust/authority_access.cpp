#include "trust/authority_access.h"

#include "common/file_io.h"
#include "common/owner.h"
#include "common/trace.h"
#include "net/http_fetch.h"
#include "trust/crl_cache.h"

#include <openssl/err.h>
#include <openssl/pkcs7.h>
#include <openssl/x509v3.h>

#include <strings.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>

namespace velin {

namespace {

constexpr std::chrono::minutes Failure_pause{10};

struct Fetched {
    std::vector<Certificate> certificates;
    bool failed = false;
    std::chrono::steady_clock::time_point at;
};

struct Fetched_memo {
    std::mutex mutex;
    std::map<std::string, Fetched> by_url;
};

Fetched_memo& fetched_memo()
{
    static Fetched_memo memo;
    return memo;
}

bool is_http_address(const std::string& url)
{
    return ::strncasecmp(url.c_str(), "http://", 7) == 0 || ::strncasecmp(url.c_str(), "https://", 8) == 0;
}

std::string cache_path(const std::string& url)
{
    const std::string folder = own_cache_folder("aia");
    return folder.empty() ? std::string() : folder + "/" + escape_cache_name(url) + ".cer";
}

// Only authorities that are not their own issuers: anything else could end a chain as its root.
std::vector<Certificate> intermediates_only(std::vector<Certificate> certificates)
{
    std::erase_if(certificates, [](const Certificate& certificate) {
        return !certificate.is_valid() || certificate.is_self_issued() || !certificate.is_certification_authority();
    });
    return certificates;
}

// The certificates of one address: from the cache, else (when allowed) downloaded and cached.
// Nothing when neither gives any.
std::optional<std::vector<Certificate>> certificates_at(const std::string& url, bool download_allowed,
                                                        const std::atomic<bool>& cancel,
                                                        std::chrono::milliseconds time_limit)
{
    const std::string path = cache_path(url);
    if (const auto bytes = read_cached_file(path, Crl_file_origin::Own_cache, Ca_issuers_limit)) {
        std::vector<Certificate> cached = parse_ca_issuers(std::string(bytes->begin(), bytes->end()));
        if (!cached.empty())
            return cached;
    }
    if (!download_allowed)
        return std::nullopt;
    Trace(Trace_kind, Level_info) << "Scaricamento del certificato dell'emittente: " << url;
    Http_fetch_request request;
    request.url = url;
    request.limits = Http_time_limits{time_limit, time_limit, time_limit, 0};
    request.body_limit = Ca_issuers_limit;
    const Http_fetch_result result = http_fetch(request, cancel);
    if (result.status != 200) {
        Trace(Trace_kind, Level_info) << "Il certificato dell'emittente non è stato scaricato: " << result.error;
        return std::nullopt;
    }
    std::vector<Certificate> fetched = parse_ca_issuers(result.body);
    if (fetched.empty()) {
        Trace(Trace_kind, Level_info) << "L'indirizzo dell'emittente non ha restituito certificati: " << url;
        return std::nullopt;
    }
    if (!path.empty() && replace_file(path, result.body, 0600) != 0)
        Trace(Trace_kind, Level_trace) << "Errore durante il salvataggio del certificato dell'emittente.";
    return fetched;
}

} // namespace

std::vector<std::string> authority_access_urls(const Certificate& certificate, int method)
{
    std::vector<std::string> urls;
    if (!certificate.is_valid())
        return urls;
    const Owner<AUTHORITY_INFO_ACCESS> access(static_cast<AUTHORITY_INFO_ACCESS*>(
        X509_get_ext_d2i(certificate.raw_handle(), NID_info_access, nullptr, nullptr)));
    ERR_clear_error();
    if (!access)
        return urls;
    for (int n = 0; n < sk_ACCESS_DESCRIPTION_num(access.get()); ++n) {
        const ACCESS_DESCRIPTION* description = sk_ACCESS_DESCRIPTION_value(access.get(), n);
        if (OBJ_obj2nid(description->method) != method || description->location->type != GEN_URI)
            continue;
        const ASN1_IA5STRING* text = description->location->d.uniformResourceIdentifier;
        std::string url(reinterpret_cast<const char*>(ASN1_STRING_get0_data(text)),
                        static_cast<std::size_t>(ASN1_STRING_length(text)));
        // An address with a NUL in it would mean one thing here and another to libcurl.
        if (url.find('\0') == std::string::npos && is_http_address(url))
            urls.push_back(std::move(url));
    }
    return urls;
}

std::vector<Certificate> parse_ca_issuers(const std::string& bytes)
{
    std::vector<Certificate> certificates;
    if (bytes.empty() || bytes.size() > Ca_issuers_limit)
        return certificates;
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const long length = static_cast<long>(bytes.size());
    const Certificate single(std::span<const uint8_t>(data, bytes.size()));
    if (single.is_valid()) {
        certificates.push_back(single);
        return certificates;
    }
    const unsigned char* cursor = data;
    const Owner<PKCS7> bundle(d2i_PKCS7(nullptr, &cursor, length));
    ERR_clear_error();
    if (!bundle || cursor != data + length || !PKCS7_type_is_signed(bundle.get()) || !bundle->d.sign)
        return certificates;
    STACK_OF(X509)* included = bundle->d.sign->cert;
    for (int n = 0; n < sk_X509_num(included); ++n)
        certificates.emplace_back(sk_X509_value(included, n), false);
    return certificates;
}

std::vector<Certificate> fetch_ca_issuers(const Certificate& certificate, bool download_allowed,
                                          const std::atomic<bool>& cancel, std::chrono::milliseconds time_limit)
{
    std::vector<Certificate> found;
    for (const std::string& url : authority_access_urls(certificate, NID_ad_ca_issuers)) {
        Fetched_memo& memo = fetched_memo();
        // One analysis asks; the others running at once wait and take its answer.
        const Crl_download_turn turn("aia:" + url);
        {
            std::lock_guard lock(memo.mutex);
            const auto known = memo.by_url.find(url);
            if (known != memo.by_url.end() &&
                (!known->second.failed || std::chrono::steady_clock::now() - known->second.at < Failure_pause)) {
                found.insert(found.end(), known->second.certificates.begin(), known->second.certificates.end());
                continue;
            }
        }
        if (cancel)
            break;
        const std::optional<std::vector<Certificate>> fetched =
            certificates_at(url, download_allowed, cancel, time_limit);
        // Without downloads nothing is remembered: the address is asked once they are allowed.
        if (!fetched && (!download_allowed || cancel))
            continue;
        Fetched entry{fetched ? intermediates_only(*fetched) : std::vector<Certificate>{}, !fetched,
                      std::chrono::steady_clock::now()};
        found.insert(found.end(), entry.certificates.begin(), entry.certificates.end());
        std::lock_guard lock(memo.mutex);
        memo.by_url[url] = std::move(entry);
    }
    return found;
}

void forget_fetched_ca_issuers()
{
    Fetched_memo& memo = fetched_memo();
    std::lock_guard lock(memo.mutex);
    memo.by_url.clear();
}

} // namespace velin
