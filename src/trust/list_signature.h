// The check that makes the national list trustworthy: a detached CMS / PKCS#7 signature over the
// exact bytes of the list, made by the list's publisher. The publisher is recognised by the
// thumbprint (upper-case hexadecimal SHA-1 of the DER certificate) of the certificate whose key
// actually verified the signature, compared with that of the publisher certificate the program
// carries; a certificate that is merely carried in the signature, without having signed, proves
// nothing. Only the signature counts: the publisher certificate's dates and chain are not
// checked.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace velin {

// The publisher certificate built into the program (PEM).
extern const char* const list_publisher_pem;

class List_signature {
public:
    enum Result {
        Verified,
        // The signature is sound but made by someone other than the publisher.
        Other_signer,
        // The check could not be carried out or the signature does not match: description says
        // why, for the user.
        Failed,
    };

    List_signature(std::span<const uint8_t> list, std::span<const uint8_t> signature, const std::string& publisher_pem);

    Result result() const { return _result; }
    bool verified() const { return _result == Verified; }
    const std::string& description() const { return _description; }
    // Thumbprints of the certificates that signed (when the signature verified).
    const std::string& signer_thumbprint() const { return _signer_thumbprint; }

private:
    Result _result = Failed;
    std::string _description;
    std::string _signer_thumbprint;
};

// Upper-case hexadecimal SHA-1 of the certificate in a PEM text; empty when there is none.
std::string pem_certificate_thumbprint(const std::string& pem);

} // namespace velin
