// Parallel signatures over outside bytes: any envelope, however damaged or deeply nested, ends in
// a new envelope or a failure text, never a crash, and the element reader stays inside its input.
#include "norax_sign/ber_tree.h"
#include "norax_sign/envelope_signature.h"

#include <openssl/pem.h>

#include <cstdio>
#include <cstdlib>
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

// Every element and every child the reader gives lies inside the input.
void walk(std::span<const uint8_t> bytes, int depth)
{
    const auto element = velin::ber_element(bytes);
    if (!element)
        return;
    if (element->data() != bytes.data() || element->size() > bytes.size())
        std::abort();
    if (depth < 8)
        for (const auto child : velin::ber_children(*element).value_or(std::vector<std::span<const uint8_t>>{})) {
            if (child.data() < element->data() || child.data() + child.size() > element->data() + element->size())
                std::abort();
            walk(child, depth + 1);
        }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const velin::Signing_identity identity = load_identity();
    const std::span<const uint8_t> bytes(data, size);
    walk(bytes, 0);
    std::string failure;
    const auto signed_again =
        velin::add_parallel_signer(bytes, identity, std::chrono::system_clock::time_point{}, failure);
    if (!signed_again && failure.empty())
        std::abort();
    return 0;
}
