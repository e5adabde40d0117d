#include "envelope/asic_manifest.h"

#include "envelope/signature_check.h"
#include "envelope/timestamp_token.h"
#include "envelope/xml_tree.h"

#include <openssl/evp.h>

#include <algorithm>
#include <string_view>

namespace velin {

namespace {

const EVP_MD* digest_of_method(std::string_view uri)
{
    if (uri == "http://www.w3.org/2001/04/xmlenc#sha256")
        return EVP_sha256();
    if (uri == "http://www.w3.org/2001/04/xmldsig-more#sha384")
        return EVP_sha384();
    if (uri == "http://www.w3.org/2001/04/xmlenc#sha512")
        return EVP_sha512();
    if (uri == "http://www.w3.org/2001/04/xmldsig-more#sha224")
        return EVP_sha224();
    if (uri == "http://www.w3.org/2000/09/xmldsig#sha1")
        return EVP_sha1();
    if (uri == "http://www.w3.org/2007/05/xmldsig-more#sha3-256")
        return EVP_sha3_256();
    if (uri == "http://www.w3.org/2007/05/xmldsig-more#sha3-384")
        return EVP_sha3_384();
    if (uri == "http://www.w3.org/2007/05/xmldsig-more#sha3-512")
        return EVP_sha3_512();
    return nullptr;
}

std::optional<Asic_manifest_reference> read_reference(const xmlNode* node)
{
    Asic_manifest_reference reference;
    reference.uri = xml_attribute(node, "URI");
    const xmlNode* method = xml_child(node, Dsig_ns, "DigestMethod");
    const xmlNode* value = xml_child(node, Dsig_ns, "DigestValue");
    if (reference.uri.empty() || !method || !value)
        return std::nullopt;
    reference.digest_method = xml_attribute(method, "Algorithm");
    reference.digest = xml_base64_content(value);
    if (reference.digest.empty())
        return std::nullopt;
    return reference;
}

} // namespace

std::optional<Asic_manifest> read_asic_manifest(std::span<const uint8_t> bytes, std::string& problem,
                                                const char* root_name)
{
    problem.clear();
    Xml_parse_failure failure = Xml_parse_failure::None;
    const Xml_document document = parse_plain_xml(bytes, failure);
    const xmlNode* root = document ? xmlDocGetRootElement(document.get()) : nullptr;
    if (!is_element(root, Asic_manifest_ns, root_name)) {
        problem = Asic_text_manifest_unreadable;
        return std::nullopt;
    }
    const auto signature_references = xml_children(root, Asic_manifest_ns, "SigReference");
    const auto references = xml_children(root, Asic_manifest_ns, "DataObjectReference");
    Asic_manifest manifest;
    if (signature_references.size() != 1 || references.empty() ||
        (manifest.signature_uri = xml_attribute(signature_references[0], "URI")).empty()) {
        problem = Asic_text_manifest_unreadable;
        return std::nullopt;
    }
    for (const xmlNode* node : references) {
        auto reference = read_reference(node);
        if (!reference) {
            problem = Asic_text_manifest_unreadable;
            return std::nullopt;
        }
        manifest.references.push_back(std::move(*reference));
    }
    return manifest;
}

std::string asic_shown_name(const std::string& name)
{
    std::string shown;
    for (const char c : name.substr(0, 200))
        shown += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
    return name.size() > 200 ? shown + "..." : shown;
}

std::string asic_missing_file_text(const std::string& uri)
{
    return "Il file \"" + asic_shown_name(uri) + "\" indicato dalla firma non è presente nel contenitore.";
}

std::string asic_unchecked_file_text(const std::string& name)
{
    return "Il file \"" + asic_shown_name(name) +
           "\" del contenitore non è stato verificato: ciò che attesta non è considerato.";
}

std::string asic_uncovered_file_text(const std::string& name)
{
    return "Il file \"" + asic_shown_name(name) + "\" del contenitore non è coperto da alcuna firma.";
}

Asic_coverage check_manifest_references(const Asic_manifest& manifest, const Asic_container& container)
{
    Asic_coverage coverage;
    for (const Asic_manifest_reference& reference : manifest.references) {
        const std::optional<std::string> name = asic_entry_name_of_uri(reference.uri);
        const Asic_entry* entry = name ? container.find(*name) : nullptr;
        if (!entry) {
            if (coverage.problem.empty())
                coverage.problem = asic_missing_file_text(name.value_or(reference.uri));
            continue;
        }
        const EVP_MD* algorithm = digest_of_method(reference.digest_method);
        if (!algorithm) {
            if (coverage.problem.empty())
                coverage.problem = Asic_text_digest_algorithm;
            continue;
        }
        Document_digests digests(entry->bytes, entry->digests);
        const bool holds = digests.of(algorithm) == reference.digest;
        entry->digests = digests.known();
        if (!holds) {
            coverage.mismatch = true;
            continue;
        }
        if (std::find(coverage.covers.begin(), coverage.covers.end(), *name) == coverage.covers.end())
            coverage.covers.push_back(*name);
    }
    return coverage;
}

} // namespace velin
