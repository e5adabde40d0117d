#include "VelinVerify/worker/cancel_flag.h"

namespace velin {

std::atomic<bool>& cancel_flag()
{
    static std::atomic<bool> flag{false};
    return flag;
}

} // namespace velin
