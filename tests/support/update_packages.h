// Packages signed as the update server publishes them: a detached CMS signature (DER) over the
// package bytes, made with a certificate and key of the demo update authority's fixtures.
#pragma once

#include "test_folder.h"

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace velin::test {

inline std::filesystem::path update_fixtures()
{
    return std::filesystem::path(VELIN_SOURCE_DIR) / "tests/fixtures/pki/update";
}

// flags: CMS flags beside CMS_BINARY (CMS_DETACHED unless attached is wanted). extra: names of
// further certificates to carry in the signature.
inline std::string sign_package(const std::string& package, const std::string& signer,
                                const std::vector<std::string>& extra = {}, unsigned flags = CMS_DETACHED)
{
    const auto pem_bio = [](const std::string& name) {
        return std::unique_ptr<BIO, decltype(&BIO_free)>(BIO_new_file((update_fixtures() / name).c_str(), "r"),
                                                         &BIO_free);
    };
    auto cert_bio = pem_bio(signer + ".cert.pem");
    auto key_bio = pem_bio(signer + ".key.pem");
    std::unique_ptr<X509, decltype(&X509_free)> certificate(
        PEM_read_bio_X509(cert_bio.get(), nullptr, nullptr, nullptr), &X509_free);
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        PEM_read_bio_PrivateKey(key_bio.get(), nullptr, nullptr, nullptr), &EVP_PKEY_free);
    if (!certificate || !key)
        throw std::runtime_error("fixture not readable: " + signer);
    std::unique_ptr<STACK_OF(X509), void (*)(STACK_OF(X509)*)> chain(
        sk_X509_new_null(), [](STACK_OF(X509) * stack) { sk_X509_pop_free(stack, X509_free); });
    for (const std::string& name : extra) {
        auto bio = pem_bio(name + ".cert.pem");
        sk_X509_push(chain.get(), PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    }
    std::unique_ptr<BIO, decltype(&BIO_free)> content(BIO_new_mem_buf(package.data(), static_cast<int>(package.size())),
                                                      &BIO_free);
    std::unique_ptr<CMS_ContentInfo, decltype(&CMS_ContentInfo_free)> message(
        CMS_sign(certificate.get(), key.get(), chain.get(), content.get(), CMS_BINARY | flags), &CMS_ContentInfo_free);
    if (!message)
        throw std::runtime_error("CMS_sign failed");
    unsigned char* der = nullptr;
    const int length = i2d_CMS_ContentInfo(message.get(), &der);
    if (length <= 0)
        throw std::runtime_error("i2d_CMS_ContentInfo failed");
    std::string signature(reinterpret_cast<char*>(der), static_cast<size_t>(length));
    OPENSSL_free(der);
    return signature;
}

} // namespace velin::test
