// Revocation checking of signer certificates: validity by day, then the OCSP responder named in
// the certificate's authority information access and, when it gives no answer, the CRLs named in
// its distribution points, from the cache, over HTTP(S) or from an LDAP directory.
// Only the signer's own certificate is checked; the authorities of its chain are not.
#pragma once

#include "trust/carried_validation.h"
#include "trust/certificate.h"
#include "trust/certificate_revocation_list.h"
#include "trust/crl_cache.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velin {

enum class Revocation_status : int {
    Not_checked = 0,
    Valid = 1,
    Expired = 2,
    Not_yet_valid = 3,
    Revoked = 4,
    Update_disabled = 5,
    Not_determinable = 6,
};

// revocation_issuer: 0 until a list gave a result, 1 a list checked with its issuer's key gave it,
// 2 no list could be used because the certificate's issuer is missing.
// Which kind of answer decided a Valid or Revoked status.
enum class Revocation_source : int {
    None = 0,
    Ocsp = 1,
    Crl = 2,
};

// The answer or list that decided a Valid or Revoked status, kept for the written reports.
struct Revocation_evidence {
    // The OCSP responder asked, or the list's distribution point; empty for what the signed file
    // carries, and for an answer kept from an earlier check of a certificate naming several
    // responders.
    std::string url;
    // An OCSP answer kept from an earlier check (the user's cache), not asked for now.
    bool from_cache = false;
    // When it was given (an OCSP answer's producedAt, a list's thisUpdate) and its nextUpdate.
    std::optional<std::time_t> issued = std::nullopt;
    std::optional<std::time_t> next_update = std::nullopt;
    // Its DER bytes (an OCSPResponse, a CertificateList); null when nothing decided.
    std::shared_ptr<const std::vector<uint8_t>> der{};
};

struct Revocation_outcome {
    Revocation_status status = Revocation_status::Not_checked;
    int revocation_issuer = 0;
    Revocation_source source = Revocation_source::None;
    // Update_disabled because the certificate names no revocation source at all (no CRL
    // distribution point, no OCSP responder), whatever the settings.
    bool no_source = false;
    // The answer or list that decided came from the signed file itself.
    bool from_file = false;
    // When the answer or list names the certificate as revoked, also when that was after the time
    // it is judged at (status Valid): the date, when it reads, and the CRLReason (-1 without one).
    // A time-stamping unit revoked later for a compromise of its key is not believed even then.
    bool revoked = false;
    std::optional<std::time_t> revoked_at = std::nullopt;
    int reason = -1;
    // A list or answer given after the certificate expired did not name it, and did not say that
    // it still tracks expired certificates: its silence was not taken as proof.
    bool silent_after_expiry = false;
    // A responder answered that it does not know the certificate.
    bool unknown_to_responder = false;
    // What decided, when source is not None.
    Revocation_evidence evidence{};
};

// One signer as chain building left it: its certificate and the issuer found, if any. With a time
// (a trusted time stamp's), the certificate is judged at that time instead of now: its dates
// then, and a revocation only when it was dated before that time.
struct Revocation_subject {
    Certificate certificate;
    std::optional<Certificate> issuer;
    std::optional<std::time_t> at = std::nullopt;
};

// Whether a list or answer given at issued that does not name the certificate as revoked proves
// it was not: given by the certificate's expiry, or later with a date (ExpiredCertsOnCRL,
// archiveCutoff) at or before the expiry from which it keeps expired certificates. Authorities
// drop expired certificates from their lists, and a responder may call good a certificate it no
// longer tracks. A list or answer that names the certificate always counts.
bool silence_proves_unrevoked(const Certificate& certificate, std::optional<std::time_t> issued,
                              std::optional<std::time_t> expired_kept_since);

// MetodoRevoca: which sources may answer. Both asks the OCSP responder first and reads the CRL
// only when the responder gives no answer.
enum class Revocation_method : int {
    Both = 0,
    Only_ocsp = 1,
    Only_crl = 2,
};

// The settings the check reads: AggiornaCRL (download lists, ask responders, read LDAP
// directories) and MetodoRevoca.
struct Revocation_settings {
    bool download_allowed = true;
    Revocation_method method = Revocation_method::Both;
    // The whole of one exchange with an OCSP responder: it comes before the CRL, so a responder
    // that is slow must not hold the analysis long.
    std::chrono::milliseconds ocsp_time_limit{std::chrono::seconds(15)};
    // What the signed file carries: its OCSP answers and lists are asked first (within the method),
    // before any cache, responder or distribution point.
    std::shared_ptr<const Carried_validation> carried{};
};

// The MetodoRevoca value as a method; values outside the table mean Both.
Revocation_method revocation_method_of(uint32_t value);

// The job of one analysis: one outcome per signer, in order. Runs on a worker thread; a set
// cancel flag interrupts downloads (the fetch then fails like any failed download). Each cached
// list is read once for the whole job, and signers that share a certificate, its issuer and the time
// it is judged at are checked once: an envelope may name one certificate for many signers.
std::vector<Revocation_outcome> check_revocations(const std::vector<Revocation_subject>& signers,
                                                  const Revocation_settings& settings, const std::atomic<bool>& cancel);

// One signer whose certificate is within its validity period today. Without an accepted issuer
// no list can be checked and none is used: Update_disabled with revocation_issuer 2.
Revocation_outcome check_revocation(const Revocation_subject& signer, const Revocation_settings& settings,
                                    const std::atomic<bool>& cancel);
Revocation_outcome check_revocation(const Revocation_subject& signer, const Revocation_settings& settings,
                                    const std::atomic<bool>& cancel, Crl_file_memo& memo);

// The certificate's distribution point URLs, in order (possibly none).
std::vector<std::string> crl_distribution_urls(const Certificate& certificate);

// The first of those starting with "http://" or "https://" (any case); empty when none.
std::string first_http_crl_url(const Certificate& certificate);

// <the user's own cache folder>/<escaped url>.crl; empty when there is no such folder.
std::string cache_file_name(const std::string& url);

// Deletes every *.crl file and every kept OCSP answer of the user's own cache folders (through
// the file system; the seed is left alone); false on failure.
bool clear_crl_cache();

// The certificate whose key must have signed a list for this signer, under the same rule as chain
// building (is_accepted_issuer): the signer's own certificate when it is self-issued and an
// authority that verifies itself, otherwise the issuer found by chain building when it passes the
// rule; none otherwise.
std::optional<Certificate> crl_issuer_of(const Revocation_subject& signer);

// Results of checking a list, in this order.
enum Crl_check_result : int {
    Crl_check_valid = 1,
    Crl_check_expired = 2,
    Crl_check_not_yet_valid = 3,
    Crl_check_bad_signature = 4,
    Crl_check_unexpected_time = 5,
    Crl_check_signature_failed = 6, // for another reason than a wrong signature; error says why
    Crl_check_not_checked = 7,
};

struct Crl_check_outcome {
    Crl_check_result result = Crl_check_not_checked;
    unsigned long error = 0; // OpenSSL's error code of a Crl_check_signature_failed, when it gave one
};

// The list is current and crl_issuer's key signed it.
Crl_check_outcome crl_check(const Certificate_revocation_list& list, const Certificate& crl_issuer);

// A usable list for the certificate's first HTTP(S) distribution point: current, signed by
// crl_issuer and issued under the certificate's issuer name. The newest usable one of the user's
// cache and the seed; when neither is usable, downloaded into the user's cache at most once (only
// when downloads are allowed). Never a list without crl_issuer: an unchecked list proves nothing.
std::optional<Certificate_revocation_list> fetch_http_crl(const Certificate& certificate,
                                                          const std::optional<Certificate>& crl_issuer,
                                                          const Revocation_settings& settings,
                                                          const std::atomic<bool>& cancel);
std::optional<Certificate_revocation_list> fetch_http_crl(const Certificate& certificate,
                                                          const std::optional<Certificate>& crl_issuer,
                                                          const Revocation_settings& settings,
                                                          const std::atomic<bool>& cancel, Crl_file_memo& memo);

} // namespace velin
