// The suite's common data folder: the trusted lists under "data", the CRL cache under "cache".
// VELIN_DATA_DIR when it is set, else /var/lib/velin-manager.
#pragma once

#include <string>

namespace velin {

// Computed on the first call and kept for the process; empty when it cannot be had (then the next
// call tries again). A failure writes the ERROR record
// "La rilevazione della cartella comune delle applicazioni è falita.".
std::string common_data_folder();

// The same lookup, not kept: for code and tests that must see the environment as it is now.
std::string lookup_common_data_folder();

} // namespace velin
