// A byte vector with a read position: the command and reply buffers of the card channel.
#pragma once

#include <cstdint>
#include <vector>

namespace velin {

class IByteBuffer {
public:
    IByteBuffer() = default;
    // The bytes [first, last); both must be given and first must not come after last.
    IByteBuffer(const uint8_t* first, const uint8_t* last);

    // Replaces the content by `length` bytes from `source`, or by zeros when source is null.
    void Initialize(uint32_t length, const uint8_t* source);

    // Copies up to `count` bytes from the read position and advances it; `read` (optional)
    // receives the number copied, 0 at the end.
    void Read(uint8_t* pByte, uint32_t count, uint32_t* read);

    // A copy of all the bytes, whatever the read position: the memory stream of the card
    // interface this mirrors, positioned at its start.
    std::vector<uint8_t> get_Stream() const { return _bytes; }

    const std::vector<uint8_t>& bytes() const { return _bytes; }
    uint32_t size() const { return static_cast<uint32_t>(_bytes.size()); }

private:
    std::vector<uint8_t> _bytes;
    uint32_t _position = 0;
};

} // namespace velin
