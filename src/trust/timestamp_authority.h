// Whether a time-stamping authority is trusted. One decision for every time stamp the verifier
// meets, so that other sources of trusted authorities can join it in one place.
#pragma once

#include "trust/certificate.h"
#include "trust/chain_builder.h"
#include "trust/trusted_store.h"

#include <ctime>
#include <optional>

namespace velin {

struct Timestamp_authority_trust {
    bool trusted = false; // the authority's chain reaches a root of the trusted lists
    std::optional<Certificate> issuer; // the first issuer found, for the revocation check
    // A qualified authority: a time-stamping service a trusted list grants at that time, or one
    // whose chain ends at a root of the accredited (CNIPA) list. Only its time may stand for a
    // signature's in judging the trusted lists: a root the user chose to trust proves no date.
    bool qualified = false;
    // A qualified time-stamping service of the trusted lists vouches for the unit at the time
    // stamp's time: its own word then stands when the unit's revocation cannot be checked.
    bool listed = false;
};

// The authority's certificate is chained with the same builder, lists and rules as a signer's: a
// root on any of the trusted lists (accredited, card or the user's own) makes it trusted; so does
// a time-stamping service that a trusted list grants at the time stamp's time `at`. The
// certificate's purpose and dates are the time stamp's own checks, made before. extra_issuers:
// asked for an issuer the stores do not hold (the intermediates the file carries).
Timestamp_authority_trust timestamp_authority_trust(const Trusted_store& store, const Certificate& authority,
                                                    std::time_t at, const Issuer_source& extra_issuers = {});

} // namespace velin
