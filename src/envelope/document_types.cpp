#include "envelope/document_types.h"

#include <algorithm>

namespace velin {

std::string lower_case_extension(const std::string& path)
{
    const size_t slash = path.rfind('/');
    const size_t start = slash == std::string::npos ? 0 : slash + 1;
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot < start)
        return {};
    std::string extension = path.substr(dot + 1);
    // ASCII only: a locale-dependent lower-casing could map other bytes of a UTF-8 name.
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; });
    return extension;
}

Document_types document_type_of(const std::string& path)
{
    const std::string extension = lower_case_extension(path);
    if (extension == "m7m")
        return Document_types::Multipart;
    if (extension == "p7m" || extension == "p7s")
        return Document_types::Envelope;
    if (extension == "tsd")
        return Document_types::Timestamped_data;
    if (extension == "tsr" || extension == "tst")
        return Document_types::Detached_timestamp;
    if (extension == "asics" || extension == "scs" || extension == "asice" || extension == "sce" ||
        extension == "bdoc" || extension == "edoc")
        return Document_types::Asic_container;
    if (extension == "pdf")
        return Document_types::Pdf;
    return Document_types::Unsupported;
}

} // namespace velin
