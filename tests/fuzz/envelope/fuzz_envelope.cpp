// Outside bytes through the whole decoding of a .p7m as the verifier runs it: whatever they hold,
// the analysis ends with a record or the parser's message, never a crash, a hang or an
// exception, and no signer whose signature was not checked counts as matching. The decoder's own
// fast readings (the DER walk, plain base64, S/MIME in mail form) must also give exactly what
// OpenSSL's readers give on the same bytes.
#include "envelope/der_walk.h"
#include "envelope/pkcs7.h"
#include "envelope/signed_document_parser.h"
#include "test_folder.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// What the verifier learns from a decoder, in a form that compares. Shared: the bytes as the
// verifier hands a file over, for the readings that stream the document instead of holding it.
std::vector<std::string> outcome(std::span<const uint8_t> bytes, velin::Pkcs7::Der_reading reading, bool shared = false)
{
    velin::Pkcs7 decoder(nullptr, reading);
    if (shared)
        decoder.parse_shared(velin::Document_bytes(std::vector<uint8_t>(bytes.begin(), bytes.end())));
    else
        decoder.parse(bytes);
    if (!decoder.parsed())
        return {"unparsed"};
    std::vector<std::string> out{std::to_string(static_cast<int>(decoder.encoding()))};
    decoder.extract_original_document();
    const auto& content = decoder.content();
    out.emplace_back(content.begin(), content.end());
    decoder.read_signatures();
    if (!decoder.signatures_read())
        return out;
    for (size_t i = 0; i < decoder.signatures_count(); ++i) {
        decoder.select_signature(i);
        decoder.read_signer_certificate();
        const auto integrity = decoder.signature_integrity();
        out.push_back(std::to_string(decoder.certificate_read() ? decoder.signer_certificate().der().size() : 0) + "/" +
                      std::to_string(static_cast<int>(integrity.state())) + "/" +
                      (integrity.is_assigned() ? std::to_string(static_cast<int>(integrity.value())) : "-"));
        // What a signer carries besides its signature: time stamps and countersignatures.
        const auto value = decoder.signature_value();
        for (const auto scope : {velin::Timestamp_scope::Signature, velin::Timestamp_scope::Content})
            for (const auto& token : decoder.signer_timestamp_tokens(scope))
                out.push_back(
                    std::to_string(velin::check_timestamp(token, velin::digest_of_pieces({value})).verified()));
        for (const auto& countersignature : decoder.countersignatures())
            out.push_back(std::to_string(countersignature.read) + std::to_string(countersignature.matches));
    }
    return out;
}

// The bytes in base64, in mail lines.
std::vector<uint8_t> as_base64(const uint8_t* data, size_t size)
{
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::vector<uint8_t> out;
    for (size_t i = 0; i < size; i += 3) {
        const uint32_t group = (uint32_t{data[i]} << 16) | (i + 1 < size ? uint32_t{data[i + 1]} << 8 : 0) |
                               (i + 2 < size ? uint32_t{data[i + 2]} : 0);
        out.push_back(static_cast<uint8_t>(alphabet[(group >> 18) & 63]));
        out.push_back(static_cast<uint8_t>(alphabet[(group >> 12) & 63]));
        out.push_back(static_cast<uint8_t>(i + 1 < size ? alphabet[(group >> 6) & 63] : '='));
        out.push_back(static_cast<uint8_t>(i + 2 < size ? alphabet[group & 63] : '='));
        if ((i / 3 + 1) % 16 == 0 || i + 3 >= size) {
            out.push_back('\r');
            out.push_back('\n');
        }
    }
    return out;
}

// The same as the body of an S/MIME message in mail form, so that every mutated binary envelope
// also reaches the S/MIME reading.
std::vector<uint8_t> as_smime(const std::vector<uint8_t>& body)
{
    const std::string header = "Content-Type: application/pkcs7-mime; smime-type=signed-data\r\n\r\n";
    std::vector<uint8_t> out(header.begin(), header.end());
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool environment_ready = (velin::test::private_environment(), true);
    (void)environment_ready;

    auto info = std::make_shared<velin::Signed_document_info>();
    std::atomic<bool> cancel{false};
    velin::Signed_document_parser parser(info, cancel);
    // Every reading of the same bytes gives what OpenSSL's readers give.
    const auto same_everywhere = [](std::span<const uint8_t> bytes) {
        const auto expected = outcome(bytes, velin::Pkcs7::Der_reading::Openssl_only);
        return outcome(bytes, velin::Pkcs7::Der_reading::Walk) == expected &&
               outcome(bytes, velin::Pkcs7::Der_reading::Walk, true) == expected;
    };
    if (size > 0 && !same_everywhere({data, size}))
        std::abort();
    const std::vector<uint8_t> text = as_base64(data, size);
    if (!same_everywhere(as_smime(text)) || (!text.empty() && !same_everywhere(text)))
        std::abort();
    // The same text armoured as PEM.
    const std::string begin = "-----BEGIN CMS-----\n";
    const std::string end = "-----END CMS-----\n";
    std::vector<uint8_t> pem(begin.begin(), begin.end());
    pem.insert(pem.end(), text.begin(), text.end());
    pem.insert(pem.end(), end.begin(), end.end());
    if (!same_everywhere(pem))
        std::abort();

    // Signers set apart lie inside the input, one after the other.
    if (const auto split = velin::split_der_signers({data, size})) {
        for (size_t i = 0; i < split->signers.size(); ++i) {
            const auto& piece = split->signers[i];
            if (piece.size > size || piece.offset > size - piece.size ||
                (i > 0 && split->signers[i - 1].offset + split->signers[i - 1].size != piece.offset))
                std::abort();
        }
        (void)velin::der_signed_data_with_signers(*split, {data, size});
    }

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
