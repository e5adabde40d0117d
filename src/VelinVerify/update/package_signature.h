// The check that lets a downloaded package stay for the user: a detached CMS signature over the
// exact bytes of the package (FILE.p7s beside FILE on the update server), made by a publisher
// whose certificate the update authority issued.
//
// What is checked, in order:
//  1. the signature is a CMS SignedData (DER, or PEM text) without content of its own, with
//     exactly one signer, whose certificate is carried in the signature;
//  2. CMS_verify in binary mode over the package bytes: the signer's digest and signature match,
//     and the signer's certificate chains, at the current time, to the authority certificate,
//     which is the only trust anchor (a chain through certificates carried in the signature is
//     allowed here, and the authority counts as an anchor although it is not self-signed);
//  3. the signer's certificate is issued by the authority itself: its issuer name and authority
//     key identifier match the authority (X509_check_issued), its signature verifies with the
//     authority's key (X509_verify), and it is not the authority certificate itself;
//  4. the signer's certificate is an end entity (basicConstraints without cA) and, when it
//     says so, may sign: keyUsage includes digitalSignature, extendedKeyUsage includes
//     codeSigning.
// A sub-authority under the authority, an authority of the same name with another key, or the
// authority signing for itself are all refused.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace velin {

// The update authority built into the program (PEM).
extern const char* const update_authority_pem;

class Package_signature {
public:
    enum Result {
        Verified,
        Unreadable, // the signature is not a detached CMS signature with one signer
        Mismatch, // it does not verify over the package, or the chain does not reach the authority
        Not_from_authority, // verified, but its signer was not issued directly by the authority
        Bad_authority, // the authority certificate of the program cannot be read
    };

    Package_signature(std::span<const uint8_t> package, std::span<const uint8_t> signature,
                      const std::string& authority_pem);

    Result result() const { return _result; }
    bool verified() const { return _result == Verified; }
    // Why it was refused, in Italian, for the user (empty when verified).
    const std::string& description() const { return _description; }

private:
    void check(std::span<const uint8_t> package, std::span<const uint8_t> signature, const std::string& authority_pem);
    void refuse(Result result, const char* description);

    Result _result = Unreadable;
    std::string _description;
};

} // namespace velin
