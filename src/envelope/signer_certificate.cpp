#include "envelope/signer_certificate.h"

#include "common/openssl_encoding.h"
#include "common/owner.h"

namespace velin {

Signer_certificate Signer_certificate::from_x509(X509* certificate)
{
    Signer_certificate result;
    if (certificate && X509_up_ref(certificate) == 1)
        result._x509.reset(certificate, Release{});
    return result;
}

Signer_certificate Signer_certificate::from_der(const std::vector<uint8_t>& der)
{
    const unsigned char* in = der.data();
    Signer_certificate result;
    result._x509.reset(d2i_X509(nullptr, &in, static_cast<long>(der.size())), Release{});
    if (result._x509 && in != der.data() + der.size())
        result._x509.reset();
    return result;
}

std::vector<uint8_t> Signer_certificate::der() const
{
    if (!_x509)
        return {};
    return der_encoding(_x509.get(), i2d_X509);
}

} // namespace velin
