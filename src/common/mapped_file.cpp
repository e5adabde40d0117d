#include "common/mapped_file.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <sys/mman.h>
#include <unistd.h>

namespace velin {

namespace {

// The mappings the fault handler knows, in a fixed table it can read without locks. A slot is
// taken by setting its start; the end is set before the mapping is handed out, and cleared
// before the mapping goes away.
struct Mapping_slot {
    std::atomic<uintptr_t> start{0};
    std::atomic<uintptr_t> end{0};
    std::atomic<bool> lost{false};
};

constexpr size_t Slot_count = 256;
std::array<Mapping_slot, Slot_count> slots;

uintptr_t page_size()
{
    static const uintptr_t size = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    return size;
}

int take_slot(uintptr_t start, uintptr_t end)
{
    for (size_t i = 0; i < Slot_count; ++i) {
        uintptr_t free = 0;
        if (slots[i].start.compare_exchange_strong(free, start)) {
            slots[i].lost = false;
            slots[i].end = end;
            return static_cast<int>(i);
        }
    }
    return -1;
}

bool same_time(const struct timespec& a, const struct timespec& b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

} // namespace

bool recover_mapped_file_fault(const void* address) noexcept
{
    const auto at = reinterpret_cast<uintptr_t>(address);
    for (Mapping_slot& slot : slots) {
        const uintptr_t start = slot.start.load();
        const uintptr_t end = slot.end.load();
        if (start == 0 || end == 0 || at < start || at >= end)
            continue;
        const uintptr_t page = at & ~(page_size() - 1);
        void* zeros = ::mmap(reinterpret_cast<void*>(page), end - page, PROT_READ,
                             MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        if (zeros == MAP_FAILED)
            return false;
        slot.lost = true;
        return true;
    }
    return false;
}

std::shared_ptr<const Mapped_file> Mapped_file::map(Descriptor_handle& descriptor, const struct stat& status)
{
    if (!S_ISREG(status.st_mode) || status.st_size <= 0 ||
        static_cast<uint64_t>(status.st_size) > static_cast<uint64_t>(SIZE_MAX / 2))
        return nullptr;
    // The handler that turns a lost page into zeros.
    install_fault_handlers();
    const auto size = static_cast<size_t>(status.st_size);
    void* address = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, descriptor.get(), 0);
    if (address == MAP_FAILED)
        return nullptr;
    const uintptr_t start = reinterpret_cast<uintptr_t>(address);
    const uintptr_t end = (start + size + page_size() - 1) & ~(page_size() - 1);
    const int slot = take_slot(start, end);
    if (slot < 0) {
        ::munmap(address, size);
        return nullptr;
    }
    // Read once from start to end, mostly: the kernel reads ahead further and drops pages behind.
    ::madvise(address, size, MADV_SEQUENTIAL);
    return std::shared_ptr<const Mapped_file>(new Mapped_file(std::move(descriptor), status, address, size, slot));
}

Mapped_file::Mapped_file(Descriptor_handle descriptor, const struct stat& status, void* address, size_t size, int slot)
    : _descriptor(std::move(descriptor)), _status(status), _address(address), _size(size), _slot(slot)
{}

Mapped_file::~Mapped_file()
{
    Mapping_slot& slot = slots[static_cast<size_t>(_slot)];
    slot.end = 0;
    ::munmap(_address, _size);
    slot.start = 0;
}

void Mapped_file::read(size_t offset, std::span<uint8_t> into) const
{
    size_t filled = 0;
    while (filled < into.size()) {
        const ssize_t count =
            ::pread(_descriptor.get(), into.data() + filled, into.size() - filled, static_cast<off_t>(offset + filled));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0) {
            std::fill(into.begin() + static_cast<ptrdiff_t>(filled), into.end(), 0);
            slots[static_cast<size_t>(_slot)].lost = true;
            return;
        }
        filled += static_cast<size_t>(count);
    }
}

bool Mapped_file::unchanged() const
{
    if (slots[static_cast<size_t>(_slot)].lost)
        return false;
    struct stat now {};
    if (::fstat(_descriptor.get(), &now) != 0)
        return false;
    return now.st_size == _status.st_size && now.st_ino == _status.st_ino && now.st_dev == _status.st_dev &&
           same_time(now.st_mtim, _status.st_mtim) && same_time(now.st_ctim, _status.st_ctim);
}

} // namespace velin
