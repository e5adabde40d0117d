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

} // namespace velin
