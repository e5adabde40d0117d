// The box shown when no Java runtime can be found: the text, "Scarica e installa Java" (opens
// the public download page) and "OK".
#pragma once

namespace velin {

extern const char* const Java_download_address;

void show_java_message();

} // namespace velin
