#include "pccheck/info_plist.h"

namespace velin::pccheck {

namespace {

// Arrays of a driver list every supported device; more than this is not a driver's list.
constexpr size_t Max_values_per_key = 4096;

std::string decode_entities(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '&') {
            out += text[i];
            continue;
        }
        static constexpr std::pair<std::string_view, char> entities[] = {
            {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
        bool known = false;
        for (const auto& [name, value] : entities) {
            if (text.substr(i, name.size()) == name) {
                out += value;
                i += name.size() - 1;
                known = true;
                break;
            }
        }
        if (!known)
            out += '&';
    }
    return out;
}

// A tiny pull reader: tags and the text between them.
class Reader {
public:
    explicit Reader(std::string_view text) : _text(text) {}

    // The next tag's name ("key", "/key", "array", "string/"...); empty at the end.
    // The text before it is left in text().
    std::string next_tag()
    {
        for (;;) {
            const size_t open = _text.find('<', _at);
            if (open == std::string_view::npos) {
                _between = {};
                _at = _text.size();
                return {};
            }
            _between = _text.substr(_at, open - _at);
            if (_text.substr(open, 4) == "<!--") {
                const size_t end = _text.find("-->", open + 4);
                _at = end == std::string_view::npos ? _text.size() : end + 3;
                continue;
            }
            const size_t close = _text.find('>', open + 1);
            if (close == std::string_view::npos) {
                _at = _text.size();
                return {};
            }
            std::string_view tag = _text.substr(open + 1, close - open - 1);
            _at = close + 1;
            if (!tag.empty() && (tag.front() == '?' || tag.front() == '!'))
                continue;
            // The name only: up to a blank; a self-closing tag keeps its "/".
            const bool self_closing = !tag.empty() && tag.back() == '/';
            const size_t blank = tag.find_first_of(" \t\r\n/", tag.front() == '/' ? 1 : 0);
            std::string name(tag.substr(0, blank));
            if (self_closing)
                name += '/';
            return name;
        }
    }

    std::string_view text() const { return _between; }

private:
    std::string_view _text;
    size_t _at = 0;
    std::string_view _between;
};

} // namespace

Property_list parse_info_plist(std::string_view text)
{
    Property_list list;
    Reader reader(text);
    int dict_depth = 0;
    std::string key;
    bool have_key = false;
    bool in_array = false;
    for (std::string tag = reader.next_tag(); !tag.empty(); tag = reader.next_tag()) {
        if (tag == "dict") {
            ++dict_depth;
        } else if (tag == "/dict") {
            --dict_depth;
            have_key = false;
        } else if (dict_depth != 1) {
            continue; // nested dictionaries are not a driver's business
        } else if (tag == "key") {
            const std::string next = reader.next_tag();
            if (next != "/key")
                break;
            key = decode_entities(reader.text());
            have_key = true;
            in_array = false;
        } else if (tag == "array" && have_key) {
            in_array = true;
            list[key];
        } else if (tag == "/array") {
            in_array = false;
            have_key = false;
        } else if (tag == "string" && have_key) {
            const std::string next = reader.next_tag();
            if (next != "/string")
                break;
            std::vector<std::string>& values = list[key];
            if (values.size() < Max_values_per_key)
                values.push_back(decode_entities(reader.text()));
            if (!in_array)
                have_key = false;
        } else if (tag == "string/" && have_key) {
            std::vector<std::string>& values = list[key];
            if (values.size() < Max_values_per_key)
                values.emplace_back();
            if (!in_array)
                have_key = false;
        } else if (!in_array && tag.front() != '/') {
            have_key = false; // a value of another kind: its key is done
        }
    }
    return list;
}

std::string first_value(const Property_list& list, const std::string& key)
{
    const auto found = list.find(key);
    if (found == list.end() || found->second.empty())
        return {};
    return found->second.front();
}

} // namespace velin::pccheck
