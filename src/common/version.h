// The suite's version, one for every program: the CMake project's version, given to this file's
// source by the build.
#pragma once

namespace velin {

// "3.3.0"
extern const char* const Suite_version;

} // namespace velin
