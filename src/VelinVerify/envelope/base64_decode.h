// Base64 decoding of a MIME part's text. Line ends, spaces and tabs between the characters are
// ignored; any other character outside the alphabet, or padding anywhere but at the end, makes
// the decoding fail: a damaged part is reported, never turned into different bytes.
#pragma once

#include "VelinVerify/envelope/stream.h"

#include "common/failure.h"

#include <string_view>
#include <vector>

namespace velin {

class Base64_decode : public Boolean_function<std::vector<byte>> {
public:
    // Decodes `text`; on failure the value is unavailable and the message says why.
    bool decode(std::string_view text);

private:
    bool refuse();
};

} // namespace velin
