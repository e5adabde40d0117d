// The verifier's certificate: one decoded X.509 certificate with the exact bytes it came from,
// shared (copies are cheap and may cross threads), plus the friendly name a Windows store element
// may carry for it.
#pragma once

#include <openssl/x509.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace velin {

enum Time_validity : int {
    Time_valid = 1,
    Time_not_yet_valid = 2,
    Time_expired = 3,
    Time_not_convertible = 4,
};

class Certificate {
public:
    Certificate() = default;
    // Valid only when the bytes are exactly one DER certificate.
    explicit Certificate(std::span<const uint8_t> der);
    // Shares the given certificate (a null pointer makes an empty wrapper).
    explicit Certificate(std::shared_ptr<X509> certificate);
    // take_ownership: the wrapper adopts raw's reference; otherwise it takes a reference of its
    // own and the caller keeps its one.
    Certificate(X509* raw, bool take_ownership);
    virtual ~Certificate() = default;

    Certificate(const Certificate&) = default;
    Certificate& operator=(const Certificate&) = default;
    Certificate(Certificate&&) noexcept = default;
    Certificate& operator=(Certificate&&) noexcept = default;

    // A certificate from bytes this program decoded before (its own integrity-checked cache),
    // decoded only when something needs more than its bytes: equality and the thumbprint do not.
    // Bytes that do not decode then give a certificate without handle.
    static Certificate deferred(std::vector<uint8_t> der);

    // Drops the certificate held, then holds raw as the constructor above does.
    void assign(X509* raw, bool take_ownership);

    bool is_valid() const { return _data != nullptr; }
    X509* raw_handle() const;
    // raw_handle () for code that needs a certificate: "Assertion failed: raw_handle () != NULL".
    X509* checked_handle() const;

    // The following require a certificate: "Assertion failed: raw_handle () != NULL".
    const std::vector<uint8_t>& der() const;
    // Upper-case hexadecimal SHA-1 of the DER bytes.
    std::string thumbprint() const;
    X509_NAME* subject_name() const;
    X509_NAME* issuer_name() const;
    // The name shown to the user: the friendly name when the store gave one, otherwise the
    // subject's common name, unit, organisation or e-mail, the first alternative e-mail, or the
    // first attribute of the subject; "" when there is none.
    std::string display_name() const;
    // Issuer name equal to subject name.
    bool is_self_issued() const;
    // May issue certificates: basicConstraints cA, and keyCertSign when keyUsage is present; a
    // certificate whose extensions cannot be decoded is no authority.
    bool is_certification_authority() const;
    // issuer's public key verifies this certificate's signature.
    bool is_signed_by(const Certificate& issuer) const;

    // The date test of the verifier: today's local date at midnight, read as UTC, against
    // NotBefore and NotAfter (so a certificate is valid for the whole of the day its NotAfter
    // falls on).
    Time_validity time_validity() const;
    Time_validity time_validity_at(std::time_t now) const;

    const std::string& friendly_name() const;
    void set_friendly_name(std::string name);

    // Same encoding, byte for byte.
    bool operator==(const Certificate& other) const;

private:
    struct Data {
        Data() = default;
        // A copy of a certificate not yet decoded decodes on its own.
        Data(const Data& other)
            : x509(other.deferred ? nullptr : other.x509),
              der(other.der),
              friendly_name(other.friendly_name),
              deferred(other.deferred)
        {}
        Data& operator=(const Data&) = delete;

        mutable std::shared_ptr<X509> x509; // written once, under `decoded`, when deferred
        std::vector<uint8_t> der;
        std::string friendly_name;
        bool deferred = false;
        mutable std::once_flag decoded;
    };
    static std::shared_ptr<Data> make(std::shared_ptr<X509> certificate);
    const Data& data() const;
    static const std::shared_ptr<X509>& x509_of(const Data& data);

    std::shared_ptr<Data> _data;
};

// Decodes DER bytes; null when they are not exactly one certificate.
std::shared_ptr<X509> decode_certificate(std::span<const uint8_t> der);

} // namespace velin
