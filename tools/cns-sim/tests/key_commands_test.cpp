// The card's keys as a host uses them: security environment, signature and authentication, each
// only after the right PIN; results checked with the certificates' public keys. (Decipher, the
// way OpenSC has the card sign, and the public key files are exercised by card_bed.opensc.)
#include "test_support.h"

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <gtest/gtest.h>

#include <memory>

namespace cns_sim::test {
namespace {

using Pkey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Pkey_ctx = std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)>;

Pkey public_key_of(const std::string& certificate_fixture)
{
    const Bytes der = fixture(certificate_fixture);
    const unsigned char* p = der.data();
    std::unique_ptr<X509, decltype(&X509_free)> cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())), &X509_free);
    if (!cert)
        throw std::runtime_error("bad certificate fixture " + certificate_fixture);
    return Pkey(X509_get_pubkey(cert.get()), &EVP_PKEY_free);
}

// The public operation without padding: what a host computes to check a raw signature.
Bytes public_operation(EVP_PKEY* key, const Bytes& value)
{
    Pkey_ctx ctx(EVP_PKEY_CTX_new(key, nullptr), &EVP_PKEY_CTX_free);
    Bytes out(static_cast<std::size_t>(EVP_PKEY_get_size(key)));
    std::size_t n = out.size();
    if (EVP_PKEY_encrypt_init(ctx.get()) <= 0 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) <= 0 ||
        EVP_PKEY_encrypt(ctx.get(), out.data(), &n, value.data(), value.size()) <= 0)
        throw std::runtime_error("public operation failed");
    out.resize(n);
    return out;
}

// A PKCS#1 type 1 block of the modulus size, as the host pads a hash before a signature.
Bytes padded_block(std::size_t size, std::uint8_t fill)
{
    Bytes block(size, 0xFF);
    block[0] = 0x00;
    block[1] = 0x01;
    block[size - 21] = 0x00;
    for (std::size_t i = size - 20; i < size; ++i)
        block[i] = fill;
    return block;
}

Bytes command(std::initializer_list<std::uint8_t> header, const Bytes& data, bool le = true)
{
    Bytes out(header);
    out.push_back(static_cast<std::uint8_t>(data.size()));
    out.insert(out.end(), data.begin(), data.end());
    if (le)
        out.push_back(0x00);
    return out;
}

Profile_options keyed(Profile_kind kind)
{
    Profile_options o = profile(kind);
    o.holder_key = fixture(kind == Profile_kind::other_issuer ? "holder-other.key.pem" : "holder-regional.key.pem");
    if (kind == Profile_kind::regional) {
        o.signature_certificate = fixture("holder-regional-sign.cert.der");
        o.signature_key = fixture("holder-regional-sign.key.pem");
    }
    return o;
}

const std::string restore = "00 22 F3 03 00"; // with the trailing zero byte, sent as Le
const std::string verify_pin = "00 20 00 10 08 31 32 33 34 35 FF FF FF";
const std::string verify_sign_pin = "00 20 00 1A 08 32 34 36 38 30 FF FF FF";

TEST(Keys, AuthenticationKeySignsOnlyAfterItsPinAndAResetForgetsIt)
{
    Test_card t(keyed(Profile_kind::regional));
    const Pkey pub = public_key_of("holder-regional.cert.der");
    const Bytes block = padded_block(128, 0x5A);
    const Bytes pso = command({0x00, 0x2A, 0x9E, 0x9A}, block);

    EXPECT_EQ(t.sw(restore), sw::ok);
    EXPECT_EQ(t.sw("00 22 F1 B6 03 83 01 01"), sw::ok);
    EXPECT_EQ(status_of(t.card->process(pso)), sw::security_not_satisfied) << "no PIN yet";
    EXPECT_EQ(t.sw(verify_pin), sw::ok);
    const Bytes signed_reply = t.card->process(pso);
    ASSERT_EQ(status_of(signed_reply), sw::ok);
    EXPECT_EQ(public_operation(pub.get(), data_of(signed_reply)), block);

    // INTERNAL AUTHENTICATE with the key chosen for authentication.
    EXPECT_EQ(t.sw("00 22 F1 A4 03 83 01 01"), sw::ok);
    const Bytes auth_reply = t.card->process(command({0x00, 0x88, 0x00, 0x00}, block));
    ASSERT_EQ(status_of(auth_reply), sw::ok);
    EXPECT_EQ(public_operation(pub.get(), data_of(auth_reply)), block);

    t.card->reset();
    EXPECT_EQ(status_of(t.card->process(pso)), sw::conditions_not_satisfied) << "the environment is gone";
    EXPECT_EQ(t.sw("00 22 F1 B6 03 83 01 01"), sw::ok);
    EXPECT_EQ(status_of(t.card->process(pso)), sw::security_not_satisfied) << "the PIN is gone";
    EXPECT_EQ(t.sw(verify_pin), sw::ok);
    EXPECT_EQ(t.sw(restore), sw::ok);
    EXPECT_EQ(status_of(t.card->process(pso)), sw::conditions_not_satisfied) << "restore drops the chosen key";
}

TEST(Keys, SignatureApplicationHasItsOwnKeyAndPin)
{
    Test_card t(keyed(Profile_kind::regional));
    const Pkey pub = public_key_of("holder-regional-sign.cert.der");
    const Bytes block = padded_block(128, 0x33);
    const Bytes pso = command({0x00, 0x2A, 0x9E, 0x9A}, block);

    EXPECT_EQ(t.sw(verify_pin), sw::ok);
    EXPECT_EQ(t.sw("00 22 F1 B6 03 83 01 10"), sw::ok);
    EXPECT_EQ(status_of(t.card->process(pso)), sw::security_not_satisfied) << "PIN 10 does not open key 10";
    EXPECT_EQ(t.sw("00 20 00 1A 08 31 32 33 34 35 FF FF FF"), sw::retries_left(2));
    EXPECT_EQ(t.store.state().sign_pin_tries, 2);
    EXPECT_EQ(t.store.state().pin_tries, 3) << "each PIN counts its own tries";
    EXPECT_EQ(t.sw(verify_sign_pin), sw::ok);
    const Bytes reply = t.card->process(pso);
    ASSERT_EQ(status_of(reply), sw::ok);
    EXPECT_EQ(public_operation(pub.get(), data_of(reply)), block);

    // Its PIN changes and unblocks like the holder's, with its own PUK.
    EXPECT_EQ(t.sw("00 24 00 1A 10 32 34 36 38 30 FF FF FF 31 31 32 32 33 FF FF FF"), sw::ok);
    EXPECT_EQ(t.store.state().sign_pin, "11223");
    EXPECT_EQ(t.store.state().pin, "12345");
    EXPECT_EQ(t.sw("00 2C 00 1A 10 38 37 36 35 34 33 32 31 32 34 36 38 30 FF FF FF"), sw::ok);
    EXPECT_EQ(t.store.state().sign_pin, "24680");

    // A card without the application knows neither the PIN nor the key.
    Test_card other(keyed(Profile_kind::other_issuer));
    EXPECT_EQ(other.sw(verify_sign_pin), sw::reference_not_found);
    EXPECT_EQ(other.sw("00 22 F1 B6 03 83 01 10"), sw::reference_not_found);
    EXPECT_EQ(other.sw("00 A4 08 00 04 14 00 90 10 00"), sw::file_not_found);
    // Bit 8 of a PIN reference names the same PIN, as hosts address some makers' cards.
    EXPECT_EQ(other.sw("00 20 00 90 08 31 32 33 34 35 FF FF FF"), sw::ok);
    EXPECT_TRUE(other.card->pin_verified());
    EXPECT_EQ(other.sw("00 20 00 9A 08 31 32 33 34 35 FF FF FF"), sw::reference_not_found);
}

TEST(Keys, MalformedSecurityCommandsAreRefused)
{
    Test_card t(keyed(Profile_kind::regional));
    EXPECT_EQ(t.sw(verify_pin), sw::ok);
    EXPECT_EQ(t.sw("00 22 F3 03"), sw::ok) << "restore without the trailing byte";
    EXPECT_EQ(t.sw("00 22 F3 03 01 00"), sw::wrong_length);
    EXPECT_EQ(t.sw("00 22 F3 00 00"), sw::wrong_p1p2);
    EXPECT_EQ(t.sw("00 22 F1 B6 03 83 01 07"), sw::reference_not_found);
    EXPECT_EQ(t.sw("00 22 F1 B6 03 83 05 01"), sw::wrong_data) << "item longer than the data";
    EXPECT_EQ(t.sw("00 22 F1 B6 02 80 00"), sw::wrong_data) << "no key reference";
    EXPECT_EQ(t.sw("00 22 F1 B7 03 83 01 01"), sw::wrong_p1p2);
    EXPECT_EQ(t.sw("00 22 F1 B6"), sw::wrong_length);
    EXPECT_EQ(t.sw("00 2A 9E 9B 01 00 00"), sw::wrong_p1p2);
    EXPECT_EQ(t.sw("00 88 01 00 01 00 00"), sw::wrong_p1p2);

    EXPECT_EQ(t.sw("00 22 F1 B6 03 83 01 01"), sw::ok);
    EXPECT_EQ(status_of(t.card->process(command({0x00, 0x2A, 0x9E, 0x9A}, Bytes(129, 0x01)))), sw::wrong_length)
        << "longer than the modulus";
    EXPECT_EQ(status_of(t.card->process(command({0x00, 0x2A, 0x9E, 0x9A}, Bytes(128, 0xFF)))), sw::wrong_data)
        << "not below the modulus";
    EXPECT_EQ(t.sw("00 2A 9E 9A 00"), sw::wrong_length) << "nothing to sign";
    const Bytes short_block = t.card->process(command({0x00, 0x2A, 0x9E, 0x9A}, Bytes{0x01, 0x02}));
    EXPECT_EQ(status_of(short_block), sw::ok) << "a short block is a small number";
    EXPECT_EQ(data_of(short_block).size(), 128u);
    EXPECT_EQ(t.sw("00 22 F1 B8 03 83 01 01"), sw::ok);
    EXPECT_EQ(t.sw("00 2A 80 86 02 81 01 00"), sw::wrong_data) << "unknown padding indicator";
}

} // namespace
} // namespace cns_sim::test
