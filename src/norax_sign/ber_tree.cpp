#include "norax_sign/ber_tree.h"

#include "common/failure.h"

namespace velin {

namespace {

// Real envelopes nest a dozen levels at most; anything deeper is refused, not recursed into.
constexpr int Deepest_nesting = 64;

std::optional<std::span<const uint8_t>> element_at(std::span<const uint8_t> bytes, int depth)
{
    if (depth > Deepest_nesting)
        return std::nullopt;
    const std::optional<Ber_header> header = read_ber_header(bytes);
    if (!header)
        return std::nullopt;
    if (!header->indefinite) {
        if (header->length > bytes.size() - header->header_size)
            return std::nullopt;
        return bytes.first(header->header_size + static_cast<size_t>(header->length));
    }
    size_t at = header->header_size;
    for (;;) {
        if (bytes.size() - at >= 2 && bytes[at] == 0 && bytes[at + 1] == 0)
            return bytes.first(at + 2);
        const auto child = element_at(bytes.subspan(at), depth + 1);
        if (!child)
            return std::nullopt;
        at += child->size();
    }
}

} // namespace

std::optional<Ber_header> read_ber_header(std::span<const uint8_t> bytes)
{
    if (bytes.empty())
        return std::nullopt;
    size_t at = 1;
    if ((bytes[0] & 0x1F) == 0x1F) {
        // High tag number: base-128 octets, the last without its top bit.
        for (;; ++at) {
            if (at >= bytes.size() || at > 5)
                return std::nullopt;
            if ((bytes[at] & 0x80) == 0) {
                ++at;
                break;
            }
        }
    }
    Ber_header header;
    header.identifier = bytes.first(at);
    if (at >= bytes.size())
        return std::nullopt;
    const uint8_t first = bytes[at++];
    if (first < 0x80) {
        header.length = first;
    } else if (first == 0x80) {
        if (!header.constructed())
            return std::nullopt;
        header.indefinite = true;
    } else {
        const size_t count = first & 0x7F;
        if (count > 8 || count > bytes.size() - at)
            return std::nullopt;
        for (size_t i = 0; i < count; ++i)
            header.length = (header.length << 8) | bytes[at++];
    }
    header.header_size = at;
    return header;
}

std::optional<std::span<const uint8_t>> ber_element(std::span<const uint8_t> bytes)
{
    return element_at(bytes, 0);
}

std::optional<std::vector<std::span<const uint8_t>>> ber_children(std::span<const uint8_t> element)
{
    const std::optional<Ber_header> header = read_ber_header(element);
    if (!header || !header->constructed())
        return std::nullopt;
    const size_t end = header->indefinite ? element.size() - 2 : element.size();
    std::vector<std::span<const uint8_t>> children;
    for (size_t at = header->header_size; at < end;) {
        const auto child = element_at(element.subspan(at, end - at), 1);
        if (!child)
            return std::nullopt;
        children.push_back(*child);
        at += child->size();
    }
    return children;
}

std::vector<uint8_t> ber_length(uint64_t length)
{
    if (length < 0x80)
        return {static_cast<uint8_t>(length)};
    std::vector<uint8_t> octets;
    for (uint64_t rest = length; rest; rest >>= 8)
        octets.insert(octets.begin(), static_cast<uint8_t>(rest));
    octets.insert(octets.begin(), static_cast<uint8_t>(0x80 | octets.size()));
    return octets;
}

void Ber_layout::write(std::span<const uint8_t> bytes)
{
    std::vector<uint8_t>& target = has_external ? tail : head;
    target.insert(target.end(), bytes.begin(), bytes.end());
}

void Ber_layout::external(uint64_t size)
{
    assertion(!has_external, "not has_external");
    has_external = true;
    external_size = size;
}

Ber_node Ber_node::verbatim(std::span<const uint8_t> element)
{
    Ber_node node;
    node._kind = Kind::Verbatim;
    node._bytes.assign(element.begin(), element.end());
    return node;
}

Ber_node Ber_node::external(uint64_t size)
{
    Ber_node node;
    node._kind = Kind::External;
    node._external_size = size;
    return node;
}

Ber_node Ber_node::container(std::vector<uint8_t> identifier, bool indefinite, std::vector<Ber_node> children)
{
    Ber_node node;
    node._kind = Kind::Container;
    node._bytes = std::move(identifier);
    node._indefinite = indefinite;
    node._children = std::move(children);
    return node;
}

Ber_node Ber_node::rebuilt(std::span<const uint8_t> element, std::vector<Ber_node> children)
{
    const std::optional<Ber_header> header = read_ber_header(element);
    assertion(header.has_value(), "read_ber_header (element)");
    return container({header->identifier.begin(), header->identifier.end()}, header->indefinite, std::move(children));
}

uint64_t Ber_node::size() const
{
    switch (_kind) {
    case Kind::Verbatim:
        return _bytes.size();
    case Kind::External:
        return _external_size;
    case Kind::Container:
        break;
    }
    uint64_t contents = 0;
    for (const Ber_node& child : _children)
        contents += child.size();
    if (_indefinite)
        return _bytes.size() + 1 + contents + 2;
    return _bytes.size() + ber_length(contents).size() + contents;
}

void Ber_node::write(Ber_output& out) const
{
    switch (_kind) {
    case Kind::Verbatim:
        out.write(_bytes);
        return;
    case Kind::External:
        out.external(_external_size);
        return;
    case Kind::Container:
        break;
    }
    out.write(_bytes);
    if (_indefinite) {
        static constexpr uint8_t indefinite_length[] = {0x80};
        out.write(indefinite_length);
    } else {
        uint64_t contents = 0;
        for (const Ber_node& child : _children)
            contents += child.size();
        out.write(ber_length(contents));
    }
    for (const Ber_node& child : _children)
        child.write(out);
    if (_indefinite) {
        static constexpr uint8_t end_of_contents[] = {0x00, 0x00};
        out.write(end_of_contents);
    }
}

std::vector<uint8_t> Ber_node::bytes() const
{
    Ber_layout layout;
    write(layout);
    assertion(!layout.has_external, "not has_external");
    return std::move(layout.head);
}

} // namespace velin
