#include "common/large_buffer.h"

#include <new>
#include <sys/mman.h>

namespace velin {

namespace {

constexpr std::uintptr_t Huge_page = std::uintptr_t{2} << 20;

} // namespace

void reserve_large_buffer(std::vector<uint8_t>& buffer, std::size_t size)
{
    buffer.reserve(size);
#ifdef MADV_HUGEPAGE
    const std::size_t capacity = buffer.capacity();
    if (capacity < 4 * Huge_page)
        return;
    // Only whole huge pages inside the allocation; the advice never reaches memory outside it.
    const auto start = reinterpret_cast<std::uintptr_t>(buffer.data());
    const std::uintptr_t begin = (start + Huge_page - 1) & ~(Huge_page - 1);
    const std::uintptr_t end = (start + capacity) & ~(Huge_page - 1);
    if (end > begin)
        ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE); // a refusal changes nothing
#endif
}

std::shared_ptr<uint8_t[]> large_room(std::size_t size)
{
    if (size == 0)
        return nullptr;
    // Whole huge pages, at an address of a huge page: a mapping one page larger, trimmed.
    const std::size_t room = (size + Huge_page - 1) & ~(Huge_page - 1);
    if (room < size || room > SIZE_MAX - Huge_page)
        throw std::bad_alloc();
    void* mapped = ::mmap(nullptr, room + Huge_page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED)
        throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(mapped);
    const std::uintptr_t begin = (start + Huge_page - 1) & ~(Huge_page - 1);
    if (begin > start)
        ::munmap(mapped, begin - start);
    if (const std::uintptr_t end = start + room + Huge_page; end > begin + room)
        ::munmap(reinterpret_cast<void*>(begin + room), end - begin - room);
#ifdef MADV_HUGEPAGE
    ::madvise(reinterpret_cast<void*>(begin), room, MADV_HUGEPAGE); // a refusal changes nothing
#endif
    return {reinterpret_cast<uint8_t*>(begin), [room](uint8_t* bytes) { ::munmap(bytes, room); }};
}

} // namespace velin
