#include "envelope/xml_signature_core.h"

#include "common/owner.h"
#include "common/trace.h"
#include "envelope/xml_tree.h"

#include <libxml/c14n.h>
#include <libxml/parser.h>
#include <xmlsec/app.h>
#include <xmlsec/crypto.h>
#include <xmlsec/errors.h>
#include <xmlsec/io.h>
#include <xmlsec/keys.h>
#include <xmlsec/xmldsig.h>
#include <xmlsec/xmlsec.h>

#include <openssl/err.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <mutex>
#include <string_view>

namespace velin {

namespace {

constexpr const char* Enveloped_transform = "http://www.w3.org/2000/09/xmldsig#enveloped-signature";
constexpr const char* Base64_transform = "http://www.w3.org/2000/09/xmldsig#base64";
constexpr const char* Xpath_transform = "http://www.w3.org/TR/1999/REC-xpath-19991116";
constexpr const char* Xpath_filter_transform = "http://www.w3.org/2002/06/xmldsig-filter2";

constexpr Xml_c14n_method C14n_methods[] = {
    {"http://www.w3.org/TR/2001/REC-xml-c14n-20010315", XML_C14N_1_0, false},
    {"http://www.w3.org/TR/2001/REC-xml-c14n-20010315#WithComments", XML_C14N_1_0, true},
    {"http://www.w3.org/2001/10/xml-exc-c14n#", XML_C14N_EXCLUSIVE_1_0, false},
    {"http://www.w3.org/2001/10/xml-exc-c14n#WithComments", XML_C14N_EXCLUSIVE_1_0, true},
    {"http://www.w3.org/2006/12/xml-c14n11", XML_C14N_1_1, false},
    {"http://www.w3.org/2006/12/xml-c14n11#WithComments", XML_C14N_1_1, true},
};

struct Dsig_context_release {
    void operator()(xmlSecDSigCtx* context) const { xmlSecDSigCtxDestroy(context); }
};
struct Key_release {
    void operator()(xmlSecKey* key) const { xmlSecKeyDestroy(key); }
};

// The documents xmlsec may read, through the only input callbacks it keeps.
thread_local const Xml_served_document* served = nullptr;

struct Served_reading {
    std::span<const uint8_t> bytes;
    size_t at = 0;
};

int serves(const char* uri)
{
    return served && uri && served->find(uri) ? 1 : 0;
}

void* open_served(const char* uri)
{
    const Xml_served_file* file = served && uri ? served->find(uri) : nullptr;
    if (!file)
        return nullptr;
    return new Served_reading{file->bytes, 0};
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

// One of the two XPath filters that leave out every signature, read token by token as XPath reads
// it; any other expression, however close, is refused.
bool leaves_out_signatures(const xmlNode* transform, const std::string& algorithm)
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

// A file name beside the signature: no scheme, no folder, nothing escaped.
bool is_plain_file_name(const std::string& uri)
{
    return !uri.empty() && uri != "." && uri != ".." && uri.find_first_of(":/\\%?#") == std::string::npos;
}

// False when an element of the signature gives one attribute name twice (a URI and a p:URI):
// xmlsec reads the first of a name whatever its namespace, we the one without.
bool attributes_unambiguous(xmlDoc* document)
{
    bool unambiguous = true;
    walk_elements(xmlDocGetRootElement(document), [&](xmlNode* node) {
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

// Only what the policy allows runs inside xmlsec: anything else in a signature fails there too.
bool enable_listed_algorithms(xmlSecDSigCtx* context, const Xml_signature_policy& policy)
{
    std::vector<xmlSecTransformId> reference = {xmlSecTransformInclC14NId,   xmlSecTransformInclC14NWithCommentsId,
                                                xmlSecTransformExclC14NId,   xmlSecTransformExclC14NWithCommentsId,
                                                xmlSecTransformInclC14N11Id, xmlSecTransformInclC14N11WithCommentsId,
                                                xmlSecTransformSha1Id,       xmlSecTransformSha224Id,
                                                xmlSecTransformSha256Id,     xmlSecTransformSha384Id,
                                                xmlSecTransformSha512Id};
    if (policy.transforms.enveloped)
        reference.push_back(xmlSecTransformEnvelopedId);
    if (policy.transforms.base64)
        reference.push_back(xmlSecTransformBase64Id);
    if (policy.transforms.signature_filters) {
        reference.push_back(xmlSecTransformXPathId);
        reference.push_back(xmlSecTransformXPath2Id);
    }
    const xmlSecTransformId signature[] = {xmlSecTransformInclC14NId,    xmlSecTransformInclC14NWithCommentsId,
                                           xmlSecTransformExclC14NId,    xmlSecTransformExclC14NWithCommentsId,
                                           xmlSecTransformInclC14N11Id,  xmlSecTransformInclC14N11WithCommentsId,
                                           xmlSecTransformRsaSha1Id,     xmlSecTransformRsaSha224Id,
                                           xmlSecTransformRsaSha256Id,   xmlSecTransformRsaSha384Id,
                                           xmlSecTransformRsaSha512Id,   xmlSecTransformEcdsaSha1Id,
                                           xmlSecTransformEcdsaSha224Id, xmlSecTransformEcdsaSha256Id,
                                           xmlSecTransformEcdsaSha384Id, xmlSecTransformEcdsaSha512Id};
    for (const xmlSecTransformId id : reference)
        if (xmlSecDSigCtxEnableReferenceTransform(context, id) < 0)
            return false;
    for (const xmlSecTransformId id : signature)
        if (xmlSecDSigCtxEnableSignatureTransform(context, id) < 0)
            return false;
    return true;
}

// The bytes xmlsec digested for each Reference of the SignedInfo, matched by place and checked by
// URI: what a reference covers is what the caller shows and hands on, nothing read again.
std::vector<Xml_digested_reference> digested_references(xmlSecDSigCtx* context, const xmlNode* signature)
{
    std::vector<Xml_digested_reference> digested;
    xmlSecSize index = 0;
    const xmlNode* signed_info = xml_child(signature, Dsig_ns, "SignedInfo");
    for (const xmlNode* reference = signed_info ? signed_info->children : nullptr; reference;
         reference = reference->next) {
        if (!is_element(reference, Dsig_ns, "Reference"))
            continue;
        const xmlSecSize at = index++;
        if (at >= xmlSecPtrListGetSize(&context->signedInfoReferences))
            break;
        auto* reference_context =
            static_cast<xmlSecDSigReferenceCtx*>(xmlSecPtrListGetItem(&context->signedInfoReferences, at));
        xmlSecBuffer* buffer =
            reference_context ? xmlSecDSigReferenceCtxGetPreDigestBuffer(reference_context) : nullptr;
        if (!buffer || !reference_context->uri ||
            xml_attribute(reference, "URI") != reinterpret_cast<const char*>(reference_context->uri))
            continue;
        const xmlSecByte* data = xmlSecBufferGetData(buffer);
        digested.push_back({reference, std::vector<uint8_t>(data, data + xmlSecBufferGetSize(buffer))});
    }
    return digested;
}

} // namespace

Xml_served_document::Xml_served_document(std::string uri, std::span<const uint8_t> bytes)
    : Xml_served_document(std::vector<Xml_served_file>{{std::move(uri), bytes}})
{}

Xml_served_document::Xml_served_document(std::vector<Xml_served_file> files)
    : _files(std::move(files)), _previous(served)
{
    served = this;
}

const Xml_served_file* Xml_served_document::find(std::string_view name) const
{
    for (const Xml_served_file& file : _files)
        if (file.name == name)
            return &file;
    return nullptr;
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

const Xml_c14n_method* xml_c14n_method(const std::string& uri)
{
    for (const Xml_c14n_method& method : C14n_methods)
        if (uri == method.uri)
            return &method;
    return nullptr;
}

const Xml_c14n_method& xml_default_c14n()
{
    return C14n_methods[0];
}

bool xml_transforms_allowed(const xmlNode* reference, const Xml_transforms_allowed& allowed, bool* enveloped)
{
    if (enveloped)
        *enveloped = false;
    const xmlNode* transforms = xml_child(reference, Dsig_ns, "Transforms");
    for (xmlNode* node = transforms ? transforms->children : nullptr; node; node = node->next) {
        if (node->type != XML_ELEMENT_NODE)
            continue;
        if (!is_element(node, Dsig_ns, "Transform"))
            return false;
        const std::string algorithm = xml_attribute(node, "Algorithm");
        if (xml_c14n_method(algorithm))
            continue;
        if (algorithm == Enveloped_transform && allowed.enveloped) {
            if (enveloped)
                *enveloped = true;
            continue;
        }
        if (algorithm == Base64_transform && allowed.base64)
            continue;
        if (!allowed.signature_filters || !leaves_out_signatures(node, algorithm))
            return false;
    }
    return true;
}

std::vector<Xml_reference> xml_signed_references(xmlDoc* document, const xmlNode* signature)
{
    std::vector<Xml_reference> references;
    const xmlNode* signed_info = xml_child(signature, Dsig_ns, "SignedInfo");
    for (xmlNode* node = signed_info ? signed_info->children : nullptr; node; node = node->next) {
        if (!is_element(node, Dsig_ns, "Reference"))
            continue;
        Xml_reference& reference = references.emplace_back();
        reference.node = node;
        if (!xml_has_attribute(node, "URI"))
            continue;
        reference.uri = xml_attribute(node, "URI");
        if (reference.uri.empty()) {
            reference.kind = Xml_reference::Kind::Whole_document;
        } else if (reference.uri[0] == '#') {
            reference.kind = Xml_reference::Kind::Same_document;
            reference.target = xml_id_target(document, reference.uri);
        } else {
            reference.kind =
                is_plain_file_name(reference.uri) ? Xml_reference::Kind::File : Xml_reference::Kind::External;
        }
    }
    return references;
}

Xml_identifiers prepare_signed_xml(xmlDoc* document, const Xml_signature_policy& policy)
{
    if (!register_xml_ids(document))
        return Xml_identifiers::Duplicate_id;
    if (policy.refuse_ambiguous_attributes && !attributes_unambiguous(document))
        return Xml_identifiers::Ambiguous_attribute;
    return Xml_identifiers::Sound;
}

std::vector<std::vector<uint8_t>> xml_key_info_certificates(const xmlNode* signature)
{
    std::vector<std::vector<uint8_t>> certificates;
    for (xmlNode* data : xml_children(xml_child(signature, Dsig_ns, "KeyInfo"), Dsig_ns, "X509Data"))
        for (xmlNode* value : xml_children(data, Dsig_ns, "X509Certificate"))
            certificates.push_back(xml_base64_content(value));
    return certificates;
}

const std::vector<uint8_t>* Xml_verification::digested_for(const xmlNode* reference) const
{
    for (const Xml_digested_reference& entry : digested)
        if (entry.reference == reference)
            return &entry.bytes;
    return nullptr;
}

Xml_verification verify_xml_signature(xmlDoc* document, xmlNode* signature, const Xml_signature_policy& policy,
                                      std::span<const uint8_t> certificate_der)
{
    Xml_verification verification;
    if (!signature || signature->doc != document)
        return verification;
    Owner<xmlSecKey, Key_release> key(
        xmlSecCryptoAppKeyLoadMemory(certificate_der.data(), static_cast<xmlSecSize>(certificate_der.size()),
                                     xmlSecKeyDataFormatCertDer, nullptr, nullptr, nullptr));
    const Owner<xmlSecDSigCtx, Dsig_context_release> context(xmlSecDSigCtxCreate(nullptr));
    ERR_clear_error();
    if (!key || !context) {
        verification.outcome = Xml_verification::Outcome::Library_failure;
        return verification;
    }
    context->signKey = key.release();
    if (policy.ignore_manifests)
        context->flags |= XMLSEC_DSIG_FLAGS_IGNORE_MANIFESTS;
    if (policy.keep_digested)
        context->flags |= XMLSEC_DSIG_FLAGS_STORE_SIGNEDINFO_REFERENCES;
    int uris = 0;
    if (policy.whole_document)
        uris |= xmlSecTransformUriTypeEmpty;
    if (policy.same_document)
        uris |= xmlSecTransformUriTypeSameDocument;
    if (policy.served_document)
        uris |= xmlSecTransformUriTypeRemote;
    context->enabledReferenceUris = static_cast<xmlSecTransformUriType>(uris);
    if (policy.listed_algorithms_only && !enable_listed_algorithms(context.get(), policy))
        return verification;
    const int result = xmlSecDSigCtxVerify(context.get(), signature);
    ERR_clear_error();
    if (result < 0 || context->status != xmlSecDSigStatusSucceeded)
        return verification;
    verification.outcome = Xml_verification::Outcome::Verified;
    if (policy.keep_digested)
        verification.digested = digested_references(context.get(), signature);
    return verification;
}

} // namespace velin
