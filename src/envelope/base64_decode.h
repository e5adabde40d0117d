// Base64 decoding of a MIME part's text. Line ends, spaces and tabs between the characters are
// ignored; any other character outside the alphabet, or padding anywhere but at the end, makes
// the decoding fail: a damaged part is reported, never turned into different bytes.
#pragma once

#include "envelope/stream.h"

#include "common/failure.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace velin {

class Base64_decode : public Boolean_function<std::vector<byte>> {
public:
    enum class Form {
        // Line ends, spaces and tabs anywhere; the last group may go without its padding.
        Lenient,
        // Only the alphabet and line ends (CR, LF), in whole groups of four with the padding they
        // need: text that every base64 reader decodes to the same bytes.
        Plain,
        // As Plain, in lines of 1 to 76 characters each ended by LF or CR LF (the last one may
        // lack it), with nothing but empty lines after the last: the body of a mail message as
        // mail programs write it, which mail readers decode without surprises.
        Mail_lines,
    };

    static constexpr std::size_t Mail_line_limit = 76;

    // Decodes `text`; on failure the value is unavailable and the message says why.
    bool decode(std::string_view text, Form form = Form::Lenient);

    // Decodes `text` a slice at a time: sink gets the decoded bytes in order, in slices of about
    // Slice bytes, and may stop the decoding by returning false. Returns how many bytes were
    // decoded; nothing when the text is not valid (the sink may have had slices by then) or the
    // sink stopped.
    using Sink = std::function<bool(std::span<const byte>)>;
    static constexpr std::size_t Slice = 1024 * 1024;
    static std::optional<std::size_t> decode_slices(std::string_view text, Form form, const Sink& sink);

    // Decodes the text at buffer[text_offset, + text_size) over the buffer itself, writing the
    // bytes from buffer[output_offset] on (at most text_offset): no second buffer for a large
    // part. Returns how many bytes were written, nothing when the text is not valid. Either way the
    // buffer's bytes from output_offset to the end of the text are no longer the text; those
    // around them are untouched.
    static std::optional<std::size_t> decode_in_place(std::span<byte> buffer, std::size_t text_offset,
                                                      std::size_t text_size, Form form = Form::Lenient,
                                                      std::size_t output_offset = 0);

private:
    bool refuse();
};

} // namespace velin
