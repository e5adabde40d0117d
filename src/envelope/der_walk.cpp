#include "envelope/der_walk.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

namespace velin {

namespace {

// An envelope held in two pieces, first then second, of which only `available` bytes are at hand
// out of `size`: the walk reads element headers in the bytes at hand and checks lengths against
// the size. Between the pieces may lie a gap of bytes that are not at hand (a document that was
// streamed past): they count as at hand, and nothing is ever read from them.
struct Envelope_bytes {
    std::span<const uint8_t> first;
    std::span<const uint8_t> second;
    size_t size = 0;
    size_t gap = 0;

    size_t available() const { return first.size() + gap + second.size(); }
    uint8_t operator[](size_t at) const
    {
        if (at < first.size())
            return first[at];
        // Inside the gap there is nothing to read: a header there is not one the walk expects.
        return at < first.size() + gap ? 0xff : second[at - first.size() - gap];
    }
    bool equal(size_t at, std::span<const uint8_t> expected) const
    {
        if (at > available() || expected.size() > available() - at)
            return false;
        for (size_t i = 0; i < expected.size(); ++i)
            if ((*this)[at + i] != expected[i])
                return false;
        return true;
    }
    // Appends [from, to), which must be at hand.
    void append(std::vector<uint8_t>& out, size_t from, size_t to) const
    {
        if (from < first.size()) {
            const size_t end = std::min(to, first.size());
            out.insert(out.end(), first.begin() + static_cast<ptrdiff_t>(from),
                       first.begin() + static_cast<ptrdiff_t>(end));
            from = end;
        }
        from = std::max(from, first.size() + gap);
        if (from < to)
            out.insert(out.end(), second.begin() + static_cast<ptrdiff_t>(from - first.size() - gap),
                       second.begin() + static_cast<ptrdiff_t>(to - first.size() - gap));
    }
};

// One element: its tag byte, where its header starts, where its contents start and their size.
struct Der_element {
    uint8_t tag = 0;
    size_t start = 0;
    size_t contents = 0;
    size_t size = 0;

    size_t end() const { return contents + size; }
};

// Reads the element at offset within [offset, limit). Only low tag numbers and definite lengths
// of at most eight length bytes; every length is checked against the bytes left before limit, and
// the header must lie in the bytes at hand.
std::optional<Der_element> read_element(const Envelope_bytes& bytes, size_t offset, size_t limit)
{
    if (limit > bytes.size || offset >= limit || limit - offset < 2 || offset > bytes.available() ||
        bytes.available() - offset < 2)
        return std::nullopt;
    Der_element element;
    element.tag = bytes[offset];
    element.start = offset;
    if ((element.tag & 0x1f) == 0x1f)
        return std::nullopt;
    size_t at = offset + 1;
    const uint8_t first = bytes[at++];
    size_t length = 0;
    if (first < 0x80) {
        length = first;
    } else {
        const size_t count = first & 0x7f;
        // 0x80 is the indefinite form, left to the OpenSSL reader.
        if (count == 0 || count > sizeof(size_t) || count > limit - at || count > bytes.available() - at)
            return std::nullopt;
        for (size_t i = 0; i < count; ++i)
            length = (length << 8) | bytes[at++];
    }
    if (length > limit - at)
        return std::nullopt;
    element.contents = at;
    element.size = length;
    return element;
}

void append_header(std::vector<uint8_t>& out, uint8_t tag, size_t length)
{
    out.push_back(tag);
    if (length < 0x80) {
        out.push_back(static_cast<uint8_t>(length));
        return;
    }
    std::array<uint8_t, sizeof(size_t)> digits{};
    size_t count = 0;
    for (size_t rest = length; rest != 0; rest >>= 8)
        digits[count++] = static_cast<uint8_t>(rest & 0xff);
    out.push_back(static_cast<uint8_t>(0x80 | count));
    while (count > 0)
        out.push_back(digits[--count]);
}

size_t header_size(size_t length)
{
    if (length < 0x80)
        return 2;
    size_t count = 0;
    for (size_t rest = length; rest != 0; rest >>= 8)
        ++count;
    return 2 + count;
}

// 1.2.840.113549.1.7.2, signedData.
constexpr std::array<uint8_t, 9> signed_data_oid{0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x07, 0x02};

constexpr uint8_t sequence_tag = 0x30;
constexpr uint8_t oid_tag = 0x06;
constexpr uint8_t explicit_0_tag = 0xa0;
constexpr uint8_t octet_string_tag = 0x04;

// The elements of a SignedData envelope the split needs.
struct Der_layout {
    Der_element content_info, type, signed_data, digest_algorithms, encapsulated, content_type, content;
};

// A SignedData ContentInfo down to its encapsulated content info.
struct Der_signed_data_top {
    Der_element content_info, type, signed_data, digest_algorithms, encapsulated;
};

std::optional<Der_signed_data_top> walk_to_encapsulated(const Envelope_bytes& bytes)
{
    const auto content_info = read_element(bytes, 0, bytes.size);
    if (!content_info || content_info->tag != sequence_tag)
        return std::nullopt;
    const auto type = read_element(bytes, content_info->contents, content_info->end());
    if (!type || type->tag != oid_tag || type->size != signed_data_oid.size() ||
        !bytes.equal(type->contents, signed_data_oid))
        return std::nullopt;
    const auto wrapper = read_element(bytes, type->end(), content_info->end());
    if (!wrapper || wrapper->tag != explicit_0_tag || wrapper->end() != content_info->end())
        return std::nullopt;
    const auto signed_data = read_element(bytes, wrapper->contents, wrapper->end());
    if (!signed_data || signed_data->tag != sequence_tag || signed_data->end() != wrapper->end())
        return std::nullopt;
    const auto version = read_element(bytes, signed_data->contents, signed_data->end());
    if (!version)
        return std::nullopt;
    const auto digest_algorithms = read_element(bytes, version->end(), signed_data->end());
    if (!digest_algorithms)
        return std::nullopt;
    const auto encapsulated = read_element(bytes, digest_algorithms->end(), signed_data->end());
    if (!encapsulated || encapsulated->tag != sequence_tag)
        return std::nullopt;
    return Der_signed_data_top{*content_info, *type, *signed_data, *digest_algorithms, *encapsulated};
}

std::optional<Der_layout> walk(const Envelope_bytes& bytes)
{
    const auto top = walk_to_encapsulated(bytes);
    if (!top)
        return std::nullopt;
    const Der_element& encapsulated = top->encapsulated;
    const auto content_type = read_element(bytes, encapsulated.contents, encapsulated.end());
    if (!content_type || content_type->tag != oid_tag)
        return std::nullopt;
    // The eContent wrapper holds exactly one primitive OCTET STRING and closes the sequence.
    const auto content_wrapper = read_element(bytes, content_type->end(), encapsulated.end());
    if (!content_wrapper || content_wrapper->tag != explicit_0_tag || content_wrapper->end() != encapsulated.end())
        return std::nullopt;
    const auto content = read_element(bytes, content_wrapper->contents, content_wrapper->end());
    if (!content || content->tag != octet_string_tag || content->end() != content_wrapper->end())
        return std::nullopt;
    return Der_layout{top->content_info, top->type,     top->signed_data, top->digest_algorithms,
                      encapsulated,      *content_type, *content};
}

std::optional<Der_signed_data_split> split(const Envelope_bytes& bytes)
{
    const auto layout = walk(bytes);
    // Everything but the document must be at hand to be copied.
    if (!layout || bytes.available() != bytes.size)
        return std::nullopt;
    const Der_layout& l = *layout;

    // Every piece but the document is copied as it was, once, into one buffer: the lengths of the
    // elements around the document are worked out first (a signer list may be most of the bytes).
    const size_t encapsulated_body = l.content_type.end() - l.content_type.start;
    const size_t signed_body = (l.encapsulated.start - l.signed_data.contents) + header_size(encapsulated_body) +
                               encapsulated_body + (l.signed_data.end() - l.encapsulated.end());
    const size_t wrapper_body = header_size(signed_body) + signed_body;
    const size_t info_body = (l.type.end() - l.type.start) + header_size(wrapper_body) + wrapper_body;

    Der_signed_data_split result;
    result.content_offset = l.content.contents;
    result.content_size = l.content.size;
    std::vector<uint8_t>& out = result.without_content;
    out.reserve(header_size(info_body) + info_body);
    append_header(out, sequence_tag, info_body);
    bytes.append(out, l.type.start, l.type.end());
    append_header(out, explicit_0_tag, wrapper_body);
    append_header(out, sequence_tag, signed_body);
    bytes.append(out, l.signed_data.contents, l.encapsulated.start);
    append_header(out, sequence_tag, encapsulated_body);
    bytes.append(out, l.content_type.start, l.content_type.end());
    bytes.append(out, l.encapsulated.end(), l.signed_data.end());
    return result;
}

} // namespace

std::optional<Der_signed_data_split> split_der_signed_data(std::span<const uint8_t> bytes)
{
    return split(Envelope_bytes{bytes, {}, bytes.size()});
}

std::optional<Der_signed_data_split> split_der_signed_data(std::span<const uint8_t> first,
                                                           std::span<const uint8_t> second)
{
    return split(Envelope_bytes{first, second, first.size() + second.size()});
}

std::optional<Der_signed_data_split> split_der_signed_data_around(std::span<const uint8_t> first, size_t content_size,
                                                                  std::span<const uint8_t> second)
{
    if (content_size > SIZE_MAX - first.size() - second.size())
        return std::nullopt;
    auto result = split(Envelope_bytes{first, second, first.size() + content_size + second.size(), content_size});
    if (!result || result->content_offset != first.size() || result->content_size != content_size)
        return std::nullopt;
    return result;
}

std::optional<Der_signed_data_head> read_der_signed_data_head(std::span<const uint8_t> head, size_t size)
{
    if (head.size() > size)
        return std::nullopt;
    const Envelope_bytes bytes{head, {}, size};
    const auto layout = walk(bytes);
    if (!layout || layout->content.contents > head.size())
        return std::nullopt;
    Der_signed_data_head found;
    found.content_offset = layout->content.contents;
    found.content_size = layout->content.size;
    found.envelope_size = layout->content_info.end();
    // Each AlgorithmIdentifier of the set: a SEQUENCE that starts with the OID.
    const Der_element& set = layout->digest_algorithms;
    for (size_t at = set.contents; at < set.end();) {
        const auto identifier = read_element(bytes, at, set.end());
        if (!identifier || identifier->tag != sequence_tag)
            break;
        const auto oid = read_element(bytes, identifier->contents, identifier->end());
        if (oid && oid->tag == oid_tag)
            found.digest_algorithms.emplace_back(head.begin() + static_cast<ptrdiff_t>(oid->start),
                                                 head.begin() + static_cast<ptrdiff_t>(oid->end()));
        at = identifier->end();
    }
    return found;
}

std::optional<size_t> der_signed_data_content_offset(std::span<const uint8_t> head, size_t size)
{
    if (head.size() > size)
        return std::nullopt;
    const auto layout = walk(Envelope_bytes{head, {}, size});
    if (!layout || layout->content.contents > head.size())
        return std::nullopt;
    return layout->content.contents;
}

namespace {

constexpr uint8_t explicit_1_tag = 0xa1;
constexpr uint8_t set_tag = 0x31;

// The ContentInfo of a SignedData whose body is body_size bytes, up to where that body starts.
void append_signed_data_headers(std::vector<uint8_t>& out, size_t body_size)
{
    const size_t wrapper_body = header_size(body_size) + body_size;
    const size_t info_body = 2 + signed_data_oid.size() + header_size(wrapper_body) + wrapper_body;
    append_header(out, sequence_tag, info_body);
    append_header(out, oid_tag, signed_data_oid.size());
    out.insert(out.end(), signed_data_oid.begin(), signed_data_oid.end());
    append_header(out, explicit_0_tag, wrapper_body);
    append_header(out, sequence_tag, body_size);
}

} // namespace

std::optional<Der_signer_split> split_der_signers(std::span<const uint8_t> envelope)
{
    const Envelope_bytes bytes{envelope, {}, envelope.size()};
    const auto top = walk_to_encapsulated(bytes);
    if (!top)
        return std::nullopt;
    const Der_element& signed_data = top->signed_data;
    const Der_element& encapsulated = top->encapsulated;
    // Without eContent: the content type alone.
    const auto content_type = read_element(bytes, encapsulated.contents, encapsulated.end());
    if (!content_type || content_type->tag != oid_tag || content_type->end() != encapsulated.end())
        return std::nullopt;

    // [0] certificates and [1] CRLs, each at most once and in that order, then the SignerInfos.
    size_t at = encapsulated.end();
    std::optional<Der_element> element = read_element(bytes, at, signed_data.end());
    for (const uint8_t optional_tag : {explicit_0_tag, explicit_1_tag})
        if (element && element->tag == optional_tag)
            element = read_element(bytes, at = element->end(), signed_data.end());
    if (!element || element->tag != set_tag || element->end() != signed_data.end())
        return std::nullopt;
    const Der_element set = *element;

    Der_signer_split split;
    for (size_t next = set.contents; next < set.end();) {
        const auto signer = read_element(bytes, next, set.end());
        if (!signer || signer->tag != sequence_tag)
            return std::nullopt;
        split.signers.push_back({signer->start, signer->end() - signer->start});
        next = signer->end();
    }

    const size_t body_size = (set.start - signed_data.contents) + 2;
    std::vector<uint8_t>& out = split.without_signers;
    out.reserve(body_size + 32);
    append_signed_data_headers(out, body_size);
    split.core = {out.size(), encapsulated.end() - signed_data.contents};
    bytes.append(out, signed_data.contents, set.start);
    out.push_back(set_tag);
    out.push_back(0);
    return split;
}

std::vector<uint8_t> der_signed_data_with_signers(const Der_signer_split& split, std::span<const uint8_t> signers)
{
    const auto core = std::span<const uint8_t>(split.without_signers).subspan(split.core.offset, split.core.size);
    const size_t body_size = core.size() + header_size(signers.size()) + signers.size();
    std::vector<uint8_t> out;
    out.reserve(body_size + 32);
    append_signed_data_headers(out, body_size);
    out.insert(out.end(), core.begin(), core.end());
    append_header(out, set_tag, signers.size());
    out.insert(out.end(), signers.begin(), signers.end());
    return out;
}

namespace {

constexpr uint8_t constructed_octet_string_tag = 0x24;
// Nesting deeper than this in the parts of a BER envelope that are only skipped is refused.
constexpr int Most_ber_depth = 32;

// One BER element: definite (size) or of indefinite length (ended by two zero bytes).
struct Ber_element {
    uint8_t tag = 0;
    size_t start = 0;
    size_t contents = 0;
    bool indefinite = false;
    size_t size = 0;
};

std::optional<Ber_element> read_ber(std::span<const uint8_t> bytes, size_t offset, size_t limit)
{
    if (limit > bytes.size() || offset >= limit || limit - offset < 2)
        return std::nullopt;
    const uint8_t tag = bytes[offset];
    // A zero tag is an end-of-contents marker, never an element.
    if (tag == 0)
        return std::nullopt;
    if (bytes[offset + 1] == 0x80) {
        // Indefinite length: only low tag numbers, only for constructed elements.
        if ((tag & 0x1f) == 0x1f || (tag & 0x20) == 0)
            return std::nullopt;
        return Ber_element{tag, offset, offset + 2, true, 0};
    }
    const auto definite = read_element(Envelope_bytes{bytes, {}, bytes.size()}, offset, limit);
    if (!definite)
        return std::nullopt;
    return Ber_element{definite->tag, definite->start, definite->contents, false, definite->size};
}

bool end_of_contents(std::span<const uint8_t> bytes, size_t at, size_t limit)
{
    return limit <= bytes.size() && at <= limit && limit - at >= 2 && bytes[at] == 0 && bytes[at + 1] == 0;
}

// Where an element ends: after its contents, or after the end-of-contents marker that closes its
// elements.
std::optional<size_t> ber_end(std::span<const uint8_t> bytes, const Ber_element& element, size_t limit, int depth = 0)
{
    if (!element.indefinite)
        return element.contents + element.size;
    if (depth > Most_ber_depth)
        return std::nullopt;
    for (size_t at = element.contents;;) {
        if (end_of_contents(bytes, at, limit))
            return at + 2;
        const auto child = read_ber(bytes, at, limit);
        const auto end = child ? ber_end(bytes, *child, limit, depth + 1) : std::nullopt;
        if (!end)
            return std::nullopt;
        at = *end;
    }
}

// The elements of a container from at up to its end (its end-of-contents marker when of
// indefinite length); returns where the container ends.
std::optional<size_t> skip_to_end(std::span<const uint8_t> bytes, const Ber_element& container, size_t at)
{
    const size_t limit = container.indefinite ? bytes.size() : container.contents + container.size;
    if (!container.indefinite)
        return at <= limit ? std::optional<size_t>(limit) : std::nullopt;
    while (!end_of_contents(bytes, at, limit)) {
        const auto child = read_ber(bytes, at, limit);
        const auto end = child ? ber_end(bytes, *child, limit) : std::nullopt;
        if (!end)
            return std::nullopt;
        at = *end;
    }
    return at + 2;
}

} // namespace

std::optional<Ber_signed_data_split> split_ber_signed_data(std::span<const uint8_t> bytes)
{
    const size_t all = bytes.size();
    const auto content_info = read_ber(bytes, 0, all);
    if (!content_info || content_info->tag != sequence_tag || !content_info->indefinite)
        return std::nullopt;
    const auto type = read_ber(bytes, content_info->contents, all);
    if (!type || type->tag != oid_tag || type->size != signed_data_oid.size() ||
        !std::equal(signed_data_oid.begin(), signed_data_oid.end(),
                    bytes.begin() + static_cast<ptrdiff_t>(type->contents)))
        return std::nullopt;
    const auto wrapper = read_ber(bytes, type->contents + type->size, all);
    if (!wrapper || wrapper->tag != explicit_0_tag || !wrapper->indefinite)
        return std::nullopt;
    const auto signed_data = read_ber(bytes, wrapper->contents, all);
    if (!signed_data || signed_data->tag != sequence_tag || !signed_data->indefinite)
        return std::nullopt;
    const auto version = read_ber(bytes, signed_data->contents, all);
    const auto version_end = version ? ber_end(bytes, *version, all) : std::nullopt;
    const auto digest_algorithms = version_end ? read_ber(bytes, *version_end, all) : std::nullopt;
    const auto algorithms_end = digest_algorithms ? ber_end(bytes, *digest_algorithms, all) : std::nullopt;
    const auto encapsulated = algorithms_end ? read_ber(bytes, *algorithms_end, all) : std::nullopt;
    if (!encapsulated || encapsulated->tag != sequence_tag || !encapsulated->indefinite)
        return std::nullopt;
    const auto content_type = read_ber(bytes, encapsulated->contents, all);
    if (!content_type || content_type->tag != oid_tag)
        return std::nullopt;
    const auto content_wrapper = read_ber(bytes, content_type->contents + content_type->size, all);
    if (!content_wrapper || content_wrapper->tag != explicit_0_tag)
        return std::nullopt;
    const size_t wrapper_limit = content_wrapper->indefinite ? all : content_wrapper->contents + content_wrapper->size;
    const auto content = read_ber(bytes, content_wrapper->contents, wrapper_limit);
    if (!content)
        return std::nullopt;

    Ber_signed_data_split split;
    size_t content_end = 0;
    if (content->tag == octet_string_tag) {
        split.content_offset = content->contents;
        split.content_size = content->size;
        content_end = content->contents + content->size;
    } else if (content->tag == constructed_octet_string_tag) {
        // Primitive pieces only, each definite.
        const size_t limit = content->indefinite ? wrapper_limit : content->contents + content->size;
        size_t at = content->contents;
        while (content->indefinite ? !end_of_contents(bytes, at, limit) : at < limit) {
            const auto piece = read_ber(bytes, at, limit);
            if (!piece || piece->tag != octet_string_tag)
                return std::nullopt;
            split.content_size += piece->size;
            at = piece->contents + piece->size;
        }
        split.in_pieces = true;
        split.pieces_offset = content->contents;
        split.pieces_size = at - content->contents;
        content_end = content->indefinite ? at + 2 : at;
    } else {
        return std::nullopt;
    }
    // The content closes the eContent wrapper, which closes the encapsulated content info.
    size_t wrapper_end = wrapper_limit;
    if (content_wrapper->indefinite) {
        if (!end_of_contents(bytes, content_end, all))
            return std::nullopt;
        wrapper_end = content_end + 2;
    } else if (content_end != wrapper_limit) {
        return std::nullopt;
    }
    if (!end_of_contents(bytes, wrapper_end, all))
        return std::nullopt;
    const auto signed_data_end = skip_to_end(bytes, *signed_data, wrapper_end + 2);
    if (!signed_data_end || !end_of_contents(bytes, *signed_data_end, all) ||
        !end_of_contents(bytes, *signed_data_end + 2, all))
        return std::nullopt;
    const size_t envelope_end = *signed_data_end + 4;

    split.without_content.reserve(content_wrapper->start + (envelope_end - wrapper_end));
    split.without_content.assign(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(content_wrapper->start));
    split.without_content.insert(split.without_content.end(), bytes.begin() + static_cast<ptrdiff_t>(wrapper_end),
                                 bytes.begin() + static_cast<ptrdiff_t>(envelope_end));
    return split;
}

bool read_octet_string_pieces(std::span<const uint8_t> pieces, size_t slice,
                              const std::function<bool(std::span<const uint8_t>)>& sink)
{
    slice = std::max<size_t>(slice, 1);
    for (size_t at = 0; at < pieces.size();) {
        const auto piece = read_ber(pieces, at, pieces.size());
        if (!piece || piece->tag != octet_string_tag)
            return false;
        const auto contents = pieces.subspan(piece->contents, piece->size);
        for (size_t from = 0; from < contents.size(); from += slice)
            if (!sink(contents.subspan(from, std::min(slice, contents.size() - from))))
                return false;
        at = piece->contents + piece->size;
    }
    return true;
}

} // namespace velin
