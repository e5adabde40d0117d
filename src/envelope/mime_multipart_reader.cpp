#include "envelope/mime_multipart_reader.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace velin {

namespace {

// True when the stream starts with "--" boundary and a line end; the length of those bytes.
std::size_t opening_delimiter_length(std::span<const byte> rest, const std::string& boundary)
{
    const std::string dashed = "--" + boundary;
    if (rest.size() < dashed.size() || std::memcmp(rest.data(), dashed.data(), dashed.size()) != 0)
        return 0;
    const std::span<const byte> tail = rest.subspan(dashed.size());
    if (!tail.empty() && tail[0] == '\n')
        return dashed.size() + 1;
    if (tail.size() >= 2 && tail[0] == '\r' && tail[1] == '\n')
        return dashed.size() + 2;
    return 0;
}

} // namespace

bool is_timestamp_type(const std::string& lower_type)
{
    // application/timestamp-reply, application/timestamp (older writers), application/timestamp-token,
    // application/vnd.etsi.timestamp-token, and the like.
    return lower_type.starts_with("application/") && lower_type.find("timestamp") != std::string::npos &&
           lower_type.find("timestamped-data") == std::string::npos;
}

void Mime_multipart_reader::read(Vector_stream<byte>& stream, std::span<byte> in_place,
                                 const Mime_part::Prefix_choice& choose_prefix)
{
    _wrote_in_place = false;
    _headers.clear();
    _pkcs7.reset();
    _timestamp.reset();
    _document.reset();

    // Line ends and byte-order marks in front of the first header.
    const std::span<const byte> start = stream.remaining();
    const auto first = std::find_if(start.begin(), start.end(), [](byte c) { return c >= 0x20 && c <= 0x7E; });
    stream.skip(static_cast<std::size_t>(first - start.begin()));

    _headers.read(stream);
    const Mime_header& type = _headers.header("content-type");
    if (type.value != "multipart/mixed")
        throw std::runtime_error("Il documento non è di tipo MIME composito.");
    const std::string& boundary = type.parameter("boundary");

    if (const std::size_t opening = opening_delimiter_length(stream.remaining(), boundary)) {
        stream.skip(opening);
    } else {
        // A preamble: step over it to the first delimiter, which then opens an empty part.
        Mime_multipart_stream preamble(stream, boundary);
        preamble.skip_content();
    }

    Mime_multipart_stream parts(stream, boundary);
    for (std::size_t count = 0;; ++count) {
        // A time-stamped file has two parts; thousands of empty ones are an attack on the log.
        if (count == Part_limit)
            throw std::runtime_error("Too many parts.");
        Mime_part part;
        const auto envelope_part = [](const Mime_headers& headers) {
            const Mime_header* part_type = headers.find("content-type");
            return part_type && mime_lower_case(part_type->value) == "application/pkcs7-mime";
        };
        if (_locate_envelope)
            part.keep_raw_when([](const Mime_headers& headers) {
                const Mime_header* part_type = headers.find("content-type");
                const std::string lower = part_type ? mime_lower_case(part_type->value) : std::string();
                return lower == "application/pkcs7-mime" || lower == "application/x-pkcs7-mime";
            });
        part.read(parts, in_place, envelope_part, choose_prefix);
        _wrote_in_place = _wrote_in_place || part.in_place();
        if (part.parsed()) {
            if (const Mime_header* part_type = part.headers().find("content-type")) {
                const std::string lower = mime_lower_case(part_type->value);
                if (lower == "application/pkcs7-mime" || lower == "application/x-pkcs7-mime")
                    _pkcs7 = std::move(part);
                else if (is_timestamp_type(lower))
                    _timestamp = std::move(part);
                else if (!_document.parsed())
                    // A time-stamped document that is not an envelope (signed or not, it is read
                    // for what it is).
                    _document = std::move(part);
                else
                    throw std::runtime_error("Unexpected 'content-type' : " + part_type->value + ", " +
                                             "Expected application/pkcs7-mime or application/timestamp-reply.");
            }
        }
        // Content left unread (another transfer encoding) is skipped, never read as headers.
        if (parts.status() == Mime_multipart_stream::Status_content)
            parts.skip_content();

        switch (parts.status()) {
        case Mime_multipart_stream::Status_boundary:
            parts.skip_delimiter();
            break;
        case Mime_multipart_stream::Status_end_sequence:
            parts.skip_delimiter();
            return;
        default:
            throw std::runtime_error("end of file");
        }
    }
}

} // namespace velin
