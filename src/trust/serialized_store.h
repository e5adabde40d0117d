// The Windows serialized certificate store (".sst" files, and the single elements that a
// certificate export writes), read and written byte for byte so that lists made on Windows load
// here and lists saved here load there.
//
// All integers are 32-bit little-endian.
//
//   file      = header, element group*, end marker
//   header    = version 0x00000000, magic 0x54524543 (the bytes "CERT")
//   group     = property record*, element record
//   record    = id, encoding type, length n, n bytes of value
//   end       = id 0, encoding type 0, length 0 (12 zero bytes)
//
// An element record has id 0x20 (the DER certificate), 0x21 (a DER CRL) or 0x22 (a certificate
// trust list); any other id, up to 0xFFFF, is a property of the element that follows it (for
// example 0x0B the friendly name in UTF-16LE with its terminating zero, 0x03 the SHA-1 hash).
// Windows writes encoding type 1 (X.509 ASN.1) in every record but the end marker. A single
// serialized element is one group without header or end marker.
//
// Reading is strict: a record that runs past the end of the data, a property id above 0xFFFF,
// properties with no element after them, a missing end marker, or more groups or properties than
// any real list holds reject the whole input. Bytes after the end marker are ignored.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace velin {

constexpr uint32_t Serialized_store_magic = 0x54524543;
constexpr uint32_t Element_certificate = 0x20;
constexpr uint32_t Element_crl = 0x21;
constexpr uint32_t Element_ctl = 0x22;
constexpr uint32_t Property_friendly_name = 0x0B;
constexpr uint32_t X509_asn_encoding = 1;

// Limits that no list in use comes near; beyond them the input is refused rather than held.
constexpr size_t Serialized_store_max_groups = 100000;
constexpr size_t Serialized_store_max_properties = 1024;

struct Store_property {
    uint32_t id = 0;
    uint32_t encoding = X509_asn_encoding;
    std::vector<uint8_t> value;

    bool operator==(const Store_property&) const = default;
};

struct Serialized_element {
    uint32_t kind = Element_certificate;
    uint32_t encoding = X509_asn_encoding;
    std::vector<uint8_t> content;
    std::vector<Store_property> properties; // in file order; written before the element

    bool operator==(const Serialized_element&) const = default;
};

// True when the bytes start with the serialized store header.
bool has_serialized_store_header(std::span<const uint8_t> bytes);

// The groups of a whole serialized store; nothing when the bytes are not one.
std::optional<std::vector<Serialized_element>> parse_serialized_store(std::span<const uint8_t> bytes);

// Exactly one group with nothing after it; nothing otherwise.
std::optional<Serialized_element> parse_serialized_element(std::span<const uint8_t> bytes);

std::vector<uint8_t> write_serialized_store(std::span<const Serialized_element> elements);
std::vector<uint8_t> write_serialized_element(const Serialized_element& element);

} // namespace velin
