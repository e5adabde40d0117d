// The header block of a MIME message or part: "Name: value; parameter=value" lines up to the
// first empty line. Names are kept lower-case; values are trimmed with their case kept; a
// parameter value loses its surrounding double quotes. A folded header (continuation lines starting with a blank) is
// joined and keeps all its parameters.
#pragma once

#include "envelope/stream.h"

#include <map>
#include <string>

namespace velin {

struct Mime_header {
    std::string value;
    std::map<std::string, std::string> parameters; // by lower-case name

    // Throws std::runtime_error("Missing '<name>' parameter.") when absent.
    const std::string& parameter(const std::string& name) const;
    const std::string* find_parameter(const std::string& name) const;
};

// Most lines a header block may have, its empty line included.
constexpr std::size_t Header_line_limit = 1000;

class Mime_headers {
public:
    // Reads the block from the stream's read position through its empty line (or the end of the
    // stream). Format errors throw std::runtime_error with one of the texts "Line does not match
    // header format", "No header tag found", "No tag value found", "Duplicated header.",
    // "No parameter value found", "Duplicated parameter.", "Too many header lines.".
    void read(Stream<byte>& stream);

    void clear() { _headers.clear(); }
    bool empty() const { return _headers.empty(); }
    std::size_t size() const { return _headers.size(); }

    // Throws std::runtime_error("Missing '<name>' header.") when absent.
    const Mime_header& header(const std::string& name) const;
    const Mime_header* find(const std::string& name) const;

private:
    std::map<std::string, Mime_header> _headers; // by lower-case name
};

// ASCII lower case, whatever the process locale.
std::string mime_lower_case(std::string text);

} // namespace velin
