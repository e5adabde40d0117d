// Puts a document into a detached DER SignedData, for envelopes larger than `openssl cms -sign`
// can hold in memory: attach_document_tool DETACHED.p7s DOCUMENT OUT.p7m. The document is copied
// through a small buffer; the signature was made over the same document, detached.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

struct Element {
    uint8_t tag = 0;
    size_t header = 0; // bytes of tag and length
    size_t length = 0;
};

bool read_element(const std::vector<uint8_t>& bytes, size_t at, Element& out)
{
    if (at + 2 > bytes.size())
        return false;
    out.tag = bytes[at];
    size_t length = bytes[at + 1];
    size_t header = 2;
    if (length & 0x80) {
        const size_t count = length & 0x7f;
        if (count == 0 || count > 8 || at + 2 + count > bytes.size())
            return false;
        length = 0;
        for (size_t i = 0; i < count; ++i)
            length = (length << 8) | bytes[at + 2 + i];
        header += count;
    }
    out.header = header;
    out.length = length;
    return at + header + length <= bytes.size();
}

std::vector<uint8_t> header_of(uint8_t tag, uint64_t length)
{
    std::vector<uint8_t> out{tag};
    if (length < 0x80) {
        out.push_back(static_cast<uint8_t>(length));
        return out;
    }
    std::vector<uint8_t> digits;
    for (uint64_t rest = length; rest != 0; rest >>= 8)
        digits.insert(digits.begin(), static_cast<uint8_t>(rest));
    out.push_back(static_cast<uint8_t>(0x80 | digits.size()));
    out.insert(out.end(), digits.begin(), digits.end());
    return out;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s DETACHED.p7s DOCUMENT OUT.p7m\n", argv[0]);
        return 2;
    }
    std::ifstream detached_in(argv[1], std::ios::binary);
    const std::vector<uint8_t> p7s((std::istreambuf_iterator<char>(detached_in)), std::istreambuf_iterator<char>());
    std::FILE* document = std::fopen(argv[2], "rb");
    if (!document || std::fseek(document, 0, SEEK_END) != 0) {
        std::perror(argv[2]);
        return 1;
    }
    const auto document_size = static_cast<uint64_t>(std::ftell(document));
    std::rewind(document);

    // ContentInfo { type, [0] { SignedData { version, digestAlgorithms, encapContentInfo { type },
    // rest } } }: the encapsulated content gains [0] { OCTET STRING document }.
    Element info, type, wrapper, signed_data, version, algorithms, encapsulated;
    size_t at = 0;
    if (!read_element(p7s, at, info) || !read_element(p7s, at += info.header, type) ||
        !read_element(p7s, at += type.header + type.length, wrapper) ||
        !read_element(p7s, at += wrapper.header, signed_data) ||
        !read_element(p7s, at += signed_data.header, version) ||
        !read_element(p7s, at += version.header + version.length, algorithms) ||
        !read_element(p7s, at += algorithms.header + algorithms.length, encapsulated)) {
        std::fprintf(stderr, "%s: not a detached DER SignedData\n", argv[1]);
        return 1;
    }
    const size_t encapsulated_at = at;
    const size_t rest_at = encapsulated_at + encapsulated.header + encapsulated.length;
    const std::vector<uint8_t> octets = header_of(0x04, document_size);
    const uint64_t explicit_length = octets.size() + document_size;
    const std::vector<uint8_t> explicit_header = header_of(0xa0, explicit_length);
    const uint64_t encapsulated_length = encapsulated.length + explicit_header.size() + explicit_length;
    const std::vector<uint8_t> encapsulated_header = header_of(0x30, encapsulated_length);
    const size_t type_at = info.header;
    const size_t version_at = type_at + type.header + type.length + wrapper.header + signed_data.header;
    const size_t before = encapsulated_at - version_at;
    const uint64_t signed_body = before + encapsulated_header.size() + encapsulated_length + (p7s.size() - rest_at);
    const std::vector<uint8_t> signed_header = header_of(0x30, signed_body);
    const std::vector<uint8_t> wrapper_header = header_of(0xa0, signed_header.size() + signed_body);
    const uint64_t info_body = type.header + type.length + wrapper_header.size() + signed_header.size() + signed_body;
    const std::vector<uint8_t> info_header = header_of(0x30, info_body);

    std::FILE* out = std::fopen(argv[3], "wb");
    const auto put = [out](const uint8_t* data, size_t size) { return std::fwrite(data, 1, size, out) == size; };
    bool written =
        out && put(info_header.data(), info_header.size()) && put(p7s.data() + type_at, type.header + type.length) &&
        put(wrapper_header.data(), wrapper_header.size()) && put(signed_header.data(), signed_header.size()) &&
        put(p7s.data() + version_at, encapsulated_at - version_at) &&
        put(encapsulated_header.data(), encapsulated_header.size()) &&
        put(p7s.data() + encapsulated_at + encapsulated.header, encapsulated.length) &&
        put(explicit_header.data(), explicit_header.size()) && put(octets.data(), octets.size());
    std::vector<uint8_t> buffer(1 << 20);
    for (size_t read; written && (read = std::fread(buffer.data(), 1, buffer.size(), document)) > 0;)
        written = put(buffer.data(), read);
    written = written && put(p7s.data() + rest_at, p7s.size() - rest_at) && std::fclose(out) == 0;
    std::fclose(document);
    if (!written) {
        std::perror(argv[3]);
        return 1;
    }
    return 0;
}
