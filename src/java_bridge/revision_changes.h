// What changed in a signed PDF after a signature, as the PDF classes find it comparing the
// signed revision with the final file object by object, and how the document's certification
// judges it: the changes a later signer may make are named as a warning, the others as an error
// that leaves the signature vouching for nothing of the document as it is now.
#pragma once

#include "envelope/signed_document_info.h"

#include <string>
#include <vector>

namespace velin {

// The kinds of change, one bit each, as the classes report them.
enum Revision_change : unsigned {
    Change_signatures = 1u << 0,
    Change_timestamps = 1u << 1,
    Change_validation_data = 1u << 2,
    Change_form_filled = 1u << 3,
    Change_annotations = 1u << 4,
    Change_metadata = 1u << 5,
    Change_content = 1u << 6,
    Change_resources = 1u << 7,
    Change_pages = 1u << 8,
    Change_other = 1u << 9,
    Change_unreadable = 1u << 10,
};

// The kinds a document certified at level certification (its DocMDP P; 0 not certified) allows
// after its signatures: validation data and document time stamps always; signatures, filled
// fields and metadata unless P is 1; annotations only without certification or at P = 3.
unsigned allowed_changes(int certification);

// The texts of the changes found (kinds) after one signature of such a document; locked_fields:
// the fields the signature locks that changed after it (names as the document gives them), an
// error naming them.
Later_changes judge_later_changes(unsigned kinds, int certification,
                                  const std::vector<std::string>& locked_fields = {});

} // namespace velin
