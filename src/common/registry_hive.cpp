#include "common/registry_hive.h"

#include "common/hex.h"

#include <algorithm>
#include <cstdio>
#include <optional>
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

// The text one line at a time, counted so that a damaged line can be named.
class Line_reader {
public:
    explicit Line_reader(std::string_view text) : _text(text) {}

    // Next line without its end of line; false at the end of the text.
    bool next(std::string_view& line)
    {
        if (_position >= _text.size())
            return false;
        size_t end = _text.find('\n', _position);
        if (end == std::string_view::npos)
            end = _text.size();
        line = _text.substr(_position, end - _position);
        _position = end + 1;
        ++_number;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        return true;
    }
    // 1-based number of the line next() gave last.
    size_t number() const { return _number; }

private:
    std::string_view _text;
    size_t _position = 0;
    size_t _number = 0;
};

// Lookup tables of a hive under construction: hostile files may hold a great many keys or values,
// and a linear search per line would turn parsing quadratic.
class Hive_index {
public:
    // Position of the key in `keys`, where it is added the first time it is named.
    size_t open_key(std::vector<Registry_hive::Key>& keys, std::string_view name)
    {
        const std::string lower = lower_copy(name);
        auto found = _keys.find(lower);
        if (found == _keys.end()) {
            found = _keys.emplace(lower, keys.size()).first;
            keys.push_back(Registry_hive::Key{std::string(name), {}});
            _values.emplace_back();
        }
        return found->second;
    }

    // Adds the value to the key at `position`; a later line for the same value wins, as when
    // regedit imports the file.
    void put_value(std::vector<Registry_hive::Key>& keys, size_t position, Registry_hive::Value value)
    {
        auto& values = _values[position];
        Registry_hive::Key& key = keys[position];
        const std::string lower = lower_copy(value.name);
        const auto found = values.find(lower);
        if (found == values.end()) {
            values.emplace(lower, key.values.size());
            key.values.push_back(std::move(value));
        } else {
            key.values[found->second].type = value.type;
            key.values[found->second].data = std::move(value.data);
        }
    }

private:
    std::unordered_map<std::string, size_t> _keys;
    std::vector<std::unordered_map<std::string, size_t>> _values;
};

// [HKEY_…\…]; a line deleting a key ([-…]) is not something a settings hive holds.
bool is_key_line(std::string_view line)
{
    return line.size() >= 3 && line.front() == '[' && line.back() == ']' && line[1] != '-';
}

// "text" (stored with its final zero), nothing after it.
bool parse_text_data(std::string_view rest, Registry_hive::Value& value)
{
    std::string text;
    if (!parse_quoted(rest, text) || !trim_left(rest).empty())
        return false;
    value.type = REG_SZ;
    value.data.assign(text.begin(), text.end());
    value.data.push_back(0);
    return true;
}

// The digits after "dword:", stored little-endian.
bool parse_dword_data(std::string_view digits, Registry_hive::Value& value)
{
    uint32_t number = 0;
    if (!parse_hex_number(digits, number))
        return false;
    value.type = REG_DWORD;
    value.data = {static_cast<uint8_t>(number), static_cast<uint8_t>(number >> 8), static_cast<uint8_t>(number >> 16),
                  static_cast<uint8_t>(number >> 24)};
    return true;
}

// What follows "hex": ":aa,bb" (binary) or "(N):aa,bb" (type N). A list ending in a backslash goes
// on over the next line, taken from `lines`.
bool parse_hex_data(std::string_view rest, Line_reader& lines, Registry_hive::Value& value)
{
    value.type = REG_BINARY;
    if (!rest.empty() && rest.front() == '(') {
        const size_t close = rest.find(')');
        if (close == std::string_view::npos || !parse_hex_number(rest.substr(1, close - 1), value.type))
            return false;
        rest.remove_prefix(close + 1);
    }
    if (rest.empty() || rest.front() != ':')
        return false;
    rest.remove_prefix(1);
    std::string list;
    while (!rest.empty() && rest.back() == '\\') {
        list += rest.substr(0, rest.size() - 1);
        std::string_view more;
        if (!lines.next(more))
            return false;
        rest = trim_right(trim_left(more));
    }
    list += rest;
    return parse_hex_list(list, value.data);
}

// A value line, "name"=data or @=data (the key's default value).
bool parse_value_line(std::string_view line, Line_reader& lines, Registry_hive::Value& value)
{
    std::string_view rest = line;
    if (!rest.empty() && rest.front() == '@') {
        value.name.clear();
        rest.remove_prefix(1);
    } else if (!parse_quoted(rest, value.name)) {
        return false;
    }
    if (rest.empty() || rest.front() != '=')
        return false;
    rest.remove_prefix(1);
    if (!rest.empty() && rest.front() == '"')
        return parse_text_data(rest, value);
    if (rest.substr(0, 6) == "dword:")
        return parse_dword_data(rest.substr(6), value);
    if (rest.substr(0, 3) == "hex")
        return parse_hex_data(rest.substr(3), lines, value);
    return false;
}

// The key and value lines after the header, into `keys`. Returns the number of the first line
// that is not valid (where reading stopped), 0 when all are.
size_t read_keys(Line_reader& lines, std::vector<Registry_hive::Key>& keys)
{
    Hive_index index;
    std::optional<size_t> current;
    std::string_view line;
    while (lines.next(line)) {
        const size_t first_line = lines.number();
        // Hand-edited files may indent their lines; regedit reads them all the same.
        const std::string_view trimmed = trim_left(trim_right(line));
        if (trimmed.empty() || trimmed.front() == ';')
            continue;
        if (trimmed.front() == '[') {
            if (!is_key_line(trimmed))
                return first_line;
            current = index.open_key(keys, trimmed.substr(1, trimmed.size() - 2));
            continue;
        }
        Registry_hive::Value value;
        if (!current || !parse_value_line(trimmed, lines, value))
            return first_line;
        index.put_value(keys, *current, std::move(value));
    }
    return 0;
}

} // namespace

Registry_hive Registry_hive::parse(std::string_view text, bool complete)
{
    Registry_hive hive;
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

    Line_reader lines(text);
    std::string_view header;
    lines.next(header);
    if (trim_right(header) != Hive_header)
        return damage(1);
    if (const size_t damaged_line = read_keys(lines, hive._keys))
        return damage(damaged_line);
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
