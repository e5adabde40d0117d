// A regular file mapped read-only, so that a signed file of any size is read where it lies
// instead of being copied into memory.
//
// A file that another program truncates while it is mapped would stop the process at the first
// read of a page it no longer has (SIGBUS). Here such a read gives zeros instead, and the mapping
// remembers it; unchanged () then says false, as it does for a file written over in place since
// it was mapped. Whoever reads the bytes asks unchanged () afterwards and trusts them only then.
#pragma once

#include "common/file_io.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <sys/stat.h>

namespace velin {

class Mapped_file {
public:
    // Maps the regular file open on descriptor, whose status was just taken, and keeps the
    // descriptor. Null when it cannot be mapped (an empty file, a special file, no address
    // space): the caller then reads the file instead. The descriptor is left untouched then.
    static std::shared_ptr<const Mapped_file> map(Descriptor_handle& descriptor, const struct stat& status);

    ~Mapped_file();
    Mapped_file(const Mapped_file&) = delete;
    Mapped_file& operator=(const Mapped_file&) = delete;

    std::span<const uint8_t> bytes() const { return {static_cast<const uint8_t*>(_address), _size}; }
    // The file's bytes at offset copied into into through the descriptor, without touching the
    // mapping: for bytes read once, cheaper than faulting their pages in. Requires offset +
    // into.size () <= bytes ().size (). As for the mapping, bytes the file no longer has (or that
    // cannot be read) are zeros, and unchanged () says false from then on.
    void read(size_t offset, std::span<uint8_t> into) const;

    // True while every byte read so far was the file's: no page was lost to a truncation, and the
    // file still has the size, the times and the identity it had when it was mapped.
    bool unchanged() const;

private:
    Mapped_file(Descriptor_handle descriptor, const struct stat& status, void* address, size_t size, int slot);

    Descriptor_handle _descriptor;
    struct stat _status;
    void* _address;
    size_t _size;
    int _slot; // in the table the fault handler reads
};

// For the fault handler: when address lies in a mapped file, everything from its page to the end
// of that mapping is replaced by zeros, the mapping is marked, and true is returned (the faulting
// read can then be repeated). Async-signal-safe.
bool recover_mapped_file_fault(const void* address) noexcept;

} // namespace velin
