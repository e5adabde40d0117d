// The XML side shared by the readers of signed XML (signed files, trusted lists): libxml2 and
// xmlsec set up once per process, documents parsed without network, entities or DTD, and the few
// tree helpers both need.
#pragma once

#include "common/owner.h"

#include <libxml/tree.h>
#include <xmlsec/keys.h>
#include <xmlsec/xmldsig.h>

#include <cstdint>
#include <span>
#include <string>

namespace velin {

inline constexpr const char* Dsig_ns = "http://www.w3.org/2000/09/xmldsig#";

struct Xml_document_release {
    void operator()(xmlDoc* document) const { xmlFreeDoc(document); }
};
using Xml_document = Owner<xmlDoc, Xml_document_release>;
struct Dsig_context_release {
    void operator()(xmlSecDSigCtx* context) const { xmlSecDSigCtxDestroy(context); }
};
struct Key_release {
    void operator()(xmlSecKey* key) const { xmlSecKeyDestroy(key); }
};

// Sets up libxml2 and xmlsec with the OpenSSL back end, once; false when that failed. xmlsec is
// left with no way to read anything by itself: no file, no network (see Xml_served_document).
bool xml_security_ready();

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

bool is_element(const xmlNode* node, const char* ns, const char* name);
// An element of one of the namespaces (null-terminated list).
bool is_element_in(const xmlNode* node, const char* const* namespaces, const char* name);
std::string xml_text(const xmlNode* node);
std::string xml_attribute(const xmlNode* node, const char* name);
bool xml_has_attribute(const xmlNode* node, const char* name);
std::string trimmed(std::string text);

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

// The document xmlsec is allowed to read for a detached reference while this object lives, on
// this thread only: exactly the given name, served from the given bytes. Every other URI fails.
class Xml_served_document {
public:
    Xml_served_document(std::string uri, std::span<const uint8_t> bytes);
    ~Xml_served_document();
    Xml_served_document(const Xml_served_document&) = delete;
    Xml_served_document& operator=(const Xml_served_document&) = delete;

    const std::string& uri() const { return _uri; }
    std::span<const uint8_t> bytes() const { return _bytes; }

private:
    std::string _uri;
    std::span<const uint8_t> _bytes;
    const Xml_served_document* _previous;
};

} // namespace velin
