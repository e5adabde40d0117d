#include "trust/revocation.h"

#include "common/openssl_encoding.h"
#include "common/trace.h"
#include "net/file_download.h"
#include "trust/authority_access.h"
#include "trust/certificate_issuer.h"
#include "trust/ldap_crl.h"
#include "trust/ocsp.h"
#include "trust/ocsp_responder_standing.h"
#include "trust/report.h"
#include "trust/revocation_distribution_points.h"

#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include <strings.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <map>

namespace velin {

namespace {

bool starts_without_case(const std::string& text, const char* prefix)
{
    const std::size_t length = std::char_traits<char>::length(prefix);
    return text.size() >= length && ::strncasecmp(text.c_str(), prefix, length) == 0;
}

bool is_http_url(const std::string& url)
{
    return starts_without_case(url, "http://") || starts_without_case(url, "https://");
}

// A list can speak for a certificate only when its issuer issued the certificate: a list of
// another authority never names it and would make any certificate look unrevoked.
bool issued_under_certificate_issuer(const Certificate_revocation_list& list, const Certificate& certificate)
{
    return X509_NAME_cmp(list.issuer_name(), certificate.issuer_name()) == 0;
}

// The list dates the certificate's revocation after the subject's time.
bool revoked_after(const Certificate_revocation_list& list, const Revocation_subject& signer)
{
    X509_REVOKED* entry = nullptr;
    const int found = X509_CRL_get0_by_serial(
        list.raw_handle(), &entry, const_cast<ASN1_INTEGER*>(X509_get0_serialNumber(signer.certificate.raw_handle())));
    ERR_clear_error();
    if (found != 1 || !entry)
        return false;
    std::time_t at = *signer.at;
    return X509_cmp_time(X509_REVOKED_get0_revocationDate(entry), &at) > 0;
}

// What the list says of a certificate it names, kept with the outcome.
void note_revocation(const std::optional<Crl_entry>& entry, Revocation_outcome& outcome)
{
    outcome.revoked = true;
    if (entry) {
        outcome.revoked_at = entry->revoked_at;
        outcome.reason = entry->reason;
    }
}

// A list that decided, with the distribution point it came from (empty for one the file carries).
Revocation_evidence list_evidence(const Certificate_revocation_list& list, const std::string& url)
{
    Revocation_evidence evidence;
    evidence.url = url;
    evidence.issued = list.this_update();
    evidence.next_update = list.next_update();
    evidence.der = list.shared_der();
    return evidence;
}

// Records the answer of a checked list that could search for the certificate; false when the
// lookup itself failed.
bool take_lookup(const Certificate_revocation_list& list, const Revocation_subject& signer, Revocation_outcome& outcome,
                 const std::string& url = {})
{
    const Crl_lookup lookup = list.find_certificate(signer.certificate);
    if (lookup == Crl_lookup::Failed)
        return false;
    if (lookup == Crl_lookup::Not_listed &&
        !silence_proves_unrevoked(signer.certificate, list.this_update(), list.expired_certificates_kept_since())) {
        Trace(Trace_kind, Level_info) << "La CRL, emessa dopo la scadenza del certificato, non indica se era revocato.";
        outcome.silent_after_expiry = true;
        return false;
    }
    outcome.status = lookup == Crl_lookup::Listed ? Revocation_status::Revoked : Revocation_status::Valid;
    // A list that names the certificate is remembered though a later one does not.
    if (lookup == Crl_lookup::Listed)
        note_revocation(list.entry_of(signer.certificate), outcome);
    if (outcome.status == Revocation_status::Revoked && signer.at && revoked_after(list, signer)) {
        // Revoked after the time the certificate is judged at: the signature was made before.
        Trace(Trace_kind, Level_info) << "Il certificato è stato revocato dopo la data della marca temporale.";
        outcome.status = Revocation_status::Valid;
    }
    outcome.revocation_issuer = 1;
    outcome.evidence = list_evidence(list, url);
    return true;
}

// A list that may speak for the certificate: issued under its issuer's name, current, and signed
// with the key of the issuer that chain building accepts.
bool is_usable(const Certificate_revocation_list& list, const Certificate& certificate, const Certificate& crl_issuer)
{
    if (!list.is_valid())
        return false;
    if (!issued_under_certificate_issuer(list, certificate)) {
        Trace(Trace_kind, Level_info) << "La lista di certificati revocati non è dell'emittente del certificato.";
        return false;
    }
    const Crl_check_outcome checked = crl_check(list, crl_issuer);
    if (checked.result != Crl_check_valid) {
        trace_value("crl_check", std::to_string(checked.result));
        return false;
    }
    return true;
}

// The newest usable list of the user's cache and the seed. Both count: the seed may have been
// renewed by the administrator after the user last downloaded, or the other way round, and an
// older list could miss a revocation that a newer one names.
std::optional<Certificate_revocation_list> newest_cached_list(const std::string& url, const Certificate& certificate,
                                                              const Certificate& crl_issuer, Crl_file_memo& memo)
{
    std::optional<Certificate_revocation_list> newest;
    const std::pair<std::string, Crl_file_origin> files[] = {{cache_file_name(url), Crl_file_origin::Own_cache},
                                                             {seed_file_name(url), Crl_file_origin::Seed}};
    for (const auto& [path, origin] : files) {
        const Certificate_revocation_list& list = memo.list(path, origin);
        if (!is_usable(list, certificate, crl_issuer))
            continue;
        if (!newest || list.is_newer_than(*newest))
            newest = list;
    }
    return newest;
}

// One LDAP distribution point; leaves outcome.status at 6 unless the directory gave a list that
// could be searched.
void check_ldap_point(const std::string& url, const Revocation_subject& signer, const Certificate& crl_issuer,
                      const std::atomic<bool>& cancel, Revocation_outcome& outcome)
{
    // A cancelled analysis reads no more directories.
    if (cancel) {
        Trace(Trace_kind, Level_info) << "Apertura store LDAP fallita: " << Ldap_user_cancelled;
        return;
    }
    Ldap_crl_store store;
    if (!store.open(url)) {
        Trace(Trace_kind, Level_info) << "Apertura store LDAP fallita: " << store.result();
        return;
    }
    if (store.lists().empty()) {
        Trace(Trace_kind, Level_info) << "Rilevazione CRL fallita: " << Ldap_no_such_attribute;
        return;
    }
    const Certificate_revocation_list& list = store.lists().front();
    // The directory is read without protection: its list counts only when it passes the same
    // checks as a downloaded one.
    if (!is_usable(list, signer.certificate, crl_issuer))
        return;
    take_lookup(list, signer, outcome, url);
}

// Orders the signers of a job by what their verdict depends on: the certificate's bytes, the
// issuer chain building found (it decides whose key a list must carry) and the time the
// certificate is judged at. Signers that compare equal get one check and one outcome.
class Same_verdict_order {
public:
    explicit Same_verdict_order(const std::vector<Revocation_subject>& signers) : _signers(signers) {}

    bool operator()(std::size_t left, std::size_t right) const
    {
        const Revocation_subject& a = _signers[left];
        const Revocation_subject& b = _signers[right];
        if (const int order = compare(a.certificate, b.certificate))
            return order < 0;
        if (a.issuer.has_value() != b.issuer.has_value())
            return !a.issuer;
        if (a.issuer)
            if (const int order = compare(*a.issuer, *b.issuer))
                return order < 0;
        return a.at < b.at;
    }

private:
    static int compare(const Certificate& a, const Certificate& b)
    {
        if (a.is_valid() != b.is_valid())
            return a.is_valid() ? 1 : -1;
        if (!a.is_valid())
            return 0;
        const std::vector<uint8_t>& x = a.der();
        const std::vector<uint8_t>& y = b.der();
        if (&x == &y)
            return 0;
        if (x.size() != y.size())
            return x.size() < y.size() ? -1 : 1;
        return std::memcmp(x.data(), y.data(), x.size());
    }

    const std::vector<Revocation_subject>& _signers;
};

std::string utc_text(std::time_t time)
{
    std::tm broken{};
    ::gmtime_r(&time, &broken);
    char text[32] = {};
    std::strftime(text, sizeof text, "%d/%m/%Y %H:%M:%S", &broken);
    return std::string(text) + " UTC";
}

// The OCSP answer as an outcome; false when it does not decide (no answer, or unknown).
bool take_ocsp_answer(const Ocsp_result& answer, const Revocation_subject& signer, Revocation_outcome& outcome)
{
    if (answer.status != Ocsp_status::Good && answer.status != Ocsp_status::Revoked) {
        outcome.unknown_to_responder = outcome.unknown_to_responder || answer.status == Ocsp_status::Unknown;
        if (!answer.problem.empty())
            Trace(Trace_kind, Level_info) << answer.problem;
        return false;
    }
    if (answer.status == Ocsp_status::Good &&
        !silence_proves_unrevoked(signer.certificate, answer.issued, answer.archive_cutoff)) {
        Trace(Trace_kind, Level_info)
            << "La risposta OCSP, data dopo la scadenza del certificato, non indica se era revocato.";
        outcome.silent_after_expiry = true;
        return false;
    }
    outcome.revocation_issuer = 1;
    outcome.source = Revocation_source::Ocsp;
    outcome.status = Revocation_status::Valid;
    outcome.evidence = {answer.url, answer.from_cache, answer.produced_at, answer.next_update, answer.der};
    if (answer.status == Ocsp_status::Revoked) {
        outcome.revoked = true;
        outcome.revoked_at = answer.revoked_at;
        outcome.reason = answer.reason;
        std::string line = "Il certificato di " + signer.certificate.display_name() + " è stato revocato il " +
                           utc_text(*answer.revoked_at);
        if (const std::string reason = revocation_reason_text(answer.reason); !reason.empty())
            line += " (motivo: " + reason + ")";
        Trace(Trace_kind, Level_info) << line;
        if (signer.at && *answer.revoked_at > *signer.at) {
            // Revoked after the time the certificate is judged at: the signature was made before.
            Trace(Trace_kind, Level_info) << "Il certificato è stato revocato dopo la data della marca temporale.";
        } else {
            outcome.status = Revocation_status::Revoked;
            report_info(line + ".");
        }
    }
    return true;
}

// The source that decided, in the trace and among the lines of the analysis.
void tell_source(const Revocation_outcome& outcome, const Revocation_subject& signer)
{
    if (outcome.status != Revocation_status::Valid && outcome.status != Revocation_status::Revoked)
        return;
    const char* line = outcome.source == Revocation_source::Ocsp
                           ? (outcome.from_file ? "Revoca verificata tramite la risposta OCSP contenuta nel file"
                                                : "Revoca verificata tramite OCSP")
                       : outcome.source == Revocation_source::Crl
                           ? (outcome.from_file ? "Revoca verificata tramite la CRL contenuta nel file"
                                                : "Revoca verificata tramite CRL")
                           : nullptr;
    if (!line)
        return;
    Trace(Trace_kind, Level_info) << line << ".";
    report_info(std::string(line) + ": " + signer.certificate.display_name() + ".");
}

Revocation_outcome judge(const Revocation_subject& signer, const Revocation_settings& settings,
                         const std::atomic<bool>& cancel, Crl_file_memo& memo)
{
    Revocation_outcome outcome;
    // A signer without a certificate has no dates to test.
    const Time_validity validity = !signer.certificate.is_valid() ? Time_not_convertible
                                   : signer.at                    ? signer.certificate.time_validity_at(*signer.at)
                                                                  : signer.certificate.time_validity();
    switch (validity) {
    case Time_valid:
        outcome = check_revocation(signer, settings, cancel, memo);
        break;
    case Time_not_yet_valid:
        outcome.status = Revocation_status::Not_yet_valid;
        break;
    case Time_expired:
        outcome.status = Revocation_status::Expired;
        break;
    case Time_not_convertible:
    default:
        outcome.status = Revocation_status::Not_determinable;
        break;
    }
    return outcome;
}

// The answers and lists the signed file carries, within the method: true when one decided.
bool check_carried(const Revocation_subject& signer, const Certificate& crl_issuer, const Revocation_settings& settings,
                   const Responder_check& responders, Revocation_outcome& outcome)
{
    const Carried_validation& carried = *settings.carried;
    if (settings.method != Revocation_method::Only_crl)
        for (const std::vector<uint8_t>& answer : carried.ocsp_answers) {
            const Ocsp_result judged =
                judge_ocsp_answer(answer, signer.certificate, crl_issuer, nullptr, signer.at, true, responders);
            if (judged.status == Ocsp_status::No_answer)
                continue; // most answers of a file are about other certificates
            if (take_ocsp_answer(judged, signer, outcome)) {
                outcome.from_file = true;
                return true;
            }
        }
    if (settings.method == Revocation_method::Only_ocsp)
        return false;
    // The file chooses which of the issuer's lists it carries: one partitioned to authorities only,
    // or to another distribution point, would otherwise clear a revoked certificate by its silence.
    X509* handle = signer.certificate.raw_handle();
    const std::vector<std::string> points = X509_get_ext_by_NID(handle, NID_crl_distribution_points, -1) >= 0
                                                ? crl_distribution_urls(signer.certificate)
                                                : std::vector<std::string>{};
    const bool authority = X509_check_ca(handle) > 0;
    for (const Certificate_revocation_list& list : carried.crls) {
        if (!issued_under_certificate_issuer(list, signer.certificate) || !carried_list_speaks_for(list, signer.at))
            continue;
        if (!list.covers(points, authority)) {
            Trace(Trace_kind, Level_info)
                << "La CRL contenuta nel file copre solo una parte dei certificati dell'emittente.";
            continue;
        }
        if (list.verify_signature(crl_issuer) != Crl_signature::Verified) {
            Trace(Trace_kind, Level_info) << "La CRL contenuta nel file non è firmata dall'emittente del certificato.";
            continue;
        }
        Revocation_outcome found;
        const bool taken = take_lookup(list, signer, found);
        outcome.silent_after_expiry = outcome.silent_after_expiry || found.silent_after_expiry;
        if (taken) {
            // A list that names the certificate decides at once; one that does not may be older
            // than another one carried, so a later list is still looked at.
            found.source = Revocation_source::Crl;
            found.from_file = true;
            if (outcome.revoked && !found.revoked) {
                // An older list that does not name it yet says nothing against one that does.
                found.revoked = true;
                found.revoked_at = outcome.revoked_at;
                found.reason = outcome.reason;
                found.evidence = outcome.evidence;
            }
            found.silent_after_expiry = outcome.silent_after_expiry;
            outcome = found;
            if (found.status == Revocation_status::Revoked)
                return true;
        }
    }
    return outcome.from_file;
}

// The distribution points in turn, until one gives a list that decides.
void check_crls(const Revocation_subject& signer, const Certificate& crl_issuer, const Revocation_settings& settings,
                const std::atomic<bool>& cancel, Crl_file_memo& memo, Revocation_outcome& outcome)
{
    const std::optional<Certificate> issuer = crl_issuer;
    const std::vector<std::string> urls = crl_distribution_urls(signer.certificate);
    const auto first_http = std::find_if(urls.begin(), urls.end(), is_http_url);
    for (const std::string& url : urls) {
        if (is_http_url(url)) {
            Trace(Trace_kind, Level_info) << "Verifica CRL HTTP";
            // Always the certificate's first HTTP(S) point, whichever HTTP(S) entry this is.
            const std::optional<Certificate_revocation_list> list =
                fetch_http_crl(signer.certificate, issuer, settings, cancel, memo);
            if (list) {
                if (take_lookup(*list, signer, outcome, *first_http))
                    break;
                outcome.status = Revocation_status::Not_determinable;
                continue;
            }
            if (!settings.download_allowed) {
                outcome.status = Revocation_status::Update_disabled;
                break;
            }
            outcome.status = Revocation_status::Not_determinable;
            continue;
        }

        Trace(Trace_kind, Level_info) << "Verifica CRL LDAP";
        if (!settings.download_allowed) {
            Trace(Trace_kind, Level_info) << "La connessione Internet è disabilitata.";
            outcome.status = Revocation_status::Update_disabled;
            continue;
        }
        outcome.status = Revocation_status::Not_determinable;
        check_ldap_point(url, signer, crl_issuer, cancel, outcome);
        // A revocation found is final: a later point whose list predates it must not turn the
        // certificate valid again.
        if (outcome.status == Revocation_status::Revoked)
            break;
    }
}

} // namespace

Revocation_method revocation_method_of(uint32_t value)
{
    switch (value) {
    case 1:
        return Revocation_method::Only_ocsp;
    case 2:
        return Revocation_method::Only_crl;
    default:
        return Revocation_method::Both;
    }
}

bool silence_proves_unrevoked(const Certificate& certificate, std::optional<std::time_t> issued,
                              std::optional<std::time_t> expired_kept_since)
{
    if (!certificate.is_valid() || !issued)
        return false;
    const std::optional<std::time_t> expiry = seconds_of(X509_get0_notAfter(certificate.raw_handle()));
    if (!expiry)
        return false;
    return *issued <= *expiry || (expired_kept_since && *expired_kept_since <= *expiry);
}

std::optional<Certificate> crl_issuer_of(const Revocation_subject& signer)
{
    const Certificate& certificate = signer.certificate;
    if (certificate.is_self_issued() && is_accepted_issuer(certificate, certificate))
        return certificate;
    // The issuer handed over is checked again: a list may only be signed by a certificate that
    // chain building would take as the issuer.
    if (signer.issuer && is_accepted_issuer(certificate, *signer.issuer))
        return signer.issuer;
    return std::nullopt;
}

std::vector<std::string> crl_distribution_urls(const Certificate& certificate)
{
    const Distribution_points points(certificate);
    if (!points.succeeded()) {
        // Only the revocation stays unknown, which the certificate's own lines say as a warning:
        // an error line here would stand under an outcome that is not one.
        report_warning("La CRL non ha un punto di distribuzione HTTP(S).");
        return {};
    }
    std::vector<std::string> urls;
    for (int index = 0; index < points.count(); ++index) {
        const DIST_POINT& point = points.point(index);
        const int choice = distribution_point_name_choice(point);
        if (choice != Crl_dist_point_full_name) {
            trace_value("name.dwDistPointNameChoice", std::to_string(choice));
            Trace(Trace_kind, Level_trace) << "name.dwDistPointNameChoice != CRL_DIST_POINT_FULL_NAME";
            continue;
        }
        const GENERAL_NAMES* names = point.distpoint->name.fullname;
        for (int entry = 0; entry < sk_GENERAL_NAME_num(names); ++entry) {
            const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, entry);
            if (name->type != GEN_URI) {
                trace_value("entry->dwAltNameChoice", std::to_string(alternative_name_choice(*name)));
                Trace(Trace_kind, Level_trace) << "entry->dwAltNameChoice != CERT_ALT_NAME_URL";
                continue;
            }
            const ASN1_IA5STRING* text = name->d.uniformResourceIdentifier;
            std::string url(reinterpret_cast<const char*>(ASN1_STRING_get0_data(text)),
                            static_cast<std::size_t>(ASN1_STRING_length(text)));
            // The URL ends at its first NUL, as every C string handed on (file name, request) would.
            url.resize(url.find('\0') == std::string::npos ? url.size() : url.find('\0'));
            trace_value("entry->pwszURL", url);
            urls.push_back(std::move(url));
        }
    }
    return urls;
}

std::string first_http_crl_url(const Certificate& certificate)
{
    std::string result;
    for (const std::string& url : crl_distribution_urls(certificate)) {
        if (is_http_url(url)) {
            result = url;
            break;
        }
    }
    trace_value("result", result);
    return result;
}

Crl_check_outcome crl_check(const Certificate_revocation_list& list, const Certificate& crl_issuer)
{
    Crl_check_outcome outcome;
    const int validity = list.time_validity();
    if (validity == Crl_not_yet_valid) {
        Trace(Trace_kind, Level_info) << "La lista di certificati revocati non è ancora valida.";
        outcome.result = Crl_check_not_yet_valid;
        return outcome;
    }
    if (validity == Crl_expired) {
        Trace(Trace_kind, Level_info) << "La lista di certificati revocati è scaduta.";
        outcome.result = Crl_check_expired;
        return outcome;
    }
    if (validity != Crl_valid) {
        outcome.result = Crl_check_unexpected_time;
        return outcome;
    }

    EVP_PKEY* key = X509_get0_pubkey(crl_issuer.checked_handle());
    ERR_clear_error();
    const int verified = key ? X509_CRL_verify(list.raw_handle(), key) : -1;
    const unsigned long error = ERR_peek_last_error();
    ERR_clear_error();
    if (verified == 1)
        outcome.result = Crl_check_valid;
    else if (verified == 0)
        outcome.result = Crl_check_bad_signature;
    else {
        outcome.result = Crl_check_signature_failed;
        outcome.error = error;
    }
    return outcome;
}

std::optional<Certificate_revocation_list> fetch_http_crl(const Certificate& certificate,
                                                          const std::optional<Certificate>& crl_issuer,
                                                          const Revocation_settings& settings,
                                                          const std::atomic<bool>& cancel)
{
    Crl_file_memo memo;
    return fetch_http_crl(certificate, crl_issuer, settings, cancel, memo);
}

std::optional<Certificate_revocation_list> fetch_http_crl(const Certificate& certificate,
                                                          const std::optional<Certificate>& crl_issuer,
                                                          const Revocation_settings& settings,
                                                          const std::atomic<bool>& cancel, Crl_file_memo& memo)
{
    if (!crl_issuer)
        return std::nullopt;
    const std::string url = first_http_crl_url(certificate);
    if (url.empty())
        return std::nullopt;

    bool downloaded = false;
    for (;;) {
        if (std::optional<Certificate_revocation_list> list = newest_cached_list(url, certificate, *crl_issuer, memo))
            return list;
        if (downloaded || !settings.download_allowed)
            return std::nullopt;
        downloaded = true;
        const std::string path = cache_file_name(url);
        if (path.empty()) {
            Trace(Trace_kind, Level_trace) << "Errore durante il salvataggio della CRL.";
            return std::nullopt;
        }
        const Crl_download_turn turn(url);
        if (!turn.downloads()) {
            // Another analysis has just fetched this list: its file is read instead.
            memo.forget(path);
            return newest_cached_list(url, certificate, *crl_issuer, memo);
        }
        if (!download_crl_file(url, path, cancel))
            return std::nullopt;
        memo.forget(path);
    }
}

Revocation_outcome check_revocation(const Revocation_subject& signer, const Revocation_settings& settings,
                                    const std::atomic<bool>& cancel)
{
    Crl_file_memo memo;
    return check_revocation(signer, settings, cancel, memo);
}

Revocation_outcome check_revocation(const Revocation_subject& signer, const Revocation_settings& settings,
                                    const std::atomic<bool>& cancel, Crl_file_memo& memo)
{
    const Trace_block revocation_block("Verifica della revoca.");
    const Trace_block chain_block("Verifica certificato della catena");

    Revocation_outcome outcome;
    outcome.status = Revocation_status::Update_disabled;
    const std::optional<Certificate> crl_issuer = crl_issuer_of(signer);
    if (!crl_issuer) {
        // Any list would be taken on trust: one planted, or one whose issuer shares only a name
        // with the real one, would make a revoked or forged certificate look valid.
        Trace(Trace_kind, Level_info)
            << "La lista delle revoche non può essere verificata, perché manca l'emittente del certificato.";
        outcome.revocation_issuer = 2;
        return outcome;
    }

    // A delegated responder that needs a check is checked within the same method and lists.
    const Responder_check responders = responder_check_for(signer, *crl_issuer, settings, cancel, memo);
    if (settings.carried && check_carried(signer, *crl_issuer, settings, responders, outcome)) {
        tell_source(outcome, signer);
        return outcome;
    }
    if (settings.method != Revocation_method::Only_crl) {
        Trace(Trace_kind, Level_info) << "Verifica OCSP";
        const Ocsp_result answer =
            check_ocsp(signer.certificate, *crl_issuer, signer.at,
                       Ocsp_options{settings.download_allowed, settings.ocsp_time_limit, responders}, cancel);
        if (take_ocsp_answer(answer, signer, outcome)) {
            tell_source(outcome, signer);
            return outcome;
        }
        if (settings.method == Revocation_method::Only_ocsp) {
            outcome.status = settings.download_allowed || outcome.silent_after_expiry
                                 ? Revocation_status::Not_determinable
                                 : Revocation_status::Update_disabled;
            return outcome;
        }
    }
    check_crls(signer, *crl_issuer, settings, cancel, memo, outcome);
    if (outcome.revocation_issuer == 1)
        outcome.source = Revocation_source::Crl;
    // Lists or answers were there but none could speak for an expired certificate: what is missing
    // is not a setting nor a source, and any list found later would be as silent.
    if (outcome.silent_after_expiry && outcome.status != Revocation_status::Valid &&
        outcome.status != Revocation_status::Revoked) {
        outcome.status = Revocation_status::Not_determinable;
        tell_source(outcome, signer);
        return outcome;
    }
    // Nothing could be asked: the setting is not what stopped the check, and saying it is would
    // send the user the wrong way.
    // (The extension is looked at directly: crl_distribution_urls has already said it is missing.)
    outcome.no_source = outcome.status == Revocation_status::Update_disabled && signer.certificate.is_valid() &&
                        X509_get_ext_by_NID(signer.certificate.raw_handle(), NID_crl_distribution_points, -1) < 0 &&
                        authority_access_urls(signer.certificate, NID_ad_OCSP).empty();
    tell_source(outcome, signer);
    return outcome;
}

std::vector<Revocation_outcome> check_revocations(const std::vector<Revocation_subject>& signers,
                                                  const Revocation_settings& settings, const std::atomic<bool>& cancel)
{
    std::vector<Revocation_outcome> outcomes;
    outcomes.reserve(signers.size());
    // One reading of each cached list for all the signers of the analysis.
    Crl_file_memo memo;
    // An envelope may repeat one signer many times: each certificate is judged once per issuer
    // and time, and its outcome handed to every signer that shares them.
    std::map<std::size_t, std::size_t, Same_verdict_order> judged{Same_verdict_order(signers)};
    for (std::size_t n = 0; n < signers.size(); ++n) {
        const auto [known, added] = judged.try_emplace(n, n);
        outcomes.push_back(added ? judge(signers[n], settings, cancel, memo) : outcomes[known->second]);
    }
    return outcomes;
}

} // namespace velin
