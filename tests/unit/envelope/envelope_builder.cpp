#include "envelope_builder.h"

#include "test_folder.h"

#include <openssl/asn1t.h>
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/pem.h>

#include <stdexcept>

namespace velin::test {

namespace {

struct Bio_free {
    void operator()(BIO* bio) const { BIO_free_all(bio); }
};
struct Cms_free {
    void operator()(CMS_ContentInfo* cms) const { CMS_ContentInfo_free(cms); }
};
struct Asn1_string_free {
    void operator()(ASN1_STRING* text) const { ASN1_STRING_free(text); }
};

void require(bool ok, const char* what)
{
    if (!ok)
        throw std::runtime_error(std::string("building the test envelope failed: ") + what);
}

std::vector<uint8_t> der(uint8_t tag, const std::vector<uint8_t>& content)
{
    std::vector<uint8_t> out{tag};
    const size_t size = content.size();
    if (size < 0x80) {
        out.push_back(static_cast<uint8_t>(size));
    } else {
        std::vector<uint8_t> length;
        for (size_t rest = size; rest; rest >>= 8)
            length.insert(length.begin(), static_cast<uint8_t>(rest));
        out.push_back(static_cast<uint8_t>(0x80 | length.size()));
        out.insert(out.end(), length.begin(), length.end());
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

std::vector<uint8_t> concatenated(std::initializer_list<std::vector<uint8_t>> pieces)
{
    std::vector<uint8_t> out;
    for (const auto& piece : pieces)
        out.insert(out.end(), piece.begin(), piece.end());
    return out;
}

// The signed attributes as they are signed: a DER SET OF, sorted, as the SignerInfo carries them.
using Attribute_list = STACK_OF(X509_ATTRIBUTE);
ASN1_ITEM_TEMPLATE(Signed_attribute_set) = ASN1_EX_TEMPLATE_TYPE(ASN1_TFLG_SET_OF, 0, Signed_attribute_set,
                                                                 X509_ATTRIBUTE)
    ASN1_ITEM_TEMPLATE_END(Signed_attribute_set)

    // Signs the signer's current signed attributes again with its key. OpenSSL's own signing refuses
    // attribute sets that break the rules, which is what these envelopes are made to carry.
    void sign_attributes_again(CMS_SignerInfo * signer, EVP_PKEY* key)
{
    std::unique_ptr<Attribute_list, void (*)(Attribute_list*)> attributes(
        sk_X509_ATTRIBUTE_new_null(), [](Attribute_list* list) { sk_X509_ATTRIBUTE_free(list); });
    for (int i = 0; i < CMS_signed_get_attr_count(signer); ++i)
        sk_X509_ATTRIBUTE_push(attributes.get(), CMS_signed_get_attr(signer, i));
    unsigned char* encoded = nullptr;
    const int length =
        ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(attributes.get()), &encoded, ASN1_ITEM_rptr(Signed_attribute_set));
    require(length > 0, "signed attributes");
    std::unique_ptr<unsigned char, void (*)(unsigned char*)> owned(encoded, [](unsigned char* p) { OPENSSL_free(p); });
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    size_t size = 0;
    require(context && EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key) == 1 &&
                EVP_DigestSign(context.get(), nullptr, &size, encoded, static_cast<size_t>(length)) == 1,
            "signature size");
    std::vector<unsigned char> signature(size);
    require(EVP_DigestSign(context.get(), signature.data(), &size, encoded, static_cast<size_t>(length)) == 1,
            "signature");
    require(ASN1_STRING_set(CMS_SignerInfo_get0_signature(signer), signature.data(), static_cast<int>(size)) == 1,
            "signature value");
}

void change_signed_attributes(CMS_SignerInfo* signer, EVP_PKEY* key, const Envelope_options& options)
{
    if (options.signed_content_type != 0) {
        const int at = CMS_signed_get_attr_by_NID(signer, NID_pkcs9_contentType, -1);
        require(at >= 0, "content type attribute");
        X509_ATTRIBUTE_free(CMS_signed_delete_attr(signer, at));
        require(CMS_signed_add1_attr_by_NID(signer, NID_pkcs9_contentType, V_ASN1_OBJECT,
                                            OBJ_nid2obj(options.signed_content_type), -1) == 1,
                "content type");
    }
    if (options.repeated_message_digest) {
        const auto* digest = static_cast<const ASN1_OCTET_STRING*>(
            CMS_signed_get0_data_by_OBJ(signer, OBJ_nid2obj(NID_pkcs9_messageDigest), -1, V_ASN1_OCTET_STRING));
        require(digest != nullptr, "message digest");
        require(CMS_signed_add1_attr_by_NID(signer, NID_pkcs9_messageDigest, V_ASN1_OCTET_STRING,
                                            ASN1_STRING_get0_data(digest), ASN1_STRING_length(digest)) == 1,
                "second message digest");
    }
    sign_attributes_again(signer, key);
}

// OpenSSL refuses to finish a SignedData without signers, so that one is written by hand.
std::vector<uint8_t> signed_data_without_signers(std::span<const uint8_t> content)
{
    const std::vector<uint8_t> signed_data_oid{0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
    const std::vector<uint8_t> data_oid{0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};
    const std::vector<uint8_t> encapsulated =
        der(0x30, concatenated({data_oid, der(0xA0, der(0x04, {content.begin(), content.end()}))}));
    const std::vector<uint8_t> signed_data =
        der(0x30, concatenated({{0x02, 0x01, 0x01}, der(0x31, {}), encapsulated, der(0x31, {})}));
    return der(0x30, concatenated({signed_data_oid, der(0xA0, signed_data)}));
}

struct Element {
    uint8_t tag;
    std::vector<uint8_t> content;
};

// The elements of a DER content, one level down (definite lengths only, as DER has).
std::vector<Element> elements(std::span<const uint8_t> content)
{
    std::vector<Element> out;
    size_t at = 0;
    while (at < content.size()) {
        require(at + 2 <= content.size(), "DER element");
        const uint8_t tag = content[at];
        size_t length = content[at + 1];
        size_t header = 2;
        if (length & 0x80) {
            const size_t count = length & 0x7F;
            require(at + 2 + count <= content.size(), "DER length");
            length = 0;
            for (size_t i = 0; i < count; ++i)
                length = (length << 8) | content[at + 2 + i];
            header += count;
        }
        require(at + header + length <= content.size(), "DER content");
        out.push_back({tag,
                       {content.begin() + static_cast<std::ptrdiff_t>(at + header),
                        content.begin() + static_cast<std::ptrdiff_t>(at + header + length)}});
        at += header + length;
    }
    return out;
}

std::vector<uint8_t> repeated(const std::vector<uint8_t>& content, int copies)
{
    std::vector<uint8_t> out;
    out.reserve(content.size() * static_cast<size_t>(copies));
    for (int i = 0; i < copies; ++i)
        out.insert(out.end(), content.begin(), content.end());
    return out;
}

} // namespace

std::vector<uint8_t> with_repeated_signers(const std::vector<uint8_t>& envelope, int signer_copies,
                                           int certificate_copies)
{
    return with_signers(envelope, signer_copies, certificate_copies, {});
}

std::vector<uint8_t> with_signers(const std::vector<uint8_t>& envelope, int signer_copies, int certificate_copies,
                                  const std::vector<uint8_t>& more)
{
    const auto content_info = elements(envelope);
    require(content_info.size() == 1, "ContentInfo");
    const auto top = elements(content_info[0].content);
    require(top.size() == 2, "ContentInfo parts");
    const auto explicit_content = elements(top[1].content);
    require(explicit_content.size() == 1, "SignedData");
    auto signed_data = elements(explicit_content[0].content);
    require(signed_data.size() == 5 && signed_data[3].tag == 0xA0 && signed_data[4].tag == 0x31,
            "SignedData with certificates and signers");
    signed_data[3].content = repeated(signed_data[3].content, certificate_copies);
    signed_data[4].content = repeated(signed_data[4].content, signer_copies);
    if (!more.empty()) {
        const auto other = elements(elements(elements(elements(more)[0].content)[1].content)[0].content);
        require(other.size() == 5 && other[4].tag == 0x31, "the other SignedData's signers");
        signed_data[4].content.insert(signed_data[4].content.end(), other[4].content.begin(), other[4].content.end());
    }
    std::vector<uint8_t> body;
    for (const auto& element : signed_data) {
        const auto encoded = der(element.tag, element.content);
        body.insert(body.end(), encoded.begin(), encoded.end());
    }
    return der(0x30, concatenated({der(top[0].tag, top[0].content), der(0xA0, der(0x30, body))}));
}

std::filesystem::path fixture(const std::string& name)
{
    return std::filesystem::path(ENVELOPE_FIXTURES) / name;
}

std::vector<uint8_t> fixture_bytes(const std::string& name)
{
    const auto path = fixture(name);
    if (!std::filesystem::exists(path))
        throw std::runtime_error("missing fixture " + path.string() + ": run tests/fixtures/envelope/make_fixtures.sh");
    return as_bytes(read_file(path));
}

std::vector<uint8_t> as_bytes(const std::string& text)
{
    return {text.begin(), text.end()};
}

Signing_key signing_key(int which)
{
    const std::string name = "signer" + std::to_string(which);
    const std::string certificate_text = read_file(fixture(name + ".pem"));
    const std::string key_text = read_file(fixture(name + ".key"));
    std::unique_ptr<BIO, Bio_free> certificate_bio(
        BIO_new_mem_buf(certificate_text.data(), static_cast<int>(certificate_text.size())));
    std::unique_ptr<BIO, Bio_free> key_bio(BIO_new_mem_buf(key_text.data(), static_cast<int>(key_text.size())));
    Signing_key result;
    result.certificate.reset(PEM_read_bio_X509(certificate_bio.get(), nullptr, nullptr, nullptr), X509_free);
    result.key.reset(PEM_read_bio_PrivateKey(key_bio.get(), nullptr, nullptr, nullptr), EVP_PKEY_free);
    require(result.certificate && result.key, "cannot load the fixture key pair");
    return result;
}

std::vector<uint8_t> build_envelope(std::span<const uint8_t> content, const Envelope_options& options)
{
    if (options.signers == 0)
        return signed_data_without_signers(content);
    unsigned flags = CMS_BINARY | CMS_PARTIAL;
    if (options.detached)
        flags |= CMS_DETACHED;
    std::unique_ptr<CMS_ContentInfo, Cms_free> cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
    require(cms != nullptr, "CMS_sign");

    unsigned signer_flags = CMS_PARTIAL;
    if (!options.signed_attributes)
        signer_flags |= CMS_NOATTR;
    if (!options.embed_certificate)
        signer_flags |= CMS_NOCERTS;
    for (int i = 1; i <= options.signers; ++i) {
        const Signing_key key = signing_key(i);
        CMS_SignerInfo* signer =
            CMS_add1_signer(cms.get(), key.certificate.get(), key.key.get(), EVP_sha256(), signer_flags);
        require(signer != nullptr, "CMS_add1_signer");
        if (options.signing_time_type != 0) {
            std::unique_ptr<ASN1_STRING, Asn1_string_free> time(ASN1_STRING_type_new(options.signing_time_type));
            require(time && ASN1_STRING_set(time.get(), options.signing_time.data(),
                                            static_cast<int>(options.signing_time.size())) == 1,
                    "signing time");
            require(CMS_signed_add1_attr_by_NID(signer, NID_pkcs9_signingTime, options.signing_time_type, time.get(),
                                                -1) == 1,
                    "signing time attribute");
        }
    }

    std::unique_ptr<BIO, Bio_free> data(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
    require(CMS_final(cms.get(), data.get(), nullptr, flags & ~CMS_PARTIAL) == 1, "CMS_final");

    if (options.signed_content_type != 0 || options.repeated_message_digest)
        change_signed_attributes(sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0), signing_key(1).key.get(),
                                 options);

    if (options.damage_signature) {
        CMS_SignerInfo* first = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0);
        ASN1_OCTET_STRING* value = CMS_SignerInfo_get0_signature(first);
        unsigned char* bytes = const_cast<unsigned char*>(ASN1_STRING_get0_data(value));
        bytes[ASN1_STRING_length(value) / 2] ^= 0x01;
    }

    const int length = i2d_CMS_ContentInfo(cms.get(), nullptr);
    require(length > 0, "i2d_CMS_ContentInfo");
    std::vector<uint8_t> der(static_cast<size_t>(length));
    unsigned char* out = der.data();
    require(i2d_CMS_ContentInfo(cms.get(), &out) == length, "i2d_CMS_ContentInfo");
    return der;
}

std::string base64(std::span<const uint8_t> bytes, bool line_breaks)
{
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    text.reserve(bytes.size() / 3 * 4 + bytes.size() / 48 + 8);
    size_t column = 0;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const uint32_t a = bytes[i];
        const uint32_t b = i + 1 < bytes.size() ? bytes[i + 1] : 0;
        const uint32_t c = i + 2 < bytes.size() ? bytes[i + 2] : 0;
        const uint32_t group = (a << 16) | (b << 8) | c;
        text += alphabet[(group >> 18) & 63];
        text += alphabet[(group >> 12) & 63];
        text += i + 1 < bytes.size() ? alphabet[(group >> 6) & 63] : '=';
        text += i + 2 < bytes.size() ? alphabet[group & 63] : '=';
        column += 4;
        if (line_breaks && column == 64) {
            text += '\n';
            column = 0;
        }
    }
    if (line_breaks && column != 0)
        text += '\n';
    return text;
}

std::string common_name(X509* certificate)
{
    char name[256] = {};
    X509_NAME_get_text_by_NID(X509_get_subject_name(certificate), NID_commonName, name, sizeof name);
    return name;
}

} // namespace velin::test
