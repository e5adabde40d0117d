#include "envelope/mime_envelope_split.h"

#include "envelope/content_kind.h"
#include "envelope/der_walk.h"
#include "envelope/mime_multipart_reader.h"

#include <stdexcept>

namespace velin {

bool Mime_envelope_split::split(std::span<const byte> file)
{
    return split_bytes(file, nullptr);
}

bool Mime_envelope_split::split_taking(std::vector<byte>& file)
{
    return split_bytes(file, &file);
}

bool Mime_envelope_split::locate(std::span<const byte> file)
{
    return split_bytes(file, nullptr, true);
}

bool Mime_envelope_split::split_bytes(std::span<const byte> file, std::vector<byte>* owner, bool locate)
{
    assertion(!file.empty(), "not blob.empty ()");
    raw_value() = {};

    Mime_multipart_reader reader;
    reader.locate_envelope(locate);
    // Bytes written over are no longer the file, whatever comes next.
    struct Spent {
        const Mime_multipart_reader& reader;
        std::vector<byte>* owner;
        ~Spent()
        {
            if (owner && reader.wrote_in_place() && !owner->empty())
                std::vector<byte>().swap(*owner);
        }
    } spent{reader, owner};
    try {
        Vector_stream<byte> stream(file);
        if (owner)
            reader.read(stream, *owner, [](std::span<const byte> head, std::size_t size_bound) -> std::size_t {
                return der_signed_data_content_offset(head, size_bound).value_or(0);
            });
        else
            reader.read(stream);
    } catch (const std::logic_error&) {
        throw;
    } catch (const std::runtime_error& error) {
        set_error(error.what());
        return false;
    }

    // The time stamp and what it covers must be there with their content: an empty or
    // undecodable part would hand the decoders nothing to decode.
    Mime_part& pkcs7 = reader.pkcs7_part();
    Mime_part& timestamp = reader.timestamp_part();
    Mime_part& document = reader.document_part();
    const bool has_envelope = pkcs7.parsed() && pkcs7.content_read() && pkcs7.content_size() > 0;
    const bool has_document = document.parsed() && document.content_read() && !document.content().empty();
    if (!timestamp.parsed() || !timestamp.content_read() || timestamp.content().empty() ||
        (!has_envelope && !has_document)) {
        set_error("L'analisi del file è fallita.");
        set_result(Mime_split_part_missing);
        return false;
    }
    if (!has_envelope) {
        // A part of another type may still hold an envelope (application/octet-stream).
        const bool is_envelope = document_type_by_content(document.content()) == Document_types::Envelope;
        Timestamped_envelope parts;
        parts.envelope = document.take_content();
        parts.timestamp_reply = timestamp.take_content();
        parts.unsigned_document = !is_envelope;
        set_value(std::move(parts));
        return true;
    }
    if (!pkcs7.raw().empty()) {
        Timestamped_envelope parts;
        parts.timestamp_reply = timestamp.take_content();
        parts.envelope_raw = pkcs7.raw();
        parts.envelope_base64 = pkcs7.raw_base64();
        set_value(std::move(parts));
    } else if (pkcs7.in_place()) {
        owner->resize(pkcs7.in_place_size());
        Timestamped_envelope parts;
        parts.envelope_prefix = pkcs7.take_prefix();
        parts.envelope = std::move(*owner);
        parts.timestamp_reply = timestamp.take_content();
        set_value(std::move(parts));
        owner->clear();
    } else {
        Timestamped_envelope parts;
        parts.envelope = pkcs7.take_content();
        parts.timestamp_reply = timestamp.take_content();
        set_value(std::move(parts));
    }
    return true;
}

} // namespace velin
