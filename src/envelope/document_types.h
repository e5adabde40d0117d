// The kind of a signed file, decided from its name's extension.
#pragma once

#include <string>

namespace velin {

enum class Document_types : int {
    Envelope = 1, // "p7m": PKCS#7 SignedData
    Multipart = 2, // "m7m": MIME multipart of an envelope and a time-stamp reply
    Pdf = 4, // "pdf"
    Unsupported = 5,
    Timestamped_data = 6, // "tsd": TimeStampedData (a document with its chain of time stamps)
    Xml_signature = 7, // an XML file holding an XML signature (told by its content only)
    Detached_timestamp = 8, // "tsr", "tst": an RFC 3161 reply or token over the file beside it
    Asic_container = 9, // "asics", "scs", "asice", "sce", "bdoc", "edoc": a ZIP of files and their signatures
};

// The extension of the last path component (after its last dot), lower-cased; empty when none.
std::string lower_case_extension(const std::string& path);

// Envelope ("p7m", or "p7s" for a detached signature), Multipart, Pdf, Timestamped_data,
// Detached_timestamp ("tsr", "tst"), Asic_container ("asics", "scs", "asice", "sce", "bdoc", "edoc") or Unsupported for
// the path's extension, upper or lower case alike.
Document_types document_type_of(const std::string& path);

} // namespace velin
