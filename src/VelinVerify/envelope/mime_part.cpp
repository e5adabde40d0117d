#include "VelinVerify/envelope/mime_part.h"

#include "VelinVerify/envelope/base64_decode.h"

#include "common/trace.h"

#include <string_view>

namespace velin {

void Mime_part::reset()
{
    _headers.clear();
    std::vector<byte>().swap(_content);
    _content_read = false;
    _parsed = false;
}

void Mime_part::read(Mime_multipart_stream& stream)
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
    if (name == "binary") {
        Trace(Trace_kind, Level_trace) << "Parsing binary content.";
        _content.assign(rest.begin(), rest.end());
        stream.skip(rest.size());
        _content_read = true;
    } else if (name == "base64") {
        Trace(Trace_kind, Level_trace) << "Parsing base64 content.";
        Base64_decode decode;
        decode.decode(std::string_view(reinterpret_cast<const char*>(rest.data()), rest.size()));
        stream.skip(rest.size());
        if (decode.succeeded()) {
            _content = decode.take_value();
            _content_read = true;
        }
    }
}

} // namespace velin
