#include "envelope/signed_document_info.h"

#include <algorithm>

namespace velin {

bool Envelope_info::all_signatures_match() const
{
    if (!signatures.is_assigned() || signatures.value().empty())
        return false;
    const auto& list = signatures.value();
    return std::all_of(list.begin(), list.end(), [](const Signature_info& s) { return s.signature_matches(); });
}

std::vector<std::string> Envelope_info::uncovered() const
{
    std::vector<std::string> names;
    for (const Container_file& file : container_files) {
        const bool covered =
            file.timestamped || (signatures.is_assigned() &&
                                 std::any_of(signatures.value().begin(), signatures.value().end(),
                                             [&file](const Signature_info& signature) {
                                                 return std::find(signature.covers.begin(), signature.covers.end(),
                                                                  file.name) != signature.covers.end();
                                             }));
        if (!covered)
            names.push_back(file.name);
    }
    return names;
}

} // namespace velin
