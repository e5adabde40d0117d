// One certificate revocation list: loading it, who issued it, whether it names a certificate,
// whether it is current, and whether a given key signed it.
#pragma once

#include "trust/certificate.h"

#include <openssl/x509.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace velin {

// The three answers of a CRL's date test.
enum Crl_time_validity : int {
    Crl_not_yet_valid = -1,
    Crl_valid = 0,
    Crl_expired = 1,
};

enum class Crl_signature {
    Verified,
    Bad_signature, // the key does not verify the list
    Not_checked, // no key to check with, or the list's algorithm cannot be used
};

enum class Crl_lookup {
    Not_listed,
    Listed,
    // The list cannot speak for the certificate: it was issued under another name than the
    // certificate's issuer, or there is no list or certificate.
    Failed,
};

// What a list says of one certificate it names.
struct Crl_entry {
    std::optional<std::time_t> revoked_at; // none when the date does not read
    int reason = -1; // the entry's CRLReason; -1 without one, or when it does not decode
};

class Certificate_revocation_list {
public:
    Certificate_revocation_list() = default;
    // Valid only when the bytes are exactly one DER list, or one PEM "X509 CRL" block.
    explicit Certificate_revocation_list(std::span<const uint8_t> bytes);
    explicit Certificate_revocation_list(std::shared_ptr<X509_CRL> list);

    bool is_valid() const { return _list != nullptr; }
    X509_CRL* raw_handle() const { return _list.get(); }
    // Requires a list ("Assertion failed: raw_handle () != NULL").
    const std::vector<uint8_t>& der() const;
    // The same bytes, shared with whoever keeps them past the list (what decided a check); null
    // without a list.
    std::shared_ptr<const std::vector<uint8_t>> shared_der() const;
    X509_NAME* issuer_name() const;

    // thisUpdate after now: not yet valid; nextUpdate present and before now: expired.
    Crl_time_validity time_validity_at(std::time_t now) const;
    Crl_time_validity time_validity() const { return time_validity_at(std::time(nullptr)); }

    Crl_signature verify_signature(const Certificate& issuer) const;

    // Looks the certificate's serial number up among the entries, once the list's issuer name
    // has been found equal to the certificate's issuer name.
    Crl_lookup find_certificate(const Certificate& certificate) const;
    // The entry of a certificate the list names (find_certificate gives Listed); none otherwise.
    std::optional<Crl_entry> entry_of(const Certificate& certificate) const;

    // Whether the list speaks for a certificate of its issuer with these distribution points (an
    // authority's when authority): not when its issuing distribution point narrows it to another
    // part of the issuer's certificates (another distribution point, authorities or end entities
    // only, attribute certificates, some reasons, other issuers), nor when that extension does not
    // decode. Such a list's silence about a certificate proves nothing.
    bool covers(const std::vector<std::string>& distribution_points, bool authority) const;

    // The list's thisUpdate; none when it does not read.
    std::optional<std::time_t> this_update() const;
    // Its nextUpdate; none when it has none or it does not read.
    std::optional<std::time_t> next_update() const;
    // The date of the ExpiredCertsOnCRL extension: the list still names the certificates revoked
    // that expired on or after it. None without the extension, or when it does not decode or
    // appears twice: such a list is read as dropping expired certificates.
    std::optional<std::time_t> expired_certificates_kept_since() const;

    // Issued after the other list of the same issuer: a higher CRL number when both carry one,
    // else a later thisUpdate.
    bool is_newer_than(const Certificate_revocation_list& other) const;

    bool operator==(const Certificate_revocation_list& other) const;

private:
    std::shared_ptr<X509_CRL> _list;
    std::shared_ptr<const std::vector<uint8_t>> _der;
};

} // namespace velin
