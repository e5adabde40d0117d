#include "norax_sign/timestamp_client.h"

#include "common/owner.h"
#include "common/registry.h"
#include "common/trace.h"
#include "envelope/timestamp_token.h"
#include "net/http_fetch.h"
#include "net/http_status.h"
#include "trust/timestamp_authority.h"
#include "trust/trusted_store.h"

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ts.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace velin {

const char* const Text_tsa_not_configured =
    "Non è impostato alcun servizio di marcatura temporale: indicarne l'indirizzo (MarcaURL) nelle impostazioni.";
const char* const Text_tsa_credentials =
    "Il servizio di marcatura temporale ha rifiutato le credenziali: verificare utente e password.";
const char* const Text_tsa_refused = "Il servizio di marcatura temporale ha rifiutato la richiesta";
const char* const Text_tsa_timeout = "Il servizio di marcatura temporale non ha risposto in tempo.";
const char* const Text_tsa_unreachable = "Il servizio di marcatura temporale non è raggiungibile.";
const char* const Text_tsa_too_large = "La risposta del servizio di marcatura temporale è troppo grande.";
const char* const Text_tsa_unreadable = "La risposta del servizio di marcatura temporale non è leggibile.";
const char* const Text_tsa_wrong_nonce =
    "La marca temporale ricevuta non risponde a questa richiesta (il numero di controllo è diverso).";
const char* const Text_tsa_wrong_imprint =
    "La marca temporale ricevuta riguarda dati diversi da quelli inviati (l'impronta è diversa).";
const char* const Text_tsa_wrong_policy = "La marca temporale ricevuta non segue la politica di marcatura richiesta.";
const char* const Text_tsa_bad_signature = "La firma della marca temporale ricevuta non è valida.";
const char* const Text_tsa_not_for_time_stamping =
    "Il certificato del servizio di marcatura temporale non è destinato alla marcatura temporale.";
const char* const Text_tsa_not_trusted =
    "Il servizio di marcatura temporale non è un'autorità attendibile: il suo certificato non risulta nelle liste "
    "dei certificatori. La marca temporale non è stata usata.";

namespace {

constexpr size_t Sha256_size = 32;
constexpr size_t Nonce_size = 8;

std::string read_user_text(const char* name)
{
    const Registry_text_read read = read_text(Registry_root::Current_user, Settings_key, name);
    return read.succeeded() ? read.value() : std::string();
}

std::optional<std::vector<uint8_t>> der_of_request(TS_REQ* request)
{
    unsigned char* raw = nullptr;
    const int size = i2d_TS_REQ(request, &raw);
    const Owner<unsigned char, Openssl_free> owned(raw);
    if (size <= 0)
        return std::nullopt;
    return std::vector<uint8_t>(raw, raw + size);
}

// The request: version 1, the SHA-256 imprint, the policy when one is asked for, the nonce and
// certReq. Nothing when the policy is not an OID.
std::optional<std::vector<uint8_t>> timestamp_request(std::span<const uint8_t> imprint, std::span<const uint8_t> nonce,
                                                      const std::string& policy)
{
    const Owner<TS_REQ> request(TS_REQ_new());
    const Owner<TS_MSG_IMPRINT> message(TS_MSG_IMPRINT_new());
    const Owner<X509_ALGOR> algorithm(X509_ALGOR_new());
    const Owner<BIGNUM> number(BN_bin2bn(nonce.data(), static_cast<int>(nonce.size()), nullptr));
    const Owner<ASN1_INTEGER> nonce_integer(number ? BN_to_ASN1_INTEGER(number.get(), nullptr) : nullptr);
    if (!request || !message || !algorithm || !nonce_integer ||
        X509_ALGOR_set0(algorithm.get(), OBJ_nid2obj(NID_sha256), V_ASN1_NULL, nullptr) != 1 ||
        TS_MSG_IMPRINT_set_algo(message.get(), algorithm.get()) != 1 ||
        TS_MSG_IMPRINT_set_msg(message.get(), const_cast<unsigned char*>(imprint.data()),
                               static_cast<int>(imprint.size())) != 1 ||
        TS_REQ_set_version(request.get(), 1) != 1 || TS_REQ_set_msg_imprint(request.get(), message.get()) != 1 ||
        TS_REQ_set_nonce(request.get(), nonce_integer.get()) != 1 || TS_REQ_set_cert_req(request.get(), 1) != 1)
        return std::nullopt;
    if (!policy.empty()) {
        const Owner<ASN1_OBJECT> oid(OBJ_txt2obj(policy.c_str(), 1));
        if (!oid || TS_REQ_set_policy_id(request.get(), oid.get()) != 1)
            return std::nullopt;
    }
    return der_of_request(request.get());
}

// The authority's own words, kept to printable characters and a sensible length.
std::string status_text(TS_STATUS_INFO* status)
{
    std::string text;
    const STACK_OF(ASN1_UTF8STRING)* strings = TS_STATUS_INFO_get0_text(status);
    for (int i = 0; i < sk_ASN1_UTF8STRING_num(strings) && text.size() < 200; ++i) {
        const ASN1_UTF8STRING* line = sk_ASN1_UTF8STRING_value(strings, i);
        const auto* data = reinterpret_cast<const char*>(ASN1_STRING_get0_data(line));
        for (int at = 0; at < ASN1_STRING_length(line) && text.size() < 200; ++at)
            if (static_cast<unsigned char>(data[at]) >= 0x20 && data[at] != 0x7F)
                text += data[at];
        text += ' ';
    }
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

// Why the authority refused: its failure info (RFC 3161, PKIFailureInfo) and its status string.
std::string refusal_text(TS_STATUS_INFO* status)
{
    static const struct {
        int bit;
        const char* text;
    } reasons[] = {
        {TS_INFO_BAD_ALG, "algoritmo non accettato"},
        {TS_INFO_BAD_REQUEST, "richiesta non valida"},
        {TS_INFO_BAD_DATA_FORMAT, "formato dei dati errato"},
        {TS_INFO_TIME_NOT_AVAILABLE, "ora non disponibile"},
        {TS_INFO_UNACCEPTED_POLICY, "politica di marcatura non accettata"},
        {TS_INFO_UNACCEPTED_EXTENSION, "estensione non accettata"},
        {TS_INFO_ADD_INFO_NOT_AVAILABLE, "informazioni aggiuntive non disponibili (credito esaurito?)"},
        {TS_INFO_SYSTEM_FAILURE, "guasto del servizio"},
    };
    std::string text = Text_tsa_refused;
    std::string listed;
    if (const ASN1_BIT_STRING* failure = TS_STATUS_INFO_get0_failure_info(status))
        for (const auto& reason : reasons)
            if (ASN1_BIT_STRING_get_bit(failure, reason.bit))
                listed += (listed.empty() ? "" : ", ") + std::string(reason.text);
    if (!listed.empty())
        text += ": " + listed;
    const std::string words = status_text(status);
    if (!words.empty())
        text += " (\"" + words + "\")";
    return text + ".";
}

// RFC 3161 wants the authority's extended key usage critical and for time stamping.
bool critical_time_stamping_usage(PKCS7* token)
{
    const Owner<STACK_OF(X509), Release_stack_only> signers(PKCS7_get0_signers(token, nullptr, 0));
    ERR_clear_error();
    if (!signers || sk_X509_num(signers.get()) != 1)
        return false;
    X509* certificate = sk_X509_value(signers.get(), 0);
    const int at = X509_get_ext_by_NID(certificate, NID_ext_key_usage, -1);
    return at >= 0 && X509_EXTENSION_get_critical(X509_get_ext(certificate, at)) == 1 &&
           (X509_get_extension_flags(certificate) & EXFLAG_XKUSAGE) &&
           (X509_get_extended_key_usage(certificate) & XKU_TIMESTAMP);
}

} // namespace

Timestamp_authority::~Timestamp_authority()
{
    if (!password.empty())
        OPENSSL_cleanse(password.data(), password.size());
}

Timestamp_authority Timestamp_authority::load()
{
    Timestamp_authority authority;
    authority.url = read_user_text("MarcaURL");
    authority.user = read_user_text("MarcaUtente");
    authority.password = read_user_text("MarcaPassword");
    authority.policy = read_user_text("MarcaPolicy");
    return authority;
}

Timestamp_authority_judge trusted_lists_judge()
{
    return [](const Signer_certificate& authority, std::time_t at) -> std::string {
        const std::shared_ptr<Trusted_store> store = shared_trusted_store();
        const bool trusted = store && !authority.empty() &&
                             timestamp_authority_trust(*store, Certificate(authority.shared_x509()), at).trusted;
        return trusted ? std::string() : Text_tsa_not_trusted;
    };
}

Timestamp_client::Timestamp_client(Timestamp_authority authority, Timestamp_limits limits,
                                   Timestamp_authority_judge judge)
    : _authority(std::move(authority)), _limits(limits), _judge(std::move(judge))
{}

std::optional<Timestamp> checked_timestamp_reply(std::span<const uint8_t> reply, std::span<const uint8_t> imprint,
                                                 std::span<const uint8_t> nonce, const std::string& policy,
                                                 std::string& failure)
{
    ERR_clear_error();
    const unsigned char* in = reply.data();
    const Owner<TS_RESP> response(
        reply.empty() ? nullptr
                      : d2i_TS_RESP(nullptr, &in, static_cast<long>(std::min<size_t>(reply.size(), LONG_MAX))));
    ERR_clear_error();
    if (!response) {
        failure = Text_tsa_unreadable;
        return std::nullopt;
    }
    TS_STATUS_INFO* status = TS_RESP_get_status_info(response.get());
    const long granted = ASN1_INTEGER_get(TS_STATUS_INFO_get0_status(status));
    if (granted != 0 && granted != 1) {
        failure = refusal_text(status);
        return std::nullopt;
    }
    PKCS7* token = TS_RESP_get_token(response.get());
    TS_TST_INFO* info = TS_RESP_get_tst_info(response.get());
    if (!token || !info) {
        failure = Text_tsa_unreadable;
        return std::nullopt;
    }

    // The reply answers this request: its nonce, and the imprint sent.
    const Owner<BIGNUM> sent(BN_bin2bn(nonce.data(), static_cast<int>(nonce.size()), nullptr));
    const ASN1_INTEGER* returned = TS_TST_INFO_get_nonce(info);
    const Owner<BIGNUM> got(returned ? ASN1_INTEGER_to_BN(returned, nullptr) : nullptr);
    if (!sent || !got || BN_cmp(sent.get(), got.get()) != 0) {
        failure = Text_tsa_wrong_nonce;
        return std::nullopt;
    }
    TS_MSG_IMPRINT* message = TS_TST_INFO_get_msg_imprint(info);
    const ASN1_OBJECT* algorithm = nullptr;
    X509_ALGOR_get0(&algorithm, nullptr, nullptr, TS_MSG_IMPRINT_get_algo(message));
    const ASN1_OCTET_STRING* digest = TS_MSG_IMPRINT_get_msg(message);
    if (OBJ_obj2nid(algorithm) != NID_sha256 || !digest ||
        static_cast<size_t>(ASN1_STRING_length(digest)) != imprint.size() ||
        std::memcmp(ASN1_STRING_get0_data(digest), imprint.data(), imprint.size()) != 0) {
        failure = Text_tsa_wrong_imprint;
        return std::nullopt;
    }
    if (!policy.empty()) {
        const Owner<ASN1_OBJECT> asked(OBJ_txt2obj(policy.c_str(), 1));
        const ASN1_OBJECT* given = TS_TST_INFO_get_policy_id(info);
        if (!asked || !given || OBJ_cmp(asked.get(), given) != 0) {
            failure = Text_tsa_wrong_policy;
            return std::nullopt;
        }
    }

    Timestamp stamp;
    stamp.reply.assign(reply.begin(), reply.end());
    unsigned char* raw = nullptr;
    const int size = i2d_PKCS7(token, &raw);
    const Owner<unsigned char, Openssl_free> owned(raw);
    if (size <= 0) {
        ERR_clear_error();
        failure = Text_tsa_unreadable;
        return std::nullopt;
    }
    stamp.token.assign(raw, raw + size);

    // The token as the verifier will read it: signed by the certificate it carries (and names),
    // over this imprint, by a certificate for time stamping within its dates.
    const std::vector<uint8_t> covered(imprint.begin(), imprint.end());
    const Timestamp_info checked = check_timestamp(stamp.token, [&covered](const EVP_MD* md) {
        return EVP_MD_get_type(md) == NID_sha256 ? covered : std::vector<uint8_t>();
    });
    if (!checked.read) {
        failure = Text_tsa_unreadable;
        return std::nullopt;
    }
    if (!checked.signature_valid) {
        failure = Text_tsa_bad_signature;
        return std::nullopt;
    }
    if (!checked.imprint_matches) {
        failure = Text_tsa_wrong_imprint;
        return std::nullopt;
    }
    if (!checked.time_stamping_usage || !checked.certificate_current || !critical_time_stamping_usage(token)) {
        failure = Text_tsa_not_for_time_stamping;
        return std::nullopt;
    }
    stamp.authority = checked.certificate;
    stamp.time = checked.time;
    return stamp;
}

std::optional<Timestamp> Timestamp_client::stamp(const std::vector<std::span<const uint8_t>>& pieces,
                                                 std::string& failure) const
{
    std::vector<uint8_t> imprint(Sha256_size);
    const Owner<EVP_MD_CTX> context(EVP_MD_CTX_new());
    bool digested = context && EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) == 1;
    for (const auto& piece : pieces)
        digested = digested && EVP_DigestUpdate(context.get(), piece.data(), piece.size()) == 1;
    unsigned int size = 0;
    if (!digested || EVP_DigestFinal_ex(context.get(), imprint.data(), &size) != 1 || size != Sha256_size) {
        failure = "Errore durante il calcolo dell'impronta da marcare.";
        return std::nullopt;
    }
    return stamp_digest(imprint, failure);
}

std::optional<Timestamp> Timestamp_client::stamp_digest(std::span<const uint8_t> imprint, std::string& failure) const
{
    if (!configured()) {
        failure = Text_tsa_not_configured;
        return std::nullopt;
    }
    if (imprint.size() != Sha256_size) {
        failure = "Errore durante il calcolo dell'impronta da marcare.";
        return std::nullopt;
    }
    std::vector<uint8_t> nonce(Nonce_size);
    if (RAND_bytes(nonce.data(), static_cast<int>(nonce.size())) != 1) {
        failure = "Errore durante la preparazione della richiesta di marca temporale.";
        return std::nullopt;
    }
    nonce[0] |= 0x01; // never a shorter number than asked for
    const auto request = timestamp_request(imprint, nonce, _authority.policy);
    if (!request) {
        ERR_clear_error();
        failure = "La politica di marcatura impostata (MarcaPolicy) non è un identificativo valido.";
        return std::nullopt;
    }

    Http_fetch_request exchange;
    exchange.url = _authority.url;
    exchange.body.assign(request->begin(), request->end());
    exchange.content_type = "application/timestamp-query";
    exchange.accept = "application/timestamp-reply";
    if (!_authority.user.empty()) {
        exchange.user = _authority.user.c_str();
        exchange.password = _authority.password.c_str();
    }
    exchange.limits = Http_time_limits{_limits.connect, _limits.total, _limits.total, 0};
    exchange.body_limit = _limits.reply_limit;
    Trace(Trace_kind, Level_info) << "Richiesta di marca temporale a " << url_for_trace(_authority.url)
                                  << (_authority.user.empty() ? "" : ", utente " + _authority.user) << ".";
    static const std::atomic<bool> never_cancelled{false};
    const Http_fetch_result answer = http_fetch(exchange, never_cancelled);
    const long status = answer.status;
    Trace(Trace_kind, Level_trace) << "Servizio di marcatura temporale: HTTP " << status << ", " << answer.body.size()
                                   << " byte.";
    if (answer.too_large) {
        failure = Text_tsa_too_large;
        return std::nullopt;
    }
    switch (status) {
    case Http_error_timeout:
        failure = Text_tsa_timeout;
        return std::nullopt;
    case Http_error_invalid_url:
    case Http_error_unrecognized_scheme:
        failure = "L'indirizzo del servizio di marcatura temporale (MarcaURL) non è valido.";
        return std::nullopt;
    default:
        if (!is_http_answer(status)) {
            failure = Text_tsa_unreachable;
            return std::nullopt;
        }
    }
    if (status == 401 || status == 403) {
        failure = Text_tsa_credentials;
        return std::nullopt;
    }
    if (status != 200) {
        failure = "Il servizio di marcatura temporale ha risposto con un errore (HTTP " + std::to_string(status) + ").";
        return std::nullopt;
    }
    const std::span<const uint8_t> body(reinterpret_cast<const uint8_t*>(answer.body.data()), answer.body.size());
    auto stamp = checked_timestamp_reply(body, imprint, nonce, _authority.policy, failure);
    if (!stamp)
        return std::nullopt;
    // The authority's word is worth what its chain is worth: a time stamp the verifier would
    // call untrusted is not put into the user's documents (nor paid for again at the next one).
    if (_judge) {
        failure = _judge(stamp->authority, stamp->time);
        if (!failure.empty())
            return std::nullopt;
    }
    Trace(Trace_kind, Level_info) << "Marca temporale ricevuta.";
    return stamp;
}

} // namespace velin
