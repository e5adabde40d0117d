// How a trusted list names a service's key without giving its certificate, and how a certificate
// is matched to such a name.
#pragma once

#include "trust/certificate.h"

#include <cstdint>
#include <string>
#include <vector>

namespace velin {

// A service's key named without its certificate, as the history instances of real lists name it:
// X509SKI with, most often, X509SubjectName. A certificate is the service's only when its own
// public key gives that key identifier and, when a name is given, its subject is that name.
struct Service_identity {
    std::string subject_name; // X509SubjectName as the list writes it (RFC 4514); empty when none
    std::vector<uint8_t> key_identifier; // X509SKI

    bool operator==(const Service_identity&) const = default;
};

// The certificate is the one the identity names (see Service_identity).
bool identity_names(const Service_identity& identity, const Certificate& certificate);
// The key identifiers a certificate's public key gives by the usual methods (RFC 5280 4.2.1.2,
// RFC 7093): what a list's X509SKI is compared with, so that no certificate can claim one.
std::vector<std::vector<uint8_t>> key_identifiers_of(const Certificate& certificate);
// An RFC 4514 distinguished name and a certificate's subject hold the same attributes, compared
// without regard to order, case and repeated blanks; false for a name that cannot be read.
bool subject_name_matches(const std::string& name, const Certificate& certificate);

} // namespace velin
