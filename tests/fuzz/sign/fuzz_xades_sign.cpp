// XAdES signatures over outside bytes: any document, however damaged, nested or encoded, ends in a
// signed document (which the signer itself reads back as intact) or a failure text, never a crash; the document's
// own bytes stay where they were.
#include "norax_sign/xades_signature.h"

#include <openssl/pem.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

velin::Signing_identity load_identity()
{
    const std::string folder = std::string(VELIN_SOURCE_DIR) + "/tests/fixtures/pki/";
    velin::Signing_identity identity;
    if (FILE* file = std::fopen((folder + "signer-user.cert.pem").c_str(), "r")) {
        identity.certificate = PEM_read_X509(file, nullptr, nullptr, nullptr);
        std::fclose(file);
    }
    if (FILE* file = std::fopen((folder + "signer-user.key.pem").c_str(), "r")) {
        identity.key = PEM_read_PrivateKey(file, nullptr, nullptr, nullptr);
        std::fclose(file);
    }
    if (!identity.certificate || !identity.key)
        std::abort();
    return identity;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const velin::Signing_identity identity = load_identity();
    const std::span<const uint8_t> bytes(data, size);
    const std::string refusal = velin::xades_refusal(bytes);
    std::string failure;
    const auto insertion =
        velin::xades_enveloped_signature(bytes, identity, std::chrono::system_clock::time_point{}, failure);
    if (!insertion) {
        if (failure.empty())
            std::abort();
        return 0;
    }
    // Whatever was refused before the key is refused with the key too.
    if (!refusal.empty() || insertion->insert_at > size)
        std::abort();
    const std::vector<uint8_t> signed_document = velin::xades_signed_bytes(bytes, *insertion);
    if (std::memcmp(signed_document.data(), data, insertion->insert_at) != 0 ||
        std::memcmp(signed_document.data() + insertion->insert_at + insertion->signature.size(),
                    data + insertion->insert_at, size - insertion->insert_at) != 0)
        std::abort();
    return 0;
}
