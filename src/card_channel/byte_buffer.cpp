#include "card_channel/byte_buffer.h"

#include "common/failure.h"

#include <algorithm>
#include <cstring>

namespace velin {

IByteBuffer::IByteBuffer(const uint8_t* first, const uint8_t* last)
{
    assertion(first != nullptr, "first ne NULL");
    assertion(last != nullptr, "last ne NULL");
    assertion(first <= last, "first <=last");
    _bytes.assign(first, last);
}

void IByteBuffer::Initialize(uint32_t length, const uint8_t* source)
{
    if (source)
        _bytes.assign(source, source + length);
    else
        _bytes.assign(length, 0);
    _position = 0;
}

void IByteBuffer::Read(uint8_t* pByte, uint32_t count, uint32_t* read)
{
    assertion(pByte != nullptr, "pByte ne NULL");
    const uint32_t available = _position < size() ? size() - _position : 0;
    const uint32_t copied = std::min(count, available);
    if (copied)
        std::memcpy(pByte, _bytes.data() + _position, copied);
    _position += copied;
    if (read)
        *read = copied;
}

} // namespace velin
