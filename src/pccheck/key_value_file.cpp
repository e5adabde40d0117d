#include "pccheck/key_value_file.h"

#include "common/file_io.h"

#include <fcntl.h>

#include <vector>

namespace velin::pccheck {

namespace {

std::string_view trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t' || text.front() == '\r'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

std::string unquote(std::string_view value)
{
    if (value.size() >= 1 && (value.front() == '"' || value.front() == '\'')) {
        const char quote = value.front();
        std::string out;
        for (size_t i = 1; i < value.size(); ++i) {
            const char c = value[i];
            if (c == quote)
                return out; // anything after the closing quote is not part of the value
            if (quote == '"' && c == '\\' && i + 1 < value.size()) {
                const char next = value[i + 1];
                if (next == '"' || next == '\\' || next == '$' || next == '`') {
                    out += next;
                    ++i;
                    continue;
                }
            }
            out += c;
        }
        return out; // an unterminated quote keeps what it holds
    }
    return std::string(value);
}

} // namespace

Key_values parse_key_values(std::string_view text)
{
    Key_values values;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = trim(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty() || line.front() == '#' || line.front() == ';' || line.front() == '[')
            continue;
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos || equals == 0)
            continue;
        const std::string_view name = trim(line.substr(0, equals));
        if (name.empty())
            continue;
        values[std::string(name)] = unquote(trim(line.substr(equals + 1)));
    }
    return values;
}

Key_values parse_reader_conf(std::string_view text)
{
    Key_values values;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = trim(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty() || line.front() == '#')
            continue;
        const size_t blank = line.find_first_of(" \t");
        if (blank == std::string_view::npos)
            continue;
        values[std::string(line.substr(0, blank))] = unquote(trim(line.substr(blank + 1)));
    }
    return values;
}

std::optional<std::string> read_small_file(const std::string& path, std::size_t limit)
{
    Opened_file file = open_for_reading(path);
    if (!file.descriptor || file.error != 0 || !S_ISREG(file.status.st_mode))
        return std::nullopt;
    std::vector<uint8_t> bytes;
    if (read_to_end(file.descriptor.get(), limit, bytes) != Read_end::Complete)
        return std::nullopt;
    return std::string(bytes.begin(), bytes.end());
}

std::optional<Key_values> read_key_values(const std::string& path)
{
    const std::optional<std::string> text = read_small_file(path);
    if (!text)
        return std::nullopt;
    return parse_key_values(*text);
}

} // namespace velin::pccheck
