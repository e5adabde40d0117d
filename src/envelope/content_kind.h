// What a file is, told from its bytes rather than its name: signed files are renamed, saved
// without an extension, or given the extension of the document they carry.
#pragma once

#include "envelope/document_bytes.h"
#include "envelope/document_types.h"

#include <cstdint>
#include <span>
#include <string>

namespace velin {

// The kind the bytes look like: Envelope for a DER or BER SignedData (also truncated), its base64
// or PEM text, or an S/MIME message; Multipart for a MIME multipart/mixed message with a
// time-stamp part (an e-mail is not a time-stamped file); Pdf for
// "%PDF-"; Timestamped_data for a TimeStampedData; Xml_signature for XML text holding an XML
// signature; Asic_container for a ZIP archive of signed files (looks_like_asic_container);
// Unsupported when none of these.
Document_types document_type_by_content(std::span<const uint8_t> bytes);

// The same for bytes that may not be in memory: decoded ones are judged by their first megabyte,
// without decoding them whole.
inline constexpr size_t Content_head_size = 1024 * 1024;
Document_types document_type_of_bytes(const Document_bytes& bytes);

// The kind of a file: its content decides, the extension only when the content says nothing.
Document_types decide_document_type(std::span<const uint8_t> bytes, const std::string& path);

// Detached_timestamp for an RFC 3161 TimeStampResp or a TimeStampToken (a SignedData whose
// content is a TSTInfo), DER or BER, or base64 or PEM text of them; Unsupported otherwise. Only
// the headers at the start are looked at; the time-stamp reader checks the rest.
Document_types timestamp_kind_by_content(std::span<const uint8_t> bytes);

// True for the kinds that are opened as a further layer when found inside another.
bool is_signed_container(Document_types type);

// The extension a container of the given kind is named with: "p7m", "m7m", "tsd", "xml" or "asice".
const char* container_extension(Document_types type);

} // namespace velin
