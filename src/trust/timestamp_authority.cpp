#include "trust/timestamp_authority.h"

#include "common/trace.h"
#include "trust/chain_builder.h"

namespace velin {

Timestamp_authority_trust timestamp_authority_trust(const Trusted_store& store, const Certificate& authority,
                                                    std::time_t at, const Issuer_source& extra_issuers)
{
    Timestamp_authority_trust trust;
    if (!authority.is_valid() || !store.merged_store())
        return trust;
    const Chain_outcome chain = build_chain(store, authority, std::nullopt, extra_issuers);
    trust.issuer = chain.issuer;
    const bool listed = store.is_trusted_time_stamping_authority(authority, at);
    trust.listed = listed;
    trust.trusted = chain.complete || listed;
    trust.qualified =
        listed || (chain.complete && store.cnipa_store_is_available() && store.is_in_cnipa_list(chain.chain.back()));
    Trace(Trace_kind, Level_info) << "Autorità di marcatura temporale " << authority.display_name()
                                  << (trust.trusted ? ": attendibile." : ": non attendibile.");
    return trust;
}

} // namespace velin
