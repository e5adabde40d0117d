#include "trust/ocsp.h"

#include "common/file_io.h"
#include "common/openssl_encoding.h"
#include "common/trace.h"
#include "net/http_fetch.h"
#include "trust/authority_access.h"
#include "trust/crl_cache.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>
#include <iomanip>
#include <memory>
#include <sstream>

namespace velin {

namespace {

using Response_owner = Owner<OCSP_RESPONSE>;
using Basic_owner = Owner<OCSP_BASICRESP>;
using Request_owner = Owner<OCSP_REQUEST>;
// A stack of borrowed certificates: only the stack is freed.
using Stack_owner = Owner<STACK_OF(X509), Release_stack_only>;
using Id_owner = Owner<OCSP_CERTID>;

Ocsp_result refused(const std::string& problem)
{
    Ocsp_result result;
    result.problem = problem;
    return result;
}

bool valid_at(const Certificate& certificate, std::time_t now)
{
    return X509_cmp_time(X509_get0_notBefore(certificate.raw_handle()), &now) < 0 &&
           X509_cmp_time(X509_get0_notAfter(certificate.raw_handle()), &now) > 0;
}

bool is_issuer_itself(const Certificate& responder, const Certificate& issuer)
{
    EVP_PKEY* issuer_key = X509_get0_pubkey(issuer.raw_handle());
    EVP_PKEY* responder_key = X509_get0_pubkey(responder.raw_handle());
    return issuer_key && responder_key && X509_NAME_cmp(responder.subject_name(), issuer.subject_name()) == 0 &&
           EVP_PKEY_eq(responder_key, issuer_key) == 1;
}

// The issuer signs its own answers, or delegates a responder: a certificate it issued and signed
// for OCSP signing only, current at the time given. Any other signer could vouch for anything.
bool is_authorized_responder(const Certificate& responder, const Certificate& issuer, std::time_t answered)
{
    EVP_PKEY* issuer_key = X509_get0_pubkey(issuer.raw_handle());
    EVP_PKEY* responder_key = X509_get0_pubkey(responder.raw_handle());
    if (!issuer_key || !responder_key)
        return false;
    if (is_issuer_itself(responder, issuer))
        return true;
    if (X509_NAME_cmp(responder.issuer_name(), issuer.subject_name()) != 0 || !responder.is_signed_by(issuer))
        return false;
    const uint32_t flags = X509_get_extension_flags(responder.raw_handle());
    if ((flags & EXFLAG_INVALID) || !(flags & EXFLAG_XKUSAGE) ||
        !(X509_get_extended_key_usage(responder.raw_handle()) & XKU_OCSP_SIGN))
        return false;
    return valid_at(responder, answered);
}

// A delegated responder vouches for itself only when the issuer said so in its certificate.
bool needs_no_check(const Certificate& responder)
{
    const bool marked = X509_get_ext_by_NID(responder.raw_handle(), NID_id_pkix_OCSP_noCheck, -1) >= 0;
    ERR_clear_error();
    return marked;
}

// An archived answer's period: issued by now (with the tolerated difference) and reaching the
// time judged, by its next update or, without one, by being at most Ocsp_maximum_age older.
bool archived_answer_reaches(const ASN1_GENERALIZEDTIME* this_update, const ASN1_GENERALIZEDTIME* next_update,
                             std::optional<std::time_t> at)
{
    const std::time_t now = std::time(nullptr);
    const std::optional<std::time_t> issued = seconds_of(this_update);
    if (!issued || *issued > now + Ocsp_clock_skew)
        return false;
    const std::time_t judged = at.value_or(now);
    if (next_update) {
        const std::optional<std::time_t> until = seconds_of(next_update);
        return until && judged <= *until + Ocsp_clock_skew;
    }
    return judged <= *issued + Ocsp_maximum_age;
}

Id_owner certificate_id(const Certificate& certificate, const Certificate& issuer)
{
    Id_owner id(OCSP_cert_to_id(EVP_sha1(), certificate.raw_handle(), issuer.raw_handle()));
    ERR_clear_error();
    return id;
}

// The answer's cache file is named after the certificate and its issuer, not the responder: an
// answer that counts speaks for the certificate whoever gave it.
std::string cache_path(const OCSP_CERTID* id)
{
    const std::string folder = own_cache_folder("ocsp");
    unsigned char* der = nullptr;
    const int length = i2d_OCSP_CERTID(const_cast<OCSP_CERTID*>(id), &der);
    if (folder.empty() || length <= 0)
        return {};
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_length = 0;
    const bool hashed =
        EVP_Digest(der, static_cast<std::size_t>(length), digest, &digest_length, EVP_sha256(), nullptr);
    OPENSSL_free(der);
    if (!hashed)
        return {};
    std::ostringstream name;
    name << folder << '/' << std::hex << std::setfill('0');
    for (unsigned int n = 0; n < digest_length; ++n)
        name << std::setw(2) << static_cast<unsigned>(digest[n]);
    name << ".ocsp";
    return name.str();
}

// The archiveCutoff of the certificate's single answer, or else of the whole answer; none when
// neither carries one that decodes.
std::optional<std::time_t> archive_cutoff_of(OCSP_BASICRESP* basic, OCSP_CERTID* id)
{
    std::optional<std::time_t> cutoff;
    int critical = 0;
    if (OCSP_SINGLERESP* single = OCSP_resp_get0(basic, OCSP_resp_find(basic, id, -1))) {
        const Owner<ASN1_GENERALIZEDTIME> date(static_cast<ASN1_GENERALIZEDTIME*>(
            OCSP_SINGLERESP_get1_ext_d2i(single, NID_id_pkix_OCSP_archiveCutoff, &critical, nullptr)));
        cutoff = seconds_of(date.get());
    }
    if (!cutoff) {
        const Owner<ASN1_GENERALIZEDTIME> date(static_cast<ASN1_GENERALIZEDTIME*>(
            OCSP_BASICRESP_get1_ext_d2i(basic, NID_id_pkix_OCSP_archiveCutoff, &critical, nullptr)));
        cutoff = seconds_of(date.get());
    }
    ERR_clear_error();
    return cutoff;
}

// A result with the answer's dates that the rule for expired certificates reads: when it was
// given (the later of producedAt and thisUpdate) and its archiveCutoff; and for the reports its
// producedAt, its nextUpdate and its bytes.
Ocsp_result dated_result(OCSP_BASICRESP* basic, OCSP_CERTID* id, const ASN1_GENERALIZEDTIME* this_update,
                         const ASN1_GENERALIZEDTIME* next_update, std::span<const uint8_t> answer)
{
    Ocsp_result result;
    const std::optional<std::time_t> produced = seconds_of(OCSP_resp_get0_produced_at(basic));
    const std::optional<std::time_t> stated = seconds_of(this_update);
    result.issued = produced && stated ? std::max(*produced, *stated) : produced ? produced : stated;
    result.archive_cutoff = archive_cutoff_of(basic, id);
    result.produced_at = produced;
    result.next_update = next_update ? seconds_of(next_update) : std::nullopt;
    result.der = std::make_shared<const std::vector<uint8_t>>(answer.begin(), answer.end());
    return result;
}

bool counts(const Ocsp_result& result)
{
    return result.status == Ocsp_status::Good || result.status == Ocsp_status::Revoked;
}

Ocsp_result ask_responder(const std::string& url, const Certificate& certificate, const Certificate& issuer,
                          const OCSP_CERTID* id, std::optional<std::time_t> at, const Ocsp_options& options,
                          const std::atomic<bool>& cancel)
{
    Request_owner request(OCSP_REQUEST_new());
    Id_owner copy(OCSP_CERTID_dup(id));
    if (!request || !copy || !OCSP_request_add0_id(request.get(), copy.get()))
        return refused("Richiesta OCSP non creata.");
    copy.release(); // the request owns it now
    if (OCSP_request_add1_nonce(request.get(), nullptr, -1) != 1)
        return refused("Richiesta OCSP non creata.");
    Http_fetch_request exchange;
    exchange.url = url;
    const std::vector<uint8_t> der = der_encoding(request.get(), i2d_OCSP_REQUEST);
    exchange.body.assign(der.begin(), der.end());
    exchange.content_type = "application/ocsp-request";
    exchange.limits = Http_time_limits{options.time_limit, options.time_limit, options.time_limit, 0};
    exchange.body_limit = Ocsp_answer_limit;
    if (exchange.body.empty())
        return refused("Richiesta OCSP non creata.");
    Trace(Trace_kind, Level_info) << "Richiesta OCSP a " << url;
    const Http_fetch_result answer = http_fetch(exchange, cancel);
    if (answer.status != 200)
        return refused("Il responder OCSP non ha risposto: " + answer.error);
    const auto* bytes = reinterpret_cast<const uint8_t*>(answer.body.data());
    Ocsp_result result = judge_ocsp_answer({bytes, answer.body.size()}, certificate, issuer, request.get(), at, false,
                                           options.responder_check);
    result.url = url;
    if (counts(result)) {
        const std::string path = cache_path(id);
        if (!path.empty() && replace_file(path, answer.body, 0600) != 0)
            Trace(Trace_kind, Level_trace) << "Errore durante il salvataggio della risposta OCSP.";
    }
    return result;
}

} // namespace

Ocsp_result judge_ocsp_answer(std::span<const uint8_t> answer, const Certificate& certificate,
                              const Certificate& issuer, const OCSP_REQUEST* request, std::optional<std::time_t> at,
                              bool archived, const Responder_check& responder_check)
{
    if (answer.empty() || answer.size() > Ocsp_answer_limit)
        return refused("La risposta OCSP è vuota o troppo grande.");
    if (!certificate.is_valid() || !issuer.is_valid())
        return refused("Manca il certificato o il suo emittente.");
    const unsigned char* cursor = answer.data();
    Response_owner response(d2i_OCSP_RESPONSE(nullptr, &cursor, static_cast<long>(answer.size())));
    ERR_clear_error();
    if (!response || cursor != answer.data() + answer.size())
        return refused("La risposta OCSP non è leggibile.");
    const int status = OCSP_response_status(response.get());
    if (status != OCSP_RESPONSE_STATUS_SUCCESSFUL)
        return refused("Il responder OCSP ha rifiutato la richiesta (stato " + std::to_string(status) + ").");
    Basic_owner basic(OCSP_response_get1_basic(response.get()));
    ERR_clear_error();
    if (!basic)
        return refused("La risposta OCSP non è leggibile.");

    // A nonce that is not ours is an answer recorded for someone else's request and played back.
    if (request) {
        const int nonce = OCSP_check_nonce(const_cast<OCSP_REQUEST*>(request), basic.get());
        if (nonce == 0)
            return refused("La risposta OCSP non corrisponde alla richiesta.");
    }

    // The signer: among the answer's certificates, or the issuer itself. Its signature is checked
    // with exactly that certificate.
    const Stack_owner extra(sk_X509_new_null());
    if (!extra || !sk_X509_push(extra.get(), issuer.raw_handle()))
        return refused("La risposta OCSP non è leggibile.");
    X509* signer_handle = nullptr;
    const int signer_found = OCSP_resp_get0_signer(basic.get(), &signer_handle, extra.get());
    ERR_clear_error();
    if (signer_found != 1 || !signer_handle)
        return refused("Il firmatario della risposta OCSP non è noto.");
    const Certificate signer(signer_handle, false);
    const Stack_owner only(sk_X509_new_null());
    if (!only || !sk_X509_push(only.get(), signer_handle))
        return refused("La risposta OCSP non è leggibile.");
    const int verified = OCSP_basic_verify(basic.get(), only.get(), nullptr, OCSP_NOVERIFY | OCSP_NOINTERN);
    ERR_clear_error();
    if (verified != 1)
        return refused("La firma della risposta OCSP non è valida.");
    // The time the responder is judged at: now for an answer just fetched or kept, the time that
    // counts for one a file carries. Never the answer's producedAt, which its maker chose.
    const std::time_t responder_time = archived ? at.value_or(std::time(nullptr)) : std::time(nullptr);
    if (!seconds_of(OCSP_resp_get0_produced_at(basic.get())) ||
        !is_authorized_responder(signer, issuer, responder_time))
        return refused("Il responder OCSP non è autorizzato dall'emittente del certificato.");

    const Id_owner id = certificate_id(certificate, issuer);
    int state = -1;
    int reason = -1;
    ASN1_GENERALIZEDTIME* revoked = nullptr;
    ASN1_GENERALIZEDTIME* this_update = nullptr;
    ASN1_GENERALIZEDTIME* next_update = nullptr;
    if (!id || OCSP_resp_find_status(basic.get(), id.get(), &state, &reason, &revoked, &this_update, &next_update) != 1)
        return refused("La risposta OCSP non riguarda il certificato.");
    if (archived) {
        if (!archived_answer_reaches(this_update, next_update, at))
            return refused("La risposta OCSP contenuta nel file non copre la data di verifica.");
    } else {
        const int fresh =
            OCSP_check_validity(this_update, next_update, Ocsp_clock_skew, next_update ? -1 : Ocsp_maximum_age);
        ERR_clear_error();
        if (fresh != 1)
            return refused("La risposta OCSP non è aggiornata.");
    }
    // The answer's period must reach the time the certificate is judged at.
    const std::optional<std::time_t> until = seconds_of(next_update);
    if (at && until && *at > *until + Ocsp_clock_skew)
        return refused("La risposta OCSP non è aggiornata.");

    Ocsp_result result = dated_result(basic.get(), id.get(), this_update, next_update, answer);
    switch (state) {
    case V_OCSP_CERTSTATUS_GOOD:
        result.status = Ocsp_status::Good;
        break;
    case V_OCSP_CERTSTATUS_REVOKED:
        result.status = Ocsp_status::Revoked;
        result.revoked_at = seconds_of(revoked);
        result.reason = reason;
        if (!result.revoked_at)
            return refused("La risposta OCSP non è leggibile.");
        break;
    default:
        result.status = Ocsp_status::Unknown;
        result.problem = "Il responder OCSP non conosce il certificato.";
        return result;
    }
    // Last, as it may read lists: only an answer that would decide costs the responder's check.
    if (!is_issuer_itself(signer, issuer) && !needs_no_check(signer) &&
        (!responder_check || !responder_check(signer, responder_time)))
        return refused("Lo stato del certificato del responder OCSP non è verificato o è revocato: la sua risposta "
                       "non è usata.");
    return result;
}

Ocsp_result check_ocsp(const Certificate& certificate, const Certificate& issuer, std::optional<std::time_t> at,
                       const Ocsp_options& options, const std::atomic<bool>& cancel)
{
    const std::vector<std::string> urls = authority_access_urls(certificate, NID_ad_OCSP);
    if (urls.empty())
        return refused("Il certificato non indica un responder OCSP.");
    const Id_owner id = certificate_id(certificate, issuer);
    if (!id)
        return refused("Richiesta OCSP non creata.");
    const std::string path = cache_path(id.get());
    const auto read_cache = [&]() -> std::optional<Ocsp_result> {
        const auto bytes = read_cached_file(path, Crl_file_origin::Own_cache, Ocsp_answer_limit);
        if (!bytes)
            return std::nullopt;
        Ocsp_result cached =
            judge_ocsp_answer(*bytes, certificate, issuer, nullptr, at, false, options.responder_check);
        if (!counts(cached))
            return std::nullopt;
        cached.from_cache = true;
        // The cache is kept by certificate, not by responder: the responder is known only when
        // the certificate names one.
        if (urls.size() == 1)
            cached.url = urls.front();
        return cached;
    };
    if (std::optional<Ocsp_result> cached = read_cache())
        return *cached;
    if (!options.download_allowed)
        return refused("La connessione Internet è disabilitata.");

    // Analyses running at once ask once for a certificate they share.
    std::optional<Crl_download_turn> turn;
    if (options.wait_for_others) {
        turn.emplace("ocsp:" + path);
        if (!turn->downloads())
            if (std::optional<Ocsp_result> cached = read_cache())
                return *cached;
    }
    Ocsp_result last;
    for (const std::string& url : urls) {
        if (cancel)
            return refused("Scaricamento annullato.");
        last = ask_responder(url, certificate, issuer, id.get(), at, options, cancel);
        if (last.status != Ocsp_status::No_answer)
            return last;
        Trace(Trace_kind, Level_info) << last.problem;
    }
    return last;
}

std::string revocation_reason_text(int reason)
{
    switch (reason) {
    case OCSP_REVOKED_STATUS_UNSPECIFIED:
        return "non specificato";
    case OCSP_REVOKED_STATUS_KEYCOMPROMISE:
        return "compromissione della chiave";
    case OCSP_REVOKED_STATUS_CACOMPROMISE:
        return "compromissione dell'autorità di certificazione";
    case OCSP_REVOKED_STATUS_AFFILIATIONCHANGED:
        return "cambio di affiliazione";
    case OCSP_REVOKED_STATUS_SUPERSEDED:
        return "certificato sostituito";
    case OCSP_REVOKED_STATUS_CESSATIONOFOPERATION:
        return "cessazione dell'attività";
    case OCSP_REVOKED_STATUS_CERTIFICATEHOLD:
        return "sospensione";
    case OCSP_REVOKED_STATUS_REMOVEFROMCRL:
        return "rimozione dalla lista";
    case 9:
        return "privilegi ritirati";
    case 10:
        return "compromissione dell'autorità di attributo";
    case -1:
        return {};
    default:
        return "codice " + std::to_string(reason);
    }
}

} // namespace velin
