// Outside bytes through the whole decoding of a .p7m as the verifier runs it: whatever they hold,
// the analysis ends with a record or the parser's message, never a crash, a hang or an
// exception, and no signer whose signature was not checked counts as matching.
#include "VelinVerify/envelope/signed_document_parser.h"
#include "test_folder.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool environment_ready = (velin::test::private_environment(), true);
    (void)environment_ready;

    auto info = std::make_shared<velin::Signed_document_info>();
    std::atomic<bool> cancel{false};
    velin::Signed_document_parser parser(info, cancel);
    parser.load_buffer(std::vector<uint8_t>(data, data + size), "fuzz.p7m");
    parser.analyse();

    if (parser.status() == velin::Parser_status::Error) {
        if (parser.error_message() != "L'analisi del file è fallita." && parser.error_message() != "Il file è vuoto.")
            std::abort();
        if (info->envelope.state() != velin::Assignable_state::Pending)
            std::abort();
        return 0;
    }
    if (!info->envelope.is_assigned())
        std::abort();
    const auto& envelope = info->envelope.value();
    if (envelope.signatures.is_assigned()) {
        for (const auto& signature : envelope.signatures.value())
            if (signature.signature_matches() && !signature.signer.is_assigned())
                std::abort();
    }
    return 0;
}
