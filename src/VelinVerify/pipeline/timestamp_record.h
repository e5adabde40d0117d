// A time stamp as a layer judges it: what decoding found (token, signature, imprint, purpose,
// dates), then whether its authority is trusted and not revoked, and the lines that say so.
#pragma once

#include "VelinVerify/pipeline/status_line.h"
#include "envelope/assignable.h"
#include "envelope/timestamp_token.h"
#include "trust/certificate.h"
#include "trust/revocation.h"

#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace velin {

struct Timestamp_record {
    Timestamp_info info;
    // Found in an outer layer: it covers this layer's whole envelope, and is shown there.
    bool inherited = false;
    Assignable<bool> trusted; // Pending until the authority's chain is built
    std::optional<Certificate> issuer;
    Revocation_status revocation = Revocation_status::Not_checked;
    // Its authority is a qualified one (Timestamp_authority_trust::qualified).
    bool qualified = false;
    // A qualified time-stamping service of the lists vouches for the unit at the token's time
    // (Timestamp_authority_trust::listed).
    bool listed = false;
    // What the answer or list that decided said of a revocation of the unit, also one after the
    // token's time (Revocation_outcome).
    bool revoked = false;
    std::optional<std::time_t> revoked_at = std::nullopt;
    int revocation_reason = -1;
    // What decided the check of the unit's revocation, for the written reports.
    Revocation_source revocation_source = Revocation_source::None;
    bool revocation_from_file = false;
    Revocation_evidence revocation_evidence{};
    // Along the chain of proofs (judge_authorities_over_time): the time of the later time stamp
    // that proves this one existed, which its authority's certificate is judged at (now without
    // one); the certificate's end; and whether it had ended by then, which leaves the time stamp
    // no proof.
    std::optional<std::time_t> authority_judged_at = std::nullopt;
    std::optional<std::time_t> authority_not_after = std::nullopt;
    bool authority_expired = false;

    // A time that can be relied on: verified, by a trusted authority not revoked then, nor ever
    // for a compromise (revoked_by_compromise), whose certificate had not ended before a later
    // proof (or now); one whose revocation could not be checked only when a qualified service of
    // the lists vouches for it.
    bool usable() const;
    // The unit was revoked, at any date, for a reason that does not leave its earlier tokens
    // standing: a compromise, no reason or any but superseded, cessation of operation and a
    // change of affiliation.
    bool revoked_by_compromise() const;
    // Its revocation was looked for and could not be found out.
    bool revocation_unknown() const;
    // The outcome of the check of the unit's revocation.
    void take_revocation(const Revocation_outcome& outcome);
    // It covers signer `signer` of its layer: a time stamp of the whole file or envelope, or one
    // of that signer's signature. A content time stamp proves when the content existed, not when
    // it was signed.
    bool covers(size_t signer) const;
};

// What the lines of a time stamp say of its unit's revocation, beyond the status itself.
inline constexpr const char* Text_unit_not_reliable =
    "le sue marche temporali non sono affidabili e questa non è usata come riferimento temporale.";
inline constexpr const char* Text_unknown_unit_vouched =
    "La marca temporale è usata come riferimento temporale perché l'autorità è un servizio qualificato di "
    "marcatura temporale delle liste di fiducia alla data della marca.";
inline constexpr const char* Text_unknown_unit_not_vouched =
    "La marca temporale non è usata come riferimento temporale: la revoca del certificato dell'autorità non può "
    "essere rilevata e nessun servizio qualificato di marcatura temporale delle liste di fiducia la garantisce.";

// "dd/mm/yyyy hh:mm:ss (UTC)".
std::string timestamp_time_text(const System_time& when);

// The lines a time stamp is shown with, in the "Attività" list (time stamps of the file) or in
// its signer's status list.
std::vector<Status_line> timestamp_lines(const Timestamp_record& record);

} // namespace velin
