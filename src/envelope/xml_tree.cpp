#include "envelope/xml_tree.h"

#include "common/trace.h"
#include "common/xml_walk.h"
#include "envelope/xml_date_time.h"

#include <libxml/parser.h>
#include <xmlsec/crypto.h>
#include <xmlsec/errors.h>
#include <xmlsec/io.h>
#include <xmlsec/xmlsec.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <mutex>
#include <set>

namespace velin {

namespace {

thread_local const Xml_served_document* served = nullptr;

struct Served_reading {
    std::span<const uint8_t> bytes;
    size_t at = 0;
};

int serves(const char* uri)
{
    return served && uri && served->uri() == uri ? 1 : 0;
}

void* open_served(const char* uri)
{
    if (!serves(uri))
        return nullptr;
    return new Served_reading{served->bytes(), 0};
}

int read_served(void* context, char* buffer, int size)
{
    auto* reading = static_cast<Served_reading*>(context);
    if (!reading || size < 0)
        return -1;
    const size_t count = std::min(static_cast<size_t>(size), reading->bytes.size() - reading->at);
    std::memcpy(buffer, reading->bytes.data() + reading->at, count);
    reading->at += count;
    return static_cast<int>(count);
}

int close_served(void* context)
{
    delete static_cast<Served_reading*>(context);
    return 0;
}

void silent_xmlsec_error(const char*, int, const char*, const char*, const char*, int, const char*) {}

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

} // namespace

Xml_served_document::Xml_served_document(std::string uri, std::span<const uint8_t> bytes)
    : _uri(std::move(uri)), _bytes(bytes), _previous(served)
{
    served = this;
}

Xml_served_document::~Xml_served_document()
{
    served = _previous;
}

bool xml_security_ready()
{
    static std::once_flag once;
    static bool ready = false;
    std::call_once(once, [] {
        xmlInitParser();
        ready = xmlSecInit() >= 0 && xmlSecCheckVersion() == 1 && xmlSecCryptoAppInit(nullptr) >= 0 &&
                xmlSecCryptoInit() >= 0;
        // Its own messages would go to standard error: our texts say what went wrong.
        xmlSecErrorsSetCallback(silent_xmlsec_error);
        // xmlsec would read files and URLs a reference names: it reads only what we hand it.
        xmlSecIOCleanupCallbacks();
        ready = ready && xmlSecIORegisterCallbacks(serves, open_served, read_served, close_served) >= 0;
        if (!ready)
            Trace(Trace_kind, Level_error) << "Inizializzazione di xmlsec fallita.";
    });
    return ready;
}

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

std::string xml_text(const xmlNode* node)
{
    if (!node)
        return {};
    xmlChar* content = xmlNodeGetContent(node);
    std::string text = content ? reinterpret_cast<const char*>(content) : "";
    xmlFree(content);
    return text;
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
