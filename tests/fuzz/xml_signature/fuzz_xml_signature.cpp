// Signed XML files are outside bytes: whatever they hold, reading one ends with its signatures
// judged or a reason, never a crash, and a signature is never reported intact with a refusal.
// The bytes are also served as the document of a detached signature, so that path runs too, and
// read as the signatures file of a container: what a signature covers is then files the container
// has, and only once it is intact.
#include "envelope/content_kind.h"
#include "envelope/xml_signature.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

namespace {

velin::Document_bytes text_bytes(const std::string& text)
{
    return velin::Document_bytes(std::vector<uint8_t>(text.begin(), text.end()));
}

// The files of the corpus' containers (tools/make-asic-fixtures), so that its signatures match.
void read_as_container_signatures(std::span<const uint8_t> bytes)
{
    const std::vector<velin::Asic_entry> files = {
        {"contratto.txt", text_bytes("Contratto di prova.\r\nRiga due, con accenti: perch\u00e9 s\u00ec.\r\n"), {}},
        {"allegati/allegato tecnico.txt", text_bytes("Allegato tecnico: nessuna modifica ammessa.\n"), {}},
    };
    velin::Xml_signature signature;
    signature.set_container_files(files);
    signature.parse(bytes);
    if (!signature.parsed()) {
        if (signature.failure_text().empty())
            std::abort();
        return;
    }
    signature.extract_original_document();
    signature.read_signatures();
    for (size_t i = 0; i < signature.signatures_count(); ++i) {
        signature.select_signature(i);
        const auto integrity = signature.signature_integrity();
        const bool intact = integrity.is_assigned() && integrity.value() == velin::Signature_integrity::Intact;
        if (intact && !signature.unchecked_text().empty())
            std::abort();
        const std::vector<std::string> covers = signature.covered_files();
        if ((intact && covers.empty()) || (!intact && !covers.empty()))
            std::abort();
        for (const std::string& name : covers)
            if (std::none_of(files.begin(), files.end(),
                             [&](const velin::Asic_entry& file) { return file.name == name; }))
                std::abort();
        (void)signature.signer_long_term_timestamps();
        (void)signature.countersignatures();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::span<const uint8_t> bytes(data, size);
    read_as_container_signatures(bytes);
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
