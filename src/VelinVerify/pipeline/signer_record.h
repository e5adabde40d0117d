// Everything the verifier knows about one signer: the certificate read while decoding, then what
// chain building and revocation checking found. The window draws it field by field, each field
// with the state of the work that fills it.
#pragma once

#include "VelinVerify/pipeline/existence_proof.h"
#include "envelope/assignable.h"
#include "envelope/signed_document_info.h"
#include "trust/certificate.h"
#include "trust/chain_builder.h"
#include "trust/revocation.h"

#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace velin {

// A trusted time stamp's time that covers the signature, else the time of the verification.
struct Judged_time {
    std::time_t at = 0;
    bool by_timestamp = false;

    bool operator==(const Judged_time&) const = default;
};

// The signer's line that says which time the trusted lists were judged at.
std::string lists_judged_text(const Judged_time& judged);

struct Signer_record {
    // Assigned when decoding read the certificate; Failed with the decoder's message otherwise.
    Assignable<Certificate> certificate;
    // The first issuer found above the signer; Pending when none was found.
    Assignable<Certificate> issuer;
    // Signer first, root last: Assigned when a trusted root was reached, Failed (empty message)
    // when the chain is incomplete, Pending until built.
    Assignable<std::vector<Certificate>> chain;
    Assignable<Signature_kind> signature_kind;
    // Why a signature under a trusted list's service is an attestation; empty otherwise.
    std::string attestation_reason;
    Revocation_status revocation_status = Revocation_status::Not_checked;
    int revocation_issuer = 0; // 0 not yet, 1 checked with the list's issuer, 2 without it
    // The certificate names no revocation source (Revocation_outcome::no_source).
    bool revocation_no_source = false;
    // The lists and answers given after the certificate's expiry were silent about it
    // (Revocation_outcome::silent_after_expiry).
    bool revocation_silent_after_expiry = false;
    // An authority of the issuer's name is there, but its signature on the certificate fails.
    bool issuer_signature_failed = false;
    // Set when a trusted time stamp covers the signature: validity and revocation were judged at
    // that time instead of now.
    std::optional<std::time_t> judged_at;
    // The earliest time stamp that proves the signature existed, when one does: the time its
    // certificate, revocation and lists are judged at.
    std::optional<Existence_proof> proof;
    // The date of a revocation the check found after the time judged at (the certificate stays
    // valid for the signature), when it reads.
    std::optional<std::time_t> revoked_at;
    // What decided the revocation check, for the written reports: the kind of answer, whether the
    // signed file carried it, the CRLReason of a revocation (-1 without one), whether a responder
    // did not know the certificate, and the answer or list itself.
    Revocation_source revocation_source = Revocation_source::None;
    bool revocation_from_file = false;
    int revocation_reason = -1;
    bool revocation_unknown_to_responder = false;
    Revocation_evidence revocation_evidence;
    // The time the trusted lists' statuses and the qualification were judged at, once the chain
    // is built. Never the signing time the signer wrote: a backdated signature would escape a
    // withdrawal.
    std::optional<Judged_time> lists_judged;
    // The signature's form does not bind the certificate to it: never legal value, whatever the
    // chain says.
    bool form_without_legal_value = false;
};

// The records made of the signers' certificates so far: signers that share a certificate share
// its record (an envelope may repeat one signer a great many times).
using Signer_certificates = std::map<const X509*, Certificate>;

// The record of a decoded signer, chain and revocation still to come.
Signer_record make_signer_record(const Signature_info& signature, Signer_certificates& known);

// Fills issuer, chain and signature_kind from the chain job. No outcome (the trusted lists could
// not be loaded, or the signer has no certificate) is an incomplete chain: the trust of such a
// signature cannot be determined, and it must not look as if the work were still under way.
void apply_chain_outcome(Signer_record& record, const std::optional<Chain_outcome>& outcome);

// The signers to hand to the revocation job: those with a certificate, with their indexes. Each is
// judged at the time its lists were judged when a time stamp gave it, else now.
struct Revocation_job {
    std::vector<Revocation_subject> subjects;
    std::vector<size_t> indexes; // into the signer list, one per subject
};
Revocation_job revocation_job(const std::vector<Signer_record>& records);

// Writes the job's outcomes back. A signer without a certificate cannot be checked: its validity
// cannot be determined (Not_determinable), it is never left as if still being checked.
void apply_revocation_outcomes(std::vector<Signer_record>& records, const Revocation_job& job,
                               const std::vector<Revocation_outcome>& outcomes);

} // namespace velin
