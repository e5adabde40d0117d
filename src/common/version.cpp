#include "common/version.h"

namespace velin {

const char* const Suite_version = VELIN_SUITE_VERSION;

} // namespace velin
