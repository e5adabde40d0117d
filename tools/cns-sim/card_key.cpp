#include "card_key.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <stdexcept>

namespace cns_sim {

struct Card_key::Impl {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key{nullptr, &EVP_PKEY_free};
};

Card_key::Card_key(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Card_key::~Card_key() = default;

std::shared_ptr<const Card_key> Card_key::from_bytes(Byte_view encoded, const std::string& what)
{
    auto impl = std::make_unique<Impl>();
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(encoded.data(), static_cast<int>(encoded.size())),
                                                  &BIO_free);
    if (bio)
        impl->key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (!impl->key) {
        const unsigned char* p = encoded.data();
        impl->key.reset(d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(encoded.size())));
    }
    ERR_clear_error();
    if (!impl->key || EVP_PKEY_get_base_id(impl->key.get()) != EVP_PKEY_RSA)
        throw std::runtime_error(what + ": not an RSA private key");
    return std::shared_ptr<const Card_key>(new Card_key(std::move(impl)));
}

std::size_t Card_key::modulus_size() const
{
    return static_cast<std::size_t>(EVP_PKEY_get_size(impl_->key.get()));
}

Bytes Card_key::public_key_der() const
{
    unsigned char* der = nullptr;
    const int n = i2d_PublicKey(impl_->key.get(), &der); // RSAPublicKey for an RSA key
    if (n <= 0)
        throw std::runtime_error("cannot encode the card's public key");
    Bytes out(der, der + n);
    OPENSSL_free(der);
    return out;
}

std::optional<Bytes> Card_key::private_operation(Byte_view block) const
{
    const std::size_t size = modulus_size();
    if (block.empty() || block.size() > size)
        return std::nullopt;
    Bytes input(size - block.size(), 0x00);
    input.insert(input.end(), block.begin(), block.end());

    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new(impl_->key.get(), nullptr),
                                                                    &EVP_PKEY_CTX_free);
    Bytes out(size);
    std::size_t out_size = out.size();
    // Deciphering without padding is exactly the private operation, and OpenSSL refuses a
    // number not below the modulus there.
    if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) <= 0 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) <= 0 ||
        EVP_PKEY_decrypt(ctx.get(), out.data(), &out_size, input.data(), input.size()) <= 0) {
        ERR_clear_error();
        return std::nullopt;
    }
    out.resize(out_size);
    return out;
}

} // namespace cns_sim
