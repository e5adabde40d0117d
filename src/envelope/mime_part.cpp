#include "envelope/mime_part.h"

#include "envelope/base64_decode.h"

#include "common/trace.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace velin {

namespace {

// Contents from this size on may have a prefix kept apart.
constexpr std::size_t Large_content = 1024 * 1024;
// The first bytes a prefix is chosen from: of a binary content, and of a base64 one in groups.
constexpr std::size_t Head_size = 64 * 1024;
constexpr std::size_t Head_groups = 64;

// Where the text holding the first `groups` groups of four alphabet characters ends (line ends,
// spaces and tabs before them included); 0 when padding, another character or the text's end
// comes first.
std::size_t whole_groups_end(std::span<const byte> text, std::size_t groups)
{
    std::size_t characters = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const byte c = text[i];
        if (c == '\r' || c == '\n' || c == ' ' || c == '\t')
            continue;
        const bool alphabet =
            (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
        if (!alphabet)
            return 0;
        if (++characters == groups * 4)
            return i + 1;
    }
    return 0;
}

} // namespace

void Mime_part::reset()
{
    _headers.clear();
    std::vector<byte>().swap(_content);
    _content_read = false;
    _parsed = false;
    _in_place = false;
    _in_place_size = 0;
    std::vector<byte>().swap(_prefix);
    _raw = {};
    _raw_base64 = false;
}

void Mime_part::read(Mime_multipart_stream& stream, std::span<byte> in_place,
                     const std::function<bool(const Mime_headers&)>& wanted, const Prefix_choice& choose_prefix)
{
    reset();
    _headers.read(stream);
    if (_headers.empty())
        return;
    _parsed = true;

    const Mime_header* encoding = _headers.find("content-transfer-encoding");
    // Encoding names are case-insensitive tokens. Without one, or with 7bit or 8bit, the bytes are
    // the content as they are: real time-stamped files leave it out.
    std::string name = encoding ? mime_lower_case(encoding->value) : "binary";
    if (name == "7bit" || name == "8bit")
        name = "binary";
    const std::span<const byte> rest = stream.remaining();
    if (_keep_raw && (name == "binary" || name == "base64") && _keep_raw(_headers)) {
        _raw = rest;
        _raw_base64 = name == "base64";
        stream.skip(rest.size());
        _content_read = true;
        return;
    }
    const bool over_buffer = !in_place.empty() && wanted && wanted(_headers);
    if (over_buffer)
        assertion(rest.data() >= in_place.data() && rest.data() + rest.size() <= in_place.data() + in_place.size(),
                  "the part lies in the buffer");
    const std::size_t offset = over_buffer ? static_cast<std::size_t>(rest.data() - in_place.data()) : 0;
    if (name == "binary") {
        Trace(Trace_kind, Level_trace) << "Parsing binary content.";
        if (over_buffer) {
            size_t kept = 0;
            if (choose_prefix && rest.size() >= Large_content) {
                const auto head = rest.first(std::min(rest.size(), Head_size));
                kept = std::min(choose_prefix(head, rest.size()), head.size());
                _prefix.assign(rest.begin(), rest.begin() + static_cast<ptrdiff_t>(kept));
            }
            std::memmove(in_place.data(), rest.data() + kept, rest.size() - kept);
            _in_place = true;
            _in_place_size = rest.size() - kept;
        } else {
            _content.assign(rest.begin(), rest.end());
        }
        stream.skip(rest.size());
        _content_read = true;
    } else if (name == "base64") {
        Trace(Trace_kind, Level_trace) << "Parsing base64 content.";
        if (over_buffer) {
            // A large content's first bytes come from decoding the text's first groups apart; the
            // rest is decoded over the buffer right after those of them not kept in the prefix.
            std::vector<byte> head;
            size_t head_text = 0;
            size_t kept = 0;
            if (choose_prefix && rest.size() >= Large_content) {
                head_text = whole_groups_end(rest, Head_groups);
                Base64_decode decode;
                if (head_text > 0 &&
                    decode.decode(std::string_view(reinterpret_cast<const char*>(rest.data()), head_text))) {
                    head = decode.take_value();
                    kept = std::min(choose_prefix(head, rest.size() / 4 * 3 + 3), head.size());
                }
                if (kept == 0)
                    head_text = 0;
            }
            // The head's other bytes go to the buffer's start, well before the text still to be
            // read (the head's text is longer than its bytes).
            const size_t moved = head.size() - kept;
            if (kept > 0)
                std::memcpy(in_place.data(), head.data() + kept, moved);
            const auto size = Base64_decode::decode_in_place(in_place, offset + head_text, rest.size() - head_text,
                                                             Base64_decode::Form::Lenient, kept > 0 ? moved : 0);
            stream.skip(rest.size());
            _in_place = true;
            if (size) {
                _prefix.assign(head.begin(), head.begin() + static_cast<ptrdiff_t>(kept));
                _in_place_size = (kept > 0 ? moved : 0) + *size;
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
    // A content that is all prefix goes back in place whole: the part's text, read by now, was
    // longer.
    if (_in_place && _in_place_size == 0 && !_prefix.empty()) {
        std::memcpy(in_place.data(), _prefix.data(), _prefix.size());
        _in_place_size = _prefix.size();
        std::vector<byte>().swap(_prefix);
    }
}

} // namespace velin
