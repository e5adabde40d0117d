#include "envelope/xml_signature.h"

#include "common/failure.h"
#include "common/owner.h"
#include "envelope/asic_manifest.h"
#include "envelope/xml_date_time.h"
#include "envelope/xml_long_term.h"
#include "envelope/xml_signature_core.h"
#include "envelope/xml_tree.h"

#include <libxml/c14n.h>
#include <libxml/xmlIO.h>

#include <openssl/evp.h>
#include <openssl/objects.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <set>

namespace velin {

namespace {

constexpr const char* Xades_namespaces[] = {"http://uri.etsi.org/01903/v1.3.2#", "http://uri.etsi.org/01903/v1.1.1#",
                                            nullptr};
constexpr const char* Base64_transform = "http://www.w3.org/2000/09/xmldsig#base64";
// No file renews its archive time stamps this often: the rest of a hostile one is not read.
constexpr size_t Long_term_stamps_max = 64;

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

xmlNode* xades_child(const xmlNode* parent, const char* name)
{
    const auto found = xml_children_in(parent, Xades_namespaces, name);
    return found.empty() ? nullptr : found.front();
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

// The canonical form of an element and everything in it, as a time stamp over it covers it.
std::vector<uint8_t> canonical(xmlDoc* document, xmlNode* element, const Xml_c14n_method& method)
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

// Canonical XML read again and canonicalised by another method; empty when it does not read.
std::vector<uint8_t> canonical_again(const std::vector<uint8_t>& canonical_xml, const Xml_c14n_method& method)
{
    Xml_parse_failure failure = Xml_parse_failure::None;
    const Xml_document document = parse_plain_xml(canonical_xml, failure);
    const Owner<xmlOutputBuffer, Output_release> output(xmlAllocOutputBuffer(nullptr));
    if (!document || !output ||
        xmlC14NExecute(document.get(), nullptr, nullptr, method.mode, nullptr, method.comments ? 1 : 0, output.get()) <
            0)
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

// What the signed files may carry: every transform a signature of a file may use (each reference
// is held to those of its own kind), and the algorithms listed in the core, nothing else.
Xml_signature_policy signed_file_policy()
{
    Xml_signature_policy policy;
    policy.transforms.enveloped = true;
    policy.transforms.base64 = true;
    policy.transforms.signature_filters = true;
    return policy;
}

} // namespace

struct Xml_signature::State {
    // Referenced: signatures that sign elements of the document named by Id, wherever they stand.
    // Container: the signatures of a container's signatures file, over files of the container.
    enum class Shape { None, Enveloped, Enveloping, Detached, Referenced, Container };
    enum class Target { Whole, Object, File, Element, Properties, Key_info, Countersigned, External, Other };

    // A time stamp over a signature's long-term data: an archive time stamp (of the 1.4.1
    // namespace), a SigAndRefsTimeStamp (scope Archive both) or a RefsOnlyTimeStamp (References).
    struct Long_term_stamp {
        enum class Kind { Archive, Sig_and_refs, Refs_only };
        Kind kind = Kind::Archive;
        const xmlNode* element = nullptr;
        std::vector<uint8_t> token;
        const Xml_c14n_method* c14n = &xml_default_c14n();
        // The signer's earlier time stamps its bytes cover, counted among the signer's own: its
        // signature time stamps first, then these, in document order each.
        std::vector<size_t> covered;
        std::vector<std::string> coverage_errors;

        Timestamp_scope scope() const
        {
            return kind == Kind::Refs_only ? Timestamp_scope::References : Timestamp_scope::Archive;
        }
    };

    struct Signer {
        xmlNode* node = nullptr;
        xmlNode* properties = nullptr; // the SignedProperties the signature's reference covers
        std::string refusal; // why it is refused before any cryptography
        Signer_certificate certificate;
        std::shared_ptr<const System_time> time;
        Assignable<Signature_integrity> integrity;
        int digest_nid = 0;
        std::vector<std::vector<uint8_t>> tokens;
        const Xml_c14n_method* token_c14n = &xml_default_c14n();
        std::vector<Countersignature_info> countersignatures;
        xmlNode* data_reference = nullptr;
        // The references to elements of the document by Id, and those elements, in that order.
        std::vector<xmlNode*> element_references;
        std::vector<xmlNode*> elements;
        bool whole = false; // a reference covers the whole document
        Legal_value_bar no_legal_value;
        std::vector<Long_term_stamp> long_term;
        // What xmlsec digested for each of its references, in order, once intact: kept for the
        // archive time stamps only, which cover it first.
        std::optional<std::vector<Xml_digested_reference>> reference_bytes;
        // The certificates and revocation values it carries.
        Validation_data values;
        // The faults of its references that no time stamp covers.
        std::vector<std::string> long_term_warnings;
        // In a container: the files its references name, each as xmlsec asks for it (the URI with
        // its escapes decoded) and by its name in the container; and those it covers once intact.
        std::vector<std::pair<std::string, std::string>> container_references;
        std::vector<std::string> covers;
    };

    Xml_document document;
    Document_bytes file;
    std::vector<Signer> signers;
    Shape shape = Shape::None;
    std::string detached_uri;
    // The container's files, when the signatures are a container's; the bytes of them its
    // signatures may have digested in all, and those they have.
    const std::vector<Asic_entry>* container = nullptr;
    uint64_t digest_budget = 0;
    uint64_t digested = 0;

    xmlNode* root() const { return xmlDocGetRootElement(document.get()); }

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
                for (xmlNode* properties : xml_children_in(object, Xades_namespaces, "QualifyingProperties"))
                    found.push_back(properties);
        if (found.size() > 1) {
            refusal = Xml_text_properties;
            return nullptr;
        }
        // Their Target attribute is not signed and binds nothing: the reference of the signature
        // to the signed properties inside its own Object does.
        return found.empty() ? nullptr : found.front();
    }

    // The transforms a reference to that target may use besides canonicalisation.
    static Xml_transforms_allowed transforms_for(Target target)
    {
        Xml_transforms_allowed allowed;
        allowed.enveloped = target == Target::Whole;
        allowed.signature_filters = target == Target::Whole;
        allowed.base64 = target == Target::Object;
        return allowed;
    }

    Target classify(const Xml_reference& reference, const xmlNode* signature, const xmlNode* properties,
                    const xmlNode* countersigned) const
    {
        switch (reference.kind) {
        case Xml_reference::Kind::No_uri:
            return Target::Other;
        case Xml_reference::Kind::Whole_document:
            return Target::Whole;
        case Xml_reference::Kind::File:
            return Target::File;
        case Xml_reference::Kind::External:
            return Target::External;
        case Xml_reference::Kind::Same_document:
            break;
        }
        const xmlNode* target = reference.target;
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
        return !xml_children_in(object, Xades_namespaces, "QualifyingProperties").empty();
    }

    const Asic_entry* container_file(const std::string& name) const
    {
        for (const Asic_entry& entry : *container)
            if (entry.name == name)
                return &entry;
        return nullptr;
    }

    // A signature of a container: references to files of the container, by their URIs relative to
    // its root, and to the signature's own signed properties or key information, nothing else.
    std::string check_container_references(Signer& signer) const
    {
        bool properties_covered = false;
        for (const Xml_reference& reference : xml_signed_references(document.get(), signer.node)) {
            if (reference.kind == Xml_reference::Kind::File || reference.kind == Xml_reference::Kind::External) {
                const std::optional<std::string> name = asic_entry_name_of_uri(reference.uri);
                if (!name)
                    return Xml_text_external;
                if (!container_file(*name))
                    return asic_missing_file_text(reference.uri);
                if (!xml_transforms_allowed(reference.node, transforms_for(Target::File)))
                    return Xml_text_transform;
                // xmlsec asks for the URI decoded, a leading "./" kept.
                signer.container_references.emplace_back(reference.uri.starts_with("./") ? "./" + *name : *name, *name);
                continue;
            }
            const Target target = classify(reference, signer.node, signer.properties, nullptr);
            if (target != Target::Properties && target != Target::Key_info)
                return Xml_text_reference;
            if (!xml_transforms_allowed(reference.node, transforms_for(target)))
                return Xml_text_transform;
            properties_covered = properties_covered || target == Target::Properties;
        }
        if (signer.properties && !properties_covered)
            return Xml_text_properties;
        return signer.container_references.empty() ? Xml_text_not_whole : "";
    }

    // A container's signature checked over the files its references name, served from memory
    // (a copy of those read from a mapped file, which could shrink meanwhile). Signatures that
    // would digest more than the budget, the same large file over and over, are not checked.
    void check_in_container(Signer& signer)
    {
        uint64_t size = 0;
        for (const auto& reference : signer.container_references)
            size += container_file(reference.second)->bytes.size();
        if (signer.refusal.empty() && size > digest_budget - std::min(digested, digest_budget))
            signer.refusal = Xml_text_container_budget;
        if (!signer.refusal.empty()) {
            check(signer);
            return;
        }
        digested += size;
        std::vector<Xml_served_file> served;
        std::vector<std::vector<uint8_t>> copies;
        copies.reserve(signer.container_references.size());
        for (const auto& [asked, name] : signer.container_references) {
            const Document_bytes& bytes = container_file(name)->bytes;
            if (bytes.mapped())
                served.push_back({asked, copies.emplace_back(bytes.to_vector())});
            else
                served.push_back({asked, bytes.view()});
        }
        {
            const Xml_served_document serving(std::move(served));
            check(signer, true);
        }
        if (signer.integrity.value() != Signature_integrity::Intact)
            return;
        for (const auto& reference : signer.container_references)
            if (std::find(signer.covers.begin(), signer.covers.end(), reference.second) == signer.covers.end())
                signer.covers.push_back(reference.second);
    }

    // The references of a signature against what it must cover; the refusal text, empty when sound.
    std::string check_references(Signer& signer, const xmlNode* countersigned)
    {
        if (container && !countersigned)
            return check_container_references(signer);
        const xmlNode* signature = signer.node;
        const bool top = signature == root();
        int whole = 0, data = 0, elements = 0, countersigned_count = 0;
        bool properties_covered = false;
        std::string file;
        for (const Xml_reference& reference : xml_signed_references(document.get(), signature)) {
            const Target target = classify(reference, signature, signer.properties, countersigned);
            if (target == Target::External)
                return Xml_text_external;
            if (target == Target::Other)
                return Xml_text_reference;
            if (!xml_transforms_allowed(reference.node, transforms_for(target)))
                return Xml_text_transform;
            switch (target) {
            case Target::Whole:
                ++whole;
                signer.whole = true;
                break;
            case Target::Element:
                ++elements;
                signer.element_references.push_back(reference.node);
                signer.elements.push_back(reference.target);
                break;
            case Target::Object:
            case Target::File:
                ++data;
                signer.data_reference = reference.node;
                if (target == Target::File)
                    file = reference.uri;
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
        for (const std::vector<uint8_t>& der : xml_key_info_certificates(signer.node))
            if (auto certificate = Signer_certificate::from_der(der); !certificate.empty())
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
        for (xmlNode* cert : xml_children_in(binding, Xades_namespaces, "Cert")) {
            const xmlNode* digest = xades_child(cert, "CertDigest");
            const int nid =
                digest_of(Digest_methods, xml_attribute(xml_child(digest, Dsig_ns, "DigestMethod"), "Algorithm"));
            const std::vector<uint8_t> expected = xml_base64_content(xml_child(digest, Dsig_ns, "DigestValue"));
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
        read_unsigned(signer, unsigned_signature);
        match_references(signer, unsigned_signature);
    }

    // The long-term stamp of that kind the element is; none when it is no such time stamp.
    static std::optional<Long_term_stamp::Kind> long_term_kind(const xmlNode* element)
    {
        if (is_element(element, Xades141_ns, "ArchiveTimeStamp"))
            return Long_term_stamp::Kind::Archive;
        if (is_element_in(element, Xades_namespaces, "SigAndRefsTimeStamp"))
            return Long_term_stamp::Kind::Sig_and_refs;
        if (is_element_in(element, Xades_namespaces, "RefsOnlyTimeStamp"))
            return Long_term_stamp::Kind::Refs_only;
        return std::nullopt;
    }

    // The signature time stamps, the long-term ones and the values, in document order.
    static void read_unsigned(Signer& signer, const xmlNode* unsigned_signature)
    {
        constexpr const char* Token_namespaces[] = {"http://uri.etsi.org/01903/v1.3.2#",
                                                    "http://uri.etsi.org/01903/v1.1.1#", Xades141_ns, nullptr};
        size_t budget = Xml_values_max_text;
        // For each long-term stamp, the signature time stamps before it.
        std::vector<size_t> signature_before;
        for (xmlNode* element = unsigned_signature ? unsigned_signature->children : nullptr; element;
             element = element->next) {
            if (element->type != XML_ELEMENT_NODE)
                continue;
            const std::string method =
                xml_attribute(xml_child(element, Dsig_ns, "CanonicalizationMethod"), "Algorithm");
            if (is_element_in(element, Xades_namespaces, "SignatureTimeStamp")) {
                if (signer.tokens.empty() && xml_c14n_method(method))
                    signer.token_c14n = xml_c14n_method(method);
                for (xmlNode* token : xml_children_in(element, Xades_namespaces, "EncapsulatedTimeStamp"))
                    signer.tokens.push_back(xml_base64_content(token));
            } else if (const auto kind = long_term_kind(element)) {
                for (xmlNode* token : xml_children_in(element, Token_namespaces, "EncapsulatedTimeStamp")) {
                    if (signer.long_term.size() >= Long_term_stamps_max)
                        break;
                    Long_term_stamp& stamp = signer.long_term.emplace_back();
                    stamp.kind = *kind;
                    stamp.element = element;
                    stamp.token = xml_base64_content(token);
                    if (const Xml_c14n_method* named = xml_c14n_method(method))
                        stamp.c14n = named;
                    signature_before.push_back(signer.tokens.size());
                }
            } else {
                add_xml_values(element, signer.values, budget);
            }
        }
        // An archive time stamp covers every time stamp before it; the one over the signature and
        // its references covers the signature time stamps wherever they stand.
        const size_t signature_count = signer.tokens.size();
        for (size_t n = 0; n < signer.long_term.size(); ++n) {
            Long_term_stamp& stamp = signer.long_term[n];
            if (stamp.kind == Long_term_stamp::Kind::Refs_only)
                continue;
            const bool archive = stamp.kind == Long_term_stamp::Kind::Archive;
            for (size_t k = 0; k < (archive ? signature_before[n] : signature_count); ++k)
                stamp.covered.push_back(k);
            for (size_t k = 0; archive && k < n; ++k)
                if (signer.long_term[k].element != stamp.element)
                    stamp.covered.push_back(signature_count + k);
        }
    }

    // The references to values (CompleteCertificateRefs, CompleteRevocationRefs) of a signature that
    // carries the values themselves: one naming none of them is a fault of every time stamp over it.
    static void match_references(Signer& signer, const xmlNode* unsigned_signature)
    {
        const bool certificates = !xml_children_in(unsigned_signature, Xades_namespaces, "CertificateValues").empty();
        const bool revocation = !xml_children_in(unsigned_signature, Xades_namespaces, "RevocationValues").empty();
        if (!certificates && !revocation)
            return;
        Xml_reference_matcher matcher(signer.values, xml_key_info_certificates(signer.node));
        for (xmlNode* element = unsigned_signature->children; element; element = element->next) {
            const bool of_certificates = is_element_in(element, Xades_namespaces, "CompleteCertificateRefs");
            if (!(of_certificates ? certificates
                                  : revocation && is_element_in(element, Xades_namespaces, "CompleteRevocationRefs")))
                continue;
            const std::string fault = matcher.unmatched(element);
            if (fault.empty())
                continue;
            bool covered = false;
            for (Long_term_stamp& stamp : signer.long_term) {
                if (stamp.kind == Long_term_stamp::Kind::Archive && !after(stamp.element, element))
                    continue;
                covered = true;
                add_once(stamp.coverage_errors, fault);
            }
            if (!covered)
                add_once(signer.long_term_warnings, fault);
        }
    }

    static void add_once(std::vector<std::string>& texts, const std::string& text)
    {
        if (std::find(texts.begin(), texts.end(), text) == texts.end())
            texts.push_back(text);
    }

    // True when element is a later sibling of earlier.
    static bool after(const xmlNode* element, const xmlNode* earlier)
    {
        for (const xmlNode* at = earlier->next; at; at = at->next)
            if (at == element)
                return true;
        return false;
    }

    // Reads one signature (a counter-signature when countersigned is the signature it signs; one
    // after the first of the file when first is given).
    Signer examine(xmlNode* node, const xmlNode* countersigned, const Signer* first = nullptr)
    {
        Signer signer;
        signer.node = node;
        const xmlNode* qualifying = qualifying_properties(node, signer.refusal);
        if (qualifying) {
            const auto signed_properties = xml_children_in(qualifying, Xades_namespaces, "SignedProperties");
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
        const xmlNode* signed_info = xml_child(node, Dsig_ns, "SignedInfo");
        signer.digest_nid = digest_of(Signature_methods,
                                      xml_attribute(xml_child(signed_info, Dsig_ns, "SignatureMethod"), "Algorithm"));
        if (signer.digest_nid == 0 && signer.refusal.empty())
            signer.refusal = Xml_text_algorithm;
        for (xmlNode* reference = signed_info ? signed_info->children : nullptr; reference; reference = reference->next)
            if (is_element(reference, Dsig_ns, "Reference"))
                signer.digest_nid =
                    weaker(signer.digest_nid,
                           digest_of(Digest_methods,
                                     xml_attribute(xml_child(reference, Dsig_ns, "DigestMethod"), "Algorithm")));
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
        for (xmlNode* holder : xml_children_in(unsigned_signature, Xades_namespaces, "CounterSignature"))
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

    // The signature checked by the core with the signer's key alone; any reference it could not
    // resolve or digest makes it not intact.
    // With digested, the bytes xmlsec digested for the signer's document reference (for each of its
    // references to elements, one after the other), once intact: what it covers is what is shown
    // and handed on, nothing read again.
    // With references, the bytes digested for every reference, in order.
    Signature_integrity verify(const Signer& signer, bool detached_served = false,
                               std::vector<uint8_t>* digested = nullptr,
                               std::vector<Xml_digested_reference>* references = nullptr) const
    {
        if (signer.certificate.empty())
            return Signature_integrity::Not_intact;
        Xml_signature_policy policy = signed_file_policy();
        policy.served_document = detached_served;
        policy.keep_digested = digested != nullptr || references != nullptr;
        const std::vector<uint8_t> der = signer.certificate.der();
        Xml_verification verification = verify_xml_signature(document.get(), signer.node, policy, der);
        if (!verification.verified())
            return Signature_integrity::Not_intact;
        if (references)
            *references = verification.digested;
        if (digested) {
            digested->clear();
            const std::vector<xmlNode*> references =
                signer.data_reference ? std::vector<xmlNode*>{signer.data_reference} : signer.element_references;
            for (const xmlNode* reference : references) {
                const std::vector<uint8_t>* bytes = verification.digested_for(reference);
                if (!bytes)
                    return Signature_integrity::Not_intact;
                digested->insert(digested->end(), bytes->begin(), bytes->end());
            }
        }
        return Signature_integrity::Intact;
    }

    void check(Signer& signer, bool detached_served = false, std::vector<uint8_t>* digested = nullptr) const
    {
        signer.reference_bytes.reset();
        if (!signer.refusal.empty()) {
            signer.integrity.assign(Signature_integrity::Not_intact);
            return;
        }
        // The archive time stamps cover what the references digested: kept for them only.
        std::vector<Xml_digested_reference> references;
        const bool archived =
            std::any_of(signer.long_term.begin(), signer.long_term.end(),
                        [](const Long_term_stamp& stamp) { return stamp.kind == Long_term_stamp::Kind::Archive; });
        signer.integrity.assign(verify(signer, detached_served, digested, archived ? &references : nullptr));
        if (archived && signer.integrity.value() == Signature_integrity::Intact)
            signer.reference_bytes = std::move(references);
    }

    // The data of a reference as an archive time stamp covers it: what its transforms give, the
    // octets xmlsec digested; where they give XML nodes, which xmlsec digested in their inclusive
    // canonical form, those nodes canonicalised with the time stamp's method (the same nodes read
    // again from that form when the method is another one).
    static std::vector<uint8_t> reference_data(const Xml_digested_reference& reference, const Xml_c14n_method& method)
    {
        const xmlNode* last = nullptr;
        const xmlNode* transforms = xml_child(reference.reference, Dsig_ns, "Transforms");
        for (const xmlNode* node = transforms ? transforms->children : nullptr; node; node = node->next)
            if (is_element(node, Dsig_ns, "Transform"))
                last = node;
        const std::string uri = xml_attribute(reference.reference, "URI");
        const std::string algorithm = xml_attribute(last, "Algorithm");
        const bool octets =
            (!uri.empty() && uri.front() != '#') || xml_c14n_method(algorithm) || algorithm == Base64_transform;
        if (octets || &method == &xml_default_c14n())
            return reference.bytes;
        return canonical_again(reference.bytes, method);
    }

    // What a long-term time stamp covers, in order, each element canonicalised with the time
    // stamp's method; empty when it cannot be known (the data of a signature that does not match).
    //  - an archive time stamp: the data of the signature's references as xmlsec digested them (as
    //    their own transforms end), SignedInfo, SignatureValue, KeyInfo when there is one, every
    //    unsigned signature property before it, and the signature's Objects but the one of its
    //    qualifying properties;
    //  - one over the signature and its references: SignatureValue, then the signature time stamps
    //    and the references to validation data, in document order;
    //  - one over the references only: those references, in document order.
    std::vector<std::vector<uint8_t>> covered_pieces(const Signer& signer, const Long_term_stamp& stamp) const
    {
        std::vector<std::vector<uint8_t>> pieces;
        const auto add = [&](const xmlNode* element) {
            if (element)
                pieces.push_back(canonical(document.get(), const_cast<xmlNode*>(element), *stamp.c14n));
        };
        const xmlNode* properties = stamp.element->parent;
        if (stamp.kind == Long_term_stamp::Kind::Archive) {
            if (!signer.reference_bytes)
                return {};
            for (const Xml_digested_reference& reference : *signer.reference_bytes)
                pieces.push_back(reference_data(reference, *stamp.c14n));
            for (const char* name : {"SignedInfo", "SignatureValue", "KeyInfo"})
                add(xml_child(signer.node, Dsig_ns, name));
            for (const xmlNode* element = properties->children; element && element != stamp.element;
                 element = element->next)
                if (element->type == XML_ELEMENT_NODE)
                    add(element);
            for (const xmlNode* object : xml_children(signer.node, Dsig_ns, "Object"))
                if (!properties_inside(object))
                    add(object);
            return pieces;
        }
        if (stamp.kind == Long_term_stamp::Kind::Sig_and_refs)
            add(xml_child(signer.node, Dsig_ns, "SignatureValue"));
        for (const xmlNode* element = properties->children; element; element = element->next) {
            const bool reference = is_element_in(element, Xades_namespaces, "CompleteCertificateRefs") ||
                                   is_element_in(element, Xades_namespaces, "CompleteRevocationRefs") ||
                                   is_element_in(element, Xades_namespaces, "AttributeCertificateRefs") ||
                                   is_element_in(element, Xades_namespaces, "AttributeRevocationRefs");
            if (reference || (stamp.kind == Long_term_stamp::Kind::Sig_and_refs &&
                              is_element_in(element, Xades_namespaces, "SignatureTimeStamp")))
                add(element);
        }
        return pieces;
    }
};

Xml_signature::Xml_signature(const std::atomic<bool>* cancel) : _cancel(cancel) {}

Xml_signature::~Xml_signature() = default;

void Xml_signature::set_container_files(std::vector<Asic_entry> files, uint64_t digest_budget)
{
    _container_files = std::move(files);
    _container_digest_budget = digest_budget;
}

uint64_t Xml_signature::container_bytes_digested() const
{
    return _state ? _state->digested : 0;
}

std::vector<std::string> Xml_signature::covered_files() const
{
    return _current < signatures_count() ? _state->signers[_current].covers : std::vector<std::string>{};
}

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
    switch (prepare_signed_xml(state->document.get(), signed_file_policy())) {
    case Xml_identifiers::Duplicate_id:
        _failure = Xml_text_duplicate_id;
        return;
    case Xml_identifiers::Ambiguous_attribute:
        _failure = Xml_text_ambiguous_attribute;
        return;
    case Xml_identifiers::Sound:
        break;
    }
    if (_container_files) {
        state->container = &*_container_files;
        state->digest_budget = _container_digest_budget;
        const xmlNode* root = state->root();
        // The list's namespace, also as early containers wrote it.
        const char* lists[] = {Asic_manifest_ns, "http://uri.etsi.org/2918/v1.2.1#", nullptr};
        if (!is_element_in(root, lists, "XAdESSignatures") && !is_element(root, Dsig_ns, "Signature")) {
            _failure = Xml_text_container_root;
            return;
        }
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
    if (state->container) {
        state->shape = State::Shape::Container;
    } else if (!state->signers.empty()) {
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
        if (const xmlNode* transforms = xml_child(signer.data_reference, Dsig_ns, "Transforms"))
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
                _content = Document_bytes(xml_base64_content(object));
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
                const std::vector<uint8_t> bytes = canonical(state.document.get(), element, xml_default_c14n());
                digested.insert(digested.end(), bytes.begin(), bytes.end());
            }
        }
        _content = Document_bytes(std::move(digested));
        break;
    }
    case State::Shape::Container:
        // No one document: each signature is checked over the files it names.
        for (State::Signer& signer : state.signers) {
            if (_cancel && *_cancel)
                return;
            state.check_in_container(signer);
        }
        break;
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

std::vector<Timestamp_info> Xml_signature::signer_long_term_timestamps() const
{
    if (_current >= signatures_count())
        return {};
    const State::Signer& signer = _state->signers[_current];
    std::vector<Timestamp_info> checked;
    for (const State::Long_term_stamp& stamp : signer.long_term) {
        const std::vector<std::vector<uint8_t>> pieces = _state->covered_pieces(signer, stamp);
        const std::vector<std::span<const uint8_t>> spans(pieces.begin(), pieces.end());
        Timestamp_info info = check_timestamp(stamp.token, pieces.empty() ? Covered_digest{} : digest_of_pieces(spans));
        info.scope = stamp.scope();
        info.signer = _current;
        info.covered_timestamps = stamp.covered;
        info.coverage_errors = stamp.coverage_errors;
        checked.push_back(std::move(info));
    }
    return checked;
}

std::vector<std::string> Xml_signature::long_term_warnings() const
{
    return _current < signatures_count() ? _state->signers[_current].long_term_warnings : std::vector<std::string>{};
}

Validation_data Xml_signature::validation_data() const
{
    Validation_data data;
    for (size_t n = 0; n < signatures_count(); ++n)
        data.add(_state->signers[n].values);
    return data;
}

std::vector<uint8_t> Xml_signature::signature_value() const
{
    if (_current >= signatures_count())
        return {};
    const State::Signer& signer = _state->signers[_current];
    xmlNode* value = xml_child(signer.node, Dsig_ns, "SignatureValue");
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
