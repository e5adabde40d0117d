// Finds the issuer of a certificate in a store. A candidate is a certificate of the store whose
// subject is the certificate's issuer name (and whose key identifier matches the certificate's
// authority key identifier when both are there); it is taken only when it is a certification
// authority and its key verifies the certificate's signature. Candidates are tried in store order
// and the first one that passes is the issuer; certificates already met on the way up (the
// excluded ones) are never taken again, so two authorities that certify each other cannot hold
// a walk in a loop.
#pragma once

#include "common/failure.h"
#include "trust/certificate.h"
#include "trust/certificate_store.h"

#include <span>
#include <vector>

namespace velin {

// The rule every step applies to an issuer of subject, whether of its chain or of its revocation
// list: the candidate's subject is the subject's issuer name, it is a certification authority
// (basicConstraints cA, and keyCertSign when keyUsage is there) and its key verifies the subject's
// signature. A self-signed subject may be its own issuer under the same rule.
bool is_accepted_issuer(const Certificate& subject, const Certificate& candidate);

class Certificate_issuer : public Boolean_function<Certificate> {
public:
    enum class Rejection {
        Not_an_authority, // basicConstraints without cA, or keyUsage without keyCertSign
        Bad_signature, // its key does not verify the subject's signature
        Already_in_chain, // taking it would repeat a certificate of the chain
    };
    struct Rejected {
        Certificate candidate;
        Rejection reason;
    };

    // Without a store: "Assertion failed: store ne NULL".
    Certificate_issuer(const Certificate& subject, const Certificate_store* store,
                       std::span<const Certificate> excluded = {});

    // No issuer was looked for because the subject's issuer name is its own subject name.
    bool self_signed() const { return _self_signed; }
    // The candidates passed over, in the order they were tried.
    const std::vector<Rejected>& rejected() const { return _rejected; }

private:
    bool _self_signed = false;
    std::vector<Rejected> _rejected;
};

} // namespace velin
