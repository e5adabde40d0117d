#include "common/openssl_encoding.h"

#include "common/owner.h"

#include <openssl/err.h>
#include <openssl/objects.h>

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

std::optional<std::time_t> seconds_of(const ASN1_TIME* time)
{
    std::tm parts{};
    if (!time || ASN1_TIME_to_tm(time, &parts) != 1) {
        ERR_clear_error();
        return std::nullopt;
    }
    return ::timegm(&parts);
}

std::string oid_text(const ASN1_OBJECT* object, bool name_if_known)
{
    const int no_name = name_if_known ? 0 : 1;
    const int length = object ? OBJ_obj2txt(nullptr, 0, object, no_name) : 0;
    if (length <= 0) {
        ERR_clear_error();
        return {};
    }
    std::string text(static_cast<size_t>(length) + 1, '\0');
    if (OBJ_obj2txt(text.data(), length + 1, object, no_name) != length)
        return {};
    text.resize(static_cast<size_t>(length));
    return text;
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
