#include "VelinVerify/invoice/invoice_reader.h"

#include "common/owner.h"
#include "envelope/base64_decode.h"
#include "envelope/xml_tree.h"

#include <QFile>

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxslt/security.h>
#include <libxslt/transform.h>
#include <libxslt/xslt.h>
#include <libxslt/xsltInternals.h>
#include <libxslt/xsltutils.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>

// The stylesheet is built into this static library; its resource is registered by hand, since a
// linker keeps no unreferenced object of a static library.
static void register_invoice_resource()
{
    Q_INIT_RESOURCE(invoice);
}

namespace velin {

namespace {

constexpr const char* Text_dtd =
    "La fattura elettronica contiene una dichiarazione DTD, che non è ammessa: non viene mostrata.";
constexpr const char* Text_not_rendered = "Impossibile mostrare la fattura elettronica: il documento non è leggibile.";
constexpr const char* Text_no_stylesheet = "Il foglio di stile della fattura elettronica non è disponibile.";

// Nested templates of our stylesheet stay a few levels deep; anything deeper is a fault.
constexpr int Template_depth_limit = 100;

struct Xml_release {
    void operator()(xmlDoc* p) const { xmlFreeDoc(p); }
    void operator()(xmlChar* p) const { xmlFree(p); }
    void operator()(xsltTransformContext* p) const { xsltFreeTransformContext(p); }
    void operator()(xsltSecurityPrefs* p) const { xsltFreeSecurityPrefs(p); }
};

using Xml_document = Owner<xmlDoc, Xml_release>;
using Xml_text = Owner<xmlChar, Xml_release>;

void ignore_error(void*, const char*, ...) {}

// Parsed once per process; transforms only read it.
xsltStylesheet* stylesheet()
{
    static xsltStylesheet* const compiled = []() -> xsltStylesheet* {
        register_invoice_resource();
        xmlInitParser();
        xsltInit();
        QFile file(QStringLiteral(":/invoice/fattura.xsl"));
        if (!file.open(QIODevice::ReadOnly))
            return nullptr;
        const QByteArray text = file.readAll();
        xmlDoc* document = xmlReadMemory(text.constData(), static_cast<int>(text.size()), "fattura.xsl", nullptr,
                                         XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
        if (!document)
            return nullptr;
        // The compiled stylesheet owns the document from here on, also when compiling fails.
        xsltStylesheet* style = xsltParseStylesheetDoc(document);
        if (!style)
            xmlFreeDoc(document);
        return style;
    }();
    return compiled;
}

bool is_element(const xmlNode* node, const char* name)
{
    return node && node->type == XML_ELEMENT_NODE && std::strcmp(reinterpret_cast<const char*>(node->name), name) == 0;
}

std::string content_of(const xmlNode* node)
{
    const Xml_text text(xmlNodeGetContent(node));
    return text ? reinterpret_cast<const char*>(text.get()) : "";
}

// The invoice's elements below the root have no namespace, but some producers write them in the
// root's: the stylesheet reads both alike once no element or attribute carries one.
void drop_namespaces(xmlNode* root)
{
    walk_elements(root, [](xmlNode* node) {
        node->ns = nullptr;
        for (xmlAttr* attribute = node->properties; attribute; attribute = attribute->next)
            attribute->ns = nullptr;
    });
}

std::vector<Invoice_attachment> read_attachments(xmlNode* root, size_t& bodies)
{
    std::vector<Invoice_attachment> found;
    bodies = 0;
    for (xmlNode* body = root->children; body; body = body->next) {
        if (!is_element(body, "FatturaElettronicaBody"))
            continue;
        ++bodies;
        for (xmlNode* attached = body->children; attached; attached = attached->next) {
            if (!is_element(attached, "Allegati"))
                continue;
            Invoice_attachment attachment;
            attachment.body = bodies;
            for (xmlNode* field = attached->children; field; field = field->next) {
                if (is_element(field, "NomeAttachment"))
                    attachment.name = content_of(field);
                else if (is_element(field, "FormatoAttachment"))
                    attachment.format = content_of(field);
                else if (is_element(field, "DescrizioneAttachment"))
                    attachment.description = content_of(field);
                else if (is_element(field, "AlgoritmoCompressione"))
                    attachment.compression = content_of(field);
                else if (is_element(field, "Attachment")) {
                    Base64_decode decode;
                    attachment.decoded = decode.decode(content_of(field), Base64_decode::Form::Lenient);
                    if (attachment.decoded)
                        attachment.content = decode.value();
                }
            }
            found.push_back(std::move(attachment));
        }
    }
    return found;
}

std::string utf8_text(xmlDoc* document, std::span<const uint8_t> bytes)
{
    const char* encoding = reinterpret_cast<const char*>(document->encoding);
    if (!encoding || xmlStrcasecmp(document->encoding, BAD_CAST "UTF-8") == 0 ||
        xmlStrcasecmp(document->encoding, BAD_CAST "UTF8") == 0)
        return {bytes.begin(), bytes.end()};
    xmlChar* dumped = nullptr;
    int size = 0;
    xmlDocDumpMemoryEnc(document, &dumped, &size, "UTF-8");
    const Xml_text owned(dumped);
    return owned ? std::string(reinterpret_cast<const char*>(owned.get()), static_cast<size_t>(size)) : std::string();
}

// Runs the stylesheet with every read and write forbidden; empty when it failed.
std::string render(xmlDoc* document)
{
    xsltStylesheet* style = stylesheet();
    if (!style)
        return {};
    const Owner<xsltTransformContext, Xml_release> context(xsltNewTransformContext(style, document));
    const Owner<xsltSecurityPrefs, Xml_release> prefs(xsltNewSecurityPrefs());
    if (!context || !prefs)
        return {};
    for (const xsltSecurityOption option :
         {XSLT_SECPREF_READ_FILE, XSLT_SECPREF_WRITE_FILE, XSLT_SECPREF_CREATE_DIRECTORY, XSLT_SECPREF_READ_NETWORK,
          XSLT_SECPREF_WRITE_NETWORK})
        if (xsltSetSecurityPrefs(prefs.get(), option, xsltSecurityForbid) != 0)
            return {};
    if (xsltSetCtxtSecurityPrefs(prefs.get(), context.get()) != 0)
        return {};
    xsltSetTransformErrorFunc(context.get(), nullptr, ignore_error);
    context->maxTemplateDepth = Template_depth_limit;

    const Xml_document result(xsltApplyStylesheetUser(style, document, nullptr, nullptr, nullptr, context.get()));
    if (!result || context->state != XSLT_STATE_OK)
        return {};
    xmlChar* text = nullptr;
    int size = 0;
    if (xsltSaveResultToString(&text, &size, result.get(), style) != 0)
        return {};
    const Xml_text owned(text);
    return owned ? std::string(reinterpret_cast<const char*>(owned.get()), static_cast<size_t>(size)) : std::string();
}

} // namespace

std::string Invoice_attachment::file_name() const
{
    // Both separators: the name may have been written on another system.
    std::string last = name;
    const size_t slash = last.find_last_of("/\\");
    if (slash != std::string::npos)
        last.erase(0, slash + 1);
    if (last.empty() || last == "." || last == ".." || last.find('\0') != std::string::npos)
        return "allegato";
    return last;
}

std::string with_long_lines_cut(std::string_view text, size_t width)
{
    std::string cut;
    cut.reserve(text.size() + text.size() / std::max<size_t>(width, 1));
    size_t line = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool continuation = (static_cast<unsigned char>(c) & 0xC0) == 0x80;
        if (c == '\n') {
            line = 0;
        } else if (line >= width && !continuation) {
            cut += '\n';
            line = 0;
        }
        cut += c;
        if (c != '\n')
            ++line;
    }
    return cut;
}

bool looks_like_invoice(std::span<const uint8_t> head)
{
    std::string_view text(reinterpret_cast<const char*>(head.data()), std::min<size_t>(head.size(), 64 * 1024));
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    const size_t first = text.find_first_not_of(" \t\r\n");
    return first != std::string_view::npos && text[first] == '<' &&
           text.find("FatturaElettronica") != std::string_view::npos;
}

namespace {

Invoice_reading read_unguarded(std::span<const uint8_t> bytes)
{
    Invoice_reading reading;
    if (bytes.empty() || bytes.size() > Invoice_max_size || !looks_like_invoice(bytes))
        return reading;
    // No entity is substituted, no DTD loaded, nothing fetched; the parser's limits on depth and
    // text sizes stay on (no XML_PARSE_HUGE).
    const Xml_document document(
        xmlReadMemory(reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), "fattura.xml",
                      nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOCDATA));
    if (!document)
        return reading;
    xmlNode* root = xmlDocGetRootElement(document.get());
    if (!root || !root->ns || !root->ns->href)
        return reading;
    const char* space = reinterpret_cast<const char*>(root->ns->href);
    if (is_element(root, "FatturaElettronica") && std::strcmp(space, Invoice_namespace) == 0)
        reading.version = "1.2";
    else if (is_element(root, "FatturaElettronica") && std::strcmp(space, Invoice_namespace_v11) == 0)
        reading.version = "1.1";
    else if (is_element(root, "FatturaElettronicaSemplificata") &&
             std::strcmp(space, Simplified_invoice_namespace) == 0)
        reading.version = "1.0 semplificata";
    else
        return reading;
    reading.invoice = true;
    reading.xml = utf8_text(document.get(), bytes);
    // An invoice has no DTD; one that brings its own may only be trying entity tricks.
    if (document->intSubset || document->extSubset) {
        reading.failure = Text_dtd;
        return reading;
    }
    drop_namespaces(root);
    reading.attachments = read_attachments(root, reading.bodies);
    if (!stylesheet()) {
        reading.failure = Text_no_stylesheet;
        return reading;
    }
    reading.html = render(document.get());
    if (reading.html.empty())
        reading.failure = Text_not_rendered;
    return reading;
}

} // namespace

Invoice_reading read_invoice(std::span<const uint8_t> bytes)
{
    try {
        return read_unguarded(bytes);
    } catch (const std::bad_alloc&) {
        // The document is read in memory whole; a machine out of memory gets a message, not a crash.
        Invoice_reading reading;
        reading.invoice = true;
        reading.failure = Text_not_rendered;
        return reading;
    }
}

} // namespace velin
