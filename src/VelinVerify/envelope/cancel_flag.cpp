#include "VelinVerify/envelope/cancel_flag.h"

namespace velin {

std::atomic<bool>& verifier_cancel_flag()
{
    // Atomic: it is written and read by different threads without a lock.
    static std::atomic<bool> flag{false};
    return flag;
}

} // namespace velin
