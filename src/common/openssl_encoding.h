// Values taken out of OpenSSL objects: the DER bytes of an object, the UTF-8 text of an ASN.1
// string, the seconds of an ASN.1 time, the text of an object identifier.
#pragma once

#include "common/owner.h"

#include <openssl/asn1.h>

#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace velin {

// The DER encoding of object made by encode (i2d_X509, i2d_X509_CRL …); empty when OpenSSL cannot
// encode it.
template <class T>
std::vector<uint8_t> der_encoding(const T* object, int (*encode)(const T*, unsigned char**))
{
    const int length = encode(object, nullptr);
    if (length <= 0)
        return {};
    std::vector<uint8_t> der(static_cast<size_t>(length));
    unsigned char* out = der.data();
    if (encode(object, &out) != length)
        return {};
    return der;
}

// The string as UTF-8, whatever its ASN.1 type; nothing when OpenSSL cannot convert it, and then
// its complaint is taken off the error queue.
std::optional<std::string> utf8_of(const ASN1_STRING* value);

// An ASN.1 time (UTCTime or GeneralizedTime) as seconds since the epoch; nothing when it is
// missing or OpenSSL cannot read it (its complaint is then taken off the error queue).
std::optional<std::time_t> seconds_of(const ASN1_TIME* time);

// An object identifier in dotted form, or by OpenSSL's short name for it when it has one and
// name_if_known is set; empty when OpenSSL cannot write it.
std::string oid_text(const ASN1_OBJECT* object, bool name_if_known = false);

// A CMS message in DER, or the same saved as PEM text; null when it is neither. DER must fill the
// bytes exactly.
Owner<CMS_ContentInfo> decode_cms_message(std::span<const uint8_t> bytes);

} // namespace velin
