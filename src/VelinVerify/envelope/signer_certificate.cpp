#include "VelinVerify/envelope/signer_certificate.h"

namespace velin {

namespace {

std::shared_ptr<X509> share(X509* certificate)
{
    return std::shared_ptr<X509>(certificate, X509_free);
}

} // namespace

Signer_certificate Signer_certificate::from_x509(X509* certificate)
{
    Signer_certificate result;
    if (!certificate)
        return result;
    const int length = i2d_X509(certificate, nullptr);
    if (length <= 0)
        return result;
    result.der.resize(static_cast<size_t>(length));
    unsigned char* out = result.der.data();
    if (i2d_X509(certificate, &out) != length)
        return {};
    if (X509_up_ref(certificate) != 1)
        return {};
    result.x509 = share(certificate);
    return result;
}

Signer_certificate Signer_certificate::from_der(std::vector<uint8_t> der)
{
    const unsigned char* in = der.data();
    X509* certificate = d2i_X509(nullptr, &in, static_cast<long>(der.size()));
    if (!certificate)
        return {};
    Signer_certificate result;
    result.x509 = share(certificate);
    if (in != der.data() + der.size())
        return {};
    result.der = std::move(der);
    return result;
}

} // namespace velin
