// Signed XML files are outside bytes: whatever they hold, reading one ends with its signatures
// judged or a reason, never a crash, and a signature is never reported intact with a refusal.
// The bytes are also served as the document of a detached signature, so that path runs too.
#include "envelope/content_kind.h"
#include "envelope/xml_signature.h"

#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::span<const uint8_t> bytes(data, size);
    (void)velin::document_type_by_content(bytes);
    velin::Xml_signature signature;
    signature.parse(bytes);
    if (!signature.parsed()) {
        if (signature.failure_text().empty())
            std::abort();
        return 0;
    }
    signature.extract_original_document();
    if (signature.detached())
        signature.verify_detached(velin::Document_bytes(std::vector<uint8_t>(bytes.begin(), bytes.end())));
    signature.read_signatures();
    for (size_t i = 0; i < signature.signatures_count(); ++i) {
        signature.select_signature(i);
        const auto integrity = signature.signature_integrity();
        const bool intact = integrity.is_assigned() && integrity.value() == velin::Signature_integrity::Intact;
        if (intact && !signature.unchecked_text().empty())
            std::abort();
        (void)signature.signing_time();
        (void)signature.signature_value();
        (void)signature.signer_timestamp_tokens(velin::Timestamp_scope::Signature);
        (void)signature.signer_long_term_timestamps();
        (void)signature.countersignatures();
        (void)signature.no_legal_value();
    }
    (void)signature.validation_data();
    return 0;
}
