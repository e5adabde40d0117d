#include "common/openssl_encoding.h"

#include "common/owner.h"

#include <openssl/err.h>

namespace velin {

std::optional<std::string> utf8_of(const ASN1_STRING* value)
{
    unsigned char* raw = nullptr;
    const int length = ASN1_STRING_to_UTF8(&raw, value);
    const Owner<unsigned char, Openssl_free> text(raw);
    if (length < 0) {
        ERR_clear_error();
        return std::nullopt;
    }
    return std::string(reinterpret_cast<const char*>(text.get()), static_cast<size_t>(length));
}

} // namespace velin
