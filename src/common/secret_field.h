// Fields where a PIN or PUK is typed. QLineEdit::text() shares the field's own buffer, so the
// secret is read from it without a copy of its own and wiped where it lies.
#pragma once

#include "common/pin_text.h"

class QLineEdit;

namespace velin {

// The field's characters. A character outside ASCII, or more than fit, gives a text no check
// accepts (one 'x') rather than a shortened one.
Pin_text field_secret(const QLineEdit& field);

// Overwrites the field's text in its own buffer, then empties the field. Writing through a
// QString (fill(), assignment) would detach a copy and leave the characters where they were.
void wipe_field(QLineEdit& field);

} // namespace velin
