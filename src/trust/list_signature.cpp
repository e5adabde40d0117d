#include "trust/list_signature.h"

#include "common/openssl_encoding.h"
#include "common/owner.h"
#include "trust/certificate.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <climits>

namespace velin {

namespace {

// Texts of the failures, as the user reads them under "Verifica della firma dello store CNIPA
// fallita:".
constexpr const char* Text_bad_encoding = "Errore di codifica o decodifica ASN1.";
constexpr const char* Text_not_detached = "La firma non è separata dal contenuto.";
constexpr const char* Text_bad_signature = "Firma non valida.";
constexpr const char* Text_bad_publisher = "Il certificato dell'editore della lista non è valido.";

} // namespace

std::string pem_certificate_thumbprint(const std::string& pem)
{
    if (pem.size() > static_cast<size_t>(INT_MAX))
        return {};
    Owner<BIO> input(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!input)
        return {};
    X509* raw = PEM_read_bio_X509(input.get(), nullptr, nullptr, nullptr);
    ERR_clear_error();
    const Certificate certificate(raw, true);
    return certificate.is_valid() ? certificate.thumbprint() : std::string();
}

List_signature::List_signature(std::span<const uint8_t> list, std::span<const uint8_t> signature,
                               const std::string& publisher_pem)
{
    const std::string publisher = pem_certificate_thumbprint(publisher_pem);
    if (publisher.empty()) {
        _description = Text_bad_publisher;
        return;
    }
    Owner<CMS_ContentInfo> message = decode_cms_message(signature);
    if (!message || OBJ_obj2nid(CMS_get0_type(message.get())) != NID_pkcs7_signed) {
        ERR_clear_error();
        _description = Text_bad_encoding;
        return;
    }
    if (!CMS_is_detached(message.get())) {
        _description = Text_not_detached;
        return;
    }
    if (list.size() > static_cast<size_t>(INT_MAX)) {
        _description = Text_bad_signature;
        return;
    }
    // An empty list is still a list whose signature can be checked.
    static const uint8_t nothing = 0;
    // The list is read through a pass-through filter: handed a memory BIO directly, CMS_verify
    // makes a copy of it that it never frees when the message's content cannot be set up.
    Owner<BIO> bytes(BIO_new_mem_buf(list.empty() ? &nothing : list.data(), static_cast<int>(list.size())));
    Owner<BIO> content(BIO_new(BIO_f_null()));
    int verified = 0;
    if (bytes && content) {
        BIO_push(content.get(), bytes.get());
        // Every signer's signature must verify over the list bytes (binary: no line-end
        // conversion); the signers' certificate chains are not examined.
        verified =
            CMS_verify(message.get(), nullptr, nullptr, content.get(), nullptr, CMS_NO_SIGNER_CERT_VERIFY | CMS_BINARY);
        BIO_pop(content.get());
    }
    ERR_clear_error();
    if (verified != 1) {
        _description = Text_bad_signature;
        return;
    }
    const Owner<STACK_OF(X509), Release_stack_only> signers(CMS_get0_signers(message.get()));
    const int count = sk_X509_num(signers.get());
    bool all_publisher = count > 0;
    for (int i = 0; i < count; ++i) {
        const Certificate signer(sk_X509_value(signers.get(), i), false);
        const std::string thumbprint = signer.is_valid() ? signer.thumbprint() : std::string();
        if (_signer_thumbprint.empty())
            _signer_thumbprint = thumbprint;
        if (thumbprint != publisher)
            all_publisher = false;
    }
    _result = all_publisher ? Verified : Other_signer;
}

} // namespace velin
