// A signer's certificate as the envelope carries it: the DER bytes, and the same certificate
// decoded, shared by every record that refers to it (records cross to the user-interface thread).
#pragma once

#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace velin {

struct Signer_certificate {
    std::vector<uint8_t> der;
    std::shared_ptr<X509> x509; // never null in a certificate that was read

    // Takes a reference of its own on certificate; an empty record when certificate is null or
    // cannot be encoded.
    static Signer_certificate from_x509(X509* certificate);
    // Decodes DER bytes; an empty record when they are not exactly one certificate.
    static Signer_certificate from_der(std::vector<uint8_t> der);

    bool empty() const { return !x509; }
};

} // namespace velin
