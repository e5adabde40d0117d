// The verifier's one process-wide cancel flag: set by the user-interface thread when a layer is
// closed while its worker is busy, cleared when a layer starts decoding, read by long steps.
#pragma once

#include <atomic>

namespace velin {

std::atomic<bool>& verifier_cancel_flag();

} // namespace velin
