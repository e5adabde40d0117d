// The XML side shared by the readers of XML (signed files, trusted lists, invoices): documents
// parsed without network, entities or DTD, the identifiers by one rule, and the one set of tree
// helpers. The signatures themselves are checked by the XML-signature core (xml_signature_core.h).
#pragma once

#include "common/owner.h"

#include <libxml/tree.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace velin {

inline constexpr const char* Dsig_ns = "http://www.w3.org/2000/09/xmldsig#";

struct Xml_document_release {
    void operator()(xmlDoc* document) const { xmlFreeDoc(document); }
};
using Xml_document = Owner<xmlDoc, Xml_document_release>;

enum class Xml_parse_failure { None, Library, Unreadable, Dtd, Too_complex };

// Each reader's own words for the failures of parse_plain_xml.
struct Xml_failure_texts {
    const char* library;
    const char* unreadable;
    const char* dtd;
    const char* too_complex;
};
// The text of a failure; empty for None.
std::string xml_failure_text(Xml_parse_failure failure, const Xml_failure_texts& texts);

// Parses bytes as plain XML: no entity is substituted, nothing is loaded from the network, the
// parser's own limits on depth and text sizes stay on, a document with a DTD is refused, and so
// is one with more markup than the parser reads in bounded time and memory (millions of nodes,
// hundreds of attributes on an element or of namespaces in scope).
Xml_document parse_plain_xml(std::span<const uint8_t> bytes, Xml_parse_failure& failure);

// Tree helpers: elements named by namespace then local name, null parents and nodes allowed.
bool is_element(const xmlNode* node, const char* ns, const char* name);
// An element of one of the namespaces (null-terminated list).
bool is_element_in(const xmlNode* node, const char* const* namespaces, const char* name);
// An element of that local name, in whatever namespace.
bool has_local_name(const xmlNode* node, const char* name);
// The first child element of that name; null when none.
xmlNode* xml_child(const xmlNode* parent, const char* ns, const char* name);
// The child elements of that name, in order.
std::vector<xmlNode*> xml_children(const xmlNode* parent, const char* ns, const char* name);
std::vector<xmlNode*> xml_children_in(const xmlNode* parent, const char* const* namespaces, const char* name);
// Every child element, in order.
std::vector<xmlNode*> xml_elements(const xmlNode* parent);
// True when node is ancestor or stands inside it.
bool xml_is_inside(const xmlNode* node, const xmlNode* ancestor);
std::string xml_text(const xmlNode* node);
// The element's text decoded as base64 (white space allowed); empty when it does not decode.
std::vector<uint8_t> xml_base64_content(const xmlNode* node);
std::string xml_attribute(const xmlNode* node, const char* name);
bool xml_has_attribute(const xmlNode* node, const char* name);
std::string trimmed(std::string text);

// Every element of the tree below and including root, in document order, without recursion:
// documents from outside may nest deeper than a stack should follow.
template <class Visit>
void walk_elements(xmlNode* root, Visit visit)
{
    xmlNode* node = root;
    while (node) {
        if (node->type == XML_ELEMENT_NODE)
            visit(node);
        if (node->children && node->type == XML_ELEMENT_NODE) {
            node = node->children;
            continue;
        }
        while (node && node != root && !node->next)
            node = node->parent;
        if (!node || node == root)
            break;
        node = node->next;
    }
}

// The identifiers a same-document reference "#name" may name, by one rule for our readers and for
// xmlsec, which resolves such a reference through the document's table of IDs: the attributes Id,
// ID and id without namespace, and xml:id, are registered there; nothing else is (xmlSecAddIDs
// would take a p:Id of any namespace too, and the first of a value in document order). False when
// a value is given twice by attributes named Id, ID or id in any namespace: whoever took another
// of them would show what is not signed.
bool register_xml_ids(xmlDoc* document);
// The element "#name" names among the registered identifiers; null for any other URI, and for a
// name that is not a plain identifier (xmlsec reads it inside an XPointer expression).
xmlNode* xml_id_target(xmlDoc* document, const std::string& uri);

} // namespace velin
