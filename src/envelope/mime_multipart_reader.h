// Reader of a time-stamped signed file: a "multipart/mixed" message holding the PKCS#7 envelope
// ("application/pkcs7-mime") and the time-stamp authority's reply
// ("application/timestamp-reply").
#pragma once

#include "envelope/mime_headers.h"
#include "envelope/mime_part.h"
#include "envelope/vector_stream.h"

#include <string>

namespace velin {

// The types a time-stamp part is declared with, lower-cased: "application/timestamp-reply" and
// its variants.
bool is_timestamp_type(const std::string& lower_type);

// Most parts a message may have, the empty one before a preamble's delimiter included.
constexpr std::size_t Part_limit = 64;

class Mime_multipart_reader {
public:
    // Reads the whole message from the stream. Every format error throws std::runtime_error:
    // the header texts of Mime_headers, "Il documento non è di tipo MIME composito.",
    // "Missing '<name>' header.", "Missing 'boundary' parameter.", "Unexpected 'content-type' :
    // <type>, Expected application/pkcs7-mime or application/timestamp-reply.", "end of file"
    // (no closing boundary) and "Too many parts.". A part without a content-type header is
    // ignored; a second part of a type replaces the first. The first part of any other type is the
    // document part; a second one is unexpected.
    void read(Vector_stream<byte>& stream) { read(stream, {}, {}); }
    // The same over a buffer the reader may write: in_place is the whole buffer the stream reads,
    // and the PKCS#7 part's content is decoded or copied over its start (see Mime_part, which also
    // tells how choose_prefix keeps a large content's first bytes apart) instead of into a buffer of
    // its own. The buffer's bytes are then no longer the message.
    void read(Vector_stream<byte>& stream, std::span<byte> in_place, const Mime_part::Prefix_choice& choose_prefix);

    // Set before read: the PKCS#7 part is located, not decoded (see Mime_part::keep_raw_when).
    void locate_envelope(bool locate) { _locate_envelope = locate; }

    const Mime_headers& headers() const { return _headers; }
    Mime_part& pkcs7_part() { return _pkcs7; }
    // True when some part was written over the buffer given to read.
    bool wrote_in_place() const { return _wrote_in_place; }
    Mime_part& timestamp_part() { return _timestamp; }
    // The first part of another type: the document of a time-stamped file without an envelope.
    Mime_part& document_part() { return _document; }

private:
    Mime_headers _headers;
    Mime_part _pkcs7;
    Mime_part _timestamp;
    Mime_part _document;
    bool _wrote_in_place = false;
    bool _locate_envelope = false;
};

} // namespace velin
