// A bounds-checked reader of BER elements (definite and indefinite lengths, constructed strings),
// for the structures OpenSSL has no reader for (TimeStampedData) and for telling a file's kind
// from its first bytes. Nothing is copied except where a constructed string has to be joined.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace velin {

struct Ber_element {
    uint8_t tag_class = 0; // 0 universal, 1 application, 2 context, 3 private
    bool constructed = false;
    uint32_t tag_number = 0;
    bool indefinite = false;
    std::span<const uint8_t> content; // between the header and the end (the end-of-contents excluded)
    std::span<const uint8_t> whole; // header, content and end-of-contents

    bool is(uint8_t klass, uint32_t number) const { return tag_class == klass && tag_number == number; }
};

// Universal tags used here.
inline constexpr uint32_t Ber_boolean = 1;
inline constexpr uint32_t Ber_integer = 2;
inline constexpr uint32_t Ber_octet_string = 4;
inline constexpr uint32_t Ber_oid = 6;
inline constexpr uint32_t Ber_utf8_string = 12;
inline constexpr uint32_t Ber_sequence = 16;
inline constexpr uint32_t Ber_ia5_string = 22;

// The element at the start of bytes; empty when it is malformed, nested too deep or runs past the
// end. Bytes after the element are not looked at.
std::optional<Ber_element> read_ber(std::span<const uint8_t> bytes);

// The elements inside a constructed element, in order; empty when it is primitive or malformed.
std::optional<std::vector<Ber_element>> ber_children(const Ber_element& element);

// The bytes of an OCTET STRING (or any string type), primitive or constructed from pieces.
std::optional<std::vector<uint8_t>> ber_string_bytes(const Ber_element& element);

// The element with every length definite and every end-of-contents gone: what a digest "of the
// DER" is taken over when the file came in BER. A DER element comes back unchanged.
std::vector<uint8_t> ber_definite(const Ber_element& element);

// The header of the element at the start of bytes (tag and length), without requiring its content
// to be there: enough to recognise a truncated envelope. header_size is set on success.
std::optional<Ber_element> read_ber_header(std::span<const uint8_t> bytes, size_t& header_size);

} // namespace velin
