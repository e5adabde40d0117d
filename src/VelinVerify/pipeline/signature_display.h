// What the verification window shows for one signature: signer, "Data e ora:", "Tipo di firma:"
// and the certificate status list, with the warnings and errors they stand for.
#pragma once

#include "VelinVerify/pipeline/signer_record.h"
#include "VelinVerify/pipeline/status_line.h"
#include "envelope/signed_document_info.h"

#include <string>
#include <vector>

namespace velin {

// Said instead of the disabled-update line when the certificate names nowhere to ask.
inline constexpr const char* no_revocation_source_text =
    "Il certificato non indica dove verificarne la revoca: né una lista di revoca né un servizio OCSP.";

// Said under a revocation that cannot be found when the only lists or answers were given after the
// certificate expired and do not say whether it had been revoked before.
inline constexpr const char* silent_after_expiry_text =
    "Il certificato è scaduto e le liste di revoca disponibili, emesse dopo la scadenza, non indicano se era "
    "stato revocato prima: la revoca non può essere rilevata.";

struct Signature_display {
    std::string signer; // the certificate's friendly display name
    std::string signing_time; // the text after "Data e ora:"
    std::string kind; // the text after "Tipo di firma:"
    std::vector<Status_line> status;
    bool warnings = false;
    bool errors = false;
};

// dd/mm/yyyy hh:mm:ss, zero-filled, as the signing time is shown (UTC, not converted).
std::string format_signing_time(const System_time& time);

// "<decodifica in corso...>", "<informazione non disponibile>", the time, "<decodifica fallita>".
std::string signing_time_text(const Assignable<System_time>& time);

// The signer's name in the signer list: the certificate's display name, or the state text when
// the certificate could not be read.
std::string signer_name(const Signer_record& record);

// revocation_running: the revocation stage was queued, so a signer not yet reached is shown as
// being checked. Without texts only the status lines and flags are made (signer, time and kind
// are left empty), which is what the outcome of many signers needs.
Signature_display show_signature(const Signature_info& signature, const Signer_record& record, bool revocation_running,
                                 bool with_texts = true);

} // namespace velin
