#include "envelope/xml_long_term.h"

#include "envelope/xml_tree.h"

#include <openssl/evp.h>
#include <openssl/objects.h>

#include <span>

namespace velin {

namespace {

// A DER element of that tag around contents.
std::vector<uint8_t> der_element(uint8_t tag, std::span<const uint8_t> contents)
{
    std::vector<uint8_t> encoded{tag};
    const size_t size = contents.size();
    if (size < 0x80) {
        encoded.push_back(static_cast<uint8_t>(size));
    } else {
        uint8_t length[sizeof(size_t)];
        size_t count = 0;
        for (size_t rest = size; rest; rest >>= 8)
            length[count++] = static_cast<uint8_t>(rest & 0xFF);
        encoded.push_back(static_cast<uint8_t>(0x80 | count));
        for (size_t n = count; n > 0; --n)
            encoded.push_back(length[n - 1]);
    }
    encoded.insert(encoded.end(), contents.begin(), contents.end());
    return encoded;
}

// The base64 values of the children of that name, as a DER SEQUENCE OF them, at most
// Validation_item_limit; a value too long, or past the budget, is left out.
std::vector<uint8_t> encoded_values(const xmlNode* parent, const char* name, size_t& budget)
{
    std::vector<uint8_t> contents;
    size_t count = 0;
    for (xmlNode* node = parent ? parent->children : nullptr; node && count < Validation_item_limit;
         node = node->next) {
        if (!is_element_in(node, Xades_all_namespaces, name))
            continue;
        const std::string text = xml_text(node);
        if (text.size() > Xml_value_max_text || text.size() > budget) {
            budget = 0;
            continue;
        }
        budget -= text.size();
        const std::vector<uint8_t> value = xml_base64_content(node);
        // A whole element each: the values are read one by one from the sequence.
        if (value.size() < 2 || value.front() != 0x30)
            continue;
        contents.insert(contents.end(), value.begin(), value.end());
        ++count;
    }
    return der_element(0x30, contents);
}

void add_values(const xmlNode* element, Validation_data& data, size_t& budget)
{
    if (is_element_in(element, Xades_all_namespaces, "CertificateValues")) {
        data.add(validation_values(encoded_values(element, "EncapsulatedX509Certificate", budget), {}));
    } else if (is_element_in(element, Xades_all_namespaces, "RevocationValues")) {
        const xmlNode* crls = nullptr;
        const xmlNode* answers = nullptr;
        for (xmlNode* node = element->children; node; node = node->next) {
            if (!crls && is_element_in(node, Xades_all_namespaces, "CRLValues"))
                crls = node;
            if (!answers && is_element_in(node, Xades_all_namespaces, "OCSPValues"))
                answers = node;
        }
        std::vector<uint8_t> choices = der_element(0xA0, encoded_values(crls, "EncapsulatedCRLValue", budget));
        const std::vector<uint8_t> ocsp = der_element(0xA1, encoded_values(answers, "EncapsulatedOCSPValue", budget));
        choices.insert(choices.end(), ocsp.begin(), ocsp.end());
        data.add(validation_values({}, der_element(0x30, choices)));
    }
}

int digest_nid(const std::string& uri)
{
    struct Method {
        const char* uri;
        int nid;
    };
    static constexpr Method methods[] = {
        {"http://www.w3.org/2000/09/xmldsig#sha1", NID_sha1},
        {"http://www.w3.org/2001/04/xmldsig-more#sha224", NID_sha224},
        {"http://www.w3.org/2001/04/xmlenc#sha256", NID_sha256},
        {"http://www.w3.org/2001/04/xmldsig-more#sha384", NID_sha384},
        {"http://www.w3.org/2001/04/xmlenc#sha512", NID_sha512},
    };
    for (const Method& method : methods)
        if (uri == method.uri)
            return method.nid;
    return 0;
}

// The digest element (CertDigest, DigestAlgAndValue) of a reference; null when it has none.
const xmlNode* digest_of_reference(const xmlNode* reference, const char* digest_name)
{
    for (xmlNode* child = reference->children; child; child = child->next)
        if (is_element_in(child, Xades_all_namespaces, digest_name))
            return child;
    return nullptr;
}

} // namespace

void add_xml_values(const xmlNode* element, Validation_data& data, size_t& budget)
{
    if (!is_element(element, Xades141_ns, "TimeStampValidationData")) {
        add_values(element, data, budget);
        return;
    }
    for (xmlNode* node = element->children; node; node = node->next)
        add_values(node, data, budget);
}

Xml_reference_matcher::Xml_reference_matcher(const Validation_data& values,
                                             std::vector<std::vector<uint8_t>> key_info_certificates)
    : _values(values), _key_info(std::move(key_info_certificates))
{}

const std::set<std::vector<uint8_t>>& Xml_reference_matcher::digests(Kind kind, int nid)
{
    const auto key = std::make_pair(static_cast<int>(kind), nid);
    if (const auto found = _digests.find(key); found != _digests.end())
        return found->second;
    std::set<std::vector<uint8_t>>& made = _digests[key];
    const EVP_MD* algorithm = EVP_get_digestbynid(nid);
    const auto add = [&](const std::vector<std::vector<uint8_t>>& items) {
        for (const std::vector<uint8_t>& item : items) {
            unsigned char digest[EVP_MAX_MD_SIZE];
            unsigned int size = 0;
            if (algorithm && EVP_Digest(item.data(), item.size(), digest, &size, algorithm, nullptr) == 1)
                made.emplace(digest, digest + size);
        }
    };
    if (kind == Kind::Certificates) {
        add(_values.certificates);
        add(_key_info);
    } else {
        add(kind == Kind::Crls ? _values.crls : _values.ocsp_answers);
    }
    return made;
}

bool Xml_reference_matcher::every_reference_named(const xmlNode* holder, const char* name, const char* digest_name,
                                                  Kind kind)
{
    for (xmlNode* reference = holder ? holder->children : nullptr; reference; reference = reference->next) {
        if (!is_element_in(reference, Xades_all_namespaces, name))
            continue;
        // Far more references than any file holds are not all followed: a hostile one is refused.
        if (++_references > Validation_item_limit)
            return false;
        const xmlNode* digest = digest_of_reference(reference, digest_name);
        if (!digest)
            continue;
        const int nid = digest_nid(xml_attribute(xml_child(digest, Dsig_ns, "DigestMethod"), "Algorithm"));
        const std::vector<uint8_t> expected = xml_base64_content(xml_child(digest, Dsig_ns, "DigestValue"));
        if (nid == 0 || expected.empty() || !digests(kind, nid).count(expected))
            return false;
    }
    return true;
}

std::string Xml_reference_matcher::unmatched(const xmlNode* element)
{
    if (is_element_in(element, Xades_all_namespaces, "CompleteCertificateRefs")) {
        for (xmlNode* refs : xml_children_in(element, Xades_all_namespaces, "CertRefs"))
            if (!every_reference_named(refs, "Cert", "CertDigest", Kind::Certificates))
                return Xml_text_certificate_reference;
        return {};
    }
    if (is_element_in(element, Xades_all_namespaces, "CompleteRevocationRefs")) {
        for (xmlNode* refs : xml_children_in(element, Xades_all_namespaces, "CRLRefs"))
            if (!every_reference_named(refs, "CRLRef", "DigestAlgAndValue", Kind::Crls))
                return Xml_text_revocation_reference;
        for (xmlNode* refs : xml_children_in(element, Xades_all_namespaces, "OCSPRefs"))
            if (!every_reference_named(refs, "OCSPRef", "DigestAlgAndValue", Kind::Answers))
                return Xml_text_revocation_reference;
    }
    return {};
}

} // namespace velin
