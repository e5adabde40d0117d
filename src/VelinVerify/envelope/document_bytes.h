// The bytes the verifier decodes and hands on: held in memory, or a range of a mapped file, read
// where they lie. Copies share what holds the bytes, so a document found inside a mapped envelope
// stays a range of that file for its inner layer, its preview and its saving.
#pragma once

#include "common/mapped_file.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace velin {

class Document_bytes {
public:
    Document_bytes() = default;
    // Bytes held in memory.
    Document_bytes(std::vector<uint8_t> bytes);
    // The whole of a mapped file.
    explicit Document_bytes(std::shared_ptr<const Mapped_file> file);

    // Part of these bytes, sharing what holds them; requires offset + size <= size ().
    Document_bytes range(size_t offset, size_t size) const;

    std::span<const uint8_t> view() const { return _view; }
    operator std::span<const uint8_t>() const { return _view; }
    const uint8_t* data() const { return _view.data(); }
    size_t size() const { return _view.size(); }
    bool empty() const { return _view.empty(); }
    const uint8_t* begin() const { return _view.data(); }
    const uint8_t* end() const { return _view.data() + _view.size(); }
    uint8_t operator[](size_t index) const { return _view[index]; }

    // False when the bytes are a file's and that file changed or shrank since it was mapped: what
    // was read from them may mix old and new bytes and must not be judged.
    bool intact() const { return !_file || _file->unchanged(); }
    // True for a range of a mapped file.
    bool mapped() const { return _file != nullptr; }

    std::vector<uint8_t> to_vector() const { return {_view.begin(), _view.end()}; }

    bool operator==(std::span<const uint8_t> other) const
    {
        return _view.size() == other.size() && std::equal(_view.begin(), _view.end(), other.begin());
    }
    bool operator==(const std::vector<uint8_t>& other) const { return *this == std::span<const uint8_t>(other); }
    bool operator==(const Document_bytes& other) const { return *this == other.view(); }

private:
    std::shared_ptr<const void> _holder;
    std::shared_ptr<const Mapped_file> _file;
    std::span<const uint8_t> _view;
};

} // namespace velin
