// A view on another stream that ends at the next MIME boundary line. The delimiter is a line end,
// "--", the boundary and a line end; the end sequence has "--" after the boundary as well. Line
// ends are CR LF, as the MIME format wants, or a lone LF, which files that went through a text
// conversion carry; the end sequence must be followed by its line end.
#pragma once

#include "envelope/stream.h"

#include <cstddef>
#include <string>
#include <vector>

namespace velin {

class Mime_multipart_stream : public Stream<byte> {
public:
    enum Status : int {
        Status_initial = 0,
        Status_content = 1,
        Status_boundary = 2,
        Status_end_sequence = 3,
        Status_end_of_data = 4,
    };

    // The stream must outlive the view. Requires a non-empty boundary.
    Mime_multipart_stream(Stream<byte>& stream, const std::string& boundary);

    void next() override;
    bool exists() const override { return _status == Status_content; }
    byte current() const override;
    void mark() override;
    void reset() override;
    byte peek() const override;
    std::span<const byte> remaining() const override;
    void skip(std::size_t count) override;

    Status status() const { return _status; }
    // Steps over the delimiter or end sequence the underlying stream is at.
    void skip_delimiter();
    // Steps over what is left of the current part.
    void skip_content() { skip(remaining().size()); }

private:
    void update();
    void find_separator(std::span<const byte> rest);

    Stream<byte>& _stream;
    std::vector<byte> _delimiter;
    std::vector<byte> _end_sequence;
    std::vector<byte> _dash_boundary; // "--" boundary
    Status _status = Status_initial;

    // The last search: from where it started, where the part's content ends, and what is there.
    // Positions in between need no new search, so reading a part scans its bytes once.
    bool _searched = false;
    const byte* _searched_from = nullptr;
    const byte* _content_end = nullptr;
    Status _separator = Status_end_of_data;
    std::size_t _separator_length = 0;
};

} // namespace velin
