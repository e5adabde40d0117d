#include "envelope/ber_reader.h"

namespace velin {

namespace {

// Deep enough for any real structure; a hostile file cannot exhaust the stack.
constexpr int Max_depth = 64;

std::optional<Ber_element> read_at(std::span<const uint8_t> bytes, int depth);

// Finds the end of an indefinite-length content: the children up to the end-of-contents octets.
std::optional<size_t> indefinite_content_size(std::span<const uint8_t> rest, int depth)
{
    size_t at = 0;
    for (;;) {
        if (rest.size() - at < 2)
            return std::nullopt;
        if (rest[at] == 0 && rest[at + 1] == 0)
            return at;
        const auto child = read_at(rest.subspan(at), depth + 1);
        if (!child)
            return std::nullopt;
        at += child->whole.size();
    }
}

std::optional<Ber_element> header_at(std::span<const uint8_t> bytes, size_t& header_size, size_t& length)
{
    if (bytes.size() < 2)
        return std::nullopt;
    Ber_element element;
    size_t at = 0;
    const uint8_t identifier = bytes[at++];
    element.tag_class = static_cast<uint8_t>(identifier >> 6);
    element.constructed = (identifier & 0x20) != 0;
    element.tag_number = identifier & 0x1F;
    if (element.tag_number == 0x1F) {
        uint32_t number = 0;
        for (int n = 0;; ++n) {
            if (at >= bytes.size() || n == 4)
                return std::nullopt;
            const uint8_t b = bytes[at++];
            number = (number << 7) | (b & 0x7F);
            if (!(b & 0x80))
                break;
        }
        element.tag_number = number;
    }
    if (at >= bytes.size())
        return std::nullopt;
    const uint8_t first = bytes[at++];
    length = 0;
    if (first == 0x80) {
        if (!element.constructed)
            return std::nullopt;
        element.indefinite = true;
    } else if (first & 0x80) {
        const size_t count = first & 0x7F;
        if (count > sizeof(size_t) || count == 0 || bytes.size() - at < count)
            return std::nullopt;
        for (size_t i = 0; i < count; ++i)
            length = (length << 8) | bytes[at++];
    } else {
        length = first;
    }
    header_size = at;
    return element;
}

std::optional<Ber_element> read_at(std::span<const uint8_t> bytes, int depth)
{
    if (depth > Max_depth)
        return std::nullopt;
    size_t header = 0;
    size_t length = 0;
    auto element = header_at(bytes, header, length);
    if (!element)
        return std::nullopt;
    const auto rest = bytes.subspan(header);
    if (element->indefinite) {
        const auto size = indefinite_content_size(rest, depth);
        if (!size)
            return std::nullopt;
        element->content = rest.first(*size);
        element->whole = bytes.first(header + *size + 2);
        return element;
    }
    if (length > rest.size())
        return std::nullopt;
    element->content = rest.first(length);
    element->whole = bytes.first(header + length);
    return element;
}

void append_header(std::vector<uint8_t>& out, const Ber_element& element, size_t length)
{
    const uint8_t identifier = static_cast<uint8_t>((element.tag_class << 6) | (element.constructed ? 0x20 : 0));
    if (element.tag_number < 0x1F) {
        out.push_back(static_cast<uint8_t>(identifier | element.tag_number));
    } else {
        out.push_back(static_cast<uint8_t>(identifier | 0x1F));
        uint8_t groups[5];
        int n = 0;
        for (uint32_t number = element.tag_number; n == 0 || number; number >>= 7)
            groups[n++] = static_cast<uint8_t>(number & 0x7F);
        while (n-- > 0)
            out.push_back(static_cast<uint8_t>(groups[n] | (n ? 0x80 : 0)));
    }
    if (length < 0x80) {
        out.push_back(static_cast<uint8_t>(length));
        return;
    }
    uint8_t bytes[sizeof(size_t)];
    int n = 0;
    for (size_t rest = length; rest; rest >>= 8)
        bytes[n++] = static_cast<uint8_t>(rest & 0xFF);
    out.push_back(static_cast<uint8_t>(0x80 | n));
    while (n-- > 0)
        out.push_back(bytes[n]);
}

bool definite_into(const Ber_element& element, std::vector<uint8_t>& out, int depth)
{
    if (depth > Max_depth)
        return false;
    if (!element.indefinite && !element.constructed) {
        out.insert(out.end(), element.whole.begin(), element.whole.end());
        return true;
    }
    const auto children = ber_children(element);
    if (!children)
        return false;
    std::vector<uint8_t> inner;
    for (const Ber_element& child : *children)
        if (!definite_into(child, inner, depth + 1))
            return false;
    append_header(out, element, inner.size());
    out.insert(out.end(), inner.begin(), inner.end());
    return true;
}

bool string_into(const Ber_element& element, std::vector<uint8_t>& out, int depth)
{
    if (depth > Max_depth)
        return false;
    if (!element.constructed) {
        out.insert(out.end(), element.content.begin(), element.content.end());
        return true;
    }
    const auto pieces = ber_children(element);
    if (!pieces)
        return false;
    for (const Ber_element& piece : *pieces)
        if (!piece.is(0, element.tag_class == 0 ? element.tag_number : Ber_octet_string) ||
            !string_into(piece, out, depth + 1))
            return false;
    return true;
}

} // namespace

std::optional<Ber_element> read_ber(std::span<const uint8_t> bytes)
{
    return read_at(bytes, 0);
}

std::optional<Ber_element> read_ber_header(std::span<const uint8_t> bytes, size_t& header_size)
{
    size_t length = 0;
    return header_at(bytes, header_size, length);
}

std::optional<std::vector<Ber_element>> ber_children(const Ber_element& element)
{
    if (!element.constructed)
        return std::nullopt;
    std::vector<Ber_element> children;
    for (size_t at = 0; at < element.content.size();) {
        const auto child = read_at(element.content.subspan(at), 1);
        if (!child)
            return std::nullopt;
        children.push_back(*child);
        at += child->whole.size();
    }
    return children;
}

std::optional<std::vector<uint8_t>> ber_string_bytes(const Ber_element& element)
{
    std::vector<uint8_t> out;
    if (!string_into(element, out, 0))
        return std::nullopt;
    return out;
}

std::vector<uint8_t> ber_definite(const Ber_element& element)
{
    std::vector<uint8_t> out;
    if (!definite_into(element, out, 0))
        return {element.whole.begin(), element.whole.end()};
    return out;
}

} // namespace velin
