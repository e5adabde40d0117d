// Store files are outside bytes (lists copied from anywhere, files the user imports): whatever
// they hold, recognising them ends, and a store that loads is written back and loads again to the
// same certificates, byte for byte. CRL bytes go through their own decoder too, and the bytes as a
// list signature (a .p7s is an outside file as well) over a fixed list.
#include "trust/certificate_revocation_list.h"
#include "trust/certificate_store.h"
#include "trust/list_signature.h"
#include "trust/serialized_store.h"

#include <cstdint>
#include <cstdlib>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::span<const uint8_t> bytes(data, size);
    (void)velin::query_object(bytes);
    if (auto elements = velin::parse_serialized_store(bytes)) {
        const std::vector<uint8_t> written = velin::write_serialized_store(*elements);
        if (velin::parse_serialized_store(written) != elements)
            std::abort();
    }
    if (auto store = velin::Certificate_store::from_bytes(bytes)) {
        const std::vector<uint8_t> written = store->serialize();
        auto again = velin::Certificate_store::from_bytes(written);
        if (!again || again->certificates() != store->certificates() || again->serialize() != written)
            std::abort();
    }
    const velin::Certificate_revocation_list crl(bytes);
    if (crl.is_valid() && crl.der().empty())
        std::abort();
    static const uint8_t empty_list[] = {0, 0, 0, 0, 'C', 'E', 'R', 'T', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const velin::List_signature signature(empty_list, bytes, velin::list_publisher_pem);
    if (signature.verified())
        std::abort();
    return 0;
}
