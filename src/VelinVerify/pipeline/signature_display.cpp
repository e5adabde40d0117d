#include "VelinVerify/pipeline/signature_display.h"

#include <algorithm>
#include <cstdio>

namespace velin {

namespace {

constexpr const char* pending_text = "<decodifica in corso...>";
constexpr const char* unavailable_text = "<informazione non disponibile>";
constexpr const char* failed_text = "<decodifica fallita>";

void add(Signature_display& display, Line_severity severity, const char* text)
{
    display.status.push_back({severity, text});
    if (severity == Line_severity::Error)
        display.errors = true;
    else if (severity == Line_severity::Warning)
        display.warnings = true;
}

void add_revocation_lines(Signature_display& display, const Signer_record& record, bool revocation_running)
{
    switch (record.revocation_status) {
    case Revocation_status::Not_checked:
        if (revocation_running)
            add(display, Line_severity::Information, "La verifica dell'eventuale revoca è in corso...");
        break;
    case Revocation_status::Valid:
        add(display, Line_severity::Information, "Il certificato è valido.");
        break;
    case Revocation_status::Expired:
        add(display, Line_severity::Error, "Il certificato è scaduto.");
        break;
    case Revocation_status::Not_yet_valid:
        add(display, Line_severity::Error, "Il certificato non è ancora valido.");
        break;
    case Revocation_status::Revoked:
        add(display, Line_severity::Error, "Il certificato è stato revocato.");
        break;
    case Revocation_status::Update_disabled:
        // Without the issuer no list was looked at, whatever the setting: the missing-issuer line
        // above says why, and blaming the setting would send the user the wrong way.
        if (record.revocation_no_source)
            add(display, Line_severity::Information, no_revocation_source_text);
        else if (record.revocation_issuer != 2)
            add(display, Line_severity::Information, "L'aggiornamento delle revoche è disabilitato.");
        add(display, Line_severity::Warning, "La revoca del certificato non può essere rilevata.");
        break;
    case Revocation_status::Not_determinable:
        if (record.revocation_silent_after_expiry)
            add(display, Line_severity::Warning, silent_after_expiry_text);
        add(display, Line_severity::Error, "La validità del certificato non può essere rilevata.");
        break;
    }
}

} // namespace

std::string format_signing_time(const System_time& time)
{
    char text[64];
    const int length = std::snprintf(text, sizeof text, "%02d/%02d/%04d %02d:%02d:%02d", time.day, time.month,
                                     time.year, time.hour, time.minute, time.second);
    return std::string(text, static_cast<size_t>(std::clamp(length, 0, static_cast<int>(sizeof text) - 1)));
}

std::string signing_time_text(const Assignable<System_time>& time)
{
    switch (time.state()) {
    case Assignable_state::Pending:
        return pending_text;
    case Assignable_state::Unavailable:
        return unavailable_text;
    case Assignable_state::Assigned:
        return format_signing_time(time.value());
    case Assignable_state::Failed:
        break;
    }
    return failed_text;
}

std::string signer_name(const Signer_record& record)
{
    switch (record.certificate.state()) {
    case Assignable_state::Assigned:
        return record.certificate.value().display_name();
    case Assignable_state::Pending:
        return pending_text;
    case Assignable_state::Unavailable:
        return unavailable_text;
    case Assignable_state::Failed:
        break;
    }
    return failed_text;
}

Signature_display show_signature(const Signature_info& signature, const Signer_record& record, bool revocation_running,
                                 bool with_texts)
{
    Signature_display display;
    if (with_texts) {
        display.signer = signer_name(record);
        display.signing_time = signing_time_text(signature.signing_time);
        const Assignable<Signature_kind>& kind = record.signature_kind;
        display.kind = signature_kind_text(static_cast<int>(kind.state()),
                                           kind.is_assigned() ? kind.value() : Signature_kind::Undetermined);
    }

    // The signer whose signature does not match is named here too, so that with several signers
    // the user sees which one it is.
    if (signature.document_missing)
        add(display, Line_severity::Error, detached_document_missing_text);
    else if (!signature.unchecked.empty())
        add(display, Line_severity::Error, signature.unchecked.c_str());
    else if (!signature.signature_matches())
        add(display, Line_severity::Error, signature_mismatch_text);
    if (!signature.no_legal_value.text.empty())
        add(display, signature.no_legal_value.warning ? Line_severity::Warning : Line_severity::Information,
            signature.no_legal_value.text.c_str());
    if (signature.outside_form)
        add(display, Line_severity::Warning, signature_outside_form_text);
    for (const std::string& warning : signature.long_term_warnings)
        add(display, Line_severity::Warning, warning.c_str());
    const Later_changes& later = signature.later_changes;
    if (!later.forbidden.empty())
        add(display, Line_severity::Error, later.forbidden.c_str());
    if (!later.allowed.empty())
        add(display, later.long_term_only ? Line_severity::Information : Line_severity::Warning, later.allowed.c_str());
    else if (signature.changed_after && later.forbidden.empty())
        add(display, Line_severity::Warning, changed_after_signature_text);
    if (record.chain.state() == Assignable_state::Pending)
        add(display, Line_severity::Information, Chain_pending_text);
    else if (record.chain.state() == Assignable_state::Failed)
        add(display, Line_severity::Warning, Chain_incomplete_text);
    if (!record.attestation_reason.empty())
        add(display, Line_severity::Information, record.attestation_reason.c_str());
    // The issuer is not missing when an authority of its name is there and its signature on the
    // certificate fails: saying it is would hide a forged certificate.
    if (record.revocation_issuer == 2)
        add(display, Line_severity::Warning,
            record.issuer_signature_failed
                ? "La lista delle revoche non può essere verificata, perché la firma dell'emittente sul certificato "
                  "non è valida."
                : "La lista delle revoche non può essere verificata, perché manca l'emittente del certificato.");
    add_revocation_lines(display, record, revocation_running);
    return display;
}

} // namespace velin
