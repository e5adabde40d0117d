#include "trust/chain_builder.h"

#include "common/failure.h"
#include "common/trace.h"
#include "trust/certificate_issuer.h"
#include "trust/key_usage.h"
#include "trust/qualification.h"

#include <algorithm>
#include <map>

namespace velin {

namespace {

void trace_line(const std::string& text)
{
    Trace(Trace_kind, Level_trace) << text;
}

bool has_bad_signature(const Certificate_issuer& lookup)
{
    return std::any_of(lookup.rejected().begin(), lookup.rejected().end(), [](const auto& rejected) {
        return rejected.reason == Certificate_issuer::Rejection::Bad_signature;
    });
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

// At most this many fetched authorities in one chain: each one fetched names where the next one
// is, and a server could go on inventing them.
constexpr std::size_t Fetched_issuer_limit = 4;

// The issuer of current among the extra authorities, under the same rule as the stores'.
std::optional<Certificate> extra_issuer(const Certificate& current, const Issuer_source& extra_issuers,
                                        const std::vector<Certificate>& found)
{
    const std::shared_ptr<Certificate_store> fetched = Certificate_store::create_memory();
    for (const Certificate& candidate : extra_issuers(current))
        if (candidate.is_valid() && !candidate.is_self_issued())
            fetched->add_certificate(candidate);
    const Certificate_issuer lookup(current, fetched.get(), found);
    if (!lookup.succeeded()) {
        trace_rejections(lookup);
        return std::nullopt;
    }
    trace_line("Issuer scaricato dall'indirizzo dell'emittente: " + lookup.value().display_name());
    return lookup.value();
}

void classify(const Trusted_store& store, const Certificate& signer, const Certificate& root, std::time_t judged_at,
              Chain_outcome& outcome)
{
    if (!store.accredited_list_is_available()) {
        outcome.kind_message = Key_usage_unavailable_text;
        return;
    }
    const bool on_cnipa_list = store.cnipa_store_is_available() && store.is_in_cnipa_list(root);
    const Trust_service* service =
        store.trusted_lists() ? store.trusted_lists()->accredited_authority(root, judged_at) : nullptr;
    if (on_cnipa_list) {
        trace_line("Root censito da CNIPA.");
    } else if (service) {
        trace_line("Root accreditato dalla lista di fiducia: " + service->provider + ", " + service->name + ".");
    } else {
        trace_line("Root non censito da CNIPA.");
        if (store.trusted_lists() && store.trusted_lists()->is_anchor(root)) {
            outcome.attestation_reason =
                "Il servizio della lista di fiducia non era accreditato per le firme alla data della firma.";
            trace_line(outcome.attestation_reason);
        }
        outcome.kind = Signature_kind::Attestation;
        outcome.kind_assigned = true;
        return;
    }
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
        // A root of the CNIPA list vouches for its certificates as the national rules did, unless
        // their own statements say otherwise; one of a trusted list only for those that are
        // qualified for signatures on a qualified device, by every service that lists it.
        const Signature_qualification qualification =
            on_cnipa_list ? qualify_by_statements(signer)
                          : qualify_for_signature(signer, store.trusted_lists()->services_of(root), judged_at);
        for (const std::string& line : qualification.lines)
            trace_line(line);
        if (!qualification.legal_value) {
            trace_line("La firma non è una firma qualificata: è una firma elettronica.");
            for (const std::string& line : qualification.lines)
                if (!line.ends_with(Qualification_text_qualified)) {
                    outcome.attestation_reason = "Firma non qualificata. " + line;
                    break;
                }
            outcome.kind = Signature_kind::Attestation;
            outcome.kind_assigned = true;
            return;
        }
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

Chain_outcome build_chain(const Trusted_store& store, const Certificate& signer, std::optional<std::time_t> judged_at,
                          const Issuer_source& extra_issuers)
{
    Trace_block block("Ricostruzione della catena di certificati.");
    assertion(signer.is_valid(), "is_assigned ()");
    const Certificate_store* merged = store.merged_store();
    assertion(merged != nullptr, "merged_store () ne NULL");

    Chain_outcome outcome;
    std::vector<Certificate> found{signer};
    bool root_reached = false;
    std::size_t fetched = 0;
    const Trusted_lists* lists = store.trusted_lists().get();
    for (;;) {
        const Certificate current = found.back();
        if (found.size() > 1 && lists && lists->is_anchor(current)) {
            trace_line("Root trovato");
            root_reached = true;
            break;
        }
        const Certificate_issuer lookup(current, merged, found);
        if (lookup.succeeded()) {
            trace_line("Issuer trovato");
            found.push_back(lookup.value());
            if (!outcome.issuer)
                outcome.issuer = lookup.value();
            continue;
        }
        if (!lookup.self_signed() && lists) {
            // An authority of a trusted list is looked for only where the merged store has none.
            const std::vector<Certificate> candidates = lists->issuer_candidates(current);
            if (!candidates.empty()) {
                const std::shared_ptr<Certificate_store> listed = Certificate_store::create_memory();
                for (const Certificate& candidate : candidates)
                    listed->add_certificate(candidate);
                const Certificate_issuer listed_lookup(current, listed.get(), found);
                if (listed_lookup.succeeded()) {
                    trace_line("Issuer trovato");
                    found.push_back(listed_lookup.value());
                    if (!outcome.issuer)
                        outcome.issuer = listed_lookup.value();
                    continue;
                }
                trace_rejections(listed_lookup);
                if (found.size() == 1 && has_bad_signature(listed_lookup))
                    outcome.issuer_signature_failed = true;
            }
        }
        if (!lookup.self_signed() && extra_issuers && fetched < Fetched_issuer_limit) {
            if (std::optional<Certificate> issuer = extra_issuer(current, extra_issuers, found)) {
                ++fetched;
                found.push_back(*issuer);
                if (!outcome.issuer)
                    outcome.issuer = *issuer;
                continue;
            }
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
        if (found.size() == 1 && has_bad_signature(lookup))
            outcome.issuer_signature_failed = true;
        trace_line("Catena incompleta");
        break;
    }

    if (!root_reached) {
        trace_line("Ricostruzione fallita");
        outcome.kind = Signature_kind::Undetermined;
        outcome.kind_assigned = true;
        return outcome;
    }
    const std::time_t now = std::time(nullptr);
    // A signing time said to lie ahead is no reason to judge by a status not yet in force.
    classify(store, signer, found.back(), judged_at ? std::min(*judged_at, now) : now, outcome);
    outcome.complete = true;
    outcome.chain = std::move(found);
    return outcome;
}

std::optional<std::vector<std::optional<Chain_outcome>>>
build_chains(const Trusted_store& store, const std::vector<Certificate>& signers,
             const std::vector<std::optional<std::time_t>>& judged_at, const Issuer_source& extra_issuers)
{
    Trace(Trace_kind, Level_info) << "Costruzione delle catene di certificati.";
    if (!store.merged_store()) {
        Trace(Trace_kind, Level_error) << "Errore durante il caricamento del contenitore dei certificati.";
        return std::nullopt;
    }
    std::vector<std::optional<Chain_outcome>> outcomes;
    outcomes.reserve(signers.size());
    // Signers of one certificate judged at one time have one chain: an envelope that repeats a
    // signer many times builds it once.
    std::map<std::pair<const X509*, std::optional<std::time_t>>, size_t> built;
    for (size_t i = 0; i < signers.size(); ++i) {
        const Certificate& signer = signers[i];
        const std::optional<std::time_t> at = i < judged_at.size() ? judged_at[i] : std::nullopt;
        if (!signer.is_valid()) {
            outcomes.emplace_back(std::nullopt);
            continue;
        }
        const auto [known, added] = built.try_emplace({signer.raw_handle(), at}, i);
        outcomes.emplace_back(added ? build_chain(store, signer, at, extra_issuers) : outcomes[known->second]);
    }
    return outcomes;
}

} // namespace velin
