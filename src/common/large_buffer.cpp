#include "common/large_buffer.h"

#include <new>
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

std::shared_ptr<uint8_t[]> large_room(std::size_t size)
{
    if (size == 0)
        return nullptr;
    constexpr std::size_t huge_page = std::size_t{2} << 20;
    // Whole huge pages, at an address of a huge page: a mapping one page larger, trimmed.
    const std::size_t room = (size + huge_page - 1) & ~(huge_page - 1);
    if (room < size || room > SIZE_MAX - huge_page)
        throw std::bad_alloc();
    void* mapped = ::mmap(nullptr, room + huge_page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED)
        throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(mapped);
    const std::uintptr_t begin = (start + huge_page - 1) & ~(huge_page - 1);
    if (begin > start)
        ::munmap(mapped, begin - start);
    if (const std::uintptr_t end = start + room + huge_page; end > begin + room)
        ::munmap(reinterpret_cast<void*>(begin + room), end - begin - room);
#ifdef MADV_HUGEPAGE
    ::madvise(reinterpret_cast<void*>(begin), room, MADV_HUGEPAGE); // a refusal changes nothing
#endif
    return {reinterpret_cast<uint8_t*>(begin), [room](uint8_t* bytes) { ::munmap(bytes, room); }};
}

} // namespace velin
