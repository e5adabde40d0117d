// An RSA private key held by the simulated card. The card only ever applies the bare private
// operation: the host pads the block (PKCS#1 for a signature or an authentication) and strips
// the padding of a deciphered one, as it does with a real CNS card.
#pragma once

#include "bytes.h"

#include <memory>
#include <optional>
#include <string>

namespace cns_sim {

class Card_key {
public:
    // PEM or DER (PKCS#1 or PKCS#8); throws std::runtime_error when the bytes hold no RSA key.
    static std::shared_ptr<const Card_key> from_bytes(Byte_view encoded, const std::string& what);

    ~Card_key();
    Card_key(const Card_key&) = delete;
    Card_key& operator=(const Card_key&) = delete;

    std::size_t modulus_size() const; // bytes
    // The public half as a PKCS#1 RSAPublicKey (DER), the form the card's public key files hold.
    Bytes public_key_der() const;

    // block^d mod n. A block shorter than the modulus is taken as the number it spells (leading
    // zeros implied); nullopt for a longer block or a number not below the modulus.
    std::optional<Bytes> private_operation(Byte_view block) const;

private:
    struct Impl;
    explicit Card_key(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

} // namespace cns_sim
