#include "envelope/mime_multipart_stream.h"

#include "common/failure.h"

#include <cstring>

namespace velin {

namespace {

std::vector<byte> bytes_of(const std::string& text)
{
    return {text.begin(), text.end()};
}

// Length of the line end at the start of `rest` (CR LF or LF), 0 when there is none.
std::size_t line_end_length(std::span<const byte> rest)
{
    if (!rest.empty() && rest[0] == '\n')
        return 1;
    if (rest.size() >= 2 && rest[0] == '\r' && rest[1] == '\n')
        return 2;
    return 0;
}

} // namespace

Mime_multipart_stream::Mime_multipart_stream(Stream<byte>& stream, const std::string& boundary) : _stream(stream)
{
    assertion(!boundary.empty(), "not boundary.empty ()");
    _delimiter = bytes_of("\r\n--" + boundary + "\r\n");
    _end_sequence = bytes_of("\r\n--" + boundary + "--\r\n");
    _dash_boundary = bytes_of("--" + boundary);
    update();
}

void Mime_multipart_stream::find_separator(std::span<const byte> rest)
{
    _searched = true;
    _searched_from = rest.data();
    _content_end = rest.data() + rest.size();
    _separator = Status_end_of_data;
    _separator_length = 0;

    const byte* const begin = rest.data();
    const byte* const end = begin + rest.size();
    const std::size_t dash_length = _dash_boundary.size();
    if (rest.empty())
        return;
    // Every delimiter holds LF "--" boundary: find each "-" that follows an LF inside the rest, then
    // look around it. Base64 text has no "-" at all, so a part's text is passed over at memchr's
    // pace.
    for (const byte* dash = begin + 1; dash < end;) {
        dash = static_cast<const byte*>(std::memchr(dash, '-', static_cast<std::size_t>(end - dash)));
        if (!dash)
            break;
        const byte* const lf = dash - 1;
        if (*lf == '\n' && static_cast<std::size_t>(end - dash) >= dash_length &&
            std::memcmp(dash, _dash_boundary.data(), dash_length) == 0) {
            const byte* after = dash + dash_length;
            const std::span<const byte> tail(after, end);
            Status kind = Status_content;
            std::size_t length = line_end_length(tail);
            if (length > 0) {
                kind = Status_boundary;
            } else if (tail.size() >= 2 && tail[0] == '-' && tail[1] == '-') {
                length = line_end_length(tail.subspan(2));
                if (length > 0) {
                    kind = Status_end_sequence;
                    length += 2;
                }
            }
            if (kind != Status_content) {
                // The line end before "--" is taken in the style of the one after the boundary:
                // in a file with LF line ends a CR that ends the content is content.
                const bool crlf = tail[length - 1] == '\n' && length >= 2 && tail[length - 2] == '\r';
                const byte* start = (crlf && lf > begin && lf[-1] == '\r') ? lf - 1 : lf;
                _content_end = start;
                _separator = kind;
                _separator_length = static_cast<std::size_t>(after - start) + length;
                return;
            }
        }
        ++dash;
    }
}

void Mime_multipart_stream::update()
{
    const std::span<const byte> rest = _stream.remaining();
    const byte* here = rest.data();
    if (!_searched || here < _searched_from || here > _content_end)
        find_separator(rest);
    _status = here < _content_end ? Status_content : _separator;
}

void Mime_multipart_stream::next()
{
    assertion(exists(), "exists ()");
    _stream.next();
    update();
}

byte Mime_multipart_stream::current() const
{
    assertion(exists(), "exists ()");
    return _stream.current();
}

void Mime_multipart_stream::mark()
{
    _stream.mark();
}

void Mime_multipart_stream::reset()
{
    _stream.reset();
    update();
}

byte Mime_multipart_stream::peek() const
{
    return _stream.peek();
}

std::span<const byte> Mime_multipart_stream::remaining() const
{
    const byte* here = _stream.remaining().data();
    // Outside the content the view is empty, still positioned where the underlying stream is.
    if (_status != Status_content)
        return {here, 0};
    return {here, static_cast<std::size_t>(_content_end - here)};
}

void Mime_multipart_stream::skip(std::size_t count)
{
    assertion(count <= remaining().size(), "count <= remaining ().size ()");
    if (count == 0)
        return;
    _stream.skip(count);
    update();
}

void Mime_multipart_stream::skip_delimiter()
{
    assertion(_status == Status_boundary || _status == Status_end_sequence,
              "status () == Status_boundary or status () == Status_end_sequence");
    _stream.skip(_separator_length);
    _searched = false;
    update();
}

} // namespace velin
