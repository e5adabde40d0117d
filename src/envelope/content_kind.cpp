#include "envelope/content_kind.h"

#include "envelope/asic_container.h"
#include "envelope/base64_decode.h"
#include "envelope/ber_reader.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

namespace velin {

namespace {

// 1.2.840.113549.1.7.2 and 1.2.840.113549.1.9.16.1.31, as encoded.
constexpr uint8_t Signed_data_oid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
constexpr uint8_t Timestamped_data_oid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x10, 0x01, 0x1F};
// 1.2.840.113549.1.9.16.1.4, id-ct-TSTInfo.
constexpr uint8_t Tst_info_oid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x10, 0x01, 0x04};

// How much of the start of a file the text forms are looked for in.
constexpr size_t Text_window = 8192;

// A ContentInfo's type from its first bytes: the outer SEQUENCE's header (any length form, its
// content need not all be there) and the OID that opens it.
Document_types binary_kind(std::span<const uint8_t> bytes)
{
    size_t header = 0;
    const auto outer = read_ber_header(bytes, header);
    if (!outer || !outer->is(0, Ber_sequence) || !outer->constructed)
        return Document_types::Unsupported;
    const auto rest = bytes.subspan(header);
    if (rest.size() < 2 || rest[0] != 0x06)
        return Document_types::Unsupported;
    const auto oid = rest.subspan(2, std::min<size_t>(rest[1], rest.size() - 2));
    const auto same = [&](std::span<const uint8_t> expected) {
        return rest[1] == expected.size() && oid.size() == expected.size() &&
               std::equal(oid.begin(), oid.end(), expected.begin());
    };
    if (same(Signed_data_oid))
        return Document_types::Envelope;
    if (same(Timestamped_data_oid))
        return Document_types::Timestamped_data;
    return Document_types::Unsupported;
}

// Into the constructed element of the given class and tag at the start of bytes: bytes then
// start at its first child (its content need not all be there).
bool enter(std::span<const uint8_t>& bytes, uint8_t klass, uint32_t number)
{
    size_t header = 0;
    auto element = read_ber_header(bytes, header);
    if (!element || !element->is(klass, number) || !element->constructed)
        return false;
    bytes = bytes.subspan(header);
    return true;
}

// Moves bytes past a whole element with the given universal tag (it must all be there).
std::optional<Ber_element> pass(std::span<const uint8_t>& bytes, uint32_t number)
{
    auto element = read_ber(bytes);
    if (!element || !element->is(0, number))
        return std::nullopt;
    bytes = bytes.subspan(element->whole.size());
    return element;
}

bool oid_is(std::span<const uint8_t>& bytes, std::span<const uint8_t> expected)
{
    const auto oid = pass(bytes, Ber_oid);
    return oid && oid->content.size() == expected.size() &&
           std::equal(expected.begin(), expected.end(), oid->content.begin());
}

// A TimeStampResp opens with its PKIStatusInfo, whose status is a small INTEGER; a token is a
// ContentInfo of a SignedData whose encapsulated content type is TSTInfo.
Document_types binary_timestamp_kind(std::span<const uint8_t> bytes)
{
    if (!enter(bytes, 0, Ber_sequence))
        return Document_types::Unsupported;
    std::span<const uint8_t> reply = bytes;
    if (enter(reply, 0, Ber_sequence)) {
        const auto status = pass(reply, Ber_integer);
        return status && !status->constructed && status->content.size() == 1 && status->content[0] <= 5
                   ? Document_types::Detached_timestamp
                   : Document_types::Unsupported;
    }
    if (!oid_is(bytes, Signed_data_oid) || !enter(bytes, 2, 0) || !enter(bytes, 0, Ber_sequence) ||
        !pass(bytes, Ber_integer) || !pass(bytes, 17) || !enter(bytes, 0, Ber_sequence) || !oid_is(bytes, Tst_info_oid))
        return Document_types::Unsupported;
    return Document_types::Detached_timestamp;
}

bool is_base64_character(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' ||
           c == '=';
}

// The first bytes that the base64 text at the start of text decodes to: whole groups of four
// characters, blanks and line ends skipped, up to the first character outside the alphabet.
std::vector<uint8_t> base64_head(std::string_view text)
{
    std::string groups;
    for (const char c : text) {
        if (c == '\r' || c == '\n' || c == ' ' || c == '\t')
            continue;
        if (!is_base64_character(c))
            break;
        groups += c;
        if (groups.size() >= 256)
            break;
    }
    groups.resize(groups.size() - groups.size() % 4);
    if (groups.size() < 8)
        return {};
    Base64_decode decoder;
    if (!decoder.decode(groups, Base64_decode::Form::Lenient))
        return {};
    return decoder.value();
}

Document_types base64_kind(std::string_view text)
{
    const std::vector<uint8_t> head = base64_head(text);
    return head.empty() ? Document_types::Unsupported : binary_kind(head);
}

std::string lower(std::string_view text)
{
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; });
    return out;
}

// The message declares a time-stamp part somewhere (it may follow a large envelope part).
bool declares_timestamp_part(std::span<const uint8_t> bytes)
{
    static constexpr std::string_view needle = "application/timestamp";
    const auto lower = [](uint8_t c) { return static_cast<uint8_t>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); };
    // Horspool's search without regard to case: most of a large envelope part is skipped, a
    // needle's length at a time, instead of being compared at every byte.
    constexpr size_t last = needle.size() - 1;
    std::array<size_t, 256> shift;
    shift.fill(needle.size());
    for (size_t i = 0; i < last; ++i) {
        const auto c = static_cast<uint8_t>(needle[i]);
        shift[c] = last - i;
        if (c >= 'a' && c <= 'z')
            shift[c - 'a' + 'A'] = last - i;
    }
    for (size_t at = 0; bytes.size() >= needle.size() && at <= bytes.size() - needle.size();
         at += shift[bytes[at + last]]) {
        size_t i = last;
        while (lower(bytes[at + i]) == static_cast<uint8_t>(needle[i]) && i > 0)
            --i;
        if (i == 0 && lower(bytes[at]) == static_cast<uint8_t>(needle[0]))
            return true;
    }
    return false;
}

// A mail message's kind from its Content-Type header (folded lines included).
Document_types mime_kind(std::string_view head)
{
    const std::string text = lower(head);
    const size_t end_of_headers = std::min(text.find("\n\n"), text.find("\r\n\r\n"));
    const std::string headers = text.substr(0, end_of_headers);
    size_t at = headers.rfind("content-type:", 0) == 0 ? 0 : headers.find("\ncontent-type:");
    if (at == std::string::npos)
        return Document_types::Unsupported;
    at = headers.find(':', at) + 1;
    const size_t value = headers.find_first_not_of(" \t\r\n", at);
    if (value == std::string::npos)
        return Document_types::Unsupported;
    const std::string_view type = std::string_view(headers).substr(value);
    if (type.starts_with("multipart/mixed"))
        return Document_types::Multipart;
    if (type.starts_with("application/pkcs7-mime") || type.starts_with("application/x-pkcs7-mime") ||
        type.starts_with("multipart/signed"))
        return Document_types::Envelope;
    return Document_types::Unsupported;
}

constexpr std::string_view Dsig_namespace = "http://www.w3.org/2000/09/xmldsig#";

bool is_name_character(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
           c == '.' || static_cast<unsigned char>(c) >= 0x80;
}

// The namespace declared for prefix (empty: the default one) somewhere in the text.
bool declares_signature_namespace(std::string_view text, std::string_view prefix)
{
    const std::string attribute = prefix.empty() ? "xmlns=" : "xmlns:" + std::string(prefix) + "=";
    for (size_t at = text.find(attribute); at != std::string_view::npos; at = text.find(attribute, at + 1)) {
        const std::string_view value = text.substr(at + attribute.size());
        if (value.size() > Dsig_namespace.size() && (value[0] == '"' || value[0] == '\'') &&
            value.substr(1, Dsig_namespace.size()) == Dsig_namespace && value[1 + Dsig_namespace.size()] == value[0])
            return true;
    }
    return false;
}

// XML text with a Signature element of the XML signature namespace: a tag "<Signature" or
// "<p:Signature" whose prefix is declared for that namespace. A cheap look at the text; the
// decoder reads it properly.
bool holds_xml_signature(std::string_view text)
{
    static constexpr std::string_view name = "Signature";
    std::string checked;
    int prefixes = 0;
    for (size_t at = text.find(name); at != std::string_view::npos; at = text.find(name, at + 1)) {
        const size_t end = at + name.size();
        if (end >= text.size() || (text[end] != ' ' && text[end] != '>' && text[end] != '/' && text[end] != '\t' &&
                                   text[end] != '\r' && text[end] != '\n'))
            continue;
        size_t start = at;
        std::string_view prefix;
        if (start > 0 && text[start - 1] == ':') {
            size_t first = start - 1;
            while (first > 0 && is_name_character(text[first - 1]))
                --first;
            prefix = text.substr(first, start - 1 - first);
            start = first;
            if (prefix.empty())
                continue;
        }
        if (start == 0 || text[start - 1] != '<')
            continue;
        // Each prefix is looked up once: a hostile file with many tags costs one pass per prefix.
        const std::string key = "|" + std::string(prefix) + "|";
        if (checked.find(key) != std::string::npos)
            continue;
        if (declares_signature_namespace(text, prefix))
            return true;
        if (++prefixes > 16)
            return false;
        checked += key;
    }
    return false;
}

} // namespace

Document_types document_type_by_content(std::span<const uint8_t> bytes)
{
    if (bytes.empty())
        return Document_types::Unsupported;
    if (bytes[0] == 0x30) {
        const Document_types kind = binary_kind(bytes);
        if (kind != Document_types::Unsupported)
            return kind;
    }
    if (bytes[0] == 'P' && looks_like_asic_container(bytes))
        return Document_types::Asic_container;
    const auto head = bytes.first(std::min(bytes.size(), Text_window));
    const std::string_view raw(reinterpret_cast<const char*>(head.data()), head.size());
    std::string_view text = raw;
    if (text.starts_with("\xEF\xBB\xBF"))
        text.remove_prefix(3);
    const size_t start = text.find_first_not_of(" \t\r\n");
    if (start != std::string_view::npos) {
        text.remove_prefix(start);
        if (text.starts_with("<")) {
            const std::string_view whole(reinterpret_cast<const char*>(bytes.data()), bytes.size());
            if (holds_xml_signature(whole))
                return Document_types::Xml_signature;
        }
        if (text.starts_with("-----BEGIN")) {
            const size_t line_end = text.find('\n');
            if (line_end == std::string_view::npos)
                return Document_types::Unsupported;
            return base64_kind(text.substr(line_end + 1));
        }
        // A message first: a time-stamped PDF holds "%PDF-" near its start too. A multipart message
        // is a time-stamped file only with a time-stamp part: an e-mail is not one.
        if (const Document_types kind = mime_kind(text); kind != Document_types::Unsupported)
            return kind != Document_types::Multipart || declares_timestamp_part(bytes) ? kind
                                                                                       : Document_types::Unsupported;
    }
    // "%PDF-" may follow a few bytes of junk, as PDF readers allow.
    const size_t pdf = raw.find("%PDF-");
    if (pdf != std::string_view::npos && pdf < 1024)
        return Document_types::Pdf;
    return start == std::string_view::npos ? Document_types::Unsupported : base64_kind(text);
}

Document_types timestamp_kind_by_content(std::span<const uint8_t> bytes)
{
    if (bytes.empty())
        return Document_types::Unsupported;
    if (bytes[0] == 0x30)
        return binary_timestamp_kind(bytes);
    std::string_view text(reinterpret_cast<const char*>(bytes.data()), std::min(bytes.size(), Text_window));
    const size_t start = text.find_first_not_of(" \t\r\n");
    if (start == std::string_view::npos)
        return Document_types::Unsupported;
    text.remove_prefix(start);
    if (text.starts_with("-----BEGIN")) {
        const size_t line_end = text.find('\n');
        if (line_end == std::string_view::npos)
            return Document_types::Unsupported;
        text.remove_prefix(line_end + 1);
    }
    const std::vector<uint8_t> head = base64_head(text);
    return head.empty() ? Document_types::Unsupported : binary_timestamp_kind(head);
}

Document_types document_type_of_bytes(const Document_bytes& bytes)
{
    if (!bytes.is_encoded())
        return document_type_by_content(bytes.view());
    return document_type_by_content(std::span<const uint8_t>(bytes.head(Content_head_size)));
}

Document_types decide_document_type(std::span<const uint8_t> bytes, const std::string& path)
{
    const Document_types by_content = document_type_by_content(bytes);
    return by_content != Document_types::Unsupported ? by_content : document_type_of(path);
}

bool is_signed_container(Document_types type)
{
    return type == Document_types::Envelope || type == Document_types::Multipart ||
           type == Document_types::Timestamped_data || type == Document_types::Xml_signature ||
           type == Document_types::Asic_container;
}

const char* container_extension(Document_types type)
{
    switch (type) {
    case Document_types::Multipart:
        return "m7m";
    case Document_types::Timestamped_data:
        return "tsd";
    case Document_types::Xml_signature:
        return "xml";
    case Document_types::Asic_container:
        return "asice";
    default:
        break;
    }
    return "p7m";
}

} // namespace velin
