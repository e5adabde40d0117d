#include "trust/trusted_list_reader.h"

#include "common/owner.h"
#include "common/trace.h"
#include "common/xml_walk.h"
#include "envelope/base64_decode.h"
#include "envelope/xml_tree.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <xmlsec/app.h>
#include <xmlsec/crypto.h>
#include <xmlsec/errors.h>
#include <xmlsec/xmldsig.h>
#include <xmlsec/xmlsec.h>
#include <xmlsec/xmltree.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <strings.h>

namespace velin {

namespace {

constexpr const char* Tsl_ns = "http://uri.etsi.org/02231/v2#";
constexpr const char* Xades_ns = "http://uri.etsi.org/01903/v1.3.2#";
constexpr const char* Signed_properties_type = "http://uri.etsi.org/01903#SignedProperties";
constexpr const char* Enveloped_transform = "http://www.w3.org/2000/09/xmldsig#enveloped-signature";

constexpr const char* Allowed_transforms[] = {
    Enveloped_transform,
    "http://www.w3.org/TR/2001/REC-xml-c14n-20010315",
    "http://www.w3.org/TR/2001/REC-xml-c14n-20010315#WithComments",
    "http://www.w3.org/2001/10/xml-exc-c14n#",
    "http://www.w3.org/2001/10/xml-exc-c14n#WithComments",
    "http://www.w3.org/2006/12/xml-c14n11",
    "http://www.w3.org/2006/12/xml-c14n11#WithComments",
};

struct Xml_text_release {
    void operator()(xmlChar* text) const { xmlFree(text); }
};

bool has_local_name(const xmlNode* node, const char* name)
{
    return node && node->type == XML_ELEMENT_NODE && std::strcmp(reinterpret_cast<const char*>(node->name), name) == 0;
}

std::vector<xmlNode*> children(const xmlNode* parent, const char* name, const char* ns = Tsl_ns)
{
    std::vector<xmlNode*> found;
    if (!parent)
        return found;
    for (xmlNode* node = parent->children; node; node = node->next)
        if (is_element(node, ns, name))
            found.push_back(node);
    return found;
}

xmlNode* child(const xmlNode* parent, const char* name, const char* ns = Tsl_ns)
{
    if (!parent)
        return nullptr;
    for (xmlNode* node = parent->children; node; node = node->next)
        if (is_element(node, ns, name))
            return node;
    return nullptr;
}

// A multilingual name: Italian first, then English, then the first one given.
std::string name_of(const xmlNode* names)
{
    std::string first, english;
    for (xmlNode* name : children(names, "Name")) {
        const Owner<xmlChar, Xml_text_release> language(xmlNodeGetLang(name));
        const std::string lang = language ? reinterpret_cast<const char*>(language.get()) : "";
        const std::string value = trimmed(xml_text(name));
        if (lang == "it")
            return value;
        if (lang == "en" && english.empty())
            english = value;
        if (first.empty())
            first = value;
    }
    return english.empty() ? first : english;
}

std::vector<uint8_t> base64_bytes(const std::string& text)
{
    Base64_decode decode;
    if (!decode.decode(text, Base64_decode::Form::Lenient))
        return {};
    return decode.value();
}

// The X.509 certificates of a ServiceDigitalIdentity; identities given only by name or key are
// not certificates and are left out, and so is a certificate that does not decode.
void read_identity(const xmlNode* identity, std::vector<Certificate>& certificates)
{
    for (xmlNode* id : children(identity, "DigitalId"))
        for (xmlNode* value : children(id, "X509Certificate")) {
            const Certificate certificate(base64_bytes(xml_text(value)));
            if (certificate.is_valid())
                certificates.push_back(certificate);
            else
                Trace(Trace_kind, Level_warn) << "Certificato della lista di fiducia non decodificabile.";
        }
}

std::vector<xmlNode*> elements(const xmlNode* parent)
{
    std::vector<xmlNode*> found;
    for (xmlNode* node = parent ? parent->children : nullptr; node; node = node->next)
        if (node->type == XML_ELEMENT_NODE)
            found.push_back(node);
    return found;
}

// "urn:oid:0.4.0.1456.1.1" or "0.4.0.1456.1.1" as a dotted OID; empty when it is neither.
std::string object_identifier(const xmlNode* holder)
{
    xmlNode* identifier = nullptr;
    for (xmlNode* node : elements(holder))
        if (has_local_name(node, "Identifier"))
            identifier = node;
    std::string text = trimmed(xml_text(identifier));
    if (text.size() > 8 && strncasecmp(text.c_str(), "urn:oid:", 8) == 0)
        text.erase(0, 8);
    const bool dotted = !text.empty() && text.find_first_not_of("0123456789.") == std::string::npos &&
                        text.front() != '.' && text.back() != '.' && text.find("..") == std::string::npos;
    return dotted ? text : std::string();
}

// The OIDs of the elements of one set (PolicyIdentifier, AttributeOID, KeyPurposeId); false when
// one is missing or no OID, or the set is empty.
bool read_identifiers(const xmlNode* set, const char* name, std::vector<std::string>& identifiers)
{
    for (xmlNode* node : elements(set)) {
        if (!has_local_name(node, name))
            return false;
        identifiers.push_back(object_identifier(node));
        if (identifiers.back().empty())
            return false;
    }
    return !identifiers.empty();
}

constexpr const char* Key_usage_bit_names[] = {
    "digitalSignature", "nonRepudiation", "contentCommitment", "keyEncipherment", "dataEncipherment",
    "keyAgreement",     "keyCertSign",    "crlSign",           "encipherOnly",    "decipherOnly"};

// A CriteriaList. Whatever cannot be evaluated (an unknown criterion, bit name or assert value,
// nesting beyond the limit) makes the assertion Unknown, so that it is never taken as matching
// nor as not matching.
Qualification_criteria read_criteria(const xmlNode* list, int depth)
{
    using Assertion = Qualification_criteria::Assertion;
    Qualification_criteria criteria;
    bool sound = depth + 1 < Qualification_criteria_max_depth;
    const std::string assertion = xml_attribute(list, "assert");
    if (assertion == "atLeastOne")
        criteria.assertion = Assertion::At_least_one;
    else if (assertion == "none")
        criteria.assertion = Assertion::None;
    else
        sound = sound && (assertion == "all" || assertion.empty());
    for (xmlNode* node : sound ? elements(list) : std::vector<xmlNode*>()) {
        if (has_local_name(node, "KeyUsage")) {
            std::vector<std::pair<std::string, bool>> bits;
            for (xmlNode* bit : elements(node)) {
                const std::string name = xml_attribute(bit, "name");
                const std::string value = trimmed(xml_text(bit));
                bool known = false;
                for (const char* known_name : Key_usage_bit_names)
                    known = known || name == known_name;
                sound = sound && has_local_name(bit, "KeyUsageBit") && known &&
                        (value == "true" || value == "false" || value == "1" || value == "0");
                bits.emplace_back(name == "contentCommitment" ? "nonRepudiation" : name,
                                  value == "true" || value == "1");
            }
            sound = sound && !bits.empty();
            criteria.key_usages.push_back(std::move(bits));
        } else if (has_local_name(node, "PolicySet")) {
            sound = sound && read_identifiers(node, "PolicyIdentifier", criteria.policy_sets.emplace_back());
        } else if (has_local_name(node, "CriteriaList")) {
            criteria.nested.push_back(read_criteria(node, depth + 1));
        } else if (has_local_name(node, "otherCriteriaList")) {
            for (xmlNode* other : elements(node)) {
                if (has_local_name(other, "CertSubjectDNAttribute"))
                    sound =
                        sound && read_identifiers(other, "AttributeOID", criteria.subject_attributes.emplace_back());
                else if (has_local_name(other, "ExtendedKeyUsage"))
                    sound =
                        sound && read_identifiers(other, "KeyPurposeId", criteria.extended_key_usages.emplace_back());
                else
                    sound = false;
            }
        } else if (!has_local_name(node, "Description")) {
            sound = false;
        }
    }
    if (!sound)
        criteria.assertion = Assertion::Unknown;
    return criteria;
}

// The Qualifications extension, in whatever namespace the list's version puts it.
void read_qualifications(const xmlNode* qualifications, Service_period& period)
{
    for (xmlNode* node : elements(qualifications)) {
        if (!has_local_name(node, "QualificationElement"))
            continue;
        Qualification_element element;
        bool has_criteria = false;
        for (xmlNode* part : elements(node)) {
            if (has_local_name(part, "Qualifiers")) {
                for (xmlNode* qualifier : elements(part))
                    if (has_local_name(qualifier, "Qualifier"))
                        element.qualifiers.push_back(trimmed(xml_attribute(qualifier, "uri")));
            } else if (has_local_name(part, "CriteriaList") && !has_criteria) {
                element.criteria = read_criteria(part, 0);
                has_criteria = true;
            }
        }
        // An element without criteria selects no certificate we could name: not evaluable.
        if (!has_criteria)
            element.criteria.assertion = Qualification_criteria::Assertion::Unknown;
        period.qualifications.push_back(std::move(element));
    }
}

// A service's identity: its certificates, those not already known added; without a certificate,
// its key identifier with the subject name, when given (a name alone identifies no key and is
// left out).
void read_service_identity(const xmlNode* identity, Trust_service& service)
{
    std::vector<Certificate> certificates;
    read_identity(identity, certificates);
    for (Certificate& certificate : certificates)
        if (std::find(service.certificates.begin(), service.certificates.end(), certificate) ==
            service.certificates.end())
            service.certificates.push_back(std::move(certificate));
    if (!certificates.empty() || !identity)
        return;
    Service_identity named;
    for (xmlNode* id : children(identity, "DigitalId")) {
        if (const xmlNode* name = child(id, "X509SubjectName"); name && named.subject_name.empty())
            named.subject_name = trimmed(xml_text(name));
        if (const xmlNode* key = child(id, "X509SKI"); key && named.key_identifier.empty())
            named.key_identifier = base64_bytes(xml_text(key));
    }
    if (!named.key_identifier.empty() &&
        std::find(service.identities.begin(), service.identities.end(), named) == service.identities.end())
        service.identities.push_back(std::move(named));
}

bool read_period(const xmlNode* information, Service_period& period)
{
    period.type = trimmed(xml_text(child(information, "ServiceTypeIdentifier")));
    period.status = trimmed(xml_text(child(information, "ServiceStatus")));
    if (period.type.empty() || period.status.empty() ||
        !parse_xml_date_time(xml_text(child(information, "StatusStartingTime")), period.start))
        return false;
    for (xmlNode* extension : children(child(information, "ServiceInformationExtensions"), "Extension"))
        for (xmlNode* content : elements(extension)) {
            if (is_element(content, Tsl_ns, "AdditionalServiceInformation"))
                period.additional_information.push_back(trimmed(xml_text(child(content, "URI"))));
            else if (has_local_name(content, "Qualifications"))
                read_qualifications(content, period);
        }
    return true;
}

void read_services(const xmlNode* root, Trusted_list& list)
{
    for (xmlNode* provider : children(child(root, "TrustServiceProviderList"), "TrustServiceProvider")) {
        const std::string provider_name = name_of(child(child(provider, "TSPInformation"), "TSPName"));
        for (xmlNode* service : children(child(provider, "TSPServices"), "TSPService")) {
            const xmlNode* information = child(service, "ServiceInformation");
            Trust_service read;
            read.provider = provider_name;
            read.name = name_of(child(information, "ServiceName"));
            read_service_identity(child(information, "ServiceDigitalIdentity"), read);
            // A service whose status or time cannot be read is not trusted at all: taking a guess
            // at either could only widen what the list grants.
            bool sound = read_period(information, read.current);
            for (xmlNode* instance : children(child(service, "ServiceHistory"), "ServiceHistoryInstance")) {
                Service_period period;
                sound = sound && read_period(instance, period);
                read_service_identity(child(instance, "ServiceDigitalIdentity"), read);
                read.history.push_back(std::move(period));
            }
            if (sound)
                list.services.push_back(std::move(read));
            else
                Trace(Trace_kind, Level_warn) << "Servizio della lista di fiducia illeggibile: " << read.name;
        }
    }
}

void read_pointers(const xmlNode* scheme, Trusted_list& list)
{
    for (xmlNode* node : children(child(scheme, "PointersToOtherTSL"), "OtherTSLPointer")) {
        List_pointer pointer;
        pointer.location = trimmed(xml_text(child(node, "TSLLocation")));
        for (xmlNode* identity : children(child(node, "ServiceDigitalIdentities"), "ServiceDigitalIdentity"))
            read_identity(identity, pointer.certificates);
        for (xmlNode* other : children(child(node, "AdditionalInformation"), "OtherInformation"))
            for (xmlNode* value = other->children; value; value = value->next) {
                if (is_element(value, Tsl_ns, "SchemeTerritory"))
                    pointer.territory = trimmed(xml_text(value));
                else if (has_local_name(value, "MimeType"))
                    pointer.mime_type = trimmed(xml_text(value));
            }
        list.pointers.push_back(std::move(pointer));
    }
}

std::optional<Trusted_list> read_list(const xmlDoc* document, std::string& failure)
{
    const xmlNode* root = xmlDocGetRootElement(const_cast<xmlDoc*>(document));
    const xmlNode* scheme = child(root, "SchemeInformation");
    if (!is_element(root, Tsl_ns, "TrustServiceStatusList") || !scheme) {
        failure = Tsl_text_format;
        return std::nullopt;
    }
    // Version 5 (ETSI TS 119 612 v2.x) and version 6 (v2.3.1 and later, in use since 29 April
    // 2026) share the elements read here; another version may mean them otherwise.
    const std::string version = trimmed(xml_text(child(scheme, "TSLVersionIdentifier")));
    if (version != "5" && version != "6") {
        failure =
            version.empty() || version.size() > 4 ? std::string(Tsl_text_format) : Tsl_text_version + version + ".";
        return std::nullopt;
    }
    Trusted_list list;
    list.version = version == "6" ? 6 : 5;
    list.territory = trimmed(xml_text(child(scheme, "SchemeTerritory")));
    list.operator_name = name_of(child(scheme, "SchemeOperatorName"));
    const std::string sequence = trimmed(xml_text(child(scheme, "TSLSequenceNumber")));
    char* end = nullptr;
    list.sequence_number = std::strtoull(sequence.c_str(), &end, 10);
    const xmlNode* next_update = child(child(scheme, "NextUpdate"), "dateTime");
    if (list.territory.empty() || sequence.empty() || *end != '\0' ||
        !parse_xml_date_time(xml_text(child(scheme, "ListIssueDateTime")), list.issued) ||
        (next_update && !parse_xml_date_time(xml_text(next_update), list.next_update))) {
        failure = Tsl_text_format;
        return std::nullopt;
    }
    read_pointers(scheme, list);
    read_services(root, list);
    return list;
}

Xml_document parse_document(std::span<const uint8_t> bytes, std::string& failure)
{
    if (bytes.size() > Trusted_list_max_size) {
        failure = Tsl_text_too_large;
        return nullptr;
    }
    Xml_parse_failure why = Xml_parse_failure::None;
    Xml_document document = parse_plain_xml(bytes, why);
    failure = xml_failure_text(why, {Tsl_text_library, Tsl_text_unreadable, Tsl_text_dtd, Tsl_text_too_complex});
    return document;
}

bool is_inside(const xmlNode* node, const xmlNode* ancestor)
{
    for (; node; node = node->parent)
        if (node == ancestor)
            return true;
    return false;
}

bool transforms_allowed(const xmlNode* reference, bool& enveloped)
{
    enveloped = false;
    const xmlNode* transforms = child(reference, "Transforms", Dsig_ns);
    for (xmlNode* node = transforms ? transforms->children : nullptr; node; node = node->next) {
        if (node->type != XML_ELEMENT_NODE)
            continue;
        if (!is_element(node, Dsig_ns, "Transform"))
            return false;
        const std::string algorithm = xml_attribute(node, "Algorithm");
        bool known = false;
        for (const char* allowed : Allowed_transforms)
            known = known || algorithm == allowed;
        if (!known)
            return false;
        enveloped = enveloped || algorithm == Enveloped_transform;
    }
    return true;
}

// The structure of the signature, before any cryptography. Empty when sound.
std::string check_structure(xmlDoc* document, xmlNode*& signature)
{
    xmlNode* root = xmlDocGetRootElement(document);
    std::vector<xmlNode*> signatures;
    // The identifiers xmlsec resolves references by, registered by the rule the signed files
    // follow too.
    const bool duplicate_id = !register_xml_ids(document);
    walk_elements(root, [&](xmlNode* node) {
        if (is_element(node, Dsig_ns, "Signature"))
            signatures.push_back(node);
    });
    if (signatures.empty())
        return Tsl_text_unsigned;
    if (signatures.size() > 1)
        return Tsl_text_many_signatures;
    signature = signatures.front();
    if (signature->parent != root)
        return Tsl_text_misplaced_signature;
    // Two elements with one Id would let a reference name one while the reader takes the other.
    if (duplicate_id)
        return Tsl_text_duplicate_id;

    const std::vector<xmlNode*> references = children(child(signature, "SignedInfo", Dsig_ns), "Reference", Dsig_ns);
    int whole_document = 0;
    for (xmlNode* reference : references) {
        bool enveloped = false;
        if (!transforms_allowed(reference, enveloped))
            return Tsl_text_transform;
        if (xml_has_attribute(reference, "URI") && xml_attribute(reference, "URI").empty() && enveloped)
            ++whole_document;
    }
    if (whole_document != 1)
        return Tsl_text_not_whole;
    for (xmlNode* reference : references) {
        // A reference without URI leaves the application to say what it means: not here.
        if (!xml_has_attribute(reference, "URI"))
            return Tsl_text_other_reference;
        const std::string uri = xml_attribute(reference, "URI");
        if (uri.empty()) {
            bool enveloped = false;
            if (!transforms_allowed(reference, enveloped) || !enveloped)
                return Tsl_text_not_whole;
            continue;
        }
        // Only the signed properties of this very signature, by Id.
        const xmlNode* target = xml_id_target(document, uri);
        if (!target || xml_attribute(reference, "Type") != Signed_properties_type ||
            !is_element(target, Xades_ns, "SignedProperties") || !is_inside(target, signature))
            return Tsl_text_other_reference;
    }
    return {};
}

// The signing certificate: the first X.509 certificate of the signature's KeyInfo.
Certificate signing_certificate(const xmlNode* signature)
{
    for (xmlNode* data : children(child(signature, "KeyInfo", Dsig_ns), "X509Data", Dsig_ns))
        for (xmlNode* value : children(data, "X509Certificate", Dsig_ns))
            return Certificate(base64_bytes(xml_text(value)));
    return {};
}

std::string check_signature(xmlDoc* document, const std::vector<Certificate>& pins, Certificate& signer)
{
    xmlNode* signature = nullptr;
    std::string failure = check_structure(document, signature);
    if (!failure.empty())
        return failure;
    signer = signing_certificate(signature);
    if (!signer.is_valid())
        return Tsl_text_no_signer;
    bool pinned = false;
    for (const Certificate& pin : pins)
        pinned = pinned || (pin.is_valid() && pin == signer);
    if (!pinned)
        return Tsl_text_not_pinned;

    const std::vector<uint8_t>& der = signer.der();
    Owner<xmlSecKey, Key_release> key(xmlSecCryptoAppKeyLoadMemory(
        der.data(), static_cast<xmlSecSize>(der.size()), xmlSecKeyDataFormatCertDer, nullptr, nullptr, nullptr));
    const Owner<xmlSecDSigCtx, Dsig_context_release> context(xmlSecDSigCtxCreate(nullptr));
    if (!key || !context)
        return Tsl_text_library;
    // The pinned key alone verifies: whatever else KeyInfo says is not looked at.
    context->signKey = key.release();
    context->enabledReferenceUris =
        static_cast<xmlSecTransformUriType>(xmlSecTransformUriTypeEmpty | xmlSecTransformUriTypeSameDocument);
    if (xmlSecDSigCtxVerify(context.get(), signature) < 0 || context->status != xmlSecDSigStatusSucceeded)
        return Tsl_text_bad_signature;
    return {};
}

} // namespace

std::optional<Trusted_list> parse_trusted_list_unverified(std::span<const uint8_t> bytes, std::string* failure)
{
    std::string why;
    std::optional<Trusted_list> list;
    if (const Xml_document document = parse_document(bytes, why))
        list = read_list(document.get(), why);
    if (failure)
        *failure = why;
    return list;
}

std::vector<std::string> read_scheme_information_uris(std::span<const uint8_t> bytes)
{
    std::vector<std::string> uris;
    std::string failure;
    const Xml_document document = parse_document(bytes, failure);
    const xmlNode* root = document ? xmlDocGetRootElement(document.get()) : nullptr;
    if (!is_element(root, Tsl_ns, "TrustServiceStatusList"))
        return uris;
    for (xmlNode* uri : children(child(child(root, "SchemeInformation"), "SchemeInformationURI"), "URI"))
        uris.push_back(trimmed(xml_text(uri)));
    return uris;
}

Trusted_list_reading read_trusted_list(std::span<const uint8_t> bytes, const std::vector<Certificate>& pins)
{
    Trusted_list_reading reading;
    const Xml_document document = parse_document(bytes, reading.failure);
    if (!document)
        return reading;
    // The format first: a document that is no list is said to be so, whoever signed it.
    std::optional<Trusted_list> list = read_list(document.get(), reading.failure);
    if (!list)
        return reading;
    reading.failure = check_signature(document.get(), pins, reading.signer);
    if (!reading.failure.empty())
        return reading;
    reading.list = std::move(*list);
    reading.verified = true;
    return reading;
}

} // namespace velin
