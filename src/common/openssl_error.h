// The text of this thread's OpenSSL error queue, as the programs write it into their traces.
#pragma once

#include <string>

namespace velin {

// For each queued error, oldest first: "Libreria: " lib ";" "Funzione: " function ";" "Causa: "
// reason "." (each piece only when OpenSSL has a string for it), then a line feed. Empties the
// queue.
std::string openssl_error_text();

} // namespace velin
