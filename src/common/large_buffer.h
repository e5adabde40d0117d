// Byte buffers of the size of a whole signed file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velin {

// Makes room for `size` bytes in an empty buffer, in huge pages where the system grants them on
// request: the first touch of a 200 MB buffer otherwise costs fifty thousand page faults. Only a
// hint about the memory; the buffer's contents and size are not changed. Throws std::bad_alloc.
void reserve_large_buffer(std::vector<uint8_t>& buffer, std::size_t size);

} // namespace velin
