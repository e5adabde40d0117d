#include "VelinVerify/update/package_signature.h"

#include "common/openssl_encoding.h"
#include "common/owner.h"

#include <openssl/err.h>

#include <climits>

namespace velin {

namespace {

constexpr const char* Text_unreadable = "la firma non è leggibile.";
constexpr const char* Text_not_detached = "la firma non è separata dal pacchetto.";
constexpr const char* Text_signers = "la firma non ha un solo firmatario.";
constexpr const char* Text_mismatch =
    "la firma non corrisponde al pacchetto o non risale all'autorità degli aggiornamenti.";
constexpr const char* Text_not_from_authority =
    "il certificato del firmatario non è stato emesso dall'autorità degli aggiornamenti.";
constexpr const char* Text_not_publisher = "il certificato del firmatario non è destinato alla firma dei programmi.";
constexpr const char* Text_bad_authority = "il certificato dell'autorità degli aggiornamenti non è leggibile.";

Owner<X509> decode_authority(const std::string& pem)
{
    if (pem.empty() || pem.size() > static_cast<size_t>(INT_MAX))
        return nullptr;
    Owner<BIO> input(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!input)
        return nullptr;
    return Owner<X509>(PEM_read_bio_X509(input.get(), nullptr, nullptr, nullptr));
}

bool same_certificate(X509* a, X509* b)
{
    return X509_cmp(a, b) == 0;
}

// An end entity that may sign code, as far as its extensions say.
bool may_sign_packages(X509* signer)
{
    if (X509_check_ca(signer) != 0)
        return false;
    const uint32_t usage = X509_get_key_usage(signer); // UINT32_MAX without the extension
    if ((usage & KU_DIGITAL_SIGNATURE) == 0)
        return false;
    const uint32_t extended = X509_get_extended_key_usage(signer); // UINT32_MAX without it
    return (extended & XKU_CODE_SIGN) != 0;
}

} // namespace

void Package_signature::refuse(Result result, const char* description)
{
    ERR_clear_error();
    _result = result;
    _description = description;
}

Package_signature::Package_signature(std::span<const uint8_t> package, std::span<const uint8_t> signature,
                                     const std::string& authority_pem)
{
    check(package, signature, authority_pem);
}

void Package_signature::check(std::span<const uint8_t> package, std::span<const uint8_t> signature,
                              const std::string& authority_pem)
{
    const Owner<X509> authority = decode_authority(authority_pem);
    if (!authority)
        return refuse(Bad_authority, Text_bad_authority);

    const Owner<CMS_ContentInfo> message = decode_cms_message(signature);
    if (!message || OBJ_obj2nid(CMS_get0_type(message.get())) != NID_pkcs7_signed)
        return refuse(Unreadable, Text_unreadable);
    if (!CMS_is_detached(message.get()))
        return refuse(Unreadable, Text_not_detached);
    if (sk_CMS_SignerInfo_num(CMS_get0_SignerInfos(message.get())) != 1)
        return refuse(Unreadable, Text_signers);
    if (package.size() > static_cast<size_t>(INT_MAX))
        return refuse(Mismatch, Text_mismatch);

    const Owner<X509_STORE> store(X509_STORE_new());
    if (!store || X509_STORE_add_cert(store.get(), authority.get()) != 1)
        return refuse(Mismatch, Text_mismatch);
    // The authority is an intermediate: it is the anchor all the same. Publisher certificates
    // carry code signing, not e-mail protection, so the purpose is checked below instead.
    X509_STORE_set_flags(store.get(), X509_V_FLAG_PARTIAL_CHAIN);
    X509_STORE_set_purpose(store.get(), X509_PURPOSE_ANY);

    static const uint8_t nothing = 0;
    // Through a pass-through filter: handed a memory BIO directly, CMS_verify makes a copy of it
    // that it never frees when the message's content cannot be set up.
    const Owner<BIO> bytes(
        BIO_new_mem_buf(package.empty() ? &nothing : package.data(), static_cast<int>(package.size())));
    const Owner<BIO> content(BIO_new(BIO_f_null()));
    int verified = 0;
    if (bytes && content) {
        BIO_push(content.get(), bytes.get());
        verified = CMS_verify(message.get(), nullptr, store.get(), content.get(), nullptr, CMS_BINARY);
        BIO_pop(content.get());
    }
    if (verified != 1)
        return refuse(Mismatch, Text_mismatch);

    const Owner<STACK_OF(X509), Release_stack_only> signers(CMS_get0_signers(message.get()));
    X509* signer = sk_X509_num(signers.get()) == 1 ? sk_X509_value(signers.get(), 0) : nullptr;
    if (!signer || same_certificate(signer, authority.get()) ||
        X509_check_issued(authority.get(), signer) != X509_V_OK ||
        X509_verify(signer, X509_get0_pubkey(authority.get())) != 1)
        return refuse(Not_from_authority, Text_not_from_authority);
    if (!may_sign_packages(signer))
        return refuse(Not_from_authority, Text_not_publisher);
    ERR_clear_error();
    _result = Verified;
    _description.clear();
}

} // namespace velin
