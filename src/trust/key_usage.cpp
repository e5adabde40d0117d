#include "trust/key_usage.h"

#include "common/owner.h"

#include <openssl/x509v3.h>

namespace velin {

Key_usage::Key_usage(const Certificate& certificate)
{
    int critical = 0;
    Owner<ASN1_BIT_STRING> bits(static_cast<ASN1_BIT_STRING*>(
        X509_get_ext_d2i(certificate.checked_handle(), NID_key_usage, &critical, nullptr)));
    // critical is -1 when the extension is absent and -2 when it is there more than once; a null
    // result with an extension present means it does not decode.
    if (!bits)
        return;
    std::array<uint8_t, 2> value{};
    const int length = ASN1_STRING_length(bits.get());
    const unsigned char* data = ASN1_STRING_get0_data(bits.get());
    for (int i = 0; i < length && i < 2; ++i)
        value[static_cast<size_t>(i)] = data[i];
    set_value(value);
}

} // namespace velin
