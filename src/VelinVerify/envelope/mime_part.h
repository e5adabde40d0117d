// One part of a multipart message: its header block and its content, decoded from the binary or
// base64 transfer encoding.
#pragma once

#include "VelinVerify/envelope/mime_headers.h"
#include "VelinVerify/envelope/mime_multipart_stream.h"

#include <vector>

namespace velin {

class Mime_part {
public:
    // Reads the part the stream is in: headers, then the content up to the boundary for the
    // "binary" and "base64" encodings (any other encoding leaves the content unread and the
    // stream inside the part). A part without any header stays unparsed. Header format errors
    // throw std::runtime_error.
    void read(Mime_multipart_stream& stream);
    void reset();

    const Mime_headers& headers() const { return _headers; }
    const std::vector<byte>& content() const { return _content; }
    std::vector<byte> take_content() { return std::move(_content); }
    bool content_read() const { return _content_read; }
    bool parsed() const { return _parsed; }

private:
    Mime_headers _headers;
    std::vector<byte> _content;
    bool _content_read = false;
    bool _parsed = false;
};

} // namespace velin
