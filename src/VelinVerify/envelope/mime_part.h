// One part of a multipart message: its header block and its content, decoded from the binary or
// base64 transfer encoding.
#pragma once

#include "VelinVerify/envelope/mime_headers.h"
#include "VelinVerify/envelope/mime_multipart_stream.h"

#include <cstddef>
#include <functional>
#include <span>
#include <vector>

namespace velin {

class Mime_part {
public:
    // Reads the part the stream is in: headers, then the content up to the boundary for the
    // "binary" and "base64" encodings (any other encoding leaves the content unread and the
    // stream inside the part). A part without any header stays unparsed. Header format errors
    // throw std::runtime_error.
    void read(Mime_multipart_stream& stream) { read(stream, {}, {}); }
    // The same, but when `in_place` is given and `wanted` accepts the part's headers, the content
    // goes to the start of in_place instead of a buffer of its own: in_place must be the whole
    // buffer the stream reads, so that the part's text lies inside it; decoded or copied over the
    // buffer's start, the content never overtakes the text still to be read. content () stays
    // empty and content_size () tells the size.
    void read(Mime_multipart_stream& stream, std::span<byte> in_place,
              const std::function<bool(const Mime_headers&)>& wanted);
    void reset();

    const Mime_headers& headers() const { return _headers; }
    const std::vector<byte>& content() const { return _content; }
    std::vector<byte> take_content() { return std::move(_content); }
    bool content_read() const { return _content_read; }
    bool parsed() const { return _parsed; }
    // True when the content (read or not) was written over the start of the stream's buffer.
    bool in_place() const { return _in_place; }
    std::size_t content_size() const { return _in_place ? _in_place_size : _content.size(); }

private:
    Mime_headers _headers;
    std::vector<byte> _content;
    bool _content_read = false;
    bool _parsed = false;
    bool _in_place = false;
    std::size_t _in_place_size = 0;
};

} // namespace velin
