// Trusted lists are outside bytes (fetched from the network, imported from files), and so is their
// parsed cache in the user's folder: whatever they hold, reading ends with a list or a message. A
// list that reads is written to the cache and read back to the same list; the signature check runs
// against the built-in signers of the European list, so the seeds that verify take the whole path.
#include "trust/european_list.h"
#include "trust/qualification.h"
#include "trust/trusted_list_reader.h"
#include "trust/trusted_list_store.h"

#include <openssl/sha.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::vector<velin::Certificate> pins = velin::pem_certificates(velin::eu_list_signers_pem);
    const std::span<const uint8_t> bytes(data, size);

    std::string failure;
    if (const auto list = velin::parse_trusted_list_unverified(bytes, &failure)) {
        // Whatever criteria and qualifiers a list holds, judging a certificate by them ends.
        for (const velin::Trust_service& service : list->services)
            for (const velin::Certificate& certificate : service.certificates)
                (void)velin::qualify_for_signature(certificate, service, 1700000000);
        const velin::Kept_list kept{*list, "00"};
        const auto cached = velin::read_trusted_list_cache(velin::write_trusted_list_cache(kept, {kept}));
        if (!cached || cached->european != kept || cached->national.size() != 1 || cached->national[0] != kept)
            std::abort();
        // The names a list gives without a certificate are read when a certificate is matched.
        for (const velin::Trust_service& service : list->services)
            for (const velin::Service_identity& identity : service.identities)
                for (const velin::Certificate& certificate : service.certificates) {
                    (void)velin::identity_names(identity, certificate);
                    (void)velin::subject_name_matches(identity.subject_name, certificate);
                }
    } else if (failure.empty()) {
        std::abort();
    }
    // The European route, every pivot the list names served by the same bytes: a list that names
    // itself as its own pivot ends like any other.
    const velin::European_list_reading european =
        velin::read_european_list(bytes, pins, [&](const std::string&) -> std::optional<std::vector<uint8_t>> {
            return std::vector<uint8_t>(bytes.begin(), bytes.end());
        });
    if (european.reading.verified != european.reading.failure.empty())
        std::abort();

    // The bytes as a cache body with a sound checksum: what a cache damaged before it was summed,
    // or made by another version, would hold. Its certificates are decoded only when asked for.
    std::vector<uint8_t> cache(bytes.begin(), bytes.end());
    std::array<uint8_t, SHA256_DIGEST_LENGTH> sum{};
    SHA256(cache.data(), cache.size(), sum.data());
    cache.insert(cache.end(), sum.begin(), sum.end());
    if (const auto cached = velin::read_trusted_list_cache(cache)) {
        const velin::Trusted_lists lists(cached->european, cached->national);
        for (const velin::Certificate& anchor : lists.anchor_certificates()) {
            (void)lists.issuer_candidates(anchor);
            (void)lists.accredited_authority(anchor, 0);
            (void)lists.is_trusted_time_stamping_authority(anchor, 0);
        }
    }
    return 0;
}
