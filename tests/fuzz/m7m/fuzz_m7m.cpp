// Time-stamped files are outside bytes: whatever they hold, the split ends with the two parts or
// a reason, never with an exception other than the documented ones, and a success always hands
// over two non-empty parts that lie inside the input's size budget; the split over the file's own
// buffer gives the same.
#include "envelope/mime_envelope_split.h"
#include "envelope/mime_multipart_stream.h"
#include "envelope/vector_stream.h"

#include "test_folder.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The reader writes trace records: keep them in a private folder, never the user's log.
    velin::test::private_environment();
    if (size == 0)
        return 0;

    velin::Mime_envelope_split split;
    const bool ok = split.split({data, size});
    if (ok != split.succeeded())
        std::abort();
    if (ok) {
        const auto& parts = split.value();
        // Base64 only shrinks, binary is copied: the parts cannot outgrow the file.
        if (parts.envelope.empty() || parts.timestamp_reply.empty() ||
            parts.envelope.size() + parts.timestamp_reply.size() > size)
            std::abort();
    } else if (split.message().empty() ||
               (split.result() != velin::Mime_split_format_error && split.result() != velin::Mime_split_part_missing)) {
        std::abort();
    }

    // Decoded over a copy of the file's own buffer, as the verifier does it: the same outcome.
    std::vector<velin::byte> buffer(data, data + size);
    velin::Mime_envelope_split taking;
    if (taking.split_taking(buffer) != ok || taking.result() != split.result() || taking.message() != split.message())
        std::abort();
    if (!buffer.empty() && !std::equal(buffer.begin(), buffer.end(), data))
        std::abort();
    if (ok) {
        std::vector<velin::byte> envelope = taking.value().envelope_prefix;
        envelope.insert(envelope.end(), taking.value().envelope.begin(), taking.value().envelope.end());
        if (envelope != split.value().envelope || taking.value().envelope.empty() ||
            taking.value().timestamp_reply != split.value().timestamp_reply)
            std::abort();
    }

    // The boundary view, read byte by byte and in bulk over the same input, sees the same parts.
    velin::Vector_stream<velin::byte> bytewise_source({data, size});
    velin::Vector_stream<velin::byte> bulk_source({data, size});
    velin::Mime_multipart_stream bytewise(bytewise_source, "--");
    velin::Mime_multipart_stream bulk(bulk_source, "--");
    for (int part = 0; part < 64; ++part) {
        const auto block = bulk.remaining();
        for (const velin::byte b : block) {
            if (!bytewise.exists() || bytewise.current() != b)
                std::abort();
            bytewise.next();
        }
        bulk.skip_content();
        if (bytewise.exists() || bytewise.status() != bulk.status())
            std::abort();
        if (bulk.status() == velin::Mime_multipart_stream::Status_end_of_data)
            break;
        bulk.skip_delimiter();
        bytewise.skip_delimiter();
    }
    return 0;
}
