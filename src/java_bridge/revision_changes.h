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
    // A signature's or document time stamp's widget that draws on a page, added or redrawn.
    Change_visible_appearance = 1u << 11,
    // A signature field that was there empty, and still is, drawn otherwise: no signature added.
    Change_empty_signature_field = 1u << 12,
    // A text field drawn otherwise while its value stayed: what the reader sees replaced.
    Change_appearance_replaced = 1u << 13,
};

// The kinds a document certified at level certification (its DocMDP P; 0 not certified) allows
// after its signatures: validation data and document time stamps always; signatures, filled
// fields, metadata and visible appearances of signatures and time stamps unless P is 1;
// annotations and the appearance of an empty signature field only without certification or at
// P = 3; a text field's appearance replaced never.
unsigned allowed_changes(int certification);

// The texts of the changes found (kinds) after one signature of such a document; locked_fields:
// the fields the signature locks that changed after it (names as the document gives them), an
// error naming them; appearance_pages: the pages of Change_visible_appearance. Document time
// stamps and validation data alone, nothing drawn, are long_term_only.
Later_changes judge_later_changes(unsigned kinds, int certification, const std::vector<std::string>& locked_fields = {},
                                  const std::vector<int>& appearance_pages = {});

} // namespace velin
