#include "envelope/document_bytes.h"

#include "common/failure.h"
#include "envelope/der_walk.h"

#include <mutex>
#include <string_view>

namespace velin {

struct Document_bytes::Encoded {
    Document_bytes text;
    Base64_decode::Form form = Base64_decode::Form::Plain;
    bool pieces = false; // text holds OCTET STRING pieces, not base64
    Maker maker; // when set, makes the bytes from text
    // The whole decoded text, made at the first view ().
    std::once_flag decoded_once;
    std::vector<uint8_t> decoded;

    std::string_view text_view() const
    {
        const auto bytes = text.view();
        return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
    }
};

namespace {

constexpr size_t Slice = 16 * 1024 * 1024;
// A mapped range of at least this size is copied through the descriptor, a slice of this size at
// a time (which stays in the processor's cache while the sink reads it).
constexpr size_t Copied_slice = 256 * 1024;

// The bytes encoded, a slice at a time; false when they do not decode or sink stopped.
bool decode_slices(const Document_bytes& text, bool pieces, Base64_decode::Form form,
                   const Document_bytes::Maker& maker, const Document_bytes::Sink& sink)
{
    if (maker)
        return maker(sink);
    if (pieces)
        return read_octet_string_pieces(text.view(), Slice, sink);
    const auto bytes = text.view();
    return Base64_decode::decode_slices(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
                                        form, sink)
        .has_value();
}

} // namespace

Document_bytes::Document_bytes(std::vector<uint8_t> bytes)
{
    if (bytes.empty())
        return;
    auto held = std::make_shared<const std::vector<uint8_t>>(std::move(bytes));
    _view = *held;
    _holder = std::move(held);
}

Document_bytes::Document_bytes(std::shared_ptr<const void> holder, std::span<const uint8_t> bytes)
    : _holder(std::move(holder)), _view(bytes)
{}

Document_bytes::Document_bytes(std::shared_ptr<const Mapped_file> file)
{
    if (!file)
        return;
    _view = file->bytes();
    _holder = file;
    _file = std::move(file);
}

Document_bytes Document_bytes::encoded(Document_bytes text, Base64_decode::Form form, size_t offset, size_t size)
{
    Document_bytes bytes;
    bytes._encoded = std::make_shared<Encoded>();
    bytes._encoded->text = std::move(text);
    bytes._encoded->form = form;
    bytes._offset = offset;
    bytes._size = size;
    return bytes;
}

Document_bytes Document_bytes::in_pieces(Document_bytes pieces, size_t size)
{
    Document_bytes bytes;
    bytes._encoded = std::make_shared<Encoded>();
    bytes._encoded->text = std::move(pieces);
    bytes._encoded->pieces = true;
    bytes._size = size;
    return bytes;
}

Document_bytes Document_bytes::made(Document_bytes source, Maker maker, size_t size)
{
    Document_bytes bytes;
    bytes._encoded = std::make_shared<Encoded>();
    bytes._encoded->text = std::move(source);
    bytes._encoded->maker = std::move(maker);
    bytes._size = size;
    return bytes;
}

size_t Document_bytes::size() const
{
    return _encoded ? _size : _view.size();
}

Document_bytes Document_bytes::range(size_t offset, size_t size) const
{
    assertion(offset <= this->size() && size <= this->size() - offset, "offset + size <= size ()");
    Document_bytes part = *this;
    if (_encoded) {
        part._offset = _offset + offset;
        part._size = size;
    } else {
        part._view = _view.subspan(offset, size);
    }
    return part;
}

bool Document_bytes::read_slices(const Sink& sink) const
{
    if (_file && !_encoded && _view.size() >= Copied_slice) {
        std::vector<uint8_t> slice(Copied_slice);
        for (size_t at = 0; at < _view.size(); at += slice.size()) {
            const auto part = std::span(slice).first(std::min(slice.size(), _view.size() - at));
            if (!copy(at, part) || !sink(part))
                return false;
        }
        return true;
    }
    if (!_encoded) {
        for (size_t at = 0; at < _view.size(); at += Slice)
            if (!sink(_view.subspan(at, std::min(Slice, _view.size() - at))))
                return false;
        return true;
    }
    // Decoded from the start; the bytes before the range are skipped, and the decoding stops
    // once the range is through.
    size_t position = 0;
    const size_t end = _offset + _size;
    bool stopped = false;
    decode_slices(_encoded->text, _encoded->pieces, _encoded->form, _encoded->maker,
                  [&](std::span<const uint8_t> slice) {
                      const size_t from = std::max(position, _offset);
                      const size_t to = std::min(position + slice.size(), end);
                      position += slice.size();
                      if (from < to && !sink(slice.subspan(from - (position - slice.size()), to - from))) {
                          stopped = true;
                          return false;
                      }
                      return position < end;
                  });
    return !stopped && position >= end;
}

bool Document_bytes::copy(size_t offset, std::span<uint8_t> into) const
{
    if (offset > size() || into.size() > size() - offset)
        return false;
    if (_file && !_encoded) {
        _file->read(static_cast<size_t>(_view.data() - _file->bytes().data()) + offset, into);
        return true;
    }
    const auto bytes = view();
    if (bytes.size() != size())
        return false;
    std::copy_n(bytes.begin() + static_cast<ptrdiff_t>(offset), into.size(), into.begin());
    return true;
}

std::vector<uint8_t> Document_bytes::head(size_t count) const
{
    if (!_encoded) {
        const auto first = _view.first(std::min(count, _view.size()));
        return {first.begin(), first.end()};
    }
    std::vector<uint8_t> out;
    out.reserve(std::min(count, size()));
    read_slices([&](std::span<const uint8_t> slice) {
        out.insert(out.end(), slice.begin(),
                   slice.begin() + static_cast<ptrdiff_t>(std::min(slice.size(), count - out.size())));
        return out.size() < count;
    });
    return out;
}

std::span<const uint8_t> Document_bytes::view() const
{
    if (!_encoded)
        return _view;
    Encoded& encoded = *_encoded;
    std::call_once(encoded.decoded_once, [&encoded, this] {
        if (encoded.maker) {
            std::vector<uint8_t> whole;
            whole.reserve(_offset + _size);
            const bool made = encoded.maker([&whole](std::span<const uint8_t> slice) {
                whole.insert(whole.end(), slice.begin(), slice.end());
                return true;
            });
            if (made)
                encoded.decoded = std::move(whole);
            return;
        }
        if (encoded.pieces) {
            std::vector<uint8_t> joined;
            joined.reserve(_offset + _size);
            const bool read =
                read_octet_string_pieces(encoded.text.view(), Slice, [&joined](std::span<const uint8_t> slice) {
                    joined.insert(joined.end(), slice.begin(), slice.end());
                    return true;
                });
            if (read)
                encoded.decoded = std::move(joined);
            return;
        }
        Base64_decode decoder;
        if (decoder.decode(encoded.text_view(), encoded.form))
            encoded.decoded = decoder.take_value();
    });
    if (encoded.decoded.size() < _offset + _size)
        return {};
    return std::span<const uint8_t>(encoded.decoded).subspan(_offset, _size);
}

bool Document_bytes::intact() const
{
    if (_encoded)
        return _encoded->text.intact();
    return !_file || _file->unchanged();
}

} // namespace velin
