#include "trust/certificate_revocation_list.h"

#include "common/failure.h"
#include "common/openssl_encoding.h"
#include "common/owner.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <algorithm>

#include <climits>
#include <string_view>

namespace velin {

namespace {

std::shared_ptr<X509_CRL> share(X509_CRL* list)
{
    return std::shared_ptr<X509_CRL>(list, Release{});
}

std::shared_ptr<X509_CRL> decode_der(std::span<const uint8_t> bytes)
{
    if (bytes.empty() || bytes.size() > static_cast<size_t>(LONG_MAX))
        return nullptr;
    const unsigned char* in = bytes.data();
    std::shared_ptr<X509_CRL> list = share(d2i_X509_CRL(nullptr, &in, static_cast<long>(bytes.size())));
    if (!list || in != bytes.data() + bytes.size())
        return nullptr;
    return list;
}

// The DER bytes of the first PEM "X509 CRL" block; empty when there is none.
std::vector<uint8_t> pem_body(std::span<const uint8_t> bytes)
{
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (text.find("-----BEGIN X509 CRL-----") == std::string_view::npos || bytes.size() > INT_MAX)
        return {};
    Owner<BIO> input(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    unsigned char* data = nullptr;
    long length = 0;
    if (!input || !PEM_bytes_read_bio(&data, &length, nullptr, PEM_STRING_X509_CRL, input.get(), nullptr, nullptr))
        return {};
    const Owner<unsigned char, Openssl_free> body(data);
    return std::vector<uint8_t>(data, data + (length > 0 ? length : 0));
}

} // namespace

Certificate_revocation_list::Certificate_revocation_list(std::span<const uint8_t> bytes)
{
    // A list keeps the DER bytes it came from: OpenSSL's own encoding of an oddly encoded list
    // need not read back, and the cache must hold what the issuer published.
    std::shared_ptr<X509_CRL> list = decode_der(bytes);
    if (list) {
        _der = std::make_shared<const std::vector<uint8_t>>(bytes.begin(), bytes.end());
    } else if (std::vector<uint8_t> body = pem_body(bytes); (list = decode_der(body))) {
        _der = std::make_shared<const std::vector<uint8_t>>(std::move(body));
    }
    ERR_clear_error();
    if (list)
        _list = std::move(list);
}

Certificate_revocation_list::Certificate_revocation_list(std::shared_ptr<X509_CRL> list)
{
    if (!list)
        return;
    std::vector<uint8_t> der = der_encoding(list.get(), i2d_X509_CRL);
    if (der.empty())
        return;
    _der = std::make_shared<const std::vector<uint8_t>>(std::move(der));
    _list = std::move(list);
}

const std::vector<uint8_t>& Certificate_revocation_list::der() const
{
    assertion(_list != nullptr, "raw_handle () != NULL");
    return *_der;
}

std::shared_ptr<const std::vector<uint8_t>> Certificate_revocation_list::shared_der() const
{
    return _der;
}

X509_NAME* Certificate_revocation_list::issuer_name() const
{
    assertion(_list != nullptr, "raw_handle () != NULL");
    return X509_CRL_get_issuer(_list.get());
}

Crl_time_validity Certificate_revocation_list::time_validity_at(std::time_t now) const
{
    assertion(_list != nullptr, "raw_handle () != NULL");
    std::time_t moment = now;
    // X509_cmp_time: -1 when the list's time is earlier than or equal to the moment, 1 when
    // later, 0 when it cannot be read (read as "not yet valid": an unreadable date is no proof
    // of currency).
    const int this_update = X509_cmp_time(X509_CRL_get0_lastUpdate(_list.get()), &moment);
    if (this_update >= 0)
        return Crl_not_yet_valid;
    const ASN1_TIME* next_update = X509_CRL_get0_nextUpdate(_list.get());
    if (next_update && X509_cmp_time(next_update, &moment) <= 0)
        return Crl_expired;
    return Crl_valid;
}

Crl_signature Certificate_revocation_list::verify_signature(const Certificate& issuer) const
{
    assertion(_list != nullptr, "raw_handle () != NULL");
    EVP_PKEY* key = X509_get0_pubkey(issuer.checked_handle());
    if (!key)
        return Crl_signature::Not_checked;
    const int verified = X509_CRL_verify(_list.get(), key);
    ERR_clear_error();
    if (verified == 1)
        return Crl_signature::Verified;
    return verified == 0 ? Crl_signature::Bad_signature : Crl_signature::Not_checked;
}

Crl_lookup Certificate_revocation_list::find_certificate(const Certificate& certificate) const
{
    if (!_list || !certificate.is_valid())
        return Crl_lookup::Failed;
    if (X509_NAME_cmp(X509_CRL_get_issuer(_list.get()), certificate.issuer_name()) != 0)
        return Crl_lookup::Failed;
    X509_REVOKED* entry = nullptr;
    const int found = X509_CRL_get0_by_serial(
        _list.get(), &entry, const_cast<ASN1_INTEGER*>(X509_get0_serialNumber(certificate.raw_handle())));
    ERR_clear_error();
    return found == 1 ? Crl_lookup::Listed : Crl_lookup::Not_listed;
}

std::optional<Crl_entry> Certificate_revocation_list::entry_of(const Certificate& certificate) const
{
    if (find_certificate(certificate) != Crl_lookup::Listed)
        return std::nullopt;
    X509_REVOKED* found = nullptr;
    X509_CRL_get0_by_serial(_list.get(), &found,
                            const_cast<ASN1_INTEGER*>(X509_get0_serialNumber(certificate.raw_handle())));
    ERR_clear_error();
    if (!found)
        return std::nullopt;
    Crl_entry entry;
    if (const std::optional<std::time_t> at = seconds_of(X509_REVOKED_get0_revocationDate(found)))
        entry.revoked_at = *at;
    // A reason that does not decode counts as none: the caller then assumes the worst.
    int critical = 0;
    const Owner<ASN1_ENUMERATED> reason(
        static_cast<ASN1_ENUMERATED*>(X509_REVOKED_get_ext_d2i(found, NID_crl_reason, &critical, nullptr)));
    if (reason) {
        const long value = ASN1_ENUMERATED_get(reason.get());
        if (value >= 0 && value <= 10)
            entry.reason = static_cast<int>(value);
    }
    ERR_clear_error();
    return entry;
}

std::optional<std::time_t> Certificate_revocation_list::this_update() const
{
    assertion(_list != nullptr, "raw_handle () != NULL");
    return seconds_of(X509_CRL_get0_lastUpdate(_list.get()));
}

std::optional<std::time_t> Certificate_revocation_list::next_update() const
{
    assertion(_list != nullptr, "raw_handle () != NULL");
    const ASN1_TIME* next = X509_CRL_get0_nextUpdate(_list.get());
    return next ? seconds_of(next) : std::nullopt;
}

std::optional<std::time_t> Certificate_revocation_list::expired_certificates_kept_since() const
{
    assertion(_list != nullptr, "raw_handle () != NULL");
    // id-ce-expiredCertsOnCRL (2.5.29.60), which OpenSSL does not name: ExpiredCertsOnCRL ::= GeneralizedTime.
    const Owner<ASN1_OBJECT> kind(OBJ_txt2obj("2.5.29.60", 1));
    if (!kind)
        return std::nullopt;
    const int at = X509_CRL_get_ext_by_OBJ(_list.get(), kind.get(), -1);
    if (at < 0 || X509_CRL_get_ext_by_OBJ(_list.get(), kind.get(), at) >= 0) {
        ERR_clear_error();
        return std::nullopt;
    }
    const ASN1_OCTET_STRING* value = X509_EXTENSION_get_data(X509_CRL_get_ext(_list.get(), at));
    const unsigned char* cursor = ASN1_STRING_get0_data(value);
    const long length = ASN1_STRING_length(value);
    const Owner<ASN1_GENERALIZEDTIME> date(d2i_ASN1_GENERALIZEDTIME(nullptr, &cursor, length));
    ERR_clear_error();
    if (!date || cursor != ASN1_STRING_get0_data(value) + length)
        return std::nullopt;
    return seconds_of(date.get());
}

bool Certificate_revocation_list::is_newer_than(const Certificate_revocation_list& other) const
{
    assertion(_list != nullptr && other._list != nullptr, "raw_handle () != NULL");
    using Number = Owner<ASN1_INTEGER>;
    const Number mine(static_cast<ASN1_INTEGER*>(X509_CRL_get_ext_d2i(_list.get(), NID_crl_number, nullptr, nullptr)));
    const Number theirs(
        static_cast<ASN1_INTEGER*>(X509_CRL_get_ext_d2i(other._list.get(), NID_crl_number, nullptr, nullptr)));
    ERR_clear_error();
    if (mine && theirs) {
        if (const int order = ASN1_INTEGER_cmp(mine.get(), theirs.get()); order != 0)
            return order > 0;
    }
    // An unreadable date compares as -2 and makes neither list the newer one.
    return ASN1_TIME_compare(X509_CRL_get0_lastUpdate(_list.get()), X509_CRL_get0_lastUpdate(other._list.get())) == 1;
}

bool Certificate_revocation_list::operator==(const Certificate_revocation_list& other) const
{
    if ((_list != nullptr) != (other._list != nullptr))
        return false;
    return !_list || _der == other._der || *_der == *other._der;
}

bool Certificate_revocation_list::covers(const std::vector<std::string>& distribution_points, bool authority) const
{
    int critical = 0;
    const Owner<ISSUING_DIST_POINT> point(static_cast<ISSUING_DIST_POINT*>(
        X509_CRL_get_ext_d2i(raw_handle(), NID_issuing_distribution_point, &critical, nullptr)));
    ERR_clear_error();
    if (!point)
        return critical == -1; // absent; one that does not decode, or twice, speaks for nothing
    if (point->onlyattr || point->onlysomereasons || point->indirectCRL || (point->onlyCA && !authority) ||
        (point->onlyuser && authority))
        return false;
    if (!point->distpoint)
        return true;
    if (point->distpoint->type != 0)
        return false;
    for (int n = 0; n < sk_GENERAL_NAME_num(point->distpoint->name.fullname); ++n) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(point->distpoint->name.fullname, n);
        if (name->type != GEN_URI)
            continue;
        const ASN1_IA5STRING* text = name->d.uniformResourceIdentifier;
        const std::string url(reinterpret_cast<const char*>(ASN1_STRING_get0_data(text)),
                              static_cast<std::size_t>(ASN1_STRING_length(text)));
        if (std::find(distribution_points.begin(), distribution_points.end(), url) != distribution_points.end())
            return true;
    }
    return false;
}

} // namespace velin
