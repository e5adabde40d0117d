// A stream over bytes held elsewhere (the file read into memory): the data is not copied, so the
// owner must outlive the stream.
#pragma once

#include "envelope/stream.h"

#include "common/failure.h"

#include <span>

namespace velin {

template <class T>
class Vector_stream : public Stream<T> {
public:
    explicit Vector_stream(std::span<const T> data) : _data(data.data()), _size(data.size()) {}

    void next() override
    {
        assertion(exists(), "exists ()");
        ++_position;
    }
    bool exists() const override { return _position < _size; }
    T current() const override
    {
        assertion(exists(), "exists ()");
        return _data[_position];
    }
    void mark() override { _marked = _position; }
    void reset() override { _position = _marked; }
    // Nothing lies under a vector: peeking is reading, with the same bounds check.
    T peek() const override { return current(); }

    std::span<const T> remaining() const override { return {_data + _position, _size - _position}; }
    void skip(std::size_t count) override
    {
        assertion(count <= _size - _position, "count <= remaining ().size ()");
        _position += count;
    }

    std::size_t position() const { return _position; }
    std::size_t size() const { return _size; }

private:
    const T* _data;
    std::size_t _size;
    std::size_t _position = 0;
    std::size_t _marked = 0;
};

} // namespace velin
