// Asking the OCSP responder of a certificate's authority whether the certificate is revoked: a
// request with a nonce, sent by HTTP POST to the responder named in the certificate's authority
// information access. An answer counts only when it is successful, signed by the issuer or by a
// responder the issuer delegated for OCSP signing, about this certificate of this issuer, fresh,
// and carrying our nonce when it carries one. A delegated responder whose certificate does not say
// that it needs no check (id-pkix-ocsp-nocheck) is believed only once its own status was checked:
// a responder key revoked, or whose revocation is unknown, could vouch for anything. Answers that
// count are kept in the user's own cache and used again while they stay fresh.
#pragma once

#include "trust/certificate.h"

#include <openssl/ocsp.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace velin {

enum class Ocsp_status : int {
    No_answer = 0, // nothing that counts: no responder, a failed exchange, an answer refused
    Good = 1,
    Revoked = 2,
    Unknown = 3, // the responder does not know the certificate
};

struct Ocsp_result {
    Ocsp_status status = Ocsp_status::No_answer;
    std::optional<std::time_t> revoked_at; // with Revoked
    int reason = -1; // CRLReason of a Revoked answer; -1 when none is given
    // When the answer was given: the later of its producedAt and its thisUpdate. Its archiveCutoff,
    // when it carries one: the responder still answers for certificates that expired on or after it.
    std::optional<std::time_t> issued;
    std::optional<std::time_t> archive_cutoff;
    std::string problem; // why there is no answer, for the trace log
    bool from_cache = false;
    // The answer's own producedAt and its nextUpdate for the certificate, its bytes (an answer
    // that was read: Good, Revoked or Unknown) and the responder that gave it (empty for an
    // answer a file carries or one kept whose responder is not certain).
    std::optional<std::time_t> produced_at;
    std::optional<std::time_t> next_update;
    std::shared_ptr<const std::vector<uint8_t>> der;
    std::string url;
};

// Real answers are a few kilobytes; larger ones are never read.
constexpr std::size_t Ocsp_answer_limit = 64u * 1024u;
// Tolerated clock difference with the responder, and the age an answer without nextUpdate may have.
constexpr long Ocsp_clock_skew = 5 * 60;
constexpr long Ocsp_maximum_age = 24 * 60 * 60;

// Whether a delegated responder without id-pkix-ocsp-nocheck may be believed for an answer judged
// at a time: its own status was found and it is not revoked, or revoked after that time for a
// reason that does not touch its key. The check must not rest on the responder's own answers.
using Responder_check = std::function<bool(const Certificate& responder, std::time_t at)>;

// The judgement of an answer's bytes for certificate, issued by issuer. request: the request
// sent, whose nonce an answer with a nonce must carry; none for an answer read from the cache.
// at: the time the certificate is judged at, which the answer's validity must cover.
// archived: an answer a signed file carries, judged for the time at (now when none) rather than
// for now: issued by now, and reaching at; its responder's certificate current at that time, not
// at the time the answer claims to have been produced. responder_check: how a delegated responder
// that needs a check is checked, at now for an answer just fetched or cached, at the time judged
// for an archived one; without it such an answer gives no answer.
Ocsp_result judge_ocsp_answer(std::span<const uint8_t> answer, const Certificate& certificate,
                              const Certificate& issuer, const OCSP_REQUEST* request, std::optional<std::time_t> at,
                              bool archived = false, const Responder_check& responder_check = {});

struct Ocsp_options {
    bool download_allowed = true;
    std::chrono::milliseconds time_limit{std::chrono::seconds(15)};
    Responder_check responder_check{};
    // Waits for another analysis asking about the same certificate, to read the answer it keeps.
    // Off for a check made while another question is pending, which must never wait in a cycle.
    bool wait_for_others = true;
};

// The cached answer when it still counts, otherwise each HTTP(S) responder of the certificate in
// turn until one gives an answer that counts (only when downloads are allowed). Only an answer
// that counts, its responder checked, is kept.
Ocsp_result check_ocsp(const Certificate& certificate, const Certificate& issuer, std::optional<std::time_t> at,
                       const Ocsp_options& options, const std::atomic<bool>& cancel);

// The reason of a revocation in words ("compromissione della chiave"); empty for -1.
std::string revocation_reason_text(int reason);

} // namespace velin
