#include "trust/trusted_list_reader.h"

#include "common/owner.h"
#include "common/trace.h"
#include "envelope/xml_signature_core.h"
#include "envelope/xml_tree.h"

#include <libxml/tree.h>

#include <algorithm>
#include <cstdlib>
#include <strings.h>

namespace velin {

namespace {

constexpr const char* Tsl_ns = "http://uri.etsi.org/02231/v2#";
constexpr const char* Xades_ns = "http://uri.etsi.org/01903/v1.3.2#";
constexpr const char* Signed_properties_type = "http://uri.etsi.org/01903#SignedProperties";
// What a list's signature may be: references to the whole document and by Id, the
// enveloped-signature transform besides canonicalisation (the references are read before xmlsec
// runs, so it may run any algorithm it knows and follow Manifests), attributes read once.
Xml_signature_policy list_policy()
{
    Xml_signature_policy policy;
    policy.transforms.enveloped = true;
    policy.listed_algorithms_only = false;
    policy.ignore_manifests = false;
    policy.refuse_ambiguous_attributes = false;
    return policy;
}

struct Xml_text_release {
    void operator()(xmlChar* text) const { xmlFree(text); }
};

// The list's own elements, in its namespace.
std::vector<xmlNode*> list_children(const xmlNode* parent, const char* name)
{
    return xml_children(parent, Tsl_ns, name);
}

xmlNode* list_child(const xmlNode* parent, const char* name)
{
    return xml_child(parent, Tsl_ns, name);
}

// A multilingual name: Italian first, then English, then the first one given.
std::string name_of(const xmlNode* names)
{
    std::string first, english;
    for (xmlNode* name : list_children(names, "Name")) {
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

// The X.509 certificates of a ServiceDigitalIdentity; identities given only by name or key are
// not certificates and are left out, and so is a certificate that does not decode.
void read_identity(const xmlNode* identity, std::vector<Certificate>& certificates)
{
    for (xmlNode* id : list_children(identity, "DigitalId"))
        for (xmlNode* value : list_children(id, "X509Certificate")) {
            const Certificate certificate(xml_base64_content(value));
            if (certificate.is_valid())
                certificates.push_back(certificate);
            else
                Trace(Trace_kind, Level_warn) << "Certificato della lista di fiducia non decodificabile.";
        }
}

// "urn:oid:0.4.0.1456.1.1" or "0.4.0.1456.1.1" as a dotted OID; empty when it is neither.
std::string object_identifier(const xmlNode* holder)
{
    xmlNode* identifier = nullptr;
    for (xmlNode* node : xml_elements(holder))
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
    for (xmlNode* node : xml_elements(set)) {
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
    for (xmlNode* node : sound ? xml_elements(list) : std::vector<xmlNode*>()) {
        if (has_local_name(node, "KeyUsage")) {
            std::vector<std::pair<std::string, bool>> bits;
            for (xmlNode* bit : xml_elements(node)) {
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
            for (xmlNode* other : xml_elements(node)) {
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
    for (xmlNode* node : xml_elements(qualifications)) {
        if (!has_local_name(node, "QualificationElement"))
            continue;
        Qualification_element element;
        bool has_criteria = false;
        for (xmlNode* part : xml_elements(node)) {
            if (has_local_name(part, "Qualifiers")) {
                for (xmlNode* qualifier : xml_elements(part))
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
    for (xmlNode* id : list_children(identity, "DigitalId")) {
        if (const xmlNode* name = list_child(id, "X509SubjectName"); name && named.subject_name.empty())
            named.subject_name = trimmed(xml_text(name));
        if (const xmlNode* key = list_child(id, "X509SKI"); key && named.key_identifier.empty())
            named.key_identifier = xml_base64_content(key);
    }
    if (!named.key_identifier.empty() &&
        std::find(service.identities.begin(), service.identities.end(), named) == service.identities.end())
        service.identities.push_back(std::move(named));
}

bool read_period(const xmlNode* information, Service_period& period)
{
    period.type = trimmed(xml_text(list_child(information, "ServiceTypeIdentifier")));
    period.status = trimmed(xml_text(list_child(information, "ServiceStatus")));
    if (period.type.empty() || period.status.empty() ||
        !parse_xml_date_time(xml_text(list_child(information, "StatusStartingTime")), period.start))
        return false;
    for (xmlNode* extension : list_children(list_child(information, "ServiceInformationExtensions"), "Extension"))
        for (xmlNode* content : xml_elements(extension)) {
            if (is_element(content, Tsl_ns, "AdditionalServiceInformation"))
                period.additional_information.push_back(trimmed(xml_text(list_child(content, "URI"))));
            else if (has_local_name(content, "Qualifications"))
                read_qualifications(content, period);
        }
    return true;
}

void read_services(const xmlNode* root, Trusted_list& list)
{
    for (xmlNode* provider : list_children(list_child(root, "TrustServiceProviderList"), "TrustServiceProvider")) {
        const std::string provider_name = name_of(list_child(list_child(provider, "TSPInformation"), "TSPName"));
        for (xmlNode* service : list_children(list_child(provider, "TSPServices"), "TSPService")) {
            const xmlNode* information = list_child(service, "ServiceInformation");
            Trust_service read;
            read.provider = provider_name;
            read.name = name_of(list_child(information, "ServiceName"));
            read_service_identity(list_child(information, "ServiceDigitalIdentity"), read);
            // A service whose status or time cannot be read is not trusted at all: taking a guess
            // at either could only widen what the list grants.
            bool sound = read_period(information, read.current);
            for (xmlNode* instance : list_children(list_child(service, "ServiceHistory"), "ServiceHistoryInstance")) {
                Service_period period;
                sound = sound && read_period(instance, period);
                read_service_identity(list_child(instance, "ServiceDigitalIdentity"), read);
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
    for (xmlNode* node : list_children(list_child(scheme, "PointersToOtherTSL"), "OtherTSLPointer")) {
        List_pointer pointer;
        pointer.location = trimmed(xml_text(list_child(node, "TSLLocation")));
        for (xmlNode* identity : list_children(list_child(node, "ServiceDigitalIdentities"), "ServiceDigitalIdentity"))
            read_identity(identity, pointer.certificates);
        for (xmlNode* other : list_children(list_child(node, "AdditionalInformation"), "OtherInformation"))
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
    const xmlNode* scheme = list_child(root, "SchemeInformation");
    if (!is_element(root, Tsl_ns, "TrustServiceStatusList") || !scheme) {
        failure = Tsl_text_format;
        return std::nullopt;
    }
    // Version 5 (ETSI TS 119 612 v2.x) and version 6 (v2.3.1 and later, in use since 29 April
    // 2026) share the elements read here; another version may mean them otherwise.
    const std::string version = trimmed(xml_text(list_child(scheme, "TSLVersionIdentifier")));
    if (version != "5" && version != "6") {
        failure =
            version.empty() || version.size() > 4 ? std::string(Tsl_text_format) : Tsl_text_version + version + ".";
        return std::nullopt;
    }
    Trusted_list list;
    list.version = version == "6" ? 6 : 5;
    list.territory = trimmed(xml_text(list_child(scheme, "SchemeTerritory")));
    list.operator_name = name_of(list_child(scheme, "SchemeOperatorName"));
    const std::string sequence = trimmed(xml_text(list_child(scheme, "TSLSequenceNumber")));
    char* end = nullptr;
    list.sequence_number = std::strtoull(sequence.c_str(), &end, 10);
    const xmlNode* next_update = list_child(list_child(scheme, "NextUpdate"), "dateTime");
    if (list.territory.empty() || sequence.empty() || *end != '\0' ||
        !parse_xml_date_time(xml_text(list_child(scheme, "ListIssueDateTime")), list.issued) ||
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

// The structure of the signature, before any cryptography. Empty when sound.
std::string check_structure(xmlDoc* document, xmlNode*& signature)
{
    xmlNode* root = xmlDocGetRootElement(document);
    std::vector<xmlNode*> signatures;
    // The identifiers xmlsec resolves references by, registered by the rule the signed files
    // follow too.
    const bool duplicate_id = prepare_signed_xml(document, list_policy()) != Xml_identifiers::Sound;
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

    const Xml_transforms_allowed transforms = list_policy().transforms;
    const std::vector<Xml_reference> references = xml_signed_references(document, signature);
    int whole_document = 0;
    for (const Xml_reference& reference : references) {
        bool enveloped = false;
        if (!xml_transforms_allowed(reference.node, transforms, &enveloped))
            return Tsl_text_transform;
        if (reference.kind == Xml_reference::Kind::Whole_document && enveloped)
            ++whole_document;
    }
    if (whole_document != 1)
        return Tsl_text_not_whole;
    for (const Xml_reference& reference : references) {
        // A reference without URI leaves the application to say what it means: not here.
        if (reference.kind == Xml_reference::Kind::No_uri)
            return Tsl_text_other_reference;
        if (reference.kind == Xml_reference::Kind::Whole_document) {
            bool enveloped = false;
            if (!xml_transforms_allowed(reference.node, transforms, &enveloped) || !enveloped)
                return Tsl_text_not_whole;
            continue;
        }
        // Only the signed properties of this very signature, by Id.
        const xmlNode* target = reference.target;
        if (!target || xml_attribute(reference.node, "Type") != Signed_properties_type ||
            !is_element(target, Xades_ns, "SignedProperties") || !xml_is_inside(target, signature))
            return Tsl_text_other_reference;
    }
    return {};
}

std::string check_signature(xmlDoc* document, const std::vector<Certificate>& pins, Certificate& signer)
{
    xmlNode* signature = nullptr;
    std::string failure = check_structure(document, signature);
    if (!failure.empty())
        return failure;
    // The signing certificate: the first X.509 certificate of the signature's KeyInfo.
    const std::vector<std::vector<uint8_t>> carried = xml_key_info_certificates(signature);
    signer = carried.empty() ? Certificate() : Certificate(carried.front());
    if (!signer.is_valid())
        return Tsl_text_no_signer;
    bool pinned = false;
    for (const Certificate& pin : pins)
        pinned = pinned || (pin.is_valid() && pin == signer);
    if (!pinned)
        return Tsl_text_not_pinned;
    // The pinned key alone verifies: whatever else KeyInfo says is not looked at.
    const Xml_verification verification = verify_xml_signature(document, signature, list_policy(), signer.der());
    if (verification.outcome == Xml_verification::Outcome::Library_failure)
        return Tsl_text_library;
    if (!verification.verified())
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
    for (xmlNode* uri : list_children(list_child(list_child(root, "SchemeInformation"), "SchemeInformationURI"), "URI"))
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
