// A time stamp as a layer judges it: what decoding found (token, signature, imprint, purpose,
// dates), then whether its authority is trusted and not revoked, and the lines that say so.
#pragma once

#include "VelinVerify/pipeline/status_line.h"
#include "envelope/assignable.h"
#include "envelope/timestamp_token.h"
#include "trust/certificate.h"
#include "trust/revocation.h"

#include <optional>
#include <string>
#include <vector>

namespace velin {

struct Timestamp_record {
    Timestamp_info info;
    // Found in an outer layer: it covers this layer's whole envelope, and is shown there.
    bool inherited = false;
    Assignable<bool> trusted; // Pending until the authority's chain is built
    std::optional<Certificate> issuer;
    Revocation_status revocation = Revocation_status::Not_checked;
    // Its authority is a qualified one (Timestamp_authority_trust::qualified).
    bool qualified = false;

    // A time that can be relied on: verified, by a trusted authority not known to be revoked.
    bool usable() const;
    // It covers signer `signer` of its layer: a time stamp of the whole file or envelope, or one
    // of that signer's signature. A content time stamp proves when the content existed, not when
    // it was signed.
    bool covers(size_t signer) const;
};

// "dd/mm/yyyy hh:mm:ss (UTC)".
std::string timestamp_time_text(const System_time& when);

// The lines a time stamp is shown with, in the "Attività" list (time stamps of the file) or in
// its signer's status list.
std::vector<Status_line> timestamp_lines(const Timestamp_record& record);

// The earliest usable time of a qualified authority among the records that cover the signer.
std::optional<std::time_t> covering_time(const std::vector<Timestamp_record>& records, size_t signer);

} // namespace velin
