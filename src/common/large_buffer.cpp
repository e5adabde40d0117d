#include "common/large_buffer.h"

#include <sys/mman.h>

namespace velin {

void reserve_large_buffer(std::vector<uint8_t>& buffer, std::size_t size)
{
    buffer.reserve(size);
#ifdef MADV_HUGEPAGE
    constexpr std::uintptr_t huge_page = std::uintptr_t{2} << 20;
    const std::size_t capacity = buffer.capacity();
    if (capacity < 4 * huge_page)
        return;
    // Only whole huge pages inside the allocation; the advice never reaches memory outside it.
    const auto start = reinterpret_cast<std::uintptr_t>(buffer.data());
    const std::uintptr_t begin = (start + huge_page - 1) & ~(huge_page - 1);
    const std::uintptr_t end = (start + capacity) & ~(huge_page - 1);
    if (end > begin)
        ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE); // a refusal changes nothing
#endif
}

} // namespace velin
