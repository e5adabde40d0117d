#include "trust/certificate.h"

#include "common/failure.h"
#include "common/hex.h"
#include "common/openssl_encoding.h"
#include "common/owner.h"

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/sha.h>
#include <openssl/x509v3.h>

#include <array>
#include <climits>

namespace velin {

namespace {

std::shared_ptr<X509> share(X509* certificate)
{
    return std::shared_ptr<X509>(certificate, Release{});
}

std::string first_entry(X509_NAME* name, int nid)
{
    const int index = X509_NAME_get_index_by_NID(name, nid, -1);
    if (index < 0)
        return {};
    return utf8_of(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index))).value_or(std::string());
}

std::string first_alternative_email(X509* certificate)
{
    Owner<GENERAL_NAMES> names(
        static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr)));
    if (!names)
        return {};
    for (int i = 0; i < sk_GENERAL_NAME_num(names.get()); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names.get(), i);
        if (name->type == GEN_EMAIL)
            return utf8_of(name->d.rfc822Name).value_or(std::string());
    }
    return {};
}

} // namespace

std::shared_ptr<X509> decode_certificate(std::span<const uint8_t> der)
{
    if (der.empty() || der.size() > static_cast<size_t>(LONG_MAX))
        return nullptr;
    const unsigned char* in = der.data();
    std::shared_ptr<X509> certificate = share(d2i_X509(nullptr, &in, static_cast<long>(der.size())));
    if (!certificate || in != der.data() + der.size())
        return nullptr;
    return certificate;
}

std::shared_ptr<Certificate::Data> Certificate::make(std::shared_ptr<X509> certificate)
{
    if (!certificate)
        return nullptr;
    auto data = std::make_shared<Data>();
    data->der = der_encoding(certificate.get(), i2d_X509);
    if (data->der.empty())
        return nullptr;
    data->x509 = std::move(certificate);
    return data;
}

Certificate::Certificate(std::span<const uint8_t> der)
{
    std::shared_ptr<X509> certificate = decode_certificate(der);
    if (!certificate)
        return;
    _data = std::make_shared<Data>();
    _data->x509 = std::move(certificate);
    _data->der.assign(der.begin(), der.end());
}

Certificate::Certificate(std::shared_ptr<X509> certificate) : _data(make(std::move(certificate))) {}

Certificate::Certificate(X509* raw, bool take_ownership)
{
    assign(raw, take_ownership);
}

void Certificate::assign(X509* raw, bool take_ownership)
{
    _data.reset();
    if (!raw)
        return;
    if (!take_ownership && X509_up_ref(raw) != 1)
        return;
    _data = make(share(raw));
}

Certificate Certificate::deferred(std::vector<uint8_t> der)
{
    Certificate certificate;
    if (der.empty())
        return certificate;
    certificate._data = std::make_shared<Data>();
    certificate._data->der = std::move(der);
    certificate._data->deferred = true;
    return certificate;
}

const std::shared_ptr<X509>& Certificate::x509_of(const Data& data)
{
    if (data.deferred)
        std::call_once(data.decoded, [&data] { data.x509 = decode_certificate(data.der); });
    return data.x509;
}

const Certificate::Data& Certificate::data() const
{
    assertion(_data != nullptr, "raw_handle () != NULL");
    return *_data;
}

X509* Certificate::raw_handle() const
{
    return _data ? x509_of(*_data).get() : nullptr;
}

X509* Certificate::checked_handle() const
{
    X509* handle = x509_of(data()).get();
    assertion(handle != nullptr, "raw_handle () != NULL");
    return handle;
}

const std::vector<uint8_t>& Certificate::der() const
{
    return data().der;
}

std::string Certificate::thumbprint() const
{
    const std::vector<uint8_t>& bytes = der();
    std::array<unsigned char, SHA_DIGEST_LENGTH> digest{};
    SHA1(bytes.data(), bytes.size(), digest.data());
    return hex_text(digest);
}

X509_NAME* Certificate::subject_name() const
{
    return X509_get_subject_name(checked_handle());
}

X509_NAME* Certificate::issuer_name() const
{
    return X509_get_issuer_name(checked_handle());
}

std::string Certificate::display_name() const
{
    const Data& d = data();
    if (!d.friendly_name.empty())
        return d.friendly_name;
    X509_NAME* subject = X509_get_subject_name(checked_handle());
    for (int nid : {NID_commonName, NID_organizationalUnitName, NID_organizationName, NID_pkcs9_emailAddress}) {
        std::string value = first_entry(subject, nid);
        if (!value.empty())
            return value;
    }
    std::string email = first_alternative_email(checked_handle());
    if (!email.empty())
        return email;
    if (X509_NAME_entry_count(subject) > 0)
        return utf8_of(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, 0))).value_or(std::string());
    return {};
}

bool Certificate::is_self_issued() const
{
    return X509_NAME_cmp(subject_name(), issuer_name()) == 0;
}

bool Certificate::is_certification_authority() const
{
    X509* certificate = checked_handle();
    const uint32_t flags = X509_get_extension_flags(certificate);
    if (flags & EXFLAG_INVALID)
        return false;
    if (!(flags & EXFLAG_BCONS) || !(flags & EXFLAG_CA))
        return false;
    if ((flags & EXFLAG_KUSAGE) && !(X509_get_key_usage(certificate) & KU_KEY_CERT_SIGN))
        return false;
    return true;
}

bool Certificate::is_signed_by(const Certificate& issuer) const
{
    EVP_PKEY* key = X509_get0_pubkey(issuer.checked_handle());
    if (!key)
        return false;
    const bool verified = X509_verify(checked_handle(), key) == 1;
    ERR_clear_error();
    return verified;
}

Time_validity Certificate::time_validity() const
{
    return time_validity_at(std::time(nullptr));
}

Time_validity Certificate::time_validity_at(std::time_t now) const
{
    X509* certificate = checked_handle();
    std::tm local{};
    if (now == static_cast<std::time_t>(-1) || !::localtime_r(&now, &local))
        return Time_not_convertible;
    std::tm midnight{};
    midnight.tm_year = local.tm_year;
    midnight.tm_mon = local.tm_mon;
    midnight.tm_mday = local.tm_mday;
    const std::time_t today = ::timegm(&midnight);
    const std::optional<std::time_t> first = seconds_of(X509_get0_notBefore(certificate));
    const std::optional<std::time_t> last = seconds_of(X509_get0_notAfter(certificate));
    constexpr std::time_t Unreadable = -1;
    if (today == Unreadable || !first || *first == Unreadable || !last || *last == Unreadable)
        return Time_not_convertible;
    const std::time_t not_before = *first;
    const std::time_t not_after = *last;
    // The day of NotBefore counts whole: a certificate issued this morning signs validly this
    // afternoon, as the last day of its validity counts whole too.
    constexpr std::time_t Day = 24 * 60 * 60;
    const std::time_t first_day = not_before - ((not_before % Day) + Day) % Day;
    if (today < first_day)
        return Time_not_yet_valid;
    if (not_after < today)
        return Time_expired;
    return Time_valid;
}

const std::string& Certificate::friendly_name() const
{
    return data().friendly_name;
}

void Certificate::set_friendly_name(std::string name)
{
    // Copies share their data: give this one its own before changing it.
    auto copy = std::make_shared<Data>(data());
    copy->friendly_name = std::move(name);
    _data = std::move(copy);
}

bool Certificate::operator==(const Certificate& other) const
{
    if (!_data || !other._data)
        return _data == other._data;
    return _data->der == other._data->der;
}

} // namespace velin
