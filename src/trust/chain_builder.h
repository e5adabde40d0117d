// Chain building and classification of one signature: from the signer's certificate up to a
// root, looking issuers up in the merged trusted store only, then deciding the kind of signature.
// A signature has legal value only when its chain ends at an accredited root (on the CNIPA list, or
// a CA/QC service of a trusted list granted at the time judged), every issuer on the way is a
// certification authority, and the signer's certificate allows non-repudiation; under a trusted
// list's service the certificate must also be qualified for electronic signatures with its key on
// a qualified device, both at its issuance and at the time judged, by every service that names the
// root (qualification.h); under a root of the CNIPA list a certificate with qcStatements must be
// such a certificate by its own statements. A certificate of
// a CA/QC service of a trusted list ends the chain even when it is not self-signed: the list
// trusts the service's certificate, not whoever issued it.
//
// The outcome maps onto the signer record's fields: issuer (Assigned when present), chain
// (Assigned when complete, Failed with an empty message otherwise) and signature_kind (Assigned
// with kind, or Failed with kind_message).
#pragma once

#include "trust/certificate.h"
#include "trust/trusted_store.h"

#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace velin {

enum class Signature_kind : int {
    Attestation = 1,
    Legal_value = 2,
    Undetermined = 3,
};

struct Chain_outcome {
    std::optional<Certificate> issuer; // the first issuer found above the signer
    // No issuer of the signer was found, but an authority of the issuer's name was: its key does
    // not verify the signer's certificate (a forged or damaged certificate).
    bool issuer_signature_failed = false;
    bool complete = false; // a trusted root was reached
    std::vector<Certificate> chain; // signer first, root last; only when complete
    bool kind_assigned = false; // signature_kind Assigned (true) or Failed (false)
    Signature_kind kind = Signature_kind::Undetermined;
    std::string kind_message; // why the kind is Failed
    // Why a chain under a trusted list's service has no legal value, for the signer's lines.
    std::string attestation_reason;
};

// Messages of the classification.
inline constexpr const char* Key_usage_failed_text = "La rilevazione dell'uso della chiave è fallita.";
inline constexpr const char* Key_usage_unavailable_text =
    "La rilevazione dell'uso della chiave non può essere eseguita.";

// Texts of the verification window.
inline constexpr const char* Chain_pending_text = "Rilevazione dell'attendibilità della firma in corso...";
inline constexpr const char* Chain_incomplete_text = "L'attendibilità di questa firma non può essere determinata.";

// The text shown for signature_kind in a given Assignable state (0 pending, 2 assigned,
// 3 failed; 1 never happens and is shown like a failure).
std::string signature_kind_text(int state, Signature_kind kind);

// Authorities that may continue a chain where the stores hold no issuer (those published at the
// certificate's caIssuers address). They are only ever intermediates: a self-issued one is not
// taken, so a chain still has to end at a root the stores trust.
using Issuer_source = std::function<std::vector<Certificate>(const Certificate& subject)>;

// One signer. A signer without a certificate is "Assertion failed: is_assigned ()"; a store
// without merged store is "Assertion failed: merged_store () ne NULL".
// judged_at: the time the trusted lists' statuses are read at: a trusted time stamp's that covers
// the signature, else now (also when absent); never the signing time the signer states.
// extra_issuers: asked for the issuer of a certificate when the stores have none.
Chain_outcome build_chain(const Trusted_store& store, const Certificate& signer,
                          std::optional<std::time_t> judged_at = std::nullopt, const Issuer_source& extra_issuers = {});

// The job of one analysis, in signer-list order. Nothing (logged) when the trusted store has no
// merged store. A signer whose certificate could not be read gets no outcome (nullopt) and does
// not stop the others.
// judged_at: one time per signer (see build_chain), or empty.
std::optional<std::vector<std::optional<Chain_outcome>>>
build_chains(const Trusted_store& store, const std::vector<Certificate>& signers,
             const std::vector<std::optional<std::time_t>>& judged_at = {}, const Issuer_source& extra_issuers = {});

} // namespace velin
