#include "common/registry_hive.h"

#include "common/hex.h"

#include <algorithm>
#include <cstdio>
#include <unordered_map>

namespace velin {

namespace {

constexpr std::string_view Hive_header = "Windows Registry Editor Version 5.00";

char ascii_lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equal_ignoring_case(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (ascii_lower(a[i]) != ascii_lower(b[i]))
            return false;
    return true;
}

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view trim_right(std::string_view s)
{
    while (!s.empty() && is_blank(s.back()))
        s.remove_suffix(1);
    return s;
}

std::string_view trim_left(std::string_view s)
{
    while (!s.empty() && is_blank(s.front()))
        s.remove_prefix(1);
    return s;
}

// 1 to 8 hex digits, nothing else.
bool parse_hex_number(std::string_view s, uint32_t& number)
{
    if (s.empty() || s.size() > 8)
        return false;
    number = 0;
    for (char c : s) {
        const int d = hex_digit_value(c);
        if (d < 0)
            return false;
        number = number << 4 | static_cast<uint32_t>(d);
    }
    return true;
}

// A quoted string with the \\ and \" escapes; `s` starts at the opening quote. On success `s` is
// left just after the closing quote.
bool parse_quoted(std::string_view& s, std::string& out)
{
    if (s.empty() || s.front() != '"')
        return false;
    out.clear();
    for (size_t i = 1; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '"') {
            s.remove_prefix(i + 1);
            return true;
        }
        if (c == '\\') {
            if (i + 1 >= s.size() || (s[i + 1] != '\\' && s[i + 1] != '"'))
                return false;
            out += s[++i];
        } else {
            out += c;
        }
    }
    return false;
}

// "aa,bb,cc" (blanks allowed around the bytes); an empty list is no bytes.
bool parse_hex_list(std::string_view s, std::vector<uint8_t>& out)
{
    out.clear();
    s = trim_right(trim_left(s));
    if (s.empty())
        return true;
    while (true) {
        s = trim_left(s);
        if (s.size() < 2)
            return false;
        const int high = hex_digit_value(s[0]);
        const int low = hex_digit_value(s[1]);
        if (high < 0 || low < 0)
            return false;
        out.push_back(static_cast<uint8_t>(high << 4 | low));
        s = trim_left(s.substr(2));
        if (s.empty())
            return true;
        if (s.front() != ',')
            return false;
        s.remove_prefix(1);
    }
}

void append_quoted(std::string& out, std::string_view text)
{
    out += '"';
    for (char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    out += '"';
}

// A REG_SZ gets the readable "text" form only when it reads back byte for byte: one final zero,
// no other zero and no control characters (which would break the line structure).
bool has_text_form(const std::vector<uint8_t>& data)
{
    if (data.empty() || data.back() != 0)
        return false;
    for (size_t i = 0; i + 1 < data.size(); ++i)
        if (data[i] < 0x20 || data[i] == 0x7f)
            return false;
    return true;
}

void append_hex_list(std::string& out, const std::vector<uint8_t>& data)
{
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < data.size(); ++i) {
        if (i > 0) {
            out += ',';
            // Long lists are continued on the next line, as regedit does.
            if (i % 25 == 0)
                out += "\\\n  ";
        }
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
}

std::string lower_copy(std::string_view s)
{
    std::string out(s);
    for (char& c : out)
        c = ascii_lower(c);
    return out;
}

// Lookup tables of a hive under construction: hostile files may hold a great many keys or values,
// and a linear search per line would turn parsing quadratic.
struct Hive_index {
    std::unordered_map<std::string, size_t> keys;
    std::vector<std::unordered_map<std::string, size_t>> values;
};

} // namespace

Registry_hive Registry_hive::parse(std::string_view text, bool complete)
{
    Registry_hive hive;
    Hive_index index;
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    // A cut text ends with a partial line: it is left out and counted as the damage.
    size_t cut_line = 0;
    if (!complete) {
        const size_t last_end = text.rfind('\n');
        text = last_end == std::string_view::npos ? std::string_view() : text.substr(0, last_end + 1);
        cut_line = static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
    }

    auto damage = [&hive](size_t line) {
        hive._intact = false;
        hive._damaged_line = line;
        return hive;
    };
    if (text.empty())
        return cut_line ? damage(cut_line) : hive;

    size_t line_number = 0;
    size_t position = 0;
    // Next line without its end of line; false at the end of the text.
    auto next_line = [&](std::string_view& line) {
        if (position >= text.size())
            return false;
        size_t end = text.find('\n', position);
        if (end == std::string_view::npos)
            end = text.size();
        line = text.substr(position, end - position);
        position = end + 1;
        ++line_number;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        return true;
    };

    std::string_view line;
    next_line(line);
    if (trim_right(line) != Hive_header)
        return damage(1);

    long current = -1;
    std::string name;
    std::string data_text;
    while (next_line(line)) {
        const size_t first_line = line_number;
        // Hand-edited files may indent their lines; regedit reads them all the same.
        const std::string_view trimmed = trim_left(trim_right(line));
        if (trimmed.empty() || trimmed.front() == ';')
            continue;
        if (trimmed.front() == '[') {
            if (trimmed.size() < 3 || trimmed.back() != ']' || trimmed[1] == '-')
                return damage(first_line);
            const std::string_view key_name = trimmed.substr(1, trimmed.size() - 2);
            const std::string lower = lower_copy(key_name);
            auto found = index.keys.find(lower);
            if (found == index.keys.end()) {
                found = index.keys.emplace(lower, hive._keys.size()).first;
                hive._keys.push_back(Key{std::string(key_name), {}});
                index.values.emplace_back();
            }
            current = static_cast<long>(found->second);
            continue;
        }
        if (current < 0 || (trimmed.front() != '"' && trimmed.front() != '@'))
            return damage(first_line);

        std::string_view rest = trimmed;
        if (rest.front() == '@') {
            name.clear();
            rest.remove_prefix(1);
        } else if (!parse_quoted(rest, name)) {
            return damage(first_line);
        }
        if (rest.empty() || rest.front() != '=')
            return damage(first_line);
        rest.remove_prefix(1);

        Value value;
        value.name = name;
        if (!rest.empty() && rest.front() == '"') {
            if (!parse_quoted(rest, data_text) || !trim_left(rest).empty())
                return damage(first_line);
            value.type = REG_SZ;
            value.data.assign(data_text.begin(), data_text.end());
            value.data.push_back(0);
        } else if (rest.substr(0, 6) == "dword:") {
            uint32_t number = 0;
            if (!parse_hex_number(rest.substr(6), number))
                return damage(first_line);
            value.type = REG_DWORD;
            value.data = {static_cast<uint8_t>(number), static_cast<uint8_t>(number >> 8),
                          static_cast<uint8_t>(number >> 16), static_cast<uint8_t>(number >> 24)};
        } else if (rest.substr(0, 3) == "hex") {
            rest.remove_prefix(3);
            value.type = REG_BINARY;
            if (!rest.empty() && rest.front() == '(') {
                const size_t close = rest.find(')');
                if (close == std::string_view::npos || !parse_hex_number(rest.substr(1, close - 1), value.type))
                    return damage(first_line);
                rest.remove_prefix(close + 1);
            }
            if (rest.empty() || rest.front() != ':')
                return damage(first_line);
            rest.remove_prefix(1);
            // A list ending in a backslash goes on over the next line.
            std::string list;
            while (!rest.empty() && rest.back() == '\\') {
                list += rest.substr(0, rest.size() - 1);
                std::string_view more;
                if (!next_line(more))
                    return damage(first_line);
                rest = trim_right(trim_left(more));
            }
            list += rest;
            if (!parse_hex_list(list, value.data))
                return damage(first_line);
        } else {
            return damage(first_line);
        }

        auto& values = index.values[static_cast<size_t>(current)];
        Key& key = hive._keys[static_cast<size_t>(current)];
        const std::string lower = lower_copy(value.name);
        const auto found = values.find(lower);
        if (found == values.end()) {
            values.emplace(lower, key.values.size());
            key.values.push_back(std::move(value));
        } else {
            // A later line for the same value wins, as when regedit imports the file.
            key.values[found->second].type = value.type;
            key.values[found->second].data = std::move(value.data);
        }
    }
    return cut_line ? damage(cut_line) : hive;
}

std::string Registry_hive::serialize() const
{
    std::string out;
    out += Hive_header;
    out += "\n\n";
    for (const Key& key : _keys) {
        out += '[';
        out += key.name;
        out += "]\n";
        for (const Value& value : key.values) {
            if (value.name.empty())
                out += '@';
            else
                append_quoted(out, value.name);
            out += '=';
            if (value.type == REG_SZ && has_text_form(value.data)) {
                append_quoted(
                    out, std::string_view(reinterpret_cast<const char*>(value.data.data()), value.data.size() - 1));
            } else if (value.type == REG_DWORD && value.data.size() == 4) {
                char buffer[16];
                const uint32_t number = uint32_t(value.data[0]) | uint32_t(value.data[1]) << 8 |
                                        uint32_t(value.data[2]) << 16 | uint32_t(value.data[3]) << 24;
                std::snprintf(buffer, sizeof buffer, "dword:%08x", number);
                out += buffer;
            } else {
                char buffer[24];
                if (value.type == REG_BINARY)
                    out += "hex:";
                else {
                    std::snprintf(buffer, sizeof buffer, "hex(%x):", value.type);
                    out += buffer;
                }
                append_hex_list(out, value.data);
            }
            out += '\n';
        }
        out += '\n';
    }
    return out;
}

const Registry_hive::Key* Registry_hive::find_key(std::string_view name) const
{
    for (const Key& key : _keys)
        if (equal_ignoring_case(key.name, name))
            return &key;
    return nullptr;
}

const Registry_hive::Value* Registry_hive::find_value(std::string_view key, std::string_view value) const
{
    const Key* found = find_key(key);
    if (!found)
        return nullptr;
    for (const Value& candidate : found->values)
        if (equal_ignoring_case(candidate.name, value))
            return &candidate;
    return nullptr;
}

Registry_hive::Key& Registry_hive::make_key(std::string_view name)
{
    for (Key& key : _keys)
        if (equal_ignoring_case(key.name, name))
            return key;
    _keys.push_back(Key{std::string(name), {}});
    return _keys.back();
}

void Registry_hive::set_value(std::string_view key, Value value)
{
    // Parents first (below the root), so the file lists the whole path as regedit would.
    const size_t below_root = key.find('\\');
    if (below_root != std::string_view::npos)
        for (size_t separator = key.find('\\', below_root + 1); separator != std::string_view::npos;
             separator = key.find('\\', separator + 1))
            make_key(key.substr(0, separator));
    Key& target = make_key(key);
    for (Value& existing : target.values) {
        if (equal_ignoring_case(existing.name, value.name)) {
            existing.type = value.type;
            existing.data = std::move(value.data);
            return;
        }
    }
    target.values.push_back(std::move(value));
}

} // namespace velin
