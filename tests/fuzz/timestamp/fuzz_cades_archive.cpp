// The reading of a long-term CAdES envelope as encoded (its signers' unsigned attributes, the
// archive time stamps' hash indexes) takes outside bytes: whatever they hold it ends with parts
// that lie inside them or with nothing, never with a crash, and each archive time stamp it finds
// without a readable index says so.
#include "envelope/cades_archive.h"
#include "envelope/pkcs7.h"

#include "test_folder.h"

#include <cstdint>
#include <cstdlib>

namespace {

bool inside(std::span<const uint8_t> part, std::span<const uint8_t> bytes)
{
    return part.empty() || (part.data() >= bytes.data() && part.data() + part.size() <= bytes.data() + bytes.size());
}

// The envelope reader's own way to the same reading: the archive time stamps it hands out for
// each signer are those of the parts.
void read_as_envelope(std::span<const uint8_t> bytes)
{
    velin::Pkcs7 decoder;
    decoder.parse_shared(velin::Document_bytes(std::vector<uint8_t>(bytes.begin(), bytes.end())));
    if (!decoder.parsed() || !decoder.is_signed_type())
        return;
    decoder.extract_original_document();
    decoder.read_signatures();
    if (!decoder.signatures_read())
        return;
    for (size_t i = 0; i < decoder.signatures_count(); ++i) {
        decoder.select_signature(i);
        for (const auto& input : decoder.signer_archive_timestamps())
            if (input.token.empty() || input.after.empty())
                std::abort();
    }
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
    read_as_envelope(bytes);
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
