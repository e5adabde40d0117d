#include "common/cns_atr.h"

namespace velin {

bool is_cns_atr(std::span<const uint8_t> atr)
{
    const size_t n = atr.size();
    return n >= 16 && atr[n - 7] == 'C' && atr[n - 6] == 'N' && atr[n - 5] == 'S';
}

} // namespace velin
