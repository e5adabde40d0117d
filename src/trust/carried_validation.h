// The validation data a signed file carries, decoded for chain building and revocation checking.
// Nothing of it is trusted for itself: a certificate only continues a chain towards a root the
// stores hold, and a list or an OCSP answer counts only when the certificate's issuer signed it
// (or delegated its responder) and it speaks for the time the certificate is judged at.
#pragma once

#include "envelope/validation_data.h"
#include "trust/certificate.h"
#include "trust/certificate_revocation_list.h"

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace velin {

struct Carried_validation {
    std::vector<Certificate> certificates; // authorities only: nothing else can issue
    std::vector<Certificate_revocation_list> crls;
    std::vector<std::vector<uint8_t>> ocsp_answers;

    // What decodes of data; the rest is left out.
    static Carried_validation from(const Validation_data& data);
    bool empty() const { return certificates.empty() && crls.empty() && ocsp_answers.empty(); }

    // The carried authorities whose name is the issuer name of subject (none when subject is
    // self-issued): candidates for its issuer, which chain building still checks.
    std::vector<Certificate> issuers_of(const Certificate& subject) const;
};

// A carried list speaks for the time at (now when none): issued by now, and its next update not
// before at. A list issued after that time speaks for it too: a revocation before it is listed
// with its date.
bool carried_list_speaks_for(const Certificate_revocation_list& list, std::optional<std::time_t> at);

// The line that tells what a file carries ("Il file contiene dati di validazione: ..."); empty when
// it carries nothing.
std::string carried_validation_text(const Validation_data& data);

} // namespace velin
