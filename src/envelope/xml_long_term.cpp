#include "envelope/xml_long_term.h"

#include "envelope/xml_tree.h"

#include <openssl/evp.h>
#include <openssl/objects.h>

#include <algorithm>
#include <cstring>
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

// True when the digest the element (DigestMethod, DigestValue) states is that of one of the
// candidates.
bool names_one_of(const xmlNode* digest, const std::vector<const std::vector<uint8_t>*>& candidates)
{
    const int nid = digest_nid(xml_attribute(xml_child(digest, Dsig_ns, "DigestMethod"), "Algorithm"));
    const EVP_MD* algorithm = nid ? EVP_get_digestbynid(nid) : nullptr;
    const std::vector<uint8_t> expected = xml_base64_content(xml_child(digest, Dsig_ns, "DigestValue"));
    if (!algorithm || expected.empty())
        return false;
    for (const std::vector<uint8_t>* candidate : candidates) {
        unsigned char made[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        if (EVP_Digest(candidate->data(), candidate->size(), made, &size, algorithm, nullptr) == 1 &&
            size == expected.size() && std::memcmp(made, expected.data(), size) == 0)
            return true;
    }
    return false;
}

std::vector<const std::vector<uint8_t>*> pointers(std::initializer_list<const std::vector<std::vector<uint8_t>>*> lists)
{
    std::vector<const std::vector<uint8_t>*> all;
    for (const auto* list : lists)
        for (const std::vector<uint8_t>& item : *list)
            all.push_back(&item);
    return all;
}

// Every reference below holder (a CertRefs, CRLRefs or OCSPRefs element) of that name names one of
// candidates through its digest element; a reference without that element is not counted.
bool every_reference_named(const xmlNode* holder, const char* name, const char* digest_name,
                           const std::vector<const std::vector<uint8_t>*>& candidates)
{
    size_t count = 0;
    for (xmlNode* reference = holder ? holder->children : nullptr; reference; reference = reference->next) {
        if (!is_element_in(reference, Xades_all_namespaces, name))
            continue;
        // Far more references than any file holds are not all followed: a hostile one is refused.
        if (++count > Validation_item_limit)
            return false;
        const xmlNode* digest = nullptr;
        for (xmlNode* child = reference->children; child && !digest; child = child->next)
            if (is_element_in(child, Xades_all_namespaces, digest_name))
                digest = child;
        if (digest && !names_one_of(digest, candidates))
            return false;
    }
    return true;
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

std::string unmatched_references(const xmlNode* element, const Validation_data& values,
                                 const std::vector<std::vector<uint8_t>>& key_info_certificates)
{
    if (is_element_in(element, Xades_all_namespaces, "CompleteCertificateRefs")) {
        const auto candidates = pointers({&values.certificates, &key_info_certificates});
        for (xmlNode* refs : xml_children_in(element, Xades_all_namespaces, "CertRefs"))
            if (!every_reference_named(refs, "Cert", "CertDigest", candidates))
                return Xml_text_certificate_reference;
        return {};
    }
    if (is_element_in(element, Xades_all_namespaces, "CompleteRevocationRefs")) {
        const auto crls = pointers({&values.crls});
        const auto answers = pointers({&values.ocsp_answers});
        for (xmlNode* refs : xml_children_in(element, Xades_all_namespaces, "CRLRefs"))
            if (!every_reference_named(refs, "CRLRef", "DigestAlgAndValue", crls))
                return Xml_text_revocation_reference;
        for (xmlNode* refs : xml_children_in(element, Xades_all_namespaces, "OCSPRefs"))
            if (!every_reference_named(refs, "OCSPRef", "DigestAlgAndValue", answers))
                return Xml_text_revocation_reference;
    }
    return {};
}

} // namespace velin
