// What the verifier's own decoder says of every signature of an envelope, for the tests of the
// programs that make envelopes (they link the verifier's envelope library).
#pragma once

#include "envelope/signed_document_parser.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace velin::test {

inline std::vector<bool> verifier_matches(std::vector<uint8_t> envelope)
{
    static std::atomic<bool> cancel{false};
    auto info = std::make_shared<Signed_document_info>();
    auto parser = std::make_shared<Signed_document_parser>(info, cancel);
    parser->load_buffer(std::move(envelope), "documento.txt.p7m");
    parser->analyse();
    std::vector<bool> matches;
    if (info->envelope.is_assigned() && info->envelope.value().signatures.is_assigned())
        for (const Signature_info& signature : info->envelope.value().signatures.value())
            matches.push_back(signature.signature_matches());
    return matches;
}

} // namespace velin::test
