#include "norax_sign/xades_signature.h"

#include "common/openssl_error.h"
#include "common/owner.h"
#include "envelope/signed_document_info.h"
#include "envelope/signer_certificate.h"
#include "envelope/xml_signature.h"
#include "envelope/xml_tree.h"

#include <libxml/c14n.h>
#include <libxml/xmlIO.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <string_view>

namespace velin {

namespace {

constexpr const char* Xades_ns = "http://uri.etsi.org/01903/v1.3.2#";
constexpr const char* C14n_uri = "http://www.w3.org/TR/2001/REC-xml-c14n-20010315";
constexpr const char* Sha256_uri = "http://www.w3.org/2001/04/xmlenc#sha256";

struct Output_release {
    void operator()(xmlOutputBuffer* buffer) const { xmlOutputBufferClose(buffer); }
};

std::string base64(std::span<const uint8_t> bytes)
{
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int size =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(), static_cast<int>(bytes.size()));
    text.resize(size > 0 ? static_cast<size_t>(size) : 0);
    return text;
}

std::vector<uint8_t> sha256(std::span<const uint8_t> bytes)
{
    std::vector<uint8_t> digest(EVP_MAX_MD_SIZE);
    unsigned int size = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &size, EVP_sha256(), nullptr) != 1)
        return {};
    digest.resize(size);
    return digest;
}

bool in_signature(const xmlNode* node)
{
    for (; node; node = node->parent)
        if (is_element(node, Dsig_ns, "Signature"))
            return true;
    return false;
}

// Inclusive canonical XML 1.0 without comments of what visible lets through; empty on failure.
std::vector<uint8_t> canonical(xmlDoc* document, xmlC14NIsVisibleCallback visible, void* data)
{
    const Owner<xmlOutputBuffer, Output_release> output(xmlAllocOutputBuffer(nullptr));
    if (!output)
        return {};
    if (xmlC14NExecute(document, visible, data, XML_C14N_1_0, nullptr, 0, output.get()) < 0)
        return {};
    const xmlChar* bytes = xmlOutputBufferGetContent(output.get());
    const size_t size = xmlOutputBufferGetSize(output.get());
    return bytes ? std::vector<uint8_t>(bytes, bytes + size) : std::vector<uint8_t>{};
}

// The element and what it holds, canonicalised where it stands (with the namespaces in scope).
std::vector<uint8_t> canonical_element(xmlDoc* document, xmlNode* element)
{
    return canonical(
        document,
        [](void* data, xmlNode* node, xmlNode* parent) -> int {
            const xmlNode* at = node && node->type == XML_NAMESPACE_DECL ? parent : node;
            return xml_is_inside(at, static_cast<const xmlNode*>(data)) ? 1 : 0;
        },
        element);
}

// The whole document without any signature: what the enveloped transform and the filter
// not(ancestor-or-self::ds:Signature) leave of URI="" (which drops the comments).
std::vector<uint8_t> canonical_without_signatures(xmlDoc* document)
{
    return canonical(
        document,
        [](void*, xmlNode* node, xmlNode* parent) -> int {
            const xmlNode* at = node && node->type == XML_NAMESPACE_DECL ? parent : node;
            return in_signature(at) ? 0 : 1;
        },
        nullptr);
}

std::string qualified_name(const xmlNode* element)
{
    std::string name;
    if (element->ns && element->ns->prefix)
        name = std::string(reinterpret_cast<const char*>(element->ns->prefix)) + ":";
    return name + reinterpret_cast<const char*>(element->name);
}

bool is_space(uint8_t byte)
{
    return byte == ' ' || byte == '\t' || byte == '\r' || byte == '\n';
}

// True when bytes from at are only what may follow the root: white space, comments and
// processing instructions.
bool only_misc_from(std::string_view text, size_t at)
{
    while (at < text.size()) {
        if (is_space(static_cast<uint8_t>(text[at]))) {
            ++at;
        } else if (text.compare(at, 4, "<!--") == 0) {
            const size_t end = text.find("-->", at + 4);
            if (end == std::string_view::npos)
                return false;
            at = end + 3;
        } else if (text.compare(at, 2, "<?") == 0) {
            const size_t end = text.find("?>", at + 2);
            if (end == std::string_view::npos)
                return false;
            at = end + 2;
        } else {
            return false;
        }
    }
    return true;
}

// Where the root's end tag starts in a well-formed document: the last "</name" followed by
// optional white space, ">" and nothing but what may follow the root. A candidate inside a
// trailing comment or instruction is followed by that comment's own end, which is no such thing.
std::optional<size_t> root_end_tag(std::span<const uint8_t> bytes, const std::string& name)
{
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    const std::string tag = "</" + name;
    size_t at = text.size();
    while (at > 0) {
        at = text.rfind(tag, at - 1);
        if (at == std::string_view::npos)
            return std::nullopt;
        size_t after = at + tag.size();
        while (after < text.size() && is_space(static_cast<uint8_t>(text[after])))
            ++after;
        if (after < text.size() && text[after] == '>' && only_misc_from(text, after + 1))
            return at;
    }
    return std::nullopt;
}

// The document's encoding must write our ASCII text as ASCII: UTF-16 and UTF-32 do not, and show
// as zero bytes among the first four.
bool ascii_compatible(std::span<const uint8_t> bytes)
{
    const size_t head = std::min<size_t>(bytes.size(), 4);
    return std::find(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(head), 0) ==
               bytes.begin() + static_cast<std::ptrdiff_t>(head) &&
           !(head >= 2 && ((bytes[0] == 0xFE && bytes[1] == 0xFF) || (bytes[0] == 0xFF && bytes[1] == 0xFE)));
}

struct Parsed {
    Xml_document document;
    size_t insert_at = 0;
};

// The document parsed as the verifier parses it, and where the signature goes; nothing, with the
// user's text in failure, when it cannot be signed.
std::optional<Parsed> parse_for_signing(std::span<const uint8_t> bytes, std::string& failure)
{
    if (bytes.size() > Xades_max_document_size) {
        failure = Text_xml_too_large;
        return std::nullopt;
    }
    if (!ascii_compatible(bytes)) {
        failure = Text_xml_encoding;
        return std::nullopt;
    }
    Xml_parse_failure why = Xml_parse_failure::None;
    Parsed parsed;
    parsed.document = parse_plain_xml(bytes, why);
    failure =
        xml_failure_text(why, {Text_xml_not_well_formed, Text_xml_not_well_formed, Text_xml_dtd, Text_xml_too_complex});
    if (!failure.empty())
        return std::nullopt;
    const xmlNode* root = xmlDocGetRootElement(parsed.document.get());
    if (!root) {
        failure = Text_xml_not_well_formed;
        return std::nullopt;
    }
    if (is_element(root, Dsig_ns, "Signature")) {
        failure = Text_xml_earlier_not_xml_signature;
        return std::nullopt;
    }
    const auto at = root_end_tag(bytes, qualified_name(root));
    if (!at) {
        // An empty root, or a name the encoding writes otherwise than UTF-8.
        failure = Text_xml_no_place;
        return std::nullopt;
    }
    parsed.insert_at = *at;
    return parsed;
}

// What the verifier's reader says of the signatures of bytes: empty when it read them and the
// first count of them (all when count is nullopt) match; else the reason.
std::string signatures_refusal(std::span<const uint8_t> bytes, std::optional<size_t> count, const char* mismatch,
                               size_t* found = nullptr, bool* whole = nullptr)
{
    Xml_signature reader;
    reader.parse(bytes);
    if (!reader.parsed())
        return reader.failure_text().empty() ? std::string(Text_xml_earlier_not_xml_signature)
                                             : "Il documento non è stato firmato: " + reader.failure_text();
    if (found)
        *found = reader.signatures_count();
    reader.read_signatures();
    reader.extract_original_document();
    // The document of enveloped signatures over the whole of it is the file itself; that of
    // signatures over elements by Id is those elements only.
    if (whole)
        *whole = reader.content().size() == bytes.size();
    const size_t checked = count ? *count : reader.signatures_count();
    if (reader.signatures_count() < checked)
        return Text_xml_earlier_not_xml_signature;
    for (size_t index = 0; index < checked; ++index) {
        reader.select_signature(index);
        const Assignable<Signature_integrity> integrity = reader.signature_integrity();
        if (!integrity.is_assigned())
            return Text_earlier_signature_unchecked;
        if (integrity.value() != Signature_integrity::Intact)
            return mismatch;
    }
    return {};
}

std::vector<uint8_t> joined(std::span<const uint8_t> document, size_t insert_at, std::string_view signature)
{
    std::vector<uint8_t> bytes;
    bytes.reserve(document.size() + signature.size());
    bytes.insert(bytes.end(), document.begin(), document.begin() + static_cast<std::ptrdiff_t>(insert_at));
    bytes.insert(bytes.end(), signature.begin(), signature.end());
    bytes.insert(bytes.end(), document.begin() + static_cast<std::ptrdiff_t>(insert_at), document.end());
    return bytes;
}

// The document read as the verifier reads it, its earlier signatures checked, then once more with
// an empty signature where ours will stand: one that covers the signatures after it stops matching
// there.
std::string earlier_signatures_refusal(std::span<const uint8_t> document, const Parsed& parsed)
{
    // Read whether or not it is signed: what the verifier would refuse (identifiers given twice)
    // is refused before the PIN, not after the signature.
    size_t count = 0;
    bool whole = false;
    if (std::string refusal =
            signatures_refusal(document, std::nullopt, Text_earlier_signature_mismatch, &count, &whole);
        !refusal.empty())
        return refusal;
    if (count == 0)
        return {};
    // Ours signs the whole document: the verifier shows one document for every signature of a file.
    if (!whole)
        return Text_xml_earlier_not_whole;
    const std::string placeholder = std::string("<ds:Signature xmlns:ds=\"") + Dsig_ns + "\"/>";
    const std::vector<uint8_t> trial = joined(document, parsed.insert_at, placeholder);
    if (!signatures_refusal(trial, count, Text_xml_earlier_covers_signatures).empty())
        return Text_xml_earlier_covers_signatures;
    return {};
}

std::string der_length(size_t size)
{
    if (size < 0x80)
        return std::string(1, static_cast<char>(size));
    std::string bytes;
    for (; size; size >>= 8)
        bytes.insert(bytes.begin(), static_cast<char>(size & 0xFF));
    return std::string(1, static_cast<char>(0x80 | bytes.size())) + bytes;
}

// IssuerSerial (RFC 5035) of the certificate, DER: the issuer as a directory name, the serial.
std::vector<uint8_t> issuer_serial(X509* certificate)
{
    Owner<GENERAL_NAMES> names(sk_GENERAL_NAME_new_null());
    X509_NAME* issuer = X509_NAME_dup(X509_get_issuer_name(certificate));
    GENERAL_NAME* name = issuer ? GENERAL_NAME_new() : nullptr;
    if (!names || !name) {
        GENERAL_NAME_free(name);
        X509_NAME_free(issuer);
        return {};
    }
    GENERAL_NAME_set0_value(name, GEN_DIRNAME, issuer);
    if (!sk_GENERAL_NAME_push(names.get(), name)) {
        GENERAL_NAME_free(name);
        return {};
    }
    unsigned char* names_der = nullptr;
    const int names_size = i2d_GENERAL_NAMES(names.get(), &names_der);
    const Owner<unsigned char, Openssl_free> names_owner(names_der);
    unsigned char* serial_der = nullptr;
    const int serial_size = i2d_ASN1_INTEGER(X509_get0_serialNumber(certificate), &serial_der);
    const Owner<unsigned char, Openssl_free> serial_owner(serial_der);
    if (names_size <= 0 || serial_size <= 0)
        return {};
    std::string content(reinterpret_cast<const char*>(names_der), static_cast<size_t>(names_size));
    content.append(reinterpret_cast<const char*>(serial_der), static_cast<size_t>(serial_size));
    const std::string der = "\x30" + der_length(content.size()) + content;
    return {der.begin(), der.end()};
}

std::vector<uint8_t> certificate_der(X509* certificate)
{
    unsigned char* der = nullptr;
    const int size = i2d_X509(certificate, &der);
    const Owner<unsigned char, Openssl_free> owner(der);
    return size > 0 ? std::vector<uint8_t>(der, der + size) : std::vector<uint8_t>{};
}

std::string utc_time(std::chrono::system_clock::time_point when)
{
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm fields{};
    char text[32] = {};
    if (!gmtime_r(&seconds, &fields) || std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &fields) == 0)
        return {};
    return text;
}

// The Ids of one signature's elements: a random part, so that no two signatures of a file share one.
struct Signature_ids {
    std::string signature, signed_info, document_reference, properties_reference, value, key_info, object, qualifying,
        signed_properties, timestamp;
};

std::optional<Signature_ids> new_ids()
{
    unsigned char random[8];
    if (RAND_bytes(random, sizeof random) != 1)
        return std::nullopt;
    std::string stem = "velin-";
    static const char hex[] = "0123456789abcdef";
    for (const unsigned char byte : random)
        stem += {hex[byte >> 4], hex[byte & 15]};
    return Signature_ids{stem + "-firma",
                         stem + "-signedinfo",
                         stem + "-rif-documento",
                         stem + "-rif-proprieta",
                         stem + "-valore",
                         stem + "-keyinfo",
                         stem + "-oggetto",
                         stem + "-proprieta-qualificanti",
                         stem + "-proprieta-firmate",
                         stem + "-marca"};
}

// The values that fill the signature's text; empty ones are placeholders still to be worked out.
struct Signature_values {
    std::string document_digest, properties_digest, value, timestamp_token;
};

struct Signature_parts {
    Signature_ids ids;
    std::string certificate, certificate_digest, issuer_serial, signing_time;
};

std::string signed_info_text(const Signature_parts& parts, const Signature_values& values)
{
    const Signature_ids& ids = parts.ids;
    return std::string("<ds:SignedInfo Id=\"") + ids.signed_info + "\">" + "<ds:CanonicalizationMethod Algorithm=\"" +
           C14n_uri + "\"/>" + "<ds:SignatureMethod Algorithm=\"http://www.w3.org/2001/04/xmldsig-more#rsa-sha256\"/>" +
           "<ds:Reference Id=\"" + ids.document_reference + "\" URI=\"\"><ds:Transforms>" +
           "<ds:Transform Algorithm=\"http://www.w3.org/2000/09/xmldsig#enveloped-signature\"/>" +
           "<ds:Transform Algorithm=\"http://www.w3.org/TR/1999/REC-xpath-19991116\">" +
           "<ds:XPath>not(ancestor-or-self::ds:Signature)</ds:XPath></ds:Transform>" + "<ds:Transform Algorithm=\"" +
           C14n_uri + "\"/></ds:Transforms>" + "<ds:DigestMethod Algorithm=\"" + Sha256_uri + "\"/><ds:DigestValue>" +
           values.document_digest + "</ds:DigestValue></ds:Reference>" + "<ds:Reference Id=\"" +
           ids.properties_reference + "\" Type=\"http://uri.etsi.org/01903#SignedProperties\" URI=\"#" +
           ids.signed_properties + "\"><ds:Transforms><ds:Transform Algorithm=\"" + C14n_uri + "\"/></ds:Transforms>" +
           "<ds:DigestMethod Algorithm=\"" + Sha256_uri + "\"/><ds:DigestValue>" + values.properties_digest +
           "</ds:DigestValue></ds:Reference></ds:SignedInfo>";
}

std::string qualifying_properties_text(const Signature_parts& parts, const Signature_values& values)
{
    const Signature_ids& ids = parts.ids;
    std::string text = std::string("<xades:QualifyingProperties xmlns:xades=\"") + Xades_ns + "\" Id=\"" +
                       ids.qualifying + "\" Target=\"#" + ids.signature + "\">" + "<xades:SignedProperties Id=\"" +
                       ids.signed_properties + "\"><xades:SignedSignatureProperties>" + "<xades:SigningTime>" +
                       parts.signing_time + "</xades:SigningTime>" +
                       "<xades:SigningCertificateV2><xades:Cert><xades:CertDigest>" + "<ds:DigestMethod Algorithm=\"" +
                       Sha256_uri + "\"/><ds:DigestValue>" + parts.certificate_digest +
                       "</ds:DigestValue></xades:CertDigest>" + "<xades:IssuerSerialV2>" + parts.issuer_serial +
                       "</xades:IssuerSerialV2></xades:Cert></xades:SigningCertificateV2>" +
                       "</xades:SignedSignatureProperties></xades:SignedProperties>";
    if (!values.timestamp_token.empty())
        text += "<xades:UnsignedProperties><xades:UnsignedSignatureProperties><xades:SignatureTimeStamp Id=\"" +
                ids.timestamp + "\"><ds:CanonicalizationMethod Algorithm=\"" + C14n_uri +
                "\"/><xades:EncapsulatedTimeStamp>" + values.timestamp_token +
                "</xades:EncapsulatedTimeStamp></xades:SignatureTimeStamp>" +
                "</xades:UnsignedSignatureProperties></xades:UnsignedProperties>";
    return text + "</xades:QualifyingProperties>";
}

std::string signature_text(const Signature_parts& parts, const Signature_values& values)
{
    const Signature_ids& ids = parts.ids;
    return std::string("<ds:Signature xmlns:ds=\"") + Dsig_ns + "\" Id=\"" + ids.signature + "\">" +
           signed_info_text(parts, values) + "<ds:SignatureValue Id=\"" + ids.value + "\">" + values.value +
           "</ds:SignatureValue>" + "<ds:KeyInfo Id=\"" + ids.key_info + "\"><ds:X509Data><ds:X509Certificate>" +
           parts.certificate + "</ds:X509Certificate></ds:X509Data></ds:KeyInfo>" + "<ds:Object Id=\"" + ids.object +
           "\">" + qualifying_properties_text(parts, values) + "</ds:Object></ds:Signature>";
}

// The element of the signature with that Id (the signature's own, found by walking it).
xmlNode* element_with_id(xmlNode* signature, const std::string& id)
{
    xmlNode* found = nullptr;
    walk_elements(signature, [&](xmlNode* node) {
        if (!found && xml_attribute(node, "Id") == id)
            found = node;
    });
    return found;
}

bool set_text(xmlNode* element, const std::string& text)
{
    if (!element)
        return false;
    xmlNodeSetContent(element, reinterpret_cast<const xmlChar*>(text.c_str()));
    return true;
}

std::optional<std::vector<uint8_t>> rsa_sha256(EVP_PKEY* key, std::span<const uint8_t> data, std::string& failure)
{
    ERR_clear_error();
    const Owner<EVP_MD_CTX> context(EVP_MD_CTX_new());
    size_t size = 0;
    if (!context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &size, data.data(), data.size()) != 1) {
        failure = "Errore durante la preparazione della firma: " + openssl_error_text();
        return std::nullopt;
    }
    std::vector<uint8_t> value(size);
    if (EVP_DigestSign(context.get(), value.data(), &size, data.data(), data.size()) != 1) {
        failure = "Errore durante la firma: " + openssl_error_text();
        return std::nullopt;
    }
    value.resize(size);
    return value;
}

// The parts of the signature that do not depend on the document.
std::optional<Signature_parts> signature_parts(const Signing_identity& identity,
                                               std::chrono::system_clock::time_point signing_time)
{
    auto ids = new_ids();
    const std::vector<uint8_t> der = certificate_der(identity.certificate);
    const std::vector<uint8_t> serial = issuer_serial(identity.certificate);
    Signature_parts parts;
    parts.signing_time = utc_time(signing_time);
    if (!ids || der.empty() || serial.empty() || parts.signing_time.empty())
        return std::nullopt;
    parts.ids = std::move(*ids);
    parts.certificate = base64(der);
    parts.certificate_digest = base64(sha256(der));
    parts.issuer_serial = base64(serial);
    return parts;
}

// Fills in the signed properties' digest, the signature value and, with stamp, the time stamp,
// each worked out in the signed document as it will be read.
bool fill_values(std::span<const uint8_t> document, size_t insert_at, const Signature_parts& parts,
                 Signature_values& values, EVP_PKEY* key, const Signature_stamper& stamp, std::string& failure)
{
    const std::string draft = signature_text(parts, values);
    const std::vector<uint8_t> bytes = joined(document, insert_at, draft);
    Xml_parse_failure why = Xml_parse_failure::None;
    const Xml_document signed_document = parse_plain_xml(bytes, why);
    xmlNode* signature = nullptr;
    if (signed_document)
        for (xmlNode* node = xmlDocGetRootElement(signed_document.get())->last; node && !signature; node = node->prev)
            if (is_element(node, Dsig_ns, "Signature") && xml_attribute(node, "Id") == parts.ids.signature)
                signature = node;
    xmlNode* properties = signature ? element_with_id(signature, parts.ids.signed_properties) : nullptr;
    xmlNode* signed_info = signature ? element_with_id(signature, parts.ids.signed_info) : nullptr;
    xmlNode* value = signature ? element_with_id(signature, parts.ids.value) : nullptr;
    if (!properties || !signed_info || !value) {
        failure = "Firma XAdES: il documento con la firma non si rilegge.";
        return false;
    }
    values.properties_digest = base64(sha256(canonical_element(signed_document.get(), properties)));
    xmlNode* reference = element_with_id(signature, parts.ids.properties_reference);
    if (!set_text(xml_child(reference, Dsig_ns, "DigestValue"), values.properties_digest))
        return false;
    const std::vector<uint8_t> signed_info_bytes = canonical_element(signed_document.get(), signed_info);
    const auto signature_value = signed_info_bytes.empty() ? std::nullopt : rsa_sha256(key, signed_info_bytes, failure);
    if (!signature_value)
        return false;
    values.value = base64(*signature_value);
    if (!stamp)
        return true;
    set_text(value, values.value);
    const std::vector<uint8_t> stamped = canonical_element(signed_document.get(), value);
    const auto token = stamped.empty() ? std::nullopt : stamp(stamped, failure);
    if (!token)
        return false;
    values.timestamp_token = base64(*token);
    return true;
}

} // namespace

std::string xades_refusal(std::span<const uint8_t> document)
{
    std::string failure;
    const auto parsed = parse_for_signing(document, failure);
    if (!parsed)
        return failure;
    return earlier_signatures_refusal(document, *parsed);
}

std::optional<Xades_insertion> xades_enveloped_signature(std::span<const uint8_t> document,
                                                         const Signing_identity& identity,
                                                         std::chrono::system_clock::time_point signing_time,
                                                         std::string& failure, const Signature_stamper& stamp)
{
    failure.clear();
    auto parsed = parse_for_signing(document, failure);
    if (!parsed)
        return std::nullopt;
    if (failure = earlier_signatures_refusal(document, *parsed); !failure.empty())
        return std::nullopt;
    if (!identity.certificate || !identity.key || EVP_PKEY_get_base_id(identity.key) != EVP_PKEY_RSA) {
        failure = Text_xml_key_not_rsa;
        return std::nullopt;
    }
    auto parts = signature_parts(identity, signing_time);
    const std::vector<uint8_t> content = canonical_without_signatures(parsed->document.get());
    if (!parts || content.empty()) {
        failure = "Firma XAdES: le parti della firma non si possono comporre.";
        return std::nullopt;
    }
    Signature_values values;
    values.document_digest = base64(sha256(content));
    if (!fill_values(document, parsed->insert_at, *parts, values, identity.key, stamp, failure))
        return std::nullopt;
    const std::string text = signature_text(*parts, values);
    Xades_insertion insertion{parsed->insert_at, std::vector<uint8_t>(text.begin(), text.end())};
    // What we hand out is read back as the verifier reads it: every signature must match.
    if (!signatures_refusal(xades_signed_bytes(document, insertion), std::nullopt, Text_xml_self_check).empty()) {
        failure = Text_xml_self_check;
        return std::nullopt;
    }
    return insertion;
}

bool xades_signed_by(std::span<const uint8_t> document, X509* certificate)
{
    const std::vector<uint8_t> der = certificate ? certificate_der(certificate) : std::vector<uint8_t>{};
    if (der.empty())
        return false;
    Xml_signature reader;
    reader.parse(document);
    if (!reader.parsed())
        return false;
    reader.read_signatures();
    for (size_t index = 0; index < reader.signatures_count(); ++index) {
        reader.select_signature(index);
        if (reader.signer_certificate().der() == der)
            return true;
    }
    return false;
}

std::vector<uint8_t> xades_signed_bytes(std::span<const uint8_t> document, const Xades_insertion& insertion)
{
    return joined(
        document, insertion.insert_at,
        std::string_view(reinterpret_cast<const char*>(insertion.signature.data()), insertion.signature.size()));
}

} // namespace velin
