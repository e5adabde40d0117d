// The reading of a long-term CAdES envelope as encoded (its signers' unsigned attributes, the
// archive time stamps' hash indexes) takes outside bytes: whatever they hold it ends with parts
// that lie inside them or with nothing, never with a crash, and each archive time stamp it finds
// without a readable index says so.
#include "envelope/cades_archive.h"

#include "test_folder.h"

#include <cstdint>
#include <cstdlib>

namespace {

bool inside(std::span<const uint8_t> part, std::span<const uint8_t> bytes)
{
    return part.empty() || (part.data() >= bytes.data() && part.data() + part.size() <= bytes.data() + bytes.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    velin::test::private_environment();
    const std::span<const uint8_t> bytes(data, size);
    if (const auto index = velin::read_ats_hash_index(bytes)) {
        const size_t hash_size = static_cast<size_t>(EVP_MD_get_size(index->algorithm));
        for (const auto* list : {&index->certificates, &index->crls, &index->attribute_values})
            for (const auto& hash : *list)
                if (hash.size() != hash_size)
                    std::abort();
    }
    const auto parts = velin::read_cades_parts(bytes);
    if (!parts)
        return 0;
    if (!inside(parts->content_type, bytes) || !inside(parts->certificates_field, bytes))
        std::abort();
    for (const auto& signer : parts->signers) {
        if (!inside(signer.fields, bytes))
            std::abort();
        for (const velin::Cades_content_form form :
             {velin::Cades_content_form{}, velin::Cades_content_form{false, true, 12}}) {
            for (const auto& input : velin::archive_timestamps_of(*parts, signer, form)) {
                if (input.after.empty() || input.token.empty())
                    std::abort();
                const std::vector<uint8_t> content = {'d', 'o', 'c'};
                const velin::Document_bytes document(content);
                const auto digest = velin::archive_covered_digests(input, &document, [](const EVP_MD* algorithm) {
                    return std::vector<uint8_t>(static_cast<size_t>(EVP_MD_get_size(algorithm)), 0);
                });
                if (digest.size() != input.after.size() || !digest.front() || digest.front()(EVP_sha256()).size() != 32)
                    std::abort();
            }
        }
    }
    return 0;
}
