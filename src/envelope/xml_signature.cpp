#include "envelope/xml_signature.h"

#include "common/failure.h"
#include "common/trace.h"
#include "common/xml_walk.h"
#include "envelope/base64_decode.h"
#include "envelope/xml_date_time.h"
#include "envelope/xml_tree.h"

#include <libxml/c14n.h>
#include <libxml/xmlIO.h>
#include <xmlsec/crypto.h>
#include <xmlsec/xmldsig.h>
#include <xmlsec/xmltree.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>
#include <string_view>

namespace velin {

namespace {

constexpr const char* Xades_namespaces[] = {"http://uri.etsi.org/01903/v1.3.2#", "http://uri.etsi.org/01903/v1.1.1#",
                                            nullptr};
constexpr const char* Enveloped_transform = "http://www.w3.org/2000/09/xmldsig#enveloped-signature";
constexpr const char* Base64_transform = "http://www.w3.org/2000/09/xmldsig#base64";
constexpr const char* Xpath_transform = "http://www.w3.org/TR/1999/REC-xpath-19991116";
constexpr const char* Xpath_filter_transform = "http://www.w3.org/2002/06/xmldsig-filter2";
constexpr const char* Inclusive_c14n = "http://www.w3.org/TR/2001/REC-xml-c14n-20010315";

struct C14n_method {
    const char* uri;
    int mode;
    bool comments;
};
constexpr C14n_method C14n_methods[] = {
    {Inclusive_c14n, XML_C14N_1_0, false},
    {"http://www.w3.org/TR/2001/REC-xml-c14n-20010315#WithComments", XML_C14N_1_0, true},
    {"http://www.w3.org/2001/10/xml-exc-c14n#", XML_C14N_EXCLUSIVE_1_0, false},
    {"http://www.w3.org/2001/10/xml-exc-c14n#WithComments", XML_C14N_EXCLUSIVE_1_0, true},
    {"http://www.w3.org/2006/12/xml-c14n11", XML_C14N_1_1, false},
    {"http://www.w3.org/2006/12/xml-c14n11#WithComments", XML_C14N_1_1, true},
};

const C14n_method* c14n_method(const std::string& uri)
{
    for (const C14n_method& method : C14n_methods)
        if (uri == method.uri)
            return &method;
    return nullptr;
}

// Digest and signature algorithms by their URIs, with the digest each one uses.
struct Algorithm {
    const char* uri;
    int digest_nid;
};
constexpr Algorithm Digest_methods[] = {
    {"http://www.w3.org/2000/09/xmldsig#sha1", NID_sha1},
    {"http://www.w3.org/2001/04/xmldsig-more#sha224", NID_sha224},
    {"http://www.w3.org/2001/04/xmlenc#sha256", NID_sha256},
    {"http://www.w3.org/2001/04/xmldsig-more#sha384", NID_sha384},
    {"http://www.w3.org/2001/04/xmlenc#sha512", NID_sha512},
};
constexpr Algorithm Signature_methods[] = {
    {"http://www.w3.org/2000/09/xmldsig#rsa-sha1", NID_sha1},
    {"http://www.w3.org/2001/04/xmldsig-more#rsa-sha224", NID_sha224},
    {"http://www.w3.org/2001/04/xmldsig-more#rsa-sha256", NID_sha256},
    {"http://www.w3.org/2001/04/xmldsig-more#rsa-sha384", NID_sha384},
    {"http://www.w3.org/2001/04/xmldsig-more#rsa-sha512", NID_sha512},
    {"http://www.w3.org/2001/04/xmldsig-more#ecdsa-sha1", NID_sha1},
    {"http://www.w3.org/2001/04/xmldsig-more#ecdsa-sha224", NID_sha224},
    {"http://www.w3.org/2001/04/xmldsig-more#ecdsa-sha256", NID_sha256},
    {"http://www.w3.org/2001/04/xmldsig-more#ecdsa-sha384", NID_sha384},
    {"http://www.w3.org/2001/04/xmldsig-more#ecdsa-sha512", NID_sha512},
};

template <size_t N>
int digest_of(const Algorithm (&table)[N], const std::string& uri)
{
    for (const Algorithm& algorithm : table)
        if (uri == algorithm.uri)
            return algorithm.digest_nid;
    return 0;
}

// The weaker of two digests: SHA-1 below everything else.
int weaker(int a, int b)
{
    if (a == 0 || b == 0)
        return a == 0 ? b : a;
    return a == NID_sha1 || b == NID_sha1 ? NID_sha1 : std::min(a, b);
}

struct Output_release {
    void operator()(xmlOutputBuffer* buffer) const { xmlOutputBufferClose(buffer); }
};
struct Buffer_release {
    void operator()(xmlBuffer* buffer) const { xmlBufferFree(buffer); }
};

xmlNode* child(const xmlNode* parent, const char* ns, const char* name)
{
    for (xmlNode* node = parent ? parent->children : nullptr; node; node = node->next)
        if (is_element(node, ns, name))
            return node;
    return nullptr;
}

std::vector<xmlNode*> children(const xmlNode* parent, const char* const* namespaces, const char* name)
{
    std::vector<xmlNode*> found;
    for (xmlNode* node = parent ? parent->children : nullptr; node; node = node->next)
        if (is_element_in(node, namespaces, name))
            found.push_back(node);
    return found;
}

xmlNode* xades_child(const xmlNode* parent, const char* name)
{
    const auto found = children(parent, Xades_namespaces, name);
    return found.empty() ? nullptr : found.front();
}

std::vector<uint8_t> base64_bytes(const std::string& text)
{
    Base64_decode decode;
    if (!decode.decode(text, Base64_decode::Form::Lenient))
        return {};
    return decode.value();
}

bool is_signature(const xmlNode* node)
{
    return is_element(node, Dsig_ns, "Signature");
}

// True when node is a signature or stands inside one.
bool in_signature(const xmlNode* node)
{
    for (; node; node = node->parent)
        if (is_signature(node))
            return true;
    return false;
}

// The tokens of a short XPath expression, white space between them skipped as XPath does.
class Xpath_tokens {
public:
    explicit Xpath_tokens(std::string text) : _text(std::move(text)) {}

    // The next token when it is exactly token.
    bool take(std::string_view token)
    {
        skip_space();
        if (_text.compare(_at, token.size(), token) != 0)
            return false;
        _at += token.size();
        return true;
    }
    // The next token as a name without prefix; empty when it is none.
    std::string name()
    {
        skip_space();
        return ncname();
    }
    // The next token as prefix:local, no space inside; the local name, empty when it is none.
    std::string qualified_name(std::string& prefix)
    {
        skip_space();
        prefix = ncname();
        if (prefix.empty() || _at >= _text.size() || _text[_at] != ':')
            return {};
        ++_at;
        return ncname();
    }
    bool at_end()
    {
        skip_space();
        return _at == _text.size();
    }

private:
    void skip_space()
    {
        while (_at < _text.size() && std::strchr(" \t\r\n", _text[_at]) && _text[_at] != '\0')
            ++_at;
    }
    // Letters, digits, '_', '-', '.' and any character beyond ASCII; not starting with a digit,
    // '-' or '.'.
    std::string ncname()
    {
        const size_t start = _at;
        while (_at < _text.size()) {
            const auto byte = static_cast<unsigned char>(_text[_at]);
            const bool first = _at == start;
            if (!(std::isalpha(byte) || byte >= 0x80 || byte == '_' ||
                  (!first && (std::isdigit(byte) || byte == '-' || byte == '.'))))
                break;
            ++_at;
        }
        return _text.substr(start, _at - start);
    }

    std::string _text;
    size_t _at = 0;
};

// A file name beside the signature: no scheme, no folder, nothing escaped.
bool is_plain_file_name(const std::string& uri)
{
    return !uri.empty() && uri != "." && uri != ".." && uri.find_first_of(":/\\%?#") == std::string::npos;
}

// The canonical form of an element and everything in it, as a time stamp over it covers it.
std::vector<uint8_t> canonical(xmlDoc* document, xmlNode* element, const C14n_method& method)
{
    const Owner<xmlOutputBuffer, Output_release> output(xmlAllocOutputBuffer(nullptr));
    if (!output)
        return {};
    const auto visible = [](void* data, xmlNode* node, xmlNode* parent) -> int {
        const xmlNode* at = node && node->type == XML_NAMESPACE_DECL ? parent : node;
        for (; at; at = at->parent)
            if (at == data)
                return 1;
        return 0;
    };
    if (xmlC14NExecute(document, visible, element, method.mode, nullptr, method.comments ? 1 : 0, output.get()) < 0)
        return {};
    const xmlChar* bytes = xmlOutputBufferGetContent(output.get());
    const size_t size = xmlOutputBufferGetSize(output.get());
    return bytes ? std::vector<uint8_t>(bytes, bytes + size) : std::vector<uint8_t>{};
}

std::string common_name(X509* certificate)
{
    char name[256] = {};
    if (!certificate ||
        X509_NAME_get_text_by_NID(X509_get_subject_name(certificate), NID_commonName, name, sizeof name) < 0)
        return {};
    return name;
}

} // namespace

struct Xml_signature::State {
    // Referenced: signatures that sign elements of the document named by Id, wherever they stand.
    enum class Shape { None, Enveloped, Enveloping, Detached, Referenced };
    enum class Target { Whole, Object, File, Element, Properties, Key_info, Countersigned, External, Other };

    struct Signer {
        xmlNode* node = nullptr;
        xmlNode* properties = nullptr; // the SignedProperties the signature's reference covers
        std::string refusal; // why it is refused before any cryptography
        Signer_certificate certificate;
        std::shared_ptr<const System_time> time;
        Assignable<Signature_integrity> integrity;
        int digest_nid = 0;
        std::vector<std::vector<uint8_t>> tokens;
        const C14n_method* token_c14n = &C14n_methods[0];
        std::vector<Countersignature_info> countersignatures;
        xmlNode* data_reference = nullptr;
        // The references to elements of the document by Id, and those elements, in that order.
        std::vector<xmlNode*> element_references;
        std::vector<xmlNode*> elements;
        bool whole = false; // a reference covers the whole document
        Legal_value_bar no_legal_value;
    };

    Xml_document document;
    Document_bytes file;
    std::vector<Signer> signers;
    Shape shape = Shape::None;
    std::string detached_uri;

    xmlNode* root() const { return xmlDocGetRootElement(document.get()); }

    // False when an element of the signature gives one attribute name twice (a URI and a p:URI):
    // xmlsec reads the first of a name whatever its namespace, we the one without.
    bool attributes_unambiguous() const
    {
        bool unambiguous = true;
        walk_elements(root(), [&](xmlNode* node) {
            if (!node->ns || !node->ns->href ||
                (std::strcmp(reinterpret_cast<const char*>(node->ns->href), Dsig_ns) != 0 &&
                 std::strcmp(reinterpret_cast<const char*>(node->ns->href), Xpath_filter_transform) != 0))
                return;
            for (const xmlAttr* attribute = node->properties; attribute; attribute = attribute->next)
                for (const xmlAttr* other = attribute->next; other; other = other->next)
                    unambiguous = unambiguous && !xmlStrEqual(attribute->name, other->name);
        });
        return unambiguous;
    }

    // The signature holding a counter-signature, when node sits where one belongs.
    static xmlNode* countersigned_by(const xmlNode* node)
    {
        const xmlNode* holder = node->parent;
        if (!is_element_in(holder, Xades_namespaces, "CounterSignature"))
            return nullptr;
        const xmlNode* at = holder->parent;
        for (const char* name : {"UnsignedSignatureProperties", "UnsignedProperties", "QualifyingProperties"}) {
            if (!is_element_in(at, Xades_namespaces, name))
                return nullptr;
            at = at->parent;
        }
        if (!is_element(at, Dsig_ns, "Object") || !is_signature(at->parent))
            return nullptr;
        return at->parent;
    }

    // Every signature that no other signature holds; false when one sits inside another signature
    // other than as its counter-signature.
    bool find_signatures()
    {
        bool placed = true;
        walk_elements(root(), [&](xmlNode* node) {
            if (!is_signature(node))
                return;
            if (!in_signature(node->parent))
                signers.emplace_back().node = node;
            else if (!countersigned_by(node))
                placed = false;
        });
        return placed;
    }

    // Once the references are read: a signature below the root's children stands where nothing
    // signed can hide it, and signs elements by Id itself. A filter that leaves every signature out
    // of the whole document would leave out one hidden in the text too, so beside a signature of the
    // whole document the signatures stay at the top; and no element signed by Id holds a signature.
    bool signatures_placed() const
    {
        const bool whole =
            std::any_of(signers.begin(), signers.end(), [](const Signer& signer) { return signer.whole; });
        // The elements that hold a signature, found once from each signature up (the depth is bounded).
        std::set<const xmlNode*> holding;
        walk_elements(root(), [&](xmlNode* node) {
            if (!is_signature(node))
                return;
            // An element already there has its own holders there too.
            for (const xmlNode* at = node->parent; at && at->type == XML_ELEMENT_NODE; at = at->parent)
                if (!holding.insert(at).second)
                    break;
        });
        for (const Signer& signer : signers) {
            const bool top = signer.node == root() || signer.node->parent == root();
            if (!top && (whole || signer.elements.empty()))
                return false;
            for (const xmlNode* element : signer.elements)
                if (holding.count(element))
                    return false;
        }
        return true;
    }

    // True when both sign the same elements by Id, in any order (none for the whole document).
    static bool same_elements(const Signer& one, const Signer& other)
    {
        std::vector<xmlNode*> a = one.elements, b = other.elements;
        std::sort(a.begin(), a.end());
        std::sort(b.begin(), b.end());
        return a == b;
    }

    xmlNode* qualifying_properties(const xmlNode* signature, std::string& refusal) const
    {
        std::vector<xmlNode*> found;
        for (xmlNode* object = signature->children; object; object = object->next)
            if (is_element(object, Dsig_ns, "Object"))
                for (xmlNode* properties : children(object, Xades_namespaces, "QualifyingProperties"))
                    found.push_back(properties);
        if (found.size() > 1) {
            refusal = Xml_text_properties;
            return nullptr;
        }
        // Their Target attribute is not signed and binds nothing: the reference of the signature
        // to the signed properties inside its own Object does.
        return found.empty() ? nullptr : found.front();
    }

    static bool transforms_allowed(const xmlNode* reference, Target target)
    {
        const xmlNode* transforms = child(reference, Dsig_ns, "Transforms");
        for (xmlNode* node = transforms ? transforms->children : nullptr; node; node = node->next) {
            if (node->type != XML_ELEMENT_NODE)
                continue;
            if (!is_element(node, Dsig_ns, "Transform"))
                return false;
            const std::string algorithm = xml_attribute(node, "Algorithm");
            if (c14n_method(algorithm))
                continue;
            if (algorithm == Enveloped_transform && target == Target::Whole)
                continue;
            if (algorithm == Base64_transform && target == Target::Object)
                continue;
            if (target != Target::Whole || !leaves_out_signatures(node, algorithm))
                return false;
        }
        return true;
    }

    // The two XPath filters signing applications write for a document with several enveloped
    // signatures, each leaving out every signature: "not(ancestor-or-self::P:Signature)", or the
    // filter that subtracts "/descendant::P:Signature", P bound to the signature namespace where
    // the expression stands. Read token by token as XPath reads it; any other expression, however
    // close, is refused.
    static bool leaves_out_signatures(const xmlNode* transform, const std::string& algorithm)
    {
        const bool filter = algorithm == Xpath_filter_transform;
        if (!filter && algorithm != Xpath_transform)
            return false;
        const xmlNode* expression = nullptr;
        for (xmlNode* node = transform->children; node; node = node->next) {
            if (node->type != XML_ELEMENT_NODE)
                continue;
            if (expression || !is_element(node, filter ? Xpath_filter_transform : Dsig_ns, "XPath"))
                return false;
            expression = node;
        }
        if (!expression || (filter && xml_attribute(expression, "Filter") != "subtract"))
            return false;
        for (const xmlNode* node = expression->children; node; node = node->next)
            if (node->type != XML_TEXT_NODE)
                return false;
        Xpath_tokens tokens(xml_text(expression));
        std::string prefix;
        const bool shape = filter ? tokens.take("/") && tokens.name() == "descendant" && tokens.take("::") &&
                                        tokens.qualified_name(prefix) == "Signature" && tokens.at_end()
                                  : tokens.name() == "not" && tokens.take("(") && tokens.name() == "ancestor-or-self" &&
                                        tokens.take("::") && tokens.qualified_name(prefix) == "Signature" &&
                                        tokens.take(")") && tokens.at_end();
        if (!shape)
            return false;
        const xmlNs* ns = xmlSearchNs(expression->doc, const_cast<xmlNode*>(expression),
                                      reinterpret_cast<const xmlChar*>(prefix.c_str()));
        return ns && ns->href && std::strcmp(reinterpret_cast<const char*>(ns->href), Dsig_ns) == 0;
    }

    Target classify(const xmlNode* reference, const xmlNode* signature, const xmlNode* properties,
                    const xmlNode* countersigned) const
    {
        if (!xml_has_attribute(reference, "URI"))
            return Target::Other;
        const std::string uri = xml_attribute(reference, "URI");
        if (uri.empty())
            return Target::Whole;
        if (uri[0] != '#')
            return is_plain_file_name(uri) ? Target::File : Target::External;
        const xmlNode* target = xml_id_target(document.get(), uri);
        if (!target)
            return Target::Other;
        if (target == root() && signature->parent == target)
            return Target::Whole;
        if (is_element(target, Dsig_ns, "Object") && target->parent == signature && !properties_inside(target))
            return Target::Object;
        if (properties && target == properties)
            return Target::Properties;
        if (is_element(target, Dsig_ns, "KeyInfo") && target->parent == signature)
            return Target::Key_info;
        if (countersigned && is_element(target, Dsig_ns, "SignatureValue") && target->parent == countersigned)
            return Target::Countersigned;
        if (target != root() && !in_signature(target))
            return Target::Element;
        return Target::Other;
    }

    static bool properties_inside(const xmlNode* object)
    {
        return !children(object, Xades_namespaces, "QualifyingProperties").empty();
    }

    // The references of a signature against what it must cover; the refusal text, empty when sound.
    std::string check_references(Signer& signer, const xmlNode* countersigned)
    {
        const xmlNode* signature = signer.node;
        const xmlNode* signed_info = child(signature, Dsig_ns, "SignedInfo");
        const bool top = signature == root();
        int whole = 0, data = 0, elements = 0, countersigned_count = 0;
        bool properties_covered = false;
        std::string file;
        for (xmlNode* reference = signed_info ? signed_info->children : nullptr; reference;
             reference = reference->next) {
            if (!is_element(reference, Dsig_ns, "Reference"))
                continue;
            const Target target = classify(reference, signature, signer.properties, countersigned);
            if (target == Target::External)
                return Xml_text_external;
            if (target == Target::Other)
                return Xml_text_reference;
            if (!transforms_allowed(reference, target))
                return Xml_text_transform;
            switch (target) {
            case Target::Whole:
                ++whole;
                signer.whole = true;
                break;
            case Target::Element:
                ++elements;
                signer.element_references.push_back(reference);
                signer.elements.push_back(xml_id_target(document.get(), xml_attribute(reference, "URI")));
                break;
            case Target::Object:
            case Target::File:
                ++data;
                signer.data_reference = reference;
                if (target == Target::File)
                    file = xml_attribute(reference, "URI");
                break;
            case Target::Properties:
                properties_covered = true;
                break;
            case Target::Countersigned:
                ++countersigned_count;
                break;
            default:
                break;
            }
        }
        if (signer.properties && !properties_covered)
            return Xml_text_properties;
        if (countersigned)
            return countersigned_count == 1 && whole == 0 && data == 0 && elements == 0 ? "" : Xml_text_reference;
        if (countersigned_count > 0)
            return Xml_text_reference;
        if (top) {
            // An enveloping or detached signature: one document, in its own Object or beside it.
            if (whole > 0 || data > 1 || elements > 0)
                return Xml_text_reference;
            if (data == 0)
                return Xml_text_not_whole;
            detached_uri = file;
            return {};
        }
        // Enveloped: the whole document, or elements of it by Id, never both.
        if (data > 0 || (whole > 0 && elements > 0))
            return Xml_text_reference;
        return whole > 0 || elements > 0 ? "" : Xml_text_not_whole;
    }

    // The signer's certificate: the one the signed properties name, else the first one carried.
    void choose_certificate(Signer& signer) const
    {
        std::vector<Signer_certificate> carried;
        for (xmlNode* data = child(child(signer.node, Dsig_ns, "KeyInfo"), Dsig_ns, "X509Data"); data;
             data = data->next)
            if (is_element(data, Dsig_ns, "X509Data"))
                for (xmlNode* value = data->children; value; value = value->next)
                    if (is_element(value, Dsig_ns, "X509Certificate"))
                        if (auto certificate = Signer_certificate::from_der(base64_bytes(xml_text(value)));
                            !certificate.empty())
                            carried.push_back(std::move(certificate));
        if (carried.empty()) {
            if (signer.refusal.empty())
                signer.refusal = Xml_text_no_certificate;
            return;
        }
        signer.certificate = carried.front();
        const xmlNode* signed_signature = xades_child(signer.properties, "SignedSignatureProperties");
        xmlNode* binding = xades_child(signed_signature, "SigningCertificateV2");
        if (!binding)
            binding = xades_child(signed_signature, "SigningCertificate");
        if (!binding)
            return;
        for (xmlNode* cert : children(binding, Xades_namespaces, "Cert")) {
            const xmlNode* digest = xades_child(cert, "CertDigest");
            const int nid =
                digest_of(Digest_methods, xml_attribute(child(digest, Dsig_ns, "DigestMethod"), "Algorithm"));
            const std::vector<uint8_t> expected = base64_bytes(xml_text(child(digest, Dsig_ns, "DigestValue")));
            const EVP_MD* algorithm = nid ? EVP_get_digestbynid(nid) : nullptr;
            for (const Signer_certificate& candidate : carried) {
                const std::vector<uint8_t> der = candidate.der();
                unsigned char made[EVP_MAX_MD_SIZE];
                unsigned int size = 0;
                if (algorithm && !expected.empty() &&
                    EVP_Digest(der.data(), der.size(), made, &size, algorithm, nullptr) == 1 &&
                    expected.size() == size && std::memcmp(made, expected.data(), size) == 0) {
                    signer.certificate = candidate;
                    return;
                }
            }
        }
        if (signer.refusal.empty())
            signer.refusal = Xml_text_signing_certificate;
    }

    // What the signed and unsigned properties say: signing time, signature time stamps.
    void read_properties(Signer& signer, const xmlNode* qualifying) const
    {
        const xmlNode* signed_signature = xades_child(signer.properties, "SignedSignatureProperties");
        std::time_t when = 0;
        if (const xmlNode* time = xades_child(signed_signature, "SigningTime");
            time && parse_xml_date_time(xml_text(time), when)) {
            std::tm fields{};
            if (gmtime_r(&when, &fields))
                signer.time = std::make_shared<const System_time>(system_time_of(fields));
        }
        const xmlNode* unsigned_signature =
            xades_child(xades_child(qualifying, "UnsignedProperties"), "UnsignedSignatureProperties");
        for (xmlNode* stamp : children(unsigned_signature, Xades_namespaces, "SignatureTimeStamp")) {
            const std::string method = xml_attribute(child(stamp, Dsig_ns, "CanonicalizationMethod"), "Algorithm");
            if (signer.tokens.empty() && c14n_method(method))
                signer.token_c14n = c14n_method(method);
            for (xmlNode* token : children(stamp, Xades_namespaces, "EncapsulatedTimeStamp"))
                signer.tokens.push_back(base64_bytes(xml_text(token)));
        }
    }

    // Reads one signature (a counter-signature when countersigned is the signature it signs; one
    // after the first of the file when first is given).
    Signer examine(xmlNode* node, const xmlNode* countersigned, const Signer* first = nullptr)
    {
        Signer signer;
        signer.node = node;
        const xmlNode* qualifying = qualifying_properties(node, signer.refusal);
        if (qualifying) {
            const auto signed_properties = children(qualifying, Xades_namespaces, "SignedProperties");
            if (signed_properties.size() > 1 && signer.refusal.empty())
                signer.refusal = Xml_text_properties;
            if (!signed_properties.empty())
                signer.properties = signed_properties.front();
        }
        if (signer.refusal.empty())
            signer.refusal = check_references(signer, countersigned);
        // One document is shown for all: each signature signs what the first one signs.
        if (signer.refusal.empty() && first && !same_elements(signer, *first))
            signer.refusal = Xml_text_other_elements;
        const xmlNode* signed_info = child(node, Dsig_ns, "SignedInfo");
        signer.digest_nid =
            digest_of(Signature_methods, xml_attribute(child(signed_info, Dsig_ns, "SignatureMethod"), "Algorithm"));
        if (signer.digest_nid == 0 && signer.refusal.empty())
            signer.refusal = Xml_text_algorithm;
        for (xmlNode* reference = signed_info ? signed_info->children : nullptr; reference; reference = reference->next)
            if (is_element(reference, Dsig_ns, "Reference"))
                signer.digest_nid = weaker(
                    signer.digest_nid,
                    digest_of(Digest_methods, xml_attribute(child(reference, Dsig_ns, "DigestMethod"), "Algorithm")));
        choose_certificate(signer);
        read_properties(signer, qualifying);
        // Without the signing certificate among the signed properties, the key that checks the
        // signature is the only link between it and a certificate: any certificate of that key would do.
        const xmlNode* signed_signature = xades_child(signer.properties, "SignedSignatureProperties");
        if (!qualifying)
            signer.no_legal_value = {Xml_text_without_xades, false};
        else if (!xades_child(signed_signature, "SigningCertificateV2") &&
                 !xades_child(signed_signature, "SigningCertificate"))
            signer.no_legal_value = {Xml_text_unbound_certificate, true};
        return signer;
    }

    void add_countersignatures(Signer& signer)
    {
        const xmlNode* unsigned_signature =
            xades_child(xades_child(qualifying_for(signer.node), "UnsignedProperties"), "UnsignedSignatureProperties");
        for (xmlNode* holder : children(unsigned_signature, Xades_namespaces, "CounterSignature"))
            for (xmlNode* node = holder->children; node; node = node->next) {
                if (!is_signature(node))
                    continue;
                Signer counter = examine(node, signer.node);
                Countersignature_info info;
                info.read = !counter.certificate.empty();
                info.certificate = counter.certificate;
                info.signer = common_name(counter.certificate.x509());
                info.digest_nid = counter.digest_nid;
                info.matches = counter.refusal.empty() && verify(counter) == Signature_integrity::Intact;
                signer.countersignatures.push_back(std::move(info));
            }
    }

    xmlNode* qualifying_for(const xmlNode* signature) const
    {
        std::string ignored;
        return qualifying_properties(signature, ignored);
    }

    // The signature checked by xmlsec with the signer's key alone; any reference it could not
    // resolve or digest makes it not intact.
    // With digested, the bytes xmlsec digested for the signer's document reference (for each of its
    // references to elements, one after the other), once intact.
    Signature_integrity verify(const Signer& signer, bool detached_served = false,
                               std::vector<uint8_t>* digested = nullptr) const
    {
        if (signer.certificate.empty())
            return Signature_integrity::Not_intact;
        const std::vector<uint8_t> der = signer.certificate.der();
        Owner<xmlSecKey, Key_release> key(xmlSecCryptoAppKeyLoadMemory(
            der.data(), static_cast<xmlSecSize>(der.size()), xmlSecKeyDataFormatCertDer, nullptr, nullptr, nullptr));
        const Owner<xmlSecDSigCtx, Dsig_context_release> context(xmlSecDSigCtxCreate(nullptr));
        ERR_clear_error();
        if (!key || !context)
            return Signature_integrity::Not_intact;
        context->signKey = key.release();
        context->flags |= XMLSEC_DSIG_FLAGS_IGNORE_MANIFESTS;
        if (digested)
            context->flags |= XMLSEC_DSIG_FLAGS_STORE_SIGNEDINFO_REFERENCES;
        int uris = xmlSecTransformUriTypeEmpty | xmlSecTransformUriTypeSameDocument;
        if (detached_served)
            uris |= xmlSecTransformUriTypeRemote;
        context->enabledReferenceUris = static_cast<xmlSecTransformUriType>(uris);
        const xmlSecTransformId reference_transforms[] = {
            xmlSecTransformInclC14NId,   xmlSecTransformInclC14NWithCommentsId,
            xmlSecTransformExclC14NId,   xmlSecTransformExclC14NWithCommentsId,
            xmlSecTransformInclC14N11Id, xmlSecTransformInclC14N11WithCommentsId,
            xmlSecTransformEnvelopedId,  xmlSecTransformBase64Id,
            xmlSecTransformXPathId,      xmlSecTransformXPath2Id,
            xmlSecTransformSha1Id,       xmlSecTransformSha224Id,
            xmlSecTransformSha256Id,     xmlSecTransformSha384Id,
            xmlSecTransformSha512Id};
        const xmlSecTransformId signature_transforms[] = {
            xmlSecTransformInclC14NId,    xmlSecTransformInclC14NWithCommentsId,
            xmlSecTransformExclC14NId,    xmlSecTransformExclC14NWithCommentsId,
            xmlSecTransformInclC14N11Id,  xmlSecTransformInclC14N11WithCommentsId,
            xmlSecTransformRsaSha1Id,     xmlSecTransformRsaSha224Id,
            xmlSecTransformRsaSha256Id,   xmlSecTransformRsaSha384Id,
            xmlSecTransformRsaSha512Id,   xmlSecTransformEcdsaSha1Id,
            xmlSecTransformEcdsaSha224Id, xmlSecTransformEcdsaSha256Id,
            xmlSecTransformEcdsaSha384Id, xmlSecTransformEcdsaSha512Id};
        for (const xmlSecTransformId id : reference_transforms)
            if (xmlSecDSigCtxEnableReferenceTransform(context.get(), id) < 0)
                return Signature_integrity::Not_intact;
        for (const xmlSecTransformId id : signature_transforms)
            if (xmlSecDSigCtxEnableSignatureTransform(context.get(), id) < 0)
                return Signature_integrity::Not_intact;
        const int result = xmlSecDSigCtxVerify(context.get(), signer.node);
        ERR_clear_error();
        if (result < 0 || context->status != xmlSecDSigStatusSucceeded)
            return Signature_integrity::Not_intact;
        if (digested) {
            digested->clear();
            const std::vector<xmlNode*> references =
                signer.data_reference ? std::vector<xmlNode*>{signer.data_reference} : signer.element_references;
            for (xmlNode* reference : references)
                if (!digested_bytes(context.get(), signer, reference, *digested))
                    return Signature_integrity::Not_intact;
        }
        return Signature_integrity::Intact;
    }

    // The bytes xmlsec digested for a reference of the signer, found by its place among the
    // references and added to bytes: what it covers is what is shown and handed on, nothing read again.
    static bool digested_bytes(xmlSecDSigCtx* context, const Signer& signer, const xmlNode* data_reference,
                               std::vector<uint8_t>& bytes)
    {
        size_t index = 0;
        const xmlNode* signed_info = child(signer.node, Dsig_ns, "SignedInfo");
        for (const xmlNode* node = signed_info ? signed_info->children : nullptr; node != data_reference;
             node = node->next) {
            if (!node)
                return false;
            index += is_element(node, Dsig_ns, "Reference") ? 1 : 0;
        }
        if (index >= xmlSecPtrListGetSize(&context->signedInfoReferences))
            return false;
        auto* reference =
            static_cast<xmlSecDSigReferenceCtx*>(xmlSecPtrListGetItem(&context->signedInfoReferences, index));
        xmlSecBuffer* buffer = reference ? xmlSecDSigReferenceCtxGetPreDigestBuffer(reference) : nullptr;
        if (!buffer || !reference->uri ||
            xml_attribute(data_reference, "URI") != reinterpret_cast<const char*>(reference->uri))
            return false;
        const xmlSecByte* data = xmlSecBufferGetData(buffer);
        bytes.insert(bytes.end(), data, data + xmlSecBufferGetSize(buffer));
        return true;
    }

    void check(Signer& signer, bool detached_served = false, std::vector<uint8_t>* digested = nullptr) const
    {
        if (!signer.refusal.empty())
            signer.integrity.assign(Signature_integrity::Not_intact);
        else
            signer.integrity.assign(verify(signer, detached_served, digested));
    }
};

Xml_signature::Xml_signature(const std::atomic<bool>* cancel) : _cancel(cancel) {}

Xml_signature::~Xml_signature() = default;

void Xml_signature::parse(std::span<const uint8_t> bytes)
{
    parse_file(Document_bytes(std::vector<uint8_t>(bytes.begin(), bytes.end())));
}

void Xml_signature::parse_file(const Document_bytes& bytes)
{
    _state.reset();
    _failure.clear();
    _signatures_read = false;
    _content = {};
    if (bytes.size() > Xml_signature_max_size) {
        _failure = Xml_text_too_large;
        return;
    }
    auto state = std::make_unique<State>();
    state->file = bytes;
    Xml_parse_failure why = Xml_parse_failure::None;
    {
        // A copy: a mapped file that shrinks would otherwise fault inside the parser.
        const std::vector<uint8_t> copy = bytes.to_vector();
        state->document = parse_plain_xml(copy, why);
    }
    _failure = xml_failure_text(why, {Xml_text_library, Xml_text_unreadable, Xml_text_dtd, Xml_text_too_complex});
    if (!_failure.empty())
        return;
    if (!register_xml_ids(state->document.get())) {
        _failure = Xml_text_duplicate_id;
        return;
    }
    if (!state->attributes_unambiguous()) {
        _failure = Xml_text_ambiguous_attribute;
        return;
    }
    if (!state->find_signatures()) {
        _failure = Xml_text_misplaced;
        return;
    }
    for (size_t n = 0; n < state->signers.size(); ++n)
        state->signers[n] = state->examine(state->signers[n].node, nullptr, n ? &state->signers.front() : nullptr);
    if (!state->signatures_placed()) {
        _failure = Xml_text_misplaced;
        return;
    }
    for (State::Signer& signer : state->signers)
        state->add_countersignatures(signer);
    if (!state->signers.empty()) {
        const State::Signer& first = state->signers.front();
        if (first.node != state->root())
            state->shape = first.elements.empty() ? State::Shape::Enveloped : State::Shape::Referenced;
        else if (!state->detached_uri.empty())
            state->shape = State::Shape::Detached;
        else if (first.data_reference)
            state->shape = State::Shape::Enveloping;
    }
    _state = std::move(state);
}

bool Xml_signature::parsed() const
{
    return _state && _state->document;
}

void Xml_signature::read_signatures()
{
    _signatures_read = parsed();
}

std::string Xml_signature::file_name() const
{
    return _state ? _state->detached_uri : std::string();
}

void Xml_signature::extract_original_document()
{
    if (!parsed())
        return;
    State& state = *_state;
    switch (state.shape) {
    case State::Shape::Enveloped:
        // The document is the file itself, signatures included, as it must be kept.
        _content = state.file;
        break;
    case State::Shape::Enveloping: {
        State::Signer& signer = state.signers.front();
        const xmlNode* object = xml_id_target(state.document.get(), xml_attribute(signer.data_reference, "URI"));
        bool base64 = false;
        if (const xmlNode* transforms = child(signer.data_reference, Dsig_ns, "Transforms"))
            for (xmlNode* node = transforms->children; node; node = node->next)
                base64 = base64 || xml_attribute(node, "Algorithm") == Base64_transform;
        if (base64) {
            // The decoded document is the one xmlsec digested; a signature that does not match
            // shows what the Object's text decodes to.
            std::vector<uint8_t> digested;
            state.check(signer, false, &digested);
            if (signer.integrity.value() == Signature_integrity::Intact)
                _content = Document_bytes(std::move(digested));
            else
                _content = Document_bytes(base64_bytes(xml_text(object)));
        } else if (object) {
            const Owner<xmlBuffer, Buffer_release> buffer(xmlBufferCreate());
            for (xmlNode* node = object->children; node && buffer; node = node->next)
                xmlNodeDump(buffer.get(), state.document.get(), node, 0, 0);
            if (buffer)
                _content = Document_bytes(std::vector<uint8_t>(
                    xmlBufferContent(buffer.get()), xmlBufferContent(buffer.get()) + xmlBufferLength(buffer.get())));
        }
        break;
    }
    case State::Shape::Referenced: {
        // The signed elements as xmlsec digested them for the first signature; when it does not
        // match, as they stand.
        State::Signer& signer = state.signers.front();
        std::vector<uint8_t> digested;
        state.check(signer, false, &digested);
        if (signer.integrity.value() != Signature_integrity::Intact) {
            digested.clear();
            for (xmlNode* element : signer.elements) {
                const std::vector<uint8_t> bytes = canonical(state.document.get(), element, C14n_methods[0]);
                digested.insert(digested.end(), bytes.begin(), bytes.end());
            }
        }
        _content = Document_bytes(std::move(digested));
        break;
    }
    case State::Shape::Detached:
    case State::Shape::None:
        break;
    }
    if (state.shape == State::Shape::Detached)
        return; // checked once the document is found
    for (State::Signer& signer : state.signers) {
        if (_cancel && *_cancel)
            return;
        if (!signer.integrity.is_assigned())
            state.check(signer);
    }
}

bool Xml_signature::detached() const
{
    return _state && _state->shape == State::Shape::Detached;
}

void Xml_signature::verify_detached(Document_bytes document)
{
    if (!detached())
        return;
    {
        const std::vector<uint8_t> copy = document.to_vector();
        const Xml_served_document served(_state->detached_uri, copy);
        for (State::Signer& signer : _state->signers)
            _state->check(signer, true);
    }
    _content = std::move(document);
}

Document_bytes Xml_signature::release_content()
{
    Document_bytes content = std::move(_content);
    _content = {};
    return content;
}

size_t Xml_signature::signatures_count() const
{
    return _state ? _state->signers.size() : 0;
}

void Xml_signature::select_signature(size_t index)
{
    assertion(index < signatures_count(), "index < signatures_count ()");
    _current = index;
}

bool Xml_signature::certificate_read() const
{
    return !signer_certificate().empty();
}

const Signer_certificate& Xml_signature::signer_certificate() const
{
    static const Signer_certificate none;
    return _current < signatures_count() ? _state->signers[_current].certificate : none;
}

std::shared_ptr<const System_time> Xml_signature::signing_time() const
{
    return _current < signatures_count() ? _state->signers[_current].time : nullptr;
}

Assignable<Signature_integrity> Xml_signature::signature_integrity() const
{
    if (_current >= signatures_count())
        return {};
    Assignable<Signature_integrity> integrity = _state->signers[_current].integrity;
    if (!integrity.is_assigned() && detached())
        integrity.set_failed("Il documento della firma separata non è stato trovato.");
    return integrity;
}

std::string Xml_signature::unchecked_text() const
{
    return _current < signatures_count() ? _state->signers[_current].refusal : std::string();
}

std::vector<std::vector<uint8_t>> Xml_signature::signer_timestamp_tokens(Timestamp_scope scope) const
{
    if (scope != Timestamp_scope::Signature || _current >= signatures_count())
        return {};
    return _state->signers[_current].tokens;
}

std::vector<uint8_t> Xml_signature::signature_value() const
{
    if (_current >= signatures_count())
        return {};
    const State::Signer& signer = _state->signers[_current];
    xmlNode* value = child(signer.node, Dsig_ns, "SignatureValue");
    return value ? canonical(_state->document.get(), value, *signer.token_c14n) : std::vector<uint8_t>{};
}

int Xml_signature::digest_algorithm() const
{
    return _current < signatures_count() ? _state->signers[_current].digest_nid : 0;
}

std::vector<Countersignature_info> Xml_signature::countersignatures() const
{
    return _current < signatures_count() ? _state->signers[_current].countersignatures
                                         : std::vector<Countersignature_info>{};
}

Legal_value_bar Xml_signature::no_legal_value() const
{
    return _current < signatures_count() ? _state->signers[_current].no_legal_value : Legal_value_bar{};
}

} // namespace velin
