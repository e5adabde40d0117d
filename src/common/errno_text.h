// The Italian text of a system error (an errno value), for messages and trace records: the C
// library's texts are English unless its Italian messages are installed, and an English phrase
// inside an Italian message reads as a fault of its own.
#pragma once

#include <string>
#include <system_error>

namespace velin {

// The C library's own Italian message when its Italian locale and messages are installed,
// otherwise ours (errno_table_text). Never the English text.
std::string errno_text(int error);
// The same for an error code: the errno text for the system's own categories (the file system's
// errors among them), the category's message for any other.
std::string errno_text(const std::error_code& code);
// Our own Italian text of an errno value, without final full stop as the C library writes them; an
// unknown value gets a generic text with its number.
std::string errno_table_text(int error);

} // namespace velin
