// Splits a time-stamped signed file (".m7m") into the PKCS#7 envelope, for the envelope decoder,
// and the time-stamp reply. A file whose time-stamped part is not an envelope gives that document
// in its place, marked unsigned.
//
//     Mime_envelope_split split;
//     if (split.split(file_data))
//         decode split.value().envelope, then keep split.value().timestamp_reply;
//     else if (split.result() == Mime_split_format_error)
//         the message could not be read (split.message() is the reader's reason);
//     else
//         a part is missing or unreadable: split.message() is "L'analisi del file è fallita.".
#pragma once

#include "envelope/stream.h"

#include "common/failure.h"

#include <span>
#include <vector>

namespace velin {

struct Timestamped_envelope {
    // The PKCS#7 part's decoded content: envelope_prefix then envelope. The prefix is empty unless
    // split_taking kept a large binary envelope's first bytes apart, up to its document.
    std::vector<byte> envelope_prefix;
    std::vector<byte> envelope;
    std::vector<byte> timestamp_reply; // the time-stamp part's decoded content
    // True when the file holds no envelope: envelope is then the time-stamped document itself.
    bool unsigned_document = false;
    // From locate: the PKCS#7 part as the file holds it, not decoded (base64 text when
    // envelope_base64); envelope is then empty.
    std::span<const byte> envelope_raw;
    bool envelope_base64 = false;
};

enum Mime_split_result : int {
    Mime_split_ok = 0,
    // The message could not be read; the message is the reader's text ("end of file", ...).
    Mime_split_format_error = 1,
    // Read, but a part is missing or its content could not be decoded:
    // "L'analisi del file è fallita.".
    Mime_split_part_missing = 2,
};

class Mime_envelope_split
    : public Function<Timestamped_envelope, Mime_split_result, Mime_split_ok, Mime_split_format_error> {
public:
    // Requires a non-empty file (assertion "not blob.empty ()"). Never throws for bad input.
    bool split(std::span<const byte> file);
    // The same, but the PKCS#7 part is decoded over the file's own buffer, which then becomes the
    // envelope: a large file is not held twice. When a large envelope is a binary SignedData, its
    // bytes in front of the document go to envelope_prefix, so that the document starts the
    // buffer. Whatever the outcome, file is left empty when its bytes were written over, untouched
    // otherwise.
    bool split_taking(std::vector<byte>& file);
    // As split, but a PKCS#7 part in the binary or base64 encoding is only located (envelope_raw),
    // for its caller to read where it lies.
    bool locate(std::span<const byte> file);

private:
    bool split_bytes(std::span<const byte> file, std::vector<byte>* owner, bool locate = false);
};

} // namespace velin
