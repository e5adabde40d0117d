// Signature containers are outside bytes: the reader ends with the files or a refusal, never with a
// crash, within its limits; what it gives keeps inside the container's folder, once per name; the
// manifests and archive manifests it holds are read and their references checked against its
// files, covering only files it has.
#include "envelope/asic_container.h"
#include "envelope/asic_manifest.h"
#include "envelope/content_kind.h"
#include "envelope/signature_check.h"

#include <openssl/evp.h>

#include "test_folder.h"

#include <cstdint>
#include <cstdlib>
#include <set>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    velin::test::private_environment();
    const std::span<const uint8_t> bytes(data, size);
    (void)velin::looks_like_asic_container(bytes);
    (void)velin::document_type_by_content(bytes);

    // Small limits: the fuzzer's archives reach them.
    const velin::Asic_limits limits{
        .entries = 64, .entry_size = 1024 * 1024, .total_size = 4 * 1024 * 1024, .held_size = 128 * 1024};
    std::string problem;
    const auto container = velin::read_asic_container(bytes, problem, limits);
    if (container.has_value() == !problem.empty())
        std::abort();
    if (!container)
        return 0;
    if (container->entries.size() > limits.entries)
        std::abort();
    std::set<std::string> names;
    size_t total = 0;
    for (const velin::Asic_entry& entry : container->entries) {
        const std::string& name = entry.name;
        const bool leaves = name.empty() || name.front() == '/' || name == ".." || name.starts_with("../") ||
                            name.find("/../") != std::string::npos || name.ends_with("/..") ||
                            name.find('\\') != std::string::npos;
        if (!names.insert(name).second || leaves)
            std::abort();
        if (entry.bytes.size() > limits.entry_size)
            std::abort();
        // The digest made while reading is of the bytes held (or made again).
        if (const auto digest = entry.digests.find(NID_sha256);
            digest != entry.digests.end() &&
            velin::Document_digests(entry.bytes, std::map<int, std::vector<uint8_t>>{}).of(EVP_sha256()) !=
                digest->second)
            std::abort();
        total += entry.bytes.size();
    }
    if (total > limits.total_size)
        std::abort();
    // The archive manifests, of the same form under their own root.
    for (const char* root : {"ASiCManifest", velin::Asic_archive_manifest_root})
        for (const velin::Asic_entry* manifest_file : container->meta_files(root, ".xml")) {
            const auto manifest = velin::read_asic_manifest(manifest_file->bytes, problem, root);
            if (manifest.has_value() == !problem.empty())
                std::abort();
            if (!manifest)
                continue;
            const velin::Asic_coverage coverage = velin::check_manifest_references(*manifest, *container);
            for (const std::string& covered : coverage.covers)
                if (!container->find(covered))
                    std::abort();
        }
    return 0;
}
