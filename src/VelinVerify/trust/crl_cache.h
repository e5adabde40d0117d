// The CRL cache: one file per distribution point URL in the "cache" folder of the common data
// folder, named after the URL so that a list is found again without an index.
#pragma once

#include <string>

namespace velin {

// <data folder>/cache; empty when the data folder cannot be had.
std::string crl_cache_folder();

// The URL as a file name (without the ".crl" that is added): ASCII letters, digits and "." stay;
// every other byte becomes "_" and its value in lower-case hexadecimal, at least two characters
// wide with a blank as filler, the byte read as a signed char (0x0a gives "_ a", 0x3a "_3a",
// 0x80 "_ffffff80"). No "/" survives, so the name never leaves the cache folder.
std::string escape_cache_name(const std::string& url);

} // namespace velin
