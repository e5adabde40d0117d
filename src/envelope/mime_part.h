// One part of a multipart message: its header block and its content, decoded from the binary or
// base64 transfer encoding.
#pragma once

#include "envelope/mime_headers.h"
#include "envelope/mime_multipart_stream.h"

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
    // How many of the first bytes of a large content (`head`, its first bytes) to keep apart in
    // prefix (), given a bound on its size; 0 for none.
    using Prefix_choice = std::function<std::size_t(std::span<const byte> head, std::size_t size_bound)>;

    void read(Mime_multipart_stream& stream) { read(stream, {}, {}, {}); }
    // The same, but when `in_place` is given and `wanted` accepts the part's headers, the content
    // goes to the start of in_place instead of a buffer of its own: in_place must be the whole
    // buffer the stream reads, so that the part's text lies inside it; decoded or copied over the
    // buffer's start, the content never overtakes the text still to be read. content () stays
    // empty and content_size () tells the size. A content of a megabyte or more may then begin
    // with a prefix () chosen by choose_prefix, the rest starting at in_place's start.
    void read(Mime_multipart_stream& stream, std::span<byte> in_place,
              const std::function<bool(const Mime_headers&)>& wanted, const Prefix_choice& choose_prefix);
    void reset();

    // Set before read: a part whose headers it accepts, in the binary or base64 encoding, is
    // located, not read: raw () is then its text as the stream holds it, and nothing is decoded.
    void keep_raw_when(std::function<bool(const Mime_headers&)> wanted) { _keep_raw = std::move(wanted); }
    std::span<const byte> raw() const { return _raw; }
    bool raw_base64() const { return _raw_base64; }

    const Mime_headers& headers() const { return _headers; }
    const std::vector<byte>& content() const { return _content; }
    std::vector<byte> take_content() { return std::move(_content); }
    bool content_read() const { return _content_read; }
    bool parsed() const { return _parsed; }
    // True when the content (read or not) was written over the start of the stream's buffer.
    bool in_place() const { return _in_place; }
    std::size_t content_size() const
    {
        return !_raw.empty() ? _raw.size() : _in_place ? _prefix.size() + _in_place_size : _content.size();
    }
    // The content's first bytes when they are kept apart from those written in place.
    const std::vector<byte>& prefix() const { return _prefix; }
    std::vector<byte> take_prefix() { return std::move(_prefix); }
    // The content's bytes written in place, after the prefix.
    std::size_t in_place_size() const { return _in_place_size; }

private:
    Mime_headers _headers;
    std::vector<byte> _content;
    bool _content_read = false;
    bool _parsed = false;
    bool _in_place = false;
    std::size_t _in_place_size = 0;
    std::vector<byte> _prefix;
    std::function<bool(const Mime_headers&)> _keep_raw;
    std::span<const byte> _raw;
    bool _raw_base64 = false;
};

} // namespace velin
