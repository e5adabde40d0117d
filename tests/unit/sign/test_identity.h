// The test PKI's certificates and keys as the signers take them, and the byte/text conversions
// the signers' tests share.
#pragma once

#include "common/owner.h"
#include "norax_sign/envelope_signature.h"

#include <gtest/gtest.h>

#include <openssl/pem.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace velin::test {

struct Identity {
    std::shared_ptr<X509> certificate;
    std::shared_ptr<EVP_PKEY> key;
    Signing_identity get() const { return {certificate.get(), key.get()}; }
};

// NAME.cert.pem and NAME.key.pem of the folder.
inline Identity identity_in(const std::filesystem::path& folder, const std::string& name)
{
    Identity loaded;
    if (FILE* file = std::fopen((folder / (name + ".cert.pem")).c_str(), "r")) {
        loaded.certificate.reset(PEM_read_X509(file, nullptr, nullptr, nullptr), Release{});
        std::fclose(file);
    }
    if (FILE* file = std::fopen((folder / (name + ".key.pem")).c_str(), "r")) {
        loaded.key.reset(PEM_read_PrivateKey(file, nullptr, nullptr, nullptr), Release{});
        std::fclose(file);
    }
    EXPECT_TRUE(loaded.certificate && loaded.key) << name;
    return loaded;
}

inline std::vector<uint8_t> bytes_of(const std::string& text)
{
    return {text.begin(), text.end()};
}

inline std::string text_of(std::span<const uint8_t> bytes)
{
    return {bytes.begin(), bytes.end()};
}

} // namespace velin::test
