// The verifier's one cancel flag for the whole process: set when the user closes a layer while
// its worker is busy, cleared when a layer starts decoding; the pipeline's handlers and the
// download loop look at it. Written by the user-interface thread and read by workers, so atomic.
#pragma once

#include <atomic>

namespace velin {

std::atomic<bool>& cancel_flag();

} // namespace velin
