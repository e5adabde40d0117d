#include "trust/serialized_store.h"

namespace velin {

namespace {

constexpr size_t Store_header_size = 8;

class Reader {
public:
    explicit Reader(std::span<const uint8_t> bytes) : _bytes(bytes) {}

    size_t remaining() const { return _bytes.size() - _position; }
    bool at_end() const { return _position == _bytes.size(); }

    bool read_u32(uint32_t& value)
    {
        if (remaining() < 4)
            return false;
        value = static_cast<uint32_t>(_bytes[_position]) | static_cast<uint32_t>(_bytes[_position + 1]) << 8 |
                static_cast<uint32_t>(_bytes[_position + 2]) << 16 | static_cast<uint32_t>(_bytes[_position + 3]) << 24;
        _position += 4;
        return true;
    }

    // The length is checked against what is there before anything is allocated.
    bool read_bytes(uint32_t length, std::vector<uint8_t>& value)
    {
        if (length > remaining())
            return false;
        value.assign(_bytes.begin() + static_cast<std::ptrdiff_t>(_position),
                     _bytes.begin() + static_cast<std::ptrdiff_t>(_position + length));
        _position += length;
        return true;
    }

private:
    std::span<const uint8_t> _bytes;
    size_t _position = 0;
};

bool is_element(uint32_t id)
{
    return id == Element_certificate || id == Element_crl || id == Element_ctl;
}

enum class Group_end { Element, End_marker, Bad };

// Reads property records up to and including the element record that closes the group, or the
// end marker when the group is empty.
Group_end read_group(Reader& reader, Serialized_element& element)
{
    element = Serialized_element{};
    for (;;) {
        uint32_t id = 0;
        uint32_t encoding = 0;
        uint32_t length = 0;
        if (!reader.read_u32(id) || !reader.read_u32(encoding) || !reader.read_u32(length))
            return Group_end::Bad;
        if (id == 0) {
            if (length != 0 || !element.properties.empty())
                return Group_end::Bad;
            return Group_end::End_marker;
        }
        if (id > 0xFFFF)
            return Group_end::Bad;
        if (is_element(id)) {
            element.kind = id;
            element.encoding = encoding;
            if (length == 0 || !reader.read_bytes(length, element.content))
                return Group_end::Bad;
            return Group_end::Element;
        }
        if (element.properties.size() >= Serialized_store_max_properties)
            return Group_end::Bad;
        Store_property property;
        property.id = id;
        property.encoding = encoding;
        if (!reader.read_bytes(length, property.value))
            return Group_end::Bad;
        element.properties.push_back(std::move(property));
    }
}

void put_u32(std::vector<uint8_t>& out, uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}

void put_record(std::vector<uint8_t>& out, uint32_t id, uint32_t encoding, const std::vector<uint8_t>& value)
{
    put_u32(out, id);
    put_u32(out, encoding);
    put_u32(out, static_cast<uint32_t>(value.size()));
    out.insert(out.end(), value.begin(), value.end());
}

void put_group(std::vector<uint8_t>& out, const Serialized_element& element)
{
    for (const Store_property& property : element.properties)
        put_record(out, property.id, property.encoding, property.value);
    put_record(out, element.kind, element.encoding, element.content);
}

} // namespace

bool has_serialized_store_header(std::span<const uint8_t> bytes)
{
    Reader reader(bytes);
    uint32_t version = 1;
    uint32_t magic = 0;
    return reader.read_u32(version) && reader.read_u32(magic) && version == 0 && magic == Serialized_store_magic;
}

std::optional<std::vector<Serialized_element>> parse_serialized_store(std::span<const uint8_t> bytes)
{
    if (!has_serialized_store_header(bytes))
        return std::nullopt;
    Reader reader(bytes.subspan(Store_header_size));
    std::vector<Serialized_element> elements;
    for (;;) {
        Serialized_element element;
        switch (read_group(reader, element)) {
        case Group_end::Bad:
            return std::nullopt;
        case Group_end::End_marker:
            return elements;
        case Group_end::Element:
            if (elements.size() >= Serialized_store_max_groups)
                return std::nullopt;
            elements.push_back(std::move(element));
            break;
        }
    }
}

std::optional<Serialized_element> parse_serialized_element(std::span<const uint8_t> bytes)
{
    Reader reader(bytes);
    Serialized_element element;
    if (read_group(reader, element) != Group_end::Element || !reader.at_end())
        return std::nullopt;
    return element;
}

std::vector<uint8_t> write_serialized_store(std::span<const Serialized_element> elements)
{
    std::vector<uint8_t> out;
    put_u32(out, 0);
    put_u32(out, Serialized_store_magic);
    for (const Serialized_element& element : elements)
        put_group(out, element);
    put_u32(out, 0);
    put_u32(out, 0);
    put_u32(out, 0);
    return out;
}

std::vector<uint8_t> write_serialized_element(const Serialized_element& element)
{
    std::vector<uint8_t> out;
    put_group(out, element);
    return out;
}

} // namespace velin
