// Forward byte streams the multipart reader works on. Besides the one-byte-at-a-time operations,
// every stream hands out the bytes it still holds as one contiguous block (`remaining`) and can
// skip over them (`skip`), so that large parts are scanned with memchr and copied in one go
// instead of crossing a virtual call per byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace velin {

using byte = std::uint8_t;

template <class T>
class Stream {
public:
    virtual ~Stream() = default;

    // Advances by one element; requires exists ().
    virtual void next() = 0;
    // True while there is an element at the read position.
    virtual bool exists() const = 0;
    // The element at the read position; requires exists ().
    virtual T current() const = 0;
    // Remembers the read position; reset () goes back to it.
    virtual void mark() = 0;
    virtual void reset() = 0;
    // The element at the read position as the innermost stream sees it (a view's end is ignored).
    virtual T peek() const = 0;

    // The elements from the read position to the end of this stream, contiguous in memory.
    virtual std::span<const T> remaining() const = 0;
    // Advances by count elements; requires count <= remaining ().size ().
    virtual void skip(std::size_t count) = 0;
};

// Longest line read_line accepts; header lines are far shorter (998 octets by the mail format).
constexpr std::size_t Line_length_limit = 8192;

// Reads one line. A line ends at CR LF, at a lone LF or at a lone CR (the line end is consumed, not
// returned), or at the end of the stream. A line longer than `limit` bytes gives nothing and
// leaves the stream where it was: hostile input cannot make us copy it whole.
std::optional<std::string> read_line(Stream<byte>& stream, std::size_t limit = Line_length_limit);

} // namespace velin
