#include "envelope/validation_data.h"

#include "common/owner.h"

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/ocsp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <climits>
#include <optional>

namespace velin {

namespace {

// One element of a DER encoding: its tag and class, its contents, and the whole of it.
struct Der_element {
    int tag = 0;
    int tag_class = 0;
    std::span<const uint8_t> contents;
    std::span<const uint8_t> whole;
};

// The first element of bytes; nothing when it is not one of definite length inside them.
std::optional<Der_element> first_element(std::span<const uint8_t> bytes)
{
    if (bytes.empty() || bytes.size() > LONG_MAX)
        return std::nullopt;
    const unsigned char* cursor = bytes.data();
    long length = 0;
    int tag = 0, tag_class = 0;
    const int flags = ASN1_get_object(&cursor, &length, &tag, &tag_class, static_cast<long>(bytes.size()));
    ERR_clear_error();
    if ((flags & 0x80) || flags == 0x21 /* indefinite length */)
        return std::nullopt;
    const size_t header = static_cast<size_t>(cursor - bytes.data());
    if (length < 0 || header + static_cast<size_t>(length) > bytes.size())
        return std::nullopt;
    return Der_element{tag, tag_class, bytes.subspan(header, static_cast<size_t>(length)),
                       bytes.subspan(0, header + static_cast<size_t>(length))};
}

// The elements inside contents, in order, at most Validation_item_limit; stops at the first that
// does not decode.
std::vector<Der_element> elements(std::span<const uint8_t> contents)
{
    std::vector<Der_element> found;
    while (!contents.empty() && found.size() < Validation_item_limit) {
        const std::optional<Der_element> element = first_element(contents);
        if (!element)
            break;
        found.push_back(*element);
        contents = contents.subspan(element->whole.size());
    }
    return found;
}

bool is_sequence(const Der_element& element)
{
    return element.tag_class == V_ASN1_UNIVERSAL && element.tag == V_ASN1_SEQUENCE;
}

// The elements of a SEQUENCE OF; none when bytes are not a SEQUENCE.
std::vector<Der_element> sequence_of(std::span<const uint8_t> bytes)
{
    const std::optional<Der_element> outer = first_element(bytes);
    if (!outer || !is_sequence(*outer))
        return {};
    return elements(outer->contents);
}

std::vector<uint8_t> bytes_of(const Der_element& element)
{
    return {element.whole.begin(), element.whole.end()};
}

// A BasicOCSPResponse made the successful OCSPResponse an answer read from a responder is.
std::vector<uint8_t> whole_answer(std::span<const uint8_t> basic_der)
{
    const unsigned char* cursor = basic_der.data();
    OCSP_BASICRESP* basic = d2i_OCSP_BASICRESP(nullptr, &cursor, static_cast<long>(basic_der.size()));
    OCSP_RESPONSE* response = basic ? OCSP_response_create(OCSP_RESPONSE_STATUS_SUCCESSFUL, basic) : nullptr;
    OCSP_BASICRESP_free(basic);
    unsigned char* der = nullptr;
    const int length = response ? i2d_OCSP_RESPONSE(response, &der) : -1;
    OCSP_RESPONSE_free(response);
    ERR_clear_error();
    std::vector<uint8_t> answer;
    if (length > 0)
        answer.assign(der, der + length);
    OPENSSL_free(der);
    return answer;
}

// An OCSP item as a whole OCSPResponse: as it is when it is one, made whole when it is a
// BasicOCSPResponse.
std::vector<uint8_t> ocsp_answer(const Der_element& item)
{
    const unsigned char* cursor = item.whole.data();
    OCSP_RESPONSE* response = d2i_OCSP_RESPONSE(nullptr, &cursor, static_cast<long>(item.whole.size()));
    const bool whole = response && cursor == item.whole.data() + item.whole.size();
    OCSP_RESPONSE_free(response);
    ERR_clear_error();
    return whole ? bytes_of(item) : whole_answer(item.whole);
}

void add_unique(std::vector<std::vector<uint8_t>>& to, const std::vector<uint8_t>& item)
{
    if (item.empty() || to.size() >= Validation_item_limit || std::find(to.begin(), to.end(), item) != to.end())
        return;
    to.push_back(item);
}

// The first value of an attribute when it is a SEQUENCE, as DER; empty otherwise or without one.
std::vector<uint8_t> sequence_value(X509_ATTRIBUTE* attribute)
{
    const ASN1_TYPE* value =
        attribute && X509_ATTRIBUTE_count(attribute) > 0 ? X509_ATTRIBUTE_get0_type(attribute, 0) : nullptr;
    ERR_clear_error();
    if (!value || value->type != V_ASN1_SEQUENCE || !value->value.sequence)
        return {};
    const unsigned char* data = ASN1_STRING_get0_data(value->value.sequence);
    return {data, data + std::max(0, ASN1_STRING_length(value->value.sequence))};
}

// The first value of an unsigned attribute, as DER; empty when the signer has none.
std::vector<uint8_t> attribute_value(CMS_SignerInfo* signer, int nid)
{
    const int at = CMS_unsigned_get_attr_by_NID(signer, nid, -1);
    return sequence_value(at >= 0 ? CMS_unsigned_get_attr(signer, at) : nullptr);
}

// The revocation values of a SEQUENCE { [0] SEQUENCE OF CertificateList, [1] SEQUENCE OF OCSP
// items, [2] other } (explicit tags) into data.
void add_revocation_values(std::span<const uint8_t> values, Validation_data& data)
{
    for (const Der_element& choice : sequence_of(values)) {
        if (choice.tag_class != V_ASN1_CONTEXT_SPECIFIC || (choice.tag != 0 && choice.tag != 1))
            continue;
        for (const Der_element& item : sequence_of(choice.contents)) {
            if (!is_sequence(item))
                continue;
            if (choice.tag == 0)
                add_unique(data.crls, bytes_of(item));
            else
                add_unique(data.ocsp_answers, ocsp_answer(item));
        }
    }
}

} // namespace

void Validation_data::add(const Validation_data& other)
{
    for (const auto& item : other.certificates)
        add_unique(certificates, item);
    for (const auto& item : other.crls)
        add_unique(crls, item);
    for (const auto& item : other.ocsp_answers)
        add_unique(ocsp_answers, item);
}

Validation_data validation_values(std::span<const uint8_t> certificate_values,
                                  std::span<const uint8_t> revocation_values)
{
    Validation_data data;
    for (const Der_element& certificate : sequence_of(certificate_values))
        if (is_sequence(certificate))
            add_unique(data.certificates, bytes_of(certificate));
    add_revocation_values(revocation_values, data);
    return data;
}

Validation_data archived_revocation_values(std::span<const uint8_t> archive)
{
    Validation_data data;
    add_revocation_values(archive, data);
    return data;
}

std::vector<uint8_t> revocation_archive_attribute(CMS_SignerInfo* signer)
{
    const Owner<ASN1_OBJECT> oid(OBJ_txt2obj("1.2.840.113583.1.1.8", 1));
    const int at = oid ? CMS_signed_get_attr_by_OBJ(signer, oid.get(), -1) : -1;
    return sequence_value(at >= 0 ? CMS_signed_get_attr(signer, at) : nullptr);
}

std::vector<std::vector<uint8_t>> carried_authorities(CMS_ContentInfo* cms)
{
    std::vector<std::vector<uint8_t>> found;
    const Owner<STACK_OF(X509)> certificates(cms ? CMS_get1_certs(cms) : nullptr);
    for (int i = 0; certificates && i < sk_X509_num(certificates.get()); ++i) {
        X509* certificate = sk_X509_value(certificates.get(), i);
        if (X509_check_ca(certificate) <= 0)
            continue;
        unsigned char* der = nullptr;
        const int length = i2d_X509(certificate, &der);
        const Owner<unsigned char, Openssl_free> owned(der);
        if (length > 0)
            add_unique(found, std::vector<uint8_t>(der, der + length));
    }
    ERR_clear_error();
    return found;
}

Validation_data carried_validation_data(CMS_SignerInfo* signer)
{
    const std::vector<uint8_t> certificates = attribute_value(signer, NID_id_smime_aa_ets_certValues);
    const std::vector<uint8_t> revocation = attribute_value(signer, NID_id_smime_aa_ets_revocationValues);
    return validation_values(certificates, revocation);
}

} // namespace velin
