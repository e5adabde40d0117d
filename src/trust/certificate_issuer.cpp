#include "trust/certificate_issuer.h"

#include <openssl/x509v3.h>

#include <algorithm>

namespace velin {

bool is_accepted_issuer(const Certificate& subject, const Certificate& candidate)
{
    if (!subject.is_valid() || !candidate.is_valid())
        return false;
    return X509_NAME_cmp(subject.issuer_name(), candidate.subject_name()) == 0 &&
           candidate.is_certification_authority() && subject.is_signed_by(candidate);
}

Certificate_issuer::Certificate_issuer(const Certificate& subject, const Certificate_store* store,
                                       std::span<const Certificate> excluded)
{
    assertion(store != nullptr, "store ne NULL");
    if (subject.is_self_issued()) {
        _self_signed = true;
        return;
    }
    for (const Certificate& candidate : store->find_by_subject(subject.issuer_name())) {
        // A different key of an authority with the same name is no candidate at all.
        const ASN1_OCTET_STRING* authority_key = X509_get0_authority_key_id(subject.raw_handle());
        const ASN1_OCTET_STRING* candidate_key = X509_get0_subject_key_id(candidate.raw_handle());
        if (authority_key && candidate_key && ASN1_OCTET_STRING_cmp(authority_key, candidate_key) != 0)
            continue;
        if (std::find(excluded.begin(), excluded.end(), candidate) != excluded.end()) {
            _rejected.push_back({candidate, Rejection::Already_in_chain});
            continue;
        }
        if (!candidate.is_certification_authority()) {
            _rejected.push_back({candidate, Rejection::Not_an_authority});
            continue;
        }
        if (!subject.is_signed_by(candidate)) {
            _rejected.push_back({candidate, Rejection::Bad_signature});
            continue;
        }
        set_value(candidate);
        return;
    }
}

} // namespace velin
