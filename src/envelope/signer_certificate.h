// A signer's certificate as the envelope carries it, shared by every record that refers to it
// (records cross to the user-interface thread; many signers may name one certificate).
#pragma once

#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace velin {

class Signer_certificate {
public:
    Signer_certificate() = default;

    // Takes a reference of its own on certificate; empty when certificate is null.
    static Signer_certificate from_x509(X509* certificate);
    // Decodes DER bytes; empty when they are not exactly one certificate.
    static Signer_certificate from_der(const std::vector<uint8_t>& der);

    bool empty() const { return !_x509; }
    // The decoded certificate; null when empty.
    X509* x509() const { return _x509.get(); }
    const std::shared_ptr<X509>& shared_x509() const { return _x509; }
    // Its DER encoding, made on each call; empty when the record is empty.
    std::vector<uint8_t> der() const;

    friend bool operator==(const Signer_certificate& a, const Signer_certificate& b)
    {
        if (a.empty() || b.empty())
            return a.empty() == b.empty();
        return X509_cmp(a.x509(), b.x509()) == 0;
    }

private:
    std::shared_ptr<X509> _x509;
};

} // namespace velin
