#include "VelinVerify/envelope/mime_envelope_split.h"

#include "VelinVerify/envelope/mime_multipart_reader.h"

#include <stdexcept>

namespace velin {

bool Mime_envelope_split::split(std::span<const byte> file)
{
    assertion(!file.empty(), "not blob.empty ()");
    raw_value() = {};

    Mime_multipart_reader reader;
    try {
        Vector_stream<byte> stream(file);
        reader.read(stream);
    } catch (const std::logic_error&) {
        throw;
    } catch (const std::runtime_error& error) {
        set_error(error.what());
        return false;
    }

    // Both parts must be there with their content: an empty or undecodable part would hand the
    // envelope decoder nothing to decode.
    Mime_part& pkcs7 = reader.pkcs7_part();
    Mime_part& timestamp = reader.timestamp_part();
    if (!pkcs7.parsed() || !timestamp.parsed() || !pkcs7.content_read() || !timestamp.content_read() ||
        pkcs7.content().empty() || timestamp.content().empty()) {
        set_error("L'analisi del file è fallita.");
        set_result(Mime_split_part_missing);
        return false;
    }
    set_value({pkcs7.take_content(), timestamp.take_content()});
    return true;
}

} // namespace velin
