#include "envelope/mime_headers.h"

#include "common/trace.h"

#include <stdexcept>
#include <utility>
#include <vector>

#include <boost/regex.hpp>

namespace velin {

namespace {

// One header per line, at most one parameter kept: a repeated group remembers only its last
// repetition.
const boost::regex& header_line_format()
{
    static const boost::regex format("^([^:]+):([^;]+)(?:;([^=]+)=([^;]+))*$");
    return format;
}

// \A and \z anchor at the text's ends; ^ and $ would also match around an embedded form feed.
std::string trimmed(const std::string& text)
{
    static const boost::regex edges("\\A\\s+|\\s+\\z");
    return boost::regex_replace(text, edges, "");
}

[[noreturn]] void format_error(const char* text)
{
    throw std::runtime_error(text);
}

} // namespace

std::string mime_lower_case(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

const std::string& Mime_header::parameter(const std::string& name) const
{
    const std::string* found = find_parameter(name);
    if (!found)
        throw std::runtime_error("Missing '" + name + "' parameter.");
    return *found;
}

const std::string* Mime_header::find_parameter(const std::string& name) const
{
    const auto found = parameters.find(mime_lower_case(name));
    return found == parameters.end() ? nullptr : &found->second;
}

const Mime_header& Mime_headers::header(const std::string& name) const
{
    const Mime_header* found = find(name);
    if (!found)
        throw std::runtime_error("Missing '" + name + "' header.");
    return *found;
}

const Mime_header* Mime_headers::find(const std::string& name) const
{
    const auto found = _headers.find(mime_lower_case(name));
    return found == _headers.end() ? nullptr : &found->second;
}

void Mime_headers::read(Stream<byte>& stream)
{
    clear();
    // The block's lines, a folded header (a line that starts with a blank continues the one
    // before) joined into one.
    struct Logical_line {
        std::string text;
        bool folded = false;
    };
    std::vector<Logical_line> lines;
    for (std::size_t count = 0;; ++count) {
        // Every line costs a trace record; real blocks have a handful of distinct names.
        if (count == Header_line_limit)
            format_error("Too many header lines.");
        const std::optional<std::string> read = read_line(stream);
        if (!read)
            format_error("Line does not match header format");
        const std::string& line = *read;
        Trace(Trace_kind, Level_trace) << "PARSING LINE <" << line << ">";
        if (line.empty()) {
            Trace(Trace_kind, Level_trace) << "End of headers (newline).";
            break;
        }
        if ((line.front() == ' ' || line.front() == '\t') && !lines.empty()) {
            lines.back().text += " " + trimmed(line);
            lines.back().folded = true;
            continue;
        }
        lines.push_back({line, false});
    }

    const boost::regex& format = header_line_format();
    for (const Logical_line& logical : lines) {
        const std::string& line = logical.text;
        boost::smatch match;
        bool matched = false;
        try {
            matched = boost::regex_match(line, match, format);
        } catch (const std::runtime_error&) {
            // The matcher gave up on a pathological line: it is not a header line we accept.
            matched = false;
        }
        if (!matched)
            format_error("Line does not match header format");

        const std::string name = mime_lower_case(trimmed(match[1].str()));
        if (name.empty())
            format_error("No header tag found");
        std::string value = trimmed(match[2].str());
        if (value.empty())
            format_error("No tag value found");
        const auto [added, fresh] = _headers.try_emplace(name);
        if (!fresh)
            format_error("Duplicated header.");
        Mime_header& header = added->second;
        header.value = std::move(value);

        // A line as written keeps its last parameter only; a folded header was written over
        // several lines, one parameter on each, and keeps them all.
        std::vector<std::pair<std::string, std::string>> parameters;
        if (logical.folded) {
            const size_t value_end = line.find(';');
            for (size_t at = value_end; at != std::string::npos && at < line.size();) {
                const size_t next = line.find(';', at + 1);
                const std::string item =
                    line.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1);
                const size_t equals = item.find('=');
                if (equals != std::string::npos)
                    parameters.emplace_back(item.substr(0, equals), item.substr(equals + 1));
                at = next;
            }
        } else if (match[3].matched) {
            parameters.emplace_back(match[3].str(), match[4].str());
        }
        for (const auto& [raw_name, raw_value] : parameters) {
            Trace(Trace_kind, Level_trace) << "Parsing parameter.";
            std::string parameter_name = mime_lower_case(trimmed(raw_name));
            std::string parameter_value = trimmed(raw_value);
            if (!parameter_value.empty() && parameter_value.front() == '"')
                parameter_value.erase(0, 1);
            if (!parameter_value.empty() && parameter_value.back() == '"')
                parameter_value.pop_back();
            if (parameter_value.empty())
                format_error("No parameter value found");
            if (!header.parameters.try_emplace(std::move(parameter_name), std::move(parameter_value)).second)
                format_error("Duplicated parameter.");
        }
    }
}

} // namespace velin
