// The name under which a layer shows the document inside its envelope. A PKCS#7 envelope never
// names its content, so the name comes from the envelope's own: "x.pdf.p7m" holds "x.pdf", and
// "x.pdf.p7m.p7m" holds another envelope, "x.pdf.p7m", which is opened as a layer of its own.
#pragma once

#include "envelope/document_types.h"

#include <string>

namespace velin {

struct Document_name {
    std::string full_name; // the layer's file name without a last ".p7m", ".p7s" or ".tsd" (any case)
    std::string display_name; // the file-name part of full_name; Fallback_document_name when empty
    bool inner_envelope = false; // full_name itself ends in ".p7m" (any case)
};

// "documento": the name of a document whose envelope's name gives none.
extern const char* const Fallback_document_name;

Document_name derive_document_name(const std::string& layer_file_name);

// The name of a signed file of the given kind found inside another: name itself when it already
// has the kind's extension ("x.pdf.p7m" holding an envelope), else name with it added.
std::string container_name(const std::string& name, Document_types kind);

// The part after the last '/' (the whole text when there is none).
std::string file_name_part(const std::string& path);

} // namespace velin
