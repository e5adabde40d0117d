// Byte buffers of the size of a whole signed file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace velin {

// Makes room for `size` bytes in an empty buffer, in huge pages where the system grants them on
// request: the first touch of a 200 MB buffer otherwise costs fifty thousand page faults. Only a
// hint about the memory; the buffer's contents and size are not changed. Throws std::bad_alloc.
void reserve_large_buffer(std::vector<uint8_t>& buffer, std::size_t size);

// Room for size bytes (zeros) of its own, in huge pages where the system grants them on request,
// even when it is smaller than a few of them: for memory written at once, where a page fault
// every 4 KiB would cost more than the writing. Null for 0 bytes. Throws std::bad_alloc.
std::shared_ptr<uint8_t[]> large_room(std::size_t size);

} // namespace velin
