#include "VelinVerify/pipeline/signer_record.h"

#include "VelinVerify/pipeline/timestamp_record.h"

namespace velin {

std::string lists_judged_text(const Judged_time& judged)
{
    std::tm fields{};
    gmtime_r(&judged.at, &fields);
    return std::string("Stato della lista e qualifica valutati alla data ") +
           (judged.by_timestamp ? "della marca temporale: " : "della verifica: ") +
           timestamp_time_text(system_time_of(fields)) + ".";
}

Signer_record make_signer_record(const Signature_info& signature, Signer_certificates& known)
{
    Signer_record record;
    record.form_without_legal_value = !signature.no_legal_value.text.empty();
    if (signature.signer.is_assigned() && !signature.signer.value().empty()) {
        const std::shared_ptr<X509>& x509 = signature.signer.value().shared_x509();
        auto found = known.find(x509.get());
        if (found == known.end())
            found = known.emplace(x509.get(), Certificate(x509)).first;
        record.certificate.assign(found->second);
    } else {
        record.certificate.set_failed(signature.signer.message().empty()
                                          ? "La lettura del certificato del firmatario è fallita."
                                          : signature.signer.message());
    }
    return record;
}

void apply_chain_outcome(Signer_record& record, const std::optional<Chain_outcome>& outcome)
{
    if (!outcome) {
        record.chain.set_failed({});
        record.signature_kind.assign(Signature_kind::Undetermined);
        return;
    }
    if (outcome->issuer)
        record.issuer.assign(*outcome->issuer);
    record.issuer_signature_failed = outcome->issuer_signature_failed;
    if (outcome->complete)
        record.chain.assign(outcome->chain);
    else
        record.chain.set_failed({});
    record.attestation_reason = outcome->attestation_reason;
    if (outcome->kind_assigned)
        record.signature_kind.assign(outcome->kind == Signature_kind::Legal_value && record.form_without_legal_value
                                         ? Signature_kind::Attestation
                                         : outcome->kind);
    else
        record.signature_kind.set_failed(outcome->kind_message);
}

Revocation_job revocation_job(const std::vector<Signer_record>& records)
{
    Revocation_job job;
    for (size_t i = 0; i < records.size(); ++i) {
        const Signer_record& record = records[i];
        if (!record.certificate.is_assigned() || !record.certificate.value().is_valid())
            continue;
        Revocation_subject subject{record.certificate.value(), std::nullopt};
        if (record.issuer.is_assigned())
            subject.issuer = record.issuer.value();
        // Now is left to the check itself, whose rule for the certificate's own dates it keeps.
        if (record.lists_judged && record.lists_judged->by_timestamp)
            subject.at = record.lists_judged->at;
        job.subjects.push_back(std::move(subject));
        job.indexes.push_back(i);
    }
    return job;
}

void apply_revocation_outcomes(std::vector<Signer_record>& records, const Revocation_job& job,
                               const std::vector<Revocation_outcome>& outcomes)
{
    std::vector<bool> checked(records.size(), false);
    for (size_t n = 0; n < job.indexes.size() && n < outcomes.size(); ++n) {
        Signer_record& record = records.at(job.indexes[n]);
        record.revocation_status = outcomes[n].status;
        record.judged_at = job.subjects.at(n).at;
        record.revocation_issuer = outcomes[n].revocation_issuer;
        record.revocation_no_source = outcomes[n].no_source;
        record.revocation_silent_after_expiry = outcomes[n].silent_after_expiry;
        record.revoked_at = outcomes[n].revoked ? outcomes[n].revoked_at : std::nullopt;
        record.revocation_source = outcomes[n].source;
        record.revocation_from_file = outcomes[n].from_file;
        record.revocation_reason = outcomes[n].revoked ? outcomes[n].reason : -1;
        record.revocation_unknown_to_responder = outcomes[n].unknown_to_responder;
        record.revocation_evidence = outcomes[n].evidence;
        checked[job.indexes[n]] = true;
    }
    for (size_t i = 0; i < records.size(); ++i) {
        if (!checked[i] || records[i].revocation_status == Revocation_status::Not_checked)
            records[i].revocation_status = Revocation_status::Not_determinable;
    }
}

} // namespace velin
