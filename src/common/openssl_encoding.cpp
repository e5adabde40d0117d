#include "common/openssl_encoding.h"

#include "common/owner.h"

#include <openssl/err.h>

#include <climits>

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

Owner<CMS_ContentInfo> decode_cms_message(std::span<const uint8_t> bytes)
{
    if (bytes.empty() || bytes.size() > static_cast<size_t>(INT_MAX))
        return nullptr;
    const unsigned char* in = bytes.data();
    Owner<CMS_ContentInfo> message(d2i_CMS_ContentInfo(nullptr, &in, static_cast<long>(bytes.size())));
    if (message && in == bytes.data() + bytes.size())
        return message;
    // The same message saved as base64 text.
    Owner<BIO> input(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    if (!input)
        return nullptr;
    return Owner<CMS_ContentInfo>(PEM_read_bio_CMS(input.get(), nullptr, nullptr, nullptr));
}

} // namespace velin
