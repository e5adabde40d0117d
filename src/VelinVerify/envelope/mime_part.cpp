#include "VelinVerify/envelope/mime_part.h"

#include "VelinVerify/envelope/base64_decode.h"

#include "common/trace.h"

#include <cstring>
#include <string_view>

namespace velin {

void Mime_part::reset()
{
    _headers.clear();
    std::vector<byte>().swap(_content);
    _content_read = false;
    _parsed = false;
    _in_place = false;
    _in_place_size = 0;
}

void Mime_part::read(Mime_multipart_stream& stream, std::span<byte> in_place,
                     const std::function<bool(const Mime_headers&)>& wanted)
{
    reset();
    _headers.read(stream);
    if (_headers.empty())
        return;
    _parsed = true;

    const Mime_header* encoding = _headers.find("content-transfer-encoding");
    if (!encoding)
        return;
    // Encoding names are case-insensitive tokens.
    const std::string name = mime_lower_case(encoding->value);
    const std::span<const byte> rest = stream.remaining();
    const bool over_buffer = !in_place.empty() && wanted && wanted(_headers);
    if (over_buffer)
        assertion(rest.data() >= in_place.data() && rest.data() + rest.size() <= in_place.data() + in_place.size(),
                  "the part lies in the buffer");
    const std::size_t offset = over_buffer ? static_cast<std::size_t>(rest.data() - in_place.data()) : 0;
    if (name == "binary") {
        Trace(Trace_kind, Level_trace) << "Parsing binary content.";
        if (over_buffer) {
            std::memmove(in_place.data(), rest.data(), rest.size());
            _in_place = true;
            _in_place_size = rest.size();
        } else {
            _content.assign(rest.begin(), rest.end());
        }
        stream.skip(rest.size());
        _content_read = true;
    } else if (name == "base64") {
        Trace(Trace_kind, Level_trace) << "Parsing base64 content.";
        if (over_buffer) {
            const auto size = Base64_decode::decode_in_place(in_place, offset, rest.size());
            stream.skip(rest.size());
            _in_place = true;
            if (size) {
                _in_place_size = *size;
                _content_read = true;
            }
        } else {
            Base64_decode decode;
            decode.decode(std::string_view(reinterpret_cast<const char*>(rest.data()), rest.size()));
            stream.skip(rest.size());
            if (decode.succeeded()) {
                _content = decode.take_value();
                _content_read = true;
            }
        }
    }
}

} // namespace velin
