#include "envelope/stream.h"

#include <algorithm>

namespace velin {

std::optional<std::string> read_line(Stream<byte>& stream, std::size_t limit)
{
    const std::span<const byte> rest = stream.remaining();
    // One byte past the limit is enough to know the line is too long.
    const std::size_t window = limit < rest.size() ? limit + 1 : rest.size();
    const auto begin = rest.begin();
    const auto end =
        std::find_if(begin, begin + static_cast<std::ptrdiff_t>(window), [](byte c) { return c == '\r' || c == '\n'; });
    const auto length = static_cast<std::size_t>(end - begin);
    if (length > limit)
        return std::nullopt;

    std::string line(reinterpret_cast<const char*>(rest.data()), length);
    std::size_t consumed = length;
    if (consumed < rest.size()) {
        // CR LF is one line end; a lone CR or a lone LF is one too, and the byte after it is
        // the first of the next line.
        const bool pair = rest[consumed] == '\r' && consumed + 1 < rest.size() && rest[consumed + 1] == '\n';
        consumed += pair ? 2 : 1;
    }
    stream.skip(consumed);
    return line;
}

} // namespace velin
