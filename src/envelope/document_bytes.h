// The bytes the verifier decodes and hands on: held in memory, a range of a mapped file read where
// it lies, or the document inside base64 text or BER pieces of such a range (or inflated from an
// archive), decoded again whenever it is read.
// Copies share what holds the bytes, so a document found inside a mapped envelope stays a range
// of that file for its inner layer, its preview and its saving.
#pragma once

#include "common/mapped_file.h"
#include "envelope/base64_decode.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
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
    // Bytes in memory that holder keeps.
    Document_bytes(std::shared_ptr<const void> holder, std::span<const uint8_t> bytes);
    // The whole of a mapped file.
    explicit Document_bytes(std::shared_ptr<const Mapped_file> file);
    // The decoded bytes [offset, offset + size) of base64 text in the given form. The text is
    // decoded again each time the bytes are read; it must be valid in that form.
    static Document_bytes encoded(Document_bytes text, Base64_decode::Form form, size_t offset, size_t size);
    // The contents of consecutive primitive OCTET STRINGs (headers included), size bytes in all:
    // a document that a BER envelope carries in pieces, joined again each time it is read.
    static Document_bytes in_pieces(Document_bytes pieces, size_t size);

    // Hands the bytes to sink in order, a slice at a time, without holding them whole. False when
    // the sink stopped or the bytes could not be read (encoded text that no longer decodes).
    using Sink = std::function<bool(std::span<const uint8_t>)>;
    // Makes bytes again, a slice at a time, for sink; false when they cannot be made or the sink
    // stopped.
    using Maker = std::function<bool(const Sink&)>;
    // size bytes that maker makes again each time they are read (a file of an archive, inflated):
    // source is what it makes them from, whose changes make them no longer intact.
    static Document_bytes made(Document_bytes source, Maker maker, size_t size);

    // Part of these bytes, sharing what holds them; requires offset + size <= size ().
    Document_bytes range(size_t offset, size_t size) const;

    size_t size() const;
    bool empty() const { return size() == 0; }

    // A large range of a mapped file is copied a slice at a time through the file's descriptor
    // rather than handed out where it is mapped: read once, its pages need not be faulted in.
    bool read_slices(const Sink& sink) const;
    // Bytes [offset, offset + into.size ()) copied into into (through the file's descriptor for a
    // mapped file, as read_slices); false when they cannot be read (encoded bytes that no longer
    // decode, or a range past the end).
    bool copy(size_t offset, std::span<uint8_t> into) const;
    // The first count bytes at most.
    std::vector<uint8_t> head(size_t count) const;

    // The bytes in one piece. Encoded bytes are decoded into memory once, at the first call: for
    // callers that need them whole (a preview, an inner layer); empty when they no longer decode.
    std::span<const uint8_t> view() const;
    operator std::span<const uint8_t>() const { return view(); }
    const uint8_t* data() const { return view().data(); }
    const uint8_t* begin() const { return view().data(); }
    const uint8_t* end() const { return view().data() + view().size(); }
    uint8_t operator[](size_t index) const { return view()[index]; }

    // False when the bytes are a file's and that file changed or shrank since it was mapped: what
    // was read from them may mix old and new bytes and must not be judged.
    bool intact() const;
    // True for a range of a mapped file.
    bool mapped() const { return _file != nullptr; }
    // True for bytes decoded from base64 text, joined from pieces or made again by a maker.
    bool is_encoded() const { return _encoded != nullptr; }

    std::vector<uint8_t> to_vector() const
    {
        const auto bytes = view();
        return {bytes.begin(), bytes.end()};
    }

    bool operator==(std::span<const uint8_t> other) const
    {
        const auto bytes = view();
        return bytes.size() == other.size() && std::equal(bytes.begin(), bytes.end(), other.begin());
    }
    bool operator==(const std::vector<uint8_t>& other) const { return *this == std::span<const uint8_t>(other); }
    bool operator==(const Document_bytes& other) const { return *this == other.view(); }

private:
    struct Encoded;

    std::shared_ptr<const void> _holder;
    std::shared_ptr<const Mapped_file> _file;
    std::span<const uint8_t> _view;
    std::shared_ptr<Encoded> _encoded;
    size_t _offset = 0; // into the decoded bytes, for encoded ones
    size_t _size = 0;
};

} // namespace velin
