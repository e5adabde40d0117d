#include "envelope/document_name.h"

#include "envelope/content_kind.h"

namespace velin {

const char* const Fallback_document_name = "documento";

std::string file_name_part(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

Document_name derive_document_name(const std::string& layer_file_name)
{
    Document_name name;
    name.full_name = layer_file_name;
    // A detached signature (".p7s"), a time-stamped document (".tsd") and a detached time stamp
    // (".tsr", ".tst") name their document the same way an envelope does.
    const std::string extension = lower_case_extension(layer_file_name);
    if (extension == "p7m" || extension == "p7s" || extension == "tsd" || extension == "tsr" || extension == "tst")
        name.full_name.resize(layer_file_name.size() - 4);
    name.inner_envelope = lower_case_extension(name.full_name) == "p7m";
    name.display_name = file_name_part(name.full_name);
    // "X/.p7m" names no document: it still needs a name to be viewed and saved under.
    if (name.display_name.empty())
        name.display_name = Fallback_document_name;
    return name;
}

std::string container_name(const std::string& name, Document_types kind)
{
    const std::string extension = container_extension(kind);
    const std::string has = lower_case_extension(name);
    if (has == extension || (kind == Document_types::Envelope && has == "p7s"))
        return name;
    return (name.empty() ? std::string(Fallback_document_name) : name) + "." + extension;
}

} // namespace velin
