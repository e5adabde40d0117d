#include "VelinVerify/trust/chain_builder.h"

#include "VelinVerify/trust/certificate_issuer.h"
#include "VelinVerify/trust/key_usage.h"
#include "common/failure.h"
#include "common/trace.h"

namespace velin {

namespace {

void trace_line(const std::string& text)
{
    Trace(Trace_kind, Level_trace) << text;
}

void trace_rejections(const Certificate_issuer& lookup)
{
    for (const Certificate_issuer::Rejected& rejected : lookup.rejected()) {
        const std::string name = rejected.candidate.display_name();
        switch (rejected.reason) {
        case Certificate_issuer::Rejection::Not_an_authority:
            trace_line("Emittente scartato, non è un'autorità di certificazione: " + name);
            break;
        case Certificate_issuer::Rejection::Bad_signature:
            trace_line("Emittente scartato, la firma del certificato non corrisponde: " + name);
            break;
        case Certificate_issuer::Rejection::Already_in_chain:
            trace_line("Emittente scartato, è già nella catena: " + name);
            break;
        }
    }
}

void classify(const Trusted_store& store, const Certificate& signer, const Certificate& root, Chain_outcome& outcome)
{
    if (!store.cnipa_store_is_available()) {
        outcome.kind_message = Key_usage_unavailable_text;
        return;
    }
    if (!store.is_in_cnipa_list(root)) {
        trace_line("Root non censito da CNIPA.");
        outcome.kind = Signature_kind::Attestation;
        outcome.kind_assigned = true;
        return;
    }
    trace_line("Root censito da CNIPA.");
    // Every issuer above the signer was taken as an authority already; a signer that is its own
    // root must be one too, or an end-entity certificate of the list would give legal value.
    if (!root.is_certification_authority()) {
        trace_line("Il root non è un'autorità di certificazione.");
        outcome.kind = Signature_kind::Attestation;
        outcome.kind_assigned = true;
        return;
    }
    const Key_usage usage(signer);
    if (!usage.succeeded()) {
        outcome.kind_message = Key_usage_failed_text;
        return;
    }
    if (usage.non_repudiation()) {
        trace_line("'Non ripudio");
        trace_line("La firma è una firma legale");
        outcome.kind = Signature_kind::Legal_value;
    } else {
        trace_line("'Non ripudio' non previsto");
        outcome.kind = Signature_kind::Attestation;
    }
    outcome.kind_assigned = true;
}

} // namespace

std::string signature_kind_text(int state, Signature_kind kind)
{
    if (state == 0)
        return "<decodifica in corso...>";
    if (state == 2) {
        switch (kind) {
        case Signature_kind::Legal_value:
            return "Firma digitale (con validità legale)";
        case Signature_kind::Undetermined:
            return "<informazione non disponibile>";
        case Signature_kind::Attestation:
            break;
        }
    }
    return "Firma elettronica (attestazione)";
}

Chain_outcome build_chain(const Trusted_store& store, const Certificate& signer)
{
    Trace_block block("Ricostruzione della catena di certificati.");
    assertion(signer.is_valid(), "is_assigned ()");
    const Certificate_store* merged = store.merged_store();
    assertion(merged != nullptr, "merged_store () ne NULL");

    Chain_outcome outcome;
    std::vector<Certificate> found{signer};
    bool root_reached = false;
    for (;;) {
        const Certificate current = found.back();
        const Certificate_issuer lookup(current, merged, found);
        if (lookup.succeeded()) {
            trace_line("Issuer trovato");
            found.push_back(lookup.value());
            if (!outcome.issuer)
                outcome.issuer = lookup.value();
            continue;
        }
        if (lookup.self_signed()) {
            // A root ends a chain only when it is trusted: an issuer found in the store is, but a
            // self-signed signer certificate must itself be on one of the lists.
            if (found.size() > 1 || merged->contains(current)) {
                trace_line("Root trovato");
                root_reached = true;
            } else {
                trace_line("Il certificato autofirmato non è in nessuna lista di fiducia.");
                trace_line("Catena incompleta");
            }
            break;
        }
        trace_rejections(lookup);
        trace_line("Catena incompleta");
        break;
    }

    if (!root_reached) {
        trace_line("Ricostruzione fallita");
        outcome.kind = Signature_kind::Undetermined;
        outcome.kind_assigned = true;
        return outcome;
    }
    classify(store, signer, found.back(), outcome);
    outcome.complete = true;
    outcome.chain = std::move(found);
    return outcome;
}

std::optional<std::vector<std::optional<Chain_outcome>>> build_chains(const Trusted_store& store,
                                                                       const std::vector<Certificate>& signers)
{
    Trace(Trace_kind, Level_info) << "Costruzione delle catene di certificati.";
    if (!store.merged_store()) {
        Trace(Trace_kind, Level_error) << "Errore durante il caricamento del contenitore dei certificati.";
        return std::nullopt;
    }
    std::vector<std::optional<Chain_outcome>> outcomes;
    for (const Certificate& signer : signers) {
        if (signer.is_valid())
            outcomes.emplace_back(build_chain(store, signer));
        else
            outcomes.emplace_back(std::nullopt);
    }
    return outcomes;
}

} // namespace velin
