#include "envelope/xml_tree.h"

#include "envelope/base64_decode.h"
#include "envelope/xml_date_time.h"
#include "envelope/xml_signature_core.h"

#include <libxml/parser.h>

#include <cctype>
#include <climits>
#include <cstring>
#include <set>
#include <string_view>

namespace velin {

namespace {

bool digits(const std::string& text, size_t at, size_t count, int& value)
{
    if (at + count > text.size())
        return false;
    value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i])))
            return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

// libxml2 builds a node of about 140 bytes for each element, and checks each attribute of an
// element against the earlier ones and each namespace prefix against every declaration in scope,
// one by one: a 2 MB file of 200,000 attributes on one element takes minutes, and a few million
// empty elements take gigabytes. The markup is counted before the parser sees it, in one pass
// that needs no memory, so that a file the parser could only read at such a cost is refused at
// once. The counts are upper bounds: whatever this scan misreads, the parser refuses anyway.
// An element, with the text after it, counts two; an attribute, with its value, two more.
constexpr size_t Max_nodes = 8'000'000;
constexpr size_t Max_attributes_per_element = 256;
constexpr size_t Max_namespaces_in_scope = 128;
constexpr size_t Max_open_elements = 256; // the parser's own depth limit without XML_PARSE_HUGE

enum class Markup_scan { Within_limits, Too_complex, Dtd };

bool is_space(uint8_t c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

class Markup_scanner {
public:
    explicit Markup_scanner(std::span<const uint8_t> bytes) : _bytes(bytes) {}

    Markup_scan scan()
    {
        while (_at < _bytes.size()) {
            const auto* open = static_cast<const uint8_t*>(std::memchr(_bytes.data() + _at, '<', _bytes.size() - _at));
            if (!open)
                break;
            _at = static_cast<size_t>(open - _bytes.data()) + 1;
            Markup_scan step = Markup_scan::Within_limits;
            if (starts_with("!--"))
                step = skip_past("-->");
            else if (starts_with("![CDATA["))
                step = skip_past("]]>");
            else if (starts_with("?"))
                step = skip_past("?>");
            else if (starts_with("!"))
                return Markup_scan::Dtd;
            else if (starts_with("/"))
                step = end_tag();
            else
                step = start_tag();
            if (step != Markup_scan::Within_limits)
                return step;
        }
        return Markup_scan::Within_limits;
    }

private:
    bool starts_with(const char* text) const
    {
        const size_t length = std::strlen(text);
        return _bytes.size() - _at >= length && std::memcmp(_bytes.data() + _at, text, length) == 0;
    }

    // A node and the text that may follow it.
    Markup_scan count(size_t nodes)
    {
        _nodes += nodes;
        return _nodes > Max_nodes ? Markup_scan::Too_complex : Markup_scan::Within_limits;
    }

    Markup_scan skip_past(std::string_view end)
    {
        const std::string_view rest(reinterpret_cast<const char*>(_bytes.data() + _at), _bytes.size() - _at);
        const size_t found = rest.find(end);
        _at = found == std::string_view::npos ? _bytes.size() : _at + found + end.size();
        return count(2);
    }

    Markup_scan end_tag()
    {
        const auto* close = static_cast<const uint8_t*>(std::memchr(_bytes.data() + _at, '>', _bytes.size() - _at));
        _at = close ? static_cast<size_t>(close - _bytes.data()) + 1 : _bytes.size();
        if (!_open.empty()) {
            _in_scope -= _open.back();
            _open.pop_back();
        }
        return Markup_scan::Within_limits;
    }

    // Attributes are counted by their '=' outside quoted values; a name starting with "xmlns" is a
    // namespace declaration, in scope until the element ends.
    Markup_scan start_tag()
    {
        size_t attributes = 0, namespaces = 0;
        bool after_space = false;
        char quote = 0;
        size_t name_start = _at;
        for (; _at < _bytes.size(); ++_at) {
            const uint8_t c = _bytes[_at];
            if (quote) {
                if (c == quote) {
                    quote = 0;
                    name_start = _at + 1;
                }
                continue;
            }
            if (c == '"' || c == '\'') {
                quote = static_cast<char>(c);
            } else if (c == '=') {
                ++attributes;
                const std::string_view name(reinterpret_cast<const char*>(_bytes.data() + name_start),
                                            _at - name_start);
                if (trimmed(std::string(name.substr(0, 16))).rfind("xmlns", 0) == 0)
                    ++namespaces;
            } else if (is_space(c)) {
                after_space = true;
            } else if (c == '>') {
                break;
            } else if (after_space) {
                after_space = false;
                name_start = _at;
            }
        }
        const bool empty_element = _at > 0 && _at < _bytes.size() && _bytes[_at - 1] == '/';
        ++_at;
        if (attributes > Max_attributes_per_element)
            return Markup_scan::Too_complex;
        if (!empty_element) {
            if (_open.size() >= Max_open_elements)
                return Markup_scan::Too_complex;
            _open.push_back(namespaces);
            _in_scope += namespaces;
        } else if (_in_scope + namespaces > Max_namespaces_in_scope) {
            return Markup_scan::Too_complex;
        }
        if (_in_scope > Max_namespaces_in_scope)
            return Markup_scan::Too_complex;
        return count(2 + 2 * attributes);
    }

    std::span<const uint8_t> _bytes;
    size_t _at = 0;
    size_t _nodes = 0;
    std::vector<size_t> _open; // namespaces declared by each open element
    size_t _in_scope = 0;
};

} // namespace

Xml_document parse_plain_xml(std::span<const uint8_t> bytes, Xml_parse_failure& failure)
{
    failure = Xml_parse_failure::None;
    if (!xml_security_ready()) {
        failure = Xml_parse_failure::Library;
        return nullptr;
    }
    if (bytes.size() > static_cast<size_t>(INT_MAX)) {
        failure = Xml_parse_failure::Unreadable;
        return nullptr;
    }
    switch (Markup_scanner(bytes).scan()) {
    case Markup_scan::Too_complex:
        failure = Xml_parse_failure::Too_complex;
        return nullptr;
    case Markup_scan::Dtd:
        failure = Xml_parse_failure::Dtd;
        return nullptr;
    case Markup_scan::Within_limits:
        break;
    }
    Xml_document document(xmlReadMemory(reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()),
                                        nullptr, nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    if (!document || !xmlDocGetRootElement(document.get())) {
        failure = Xml_parse_failure::Unreadable;
        return nullptr;
    }
    if (document->intSubset || document->extSubset) {
        failure = Xml_parse_failure::Dtd;
        return nullptr;
    }
    return document;
}

std::string xml_failure_text(Xml_parse_failure failure, const Xml_failure_texts& texts)
{
    switch (failure) {
    case Xml_parse_failure::Library:
        return texts.library;
    case Xml_parse_failure::Unreadable:
        return texts.unreadable;
    case Xml_parse_failure::Dtd:
        return texts.dtd;
    case Xml_parse_failure::Too_complex:
        return texts.too_complex;
    case Xml_parse_failure::None:
        break;
    }
    return {};
}

bool is_element(const xmlNode* node, const char* ns, const char* name)
{
    return node && node->type == XML_ELEMENT_NODE && node->ns && node->ns->href &&
           std::strcmp(reinterpret_cast<const char*>(node->ns->href), ns) == 0 &&
           std::strcmp(reinterpret_cast<const char*>(node->name), name) == 0;
}

bool is_element_in(const xmlNode* node, const char* const* namespaces, const char* name)
{
    for (; *namespaces; ++namespaces)
        if (is_element(node, *namespaces, name))
            return true;
    return false;
}

bool has_local_name(const xmlNode* node, const char* name)
{
    return node && node->type == XML_ELEMENT_NODE && std::strcmp(reinterpret_cast<const char*>(node->name), name) == 0;
}

xmlNode* xml_child(const xmlNode* parent, const char* ns, const char* name)
{
    for (xmlNode* node = parent ? parent->children : nullptr; node; node = node->next)
        if (is_element(node, ns, name))
            return node;
    return nullptr;
}

std::vector<xmlNode*> xml_children(const xmlNode* parent, const char* ns, const char* name)
{
    std::vector<xmlNode*> found;
    for (xmlNode* node = parent ? parent->children : nullptr; node; node = node->next)
        if (is_element(node, ns, name))
            found.push_back(node);
    return found;
}

std::vector<xmlNode*> xml_children_in(const xmlNode* parent, const char* const* namespaces, const char* name)
{
    std::vector<xmlNode*> found;
    for (xmlNode* node = parent ? parent->children : nullptr; node; node = node->next)
        if (is_element_in(node, namespaces, name))
            found.push_back(node);
    return found;
}

std::vector<xmlNode*> xml_elements(const xmlNode* parent)
{
    std::vector<xmlNode*> found;
    for (xmlNode* node = parent ? parent->children : nullptr; node; node = node->next)
        if (node->type == XML_ELEMENT_NODE)
            found.push_back(node);
    return found;
}

bool xml_is_inside(const xmlNode* node, const xmlNode* ancestor)
{
    for (; node; node = node->parent)
        if (node == ancestor)
            return true;
    return false;
}

std::string xml_text(const xmlNode* node)
{
    if (!node)
        return {};
    xmlChar* content = xmlNodeGetContent(node);
    std::string text = content ? reinterpret_cast<const char*>(content) : "";
    xmlFree(content);
    return text;
}

std::vector<uint8_t> xml_base64_content(const xmlNode* node)
{
    Base64_decode decode;
    if (!decode.decode(xml_text(node), Base64_decode::Form::Lenient))
        return {};
    return decode.value();
}

std::string xml_attribute(const xmlNode* node, const char* name)
{
    xmlChar* value = xmlGetNoNsProp(node, reinterpret_cast<const xmlChar*>(name));
    std::string text = value ? reinterpret_cast<const char*>(value) : "";
    xmlFree(value);
    return text;
}

bool xml_has_attribute(const xmlNode* node, const char* name)
{
    return xmlHasNsProp(node, reinterpret_cast<const xmlChar*>(name), nullptr) != nullptr;
}

std::string trimmed(std::string text)
{
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    const size_t last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

namespace {

bool is_id_name(const xmlChar* name)
{
    const char* text = reinterpret_cast<const char*>(name);
    return std::strcmp(text, "Id") == 0 || std::strcmp(text, "ID") == 0 || std::strcmp(text, "id") == 0;
}

bool is_registered_id(const xmlAttr* attribute)
{
    if (!attribute->ns)
        return is_id_name(attribute->name);
    return std::strcmp(reinterpret_cast<const char*>(attribute->name), "id") == 0 && attribute->ns->href &&
           std::strcmp(reinterpret_cast<const char*>(attribute->ns->href),
                       reinterpret_cast<const char*>(XML_XML_NAMESPACE)) == 0;
}

// Letters, digits and the name characters that mean nothing to XPath: no quote, bracket, space.
bool is_plain_identifier(const std::string& name)
{
    if (name.empty())
        return false;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (!(std::isalnum(byte) || byte >= 0x80 || c == '_' || c == '-' || c == '.' || c == ':'))
            return false;
    }
    return true;
}

std::string attribute_value(xmlDoc* document, const xmlAttr* attribute)
{
    xmlChar* value = xmlNodeListGetString(document, attribute->children, 1);
    std::string text = value ? reinterpret_cast<const char*>(value) : "";
    xmlFree(value);
    return text;
}

} // namespace

bool register_xml_ids(xmlDoc* document)
{
    xmlNode* root = xmlDocGetRootElement(document);
    std::set<std::string> values;
    bool unique = true;
    walk_elements(root, [&](xmlNode* node) {
        for (xmlAttr* attribute = node->properties; attribute && unique; attribute = attribute->next) {
            if (!is_id_name(attribute->name))
                continue;
            const std::string value = attribute_value(document, attribute);
            unique = values.insert(value).second;
            // xml:id is registered by the parser already, under its value with spaces folded.
            if (!unique || !is_registered_id(attribute) || attribute->atype == XML_ATTRIBUTE_ID)
                continue;
            const xmlChar* name = reinterpret_cast<const xmlChar*>(value.c_str());
            unique = !xmlGetID(document, name) && xmlAddID(nullptr, document, name, attribute);
        }
    });
    // Every registered identifier is found again under its very value, by the same table.
    walk_elements(root, [&](xmlNode* node) {
        for (xmlAttr* attribute = node->properties; attribute && unique; attribute = attribute->next)
            if (is_registered_id(attribute))
                unique = xmlGetID(document, reinterpret_cast<const xmlChar*>(
                                                attribute_value(document, attribute).c_str())) == attribute;
    });
    return unique;
}

xmlNode* xml_id_target(xmlDoc* document, const std::string& uri)
{
    if (uri.size() < 2 || uri[0] != '#' || !is_plain_identifier(uri.substr(1)))
        return nullptr;
    const xmlAttr* attribute = xmlGetID(document, reinterpret_cast<const xmlChar*>(uri.c_str() + 1));
    if (!attribute || attribute->type != XML_ATTRIBUTE_NODE || !attribute->parent ||
        attribute->parent->type != XML_ELEMENT_NODE)
        return nullptr;
    return attribute->parent;
}

bool parse_xml_date_time(const std::string& raw, std::time_t& result)
{
    // xsd:dateTime; surrounding white space is allowed by the schema.
    const std::string text = trimmed(raw);
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!digits(text, 0, 4, year) || text.size() < 19 || text[4] != '-' || !digits(text, 5, 2, month) ||
        text[7] != '-' || !digits(text, 8, 2, day) || text[10] != 'T' || !digits(text, 11, 2, hour) ||
        text[13] != ':' || !digits(text, 14, 2, minute) || text[16] != ':' || !digits(text, 17, 2, second))
        return false;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 24 || minute > 59 || second > 60)
        return false;
    size_t at = 19;
    if (at < text.size() && text[at] == '.') {
        ++at;
        const size_t start = at;
        while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])))
            ++at;
        if (at == start)
            return false;
    }
    long offset = 0;
    if (at < text.size() && text[at] == 'Z') {
        ++at;
    } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        int offset_hours = 0, offset_minutes = 0;
        if (!digits(text, at + 1, 2, offset_hours) || at + 3 >= text.size() || text[at + 3] != ':' ||
            !digits(text, at + 4, 2, offset_minutes) || offset_hours > 14 || offset_minutes > 59)
            return false;
        offset = (offset_hours * 60L + offset_minutes) * 60L * (text[at] == '+' ? 1 : -1);
        at += 6;
    }
    // A time without a zone is taken as UTC.
    if (at != text.size())
        return false;
    std::tm parts{};
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    result = timegm(&parts) - offset;
    return true;
}

} // namespace velin
