// The one verifier of XML signatures, shared by every reader of signed XML (the signed files'
// XAdES reader, the trusted lists' reader, and whatever reads or makes XML signatures next). Only
// here is xmlsec set up and does it get a signature context or a key. Each caller states what it
// accepts in an Xml_signature_policy; the rules every caller keeps are here:
//  - identifiers registered by the one rule of register_xml_ids, a value given twice refused, and
//    where the policy says so, an element of the signature giving one attribute name twice;
//  - references read as xmlsec reads them: "#name" names only a plain identifier;
//  - transforms only those the caller allows, XPath only in the two forms read exactly;
//  - what a reference covers is what xmlsec digested: its pre-digest bytes are handed back, never
//    read again from the tree.
#pragma once

#include <libxml/tree.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velin {

// Sets up libxml2 and xmlsec with the OpenSSL back end, once; false when that failed. xmlsec is
// left with no way to read anything by itself: no file, no network (see Xml_served_document).
bool xml_security_ready();

// A file xmlsec may read for a detached reference: its name as the reference's URI reads once
// its %-escapes are decoded, and its bytes.
struct Xml_served_file {
    std::string name;
    std::span<const uint8_t> bytes;
};

// The documents xmlsec is allowed to read for detached references while this object lives, on
// this thread only: exactly the given names, served from the given bytes. Every other URI fails.
// xmlsec asks for a reference's URI with its %-escapes decoded first, then as written.
class Xml_served_document {
public:
    // One document of a plain file name (no escapes).
    Xml_served_document(std::string uri, std::span<const uint8_t> bytes);
    // A set of documents, the files of a container; a name given twice serves its first bytes.
    explicit Xml_served_document(std::vector<Xml_served_file> files);
    ~Xml_served_document();
    Xml_served_document(const Xml_served_document&) = delete;
    Xml_served_document& operator=(const Xml_served_document&) = delete;

    // The file of exactly that name; null when none is served.
    const Xml_served_file* find(std::string_view name) const;

private:
    std::vector<Xml_served_file> _files;
    const Xml_served_document* _previous;
};

// A canonicalisation method: its URI and how libxml2 runs it (xmlC14NMode, with comments or not).
struct Xml_c14n_method {
    const char* uri;
    int mode;
    bool comments;
};
// The method of that URI; null when it is no canonicalisation.
const Xml_c14n_method* xml_c14n_method(const std::string& uri);
// Inclusive canonicalisation 1.0 without comments: the default where none is named.
const Xml_c14n_method& xml_default_c14n();

// The transforms a reference may use besides canonicalisation, which is always allowed.
struct Xml_transforms_allowed {
    bool enveloped = false; // the enveloped-signature transform
    bool base64 = false;
    // The two XPath filters signing applications write to leave every signature out of the whole
    // document: "not(ancestor-or-self::P:Signature)", and Filter 2.0 subtracting
    // "/descendant::P:Signature", P bound to the signature namespace where the expression stands.
    bool signature_filters = false;
};

// True when every transform of the reference is one allowed; enveloped, when given, tells whether
// the enveloped-signature transform is among them.
bool xml_transforms_allowed(const xmlNode* reference, const Xml_transforms_allowed& allowed, bool* enveloped = nullptr);

// A Reference of a signature's SignedInfo, as xmlsec resolves it.
struct Xml_reference {
    enum class Kind {
        No_uri, // the application would have to say what it means
        Whole_document, // URI=""
        Same_document, // "#name"; target is the element named, null when no plain identifier names one
        File, // a plain file name beside the signature: no scheme, folder or escape
        External, // anything else: another scheme, a folder, an XPointer
    };
    xmlNode* node = nullptr;
    Kind kind = Kind::No_uri;
    std::string uri;
    xmlNode* target = nullptr;
};
// The References of the signature's SignedInfo, in order (identifiers registered beforehand).
std::vector<Xml_reference> xml_signed_references(xmlDoc* document, const xmlNode* signature);

// What one caller accepts of an XML signature.
struct Xml_signature_policy {
    // The references xmlsec may resolve: the whole document, elements by Id, and the document an
    // Xml_served_document serves.
    bool whole_document = true;
    bool same_document = true;
    bool served_document = false;
    // The transforms the caller's references may use (checked per reference by
    // xml_transforms_allowed).
    Xml_transforms_allowed transforms;
    // xmlsec runs only canonicalisation, the transforms above, SHA-1 to SHA-512 digests and RSA or
    // ECDSA signatures with them; otherwise every algorithm it knows, the caller having read the
    // transforms itself.
    bool listed_algorithms_only = true;
    // References inside a Manifest are left to the caller, not followed by xmlsec.
    bool ignore_manifests = true;
    // An element of the signature (and of its XPath filters) giving one attribute name twice, in
    // two namespaces, is refused: xmlsec reads the first of a name whatever its namespace.
    bool refuse_ambiguous_attributes = true;
    // The pre-digest bytes of every reference are kept for the caller.
    bool keep_digested = false;
};

enum class Xml_identifiers { Sound, Duplicate_id, Ambiguous_attribute };
// Registers the document's identifiers by the one rule (register_xml_ids) and checks what the
// policy refuses; done once per document, before any signature of it is read.
Xml_identifiers prepare_signed_xml(xmlDoc* document, const Xml_signature_policy& policy);

// The X.509 certificates a signature's KeyInfo carries, decoded from base64, in document order
// (one that does not decode is empty).
std::vector<std::vector<uint8_t>> xml_key_info_certificates(const xmlNode* signature);

// What xmlsec digested for one reference.
struct Xml_digested_reference {
    const xmlNode* reference;
    std::vector<uint8_t> bytes;
};

struct Xml_verification {
    enum class Outcome { Verified, Not_verified, Library_failure };
    Outcome outcome = Outcome::Not_verified;
    // With keep_digested, once verified: the references xmlsec digested, in order.
    std::vector<Xml_digested_reference> digested;

    bool verified() const { return outcome == Outcome::Verified; }
    // The bytes digested for that Reference element; null when it has none.
    const std::vector<uint8_t>* digested_for(const xmlNode* reference) const;
};

// Checks the signature with the key of the given certificate alone: whatever KeyInfo says is not
// looked at. Any reference xmlsec cannot resolve or digest under the policy makes it not verified.
Xml_verification verify_xml_signature(xmlDoc* document, xmlNode* signature, const Xml_signature_policy& policy,
                                      std::span<const uint8_t> certificate_der);

} // namespace velin
