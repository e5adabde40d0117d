#include "trust/service_identity.h"

#include "common/openssl_encoding.h"
#include "common/owner.h"

#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cctype>
#include <optional>
#include <utility>

namespace velin {

namespace {

// One attribute of a name: its OID in dotted form and its value, normalised.
using Attribute = std::pair<std::string, std::string>;

// Lists write names in the forms of RFC 4514 and of older tools, the short names in any case; a
// few of them OpenSSL does not know by these spellings.
std::optional<std::string> alias_oid(std::string type)
{
    std::transform(type.begin(), type.end(), type.begin(), [](unsigned char c) { return std::toupper(c); });
    static const std::pair<const char*, const char*> aliases[] = {
        {"CN", "2.5.4.3"},
        {"C", "2.5.4.6"},
        {"O", "2.5.4.10"},
        {"OU", "2.5.4.11"},
        {"L", "2.5.4.7"},
        {"E", "1.2.840.113549.1.9.1"},
        {"EMAIL", "1.2.840.113549.1.9.1"},
        {"EMAILADDRESS", "1.2.840.113549.1.9.1"},
        {"S", "2.5.4.8"},
        {"ST", "2.5.4.8"},
        {"SERIALNUMBER", "2.5.4.5"},
        {"G", "2.5.4.42"},
        {"GIVENNAME", "2.5.4.42"},
        {"SN", "2.5.4.4"},
        {"SURNAME", "2.5.4.4"},
        {"T", "2.5.4.12"},
        {"TITLE", "2.5.4.12"},
        {"ORGANIZATIONIDENTIFIER", "2.5.4.97"},
        {"STREET", "2.5.4.9"},
        {"DC", "0.9.2342.19200300.100.1.25"},
        {"UID", "0.9.2342.19200300.100.1.1"},
    };
    for (const auto& [name, oid] : aliases)
        if (type == name)
            return oid;
    return std::nullopt;
}

std::string oid_of_type(std::string type)
{
    if (const std::optional<std::string> alias = alias_oid(type))
        return *alias;
    if (type.size() > 4 && (type.compare(0, 4, "OID.") == 0 || type.compare(0, 4, "oid.") == 0))
        type.erase(0, 4);
    const Owner<ASN1_OBJECT> object(OBJ_txt2obj(type.c_str(), 0));
    return object ? oid_text(object.get()) : std::string();
}

// Blanks trimmed and runs of them made one, ASCII letters in lower case.
std::string normalised(const std::string& value)
{
    std::string result;
    bool blank = false;
    for (const char c : value) {
        if (std::isspace(static_cast<unsigned char>(c))) {
            blank = !result.empty();
            continue;
        }
        if (blank)
            result += ' ';
        blank = false;
        result += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return result;
}

std::string utf8_of(const ASN1_STRING* string)
{
    unsigned char* text = nullptr;
    const int size = ASN1_STRING_to_UTF8(&text, string);
    const Owner<unsigned char, Openssl_free> owned(text);
    return size >= 0 ? std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(size)) : std::string();
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// "#" and the hex of a BER-encoded string value.
std::optional<std::string> ber_value(const std::string& hex)
{
    if (hex.empty() || hex.size() % 2 != 0)
        return std::nullopt;
    std::vector<unsigned char> der;
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int high = hex_digit(hex[i]), low = hex_digit(hex[i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        der.push_back(static_cast<unsigned char>(high * 16 + low));
    }
    const unsigned char* at = der.data();
    const Owner<ASN1_TYPE> value(d2i_ASN1_TYPE(nullptr, &at, static_cast<long>(der.size())));
    if (!value || at != der.data() + der.size() || value->type == V_ASN1_SEQUENCE || value->type == V_ASN1_SET ||
        value->type == V_ASN1_OBJECT || value->type == V_ASN1_NULL || value->type == V_ASN1_BOOLEAN)
        return std::nullopt;
    return utf8_of(value->value.asn1_string);
}

// The attributes of an RFC 4514 name (also with ";" between parts and quoted values, as older
// writers did); nullopt when it cannot be read.
std::optional<std::vector<Attribute>> parse_name(const std::string& text)
{
    std::vector<Attribute> attributes;
    size_t at = 0;
    const size_t end = text.size();
    auto skip_blanks = [&] {
        while (at < end && text[at] == ' ')
            ++at;
    };
    while (true) {
        skip_blanks();
        const size_t equals = text.find('=', at);
        if (equals == std::string::npos)
            return std::nullopt;
        std::string type = text.substr(at, equals - at);
        while (!type.empty() && type.back() == ' ')
            type.pop_back();
        const std::string oid = type.empty() ? std::string() : oid_of_type(type);
        if (oid.empty())
            return std::nullopt;
        at = equals + 1;
        skip_blanks();
        std::string value;
        if (at < end && text[at] == '#') {
            size_t stop = at + 1;
            while (stop < end && hex_digit(text[stop]) >= 0)
                ++stop;
            const std::optional<std::string> decoded = ber_value(text.substr(at + 1, stop - at - 1));
            if (!decoded)
                return std::nullopt;
            value = *decoded;
            at = stop;
        } else if (at < end && text[at] == '"') {
            ++at;
            while (at < end && text[at] != '"') {
                if (text[at] == '\\' && at + 1 < end)
                    ++at;
                value += text[at++];
            }
            if (at == end)
                return std::nullopt;
            ++at;
        } else {
            while (at < end && text[at] != ',' && text[at] != '+' && text[at] != ';') {
                if (text[at] != '\\') {
                    value += text[at++];
                    continue;
                }
                if (at + 2 < end && hex_digit(text[at + 1]) >= 0 && hex_digit(text[at + 2]) >= 0) {
                    value += static_cast<char>(hex_digit(text[at + 1]) * 16 + hex_digit(text[at + 2]));
                    at += 3;
                } else if (at + 1 < end) {
                    value += text[at + 1];
                    at += 2;
                } else {
                    return std::nullopt;
                }
            }
        }
        attributes.emplace_back(oid, normalised(value));
        skip_blanks();
        if (at == end)
            break;
        if (text[at] != ',' && text[at] != '+' && text[at] != ';')
            return std::nullopt;
        ++at;
    }
    return attributes;
}

std::vector<Attribute> attributes_of(const X509_NAME* name)
{
    std::vector<Attribute> attributes;
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        attributes.emplace_back(oid_text(X509_NAME_ENTRY_get_object(entry)),
                                normalised(utf8_of(X509_NAME_ENTRY_get_data(entry))));
    }
    return attributes;
}

std::vector<uint8_t> digest(const EVP_MD* md, const unsigned char* data, size_t size, size_t keep)
{
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data, size, value, &length, md, nullptr) != 1)
        return {};
    return {value, value + std::min<size_t>(keep, length)};
}

} // namespace

std::vector<std::vector<uint8_t>> key_identifiers_of(const Certificate& certificate)
{
    std::vector<std::vector<uint8_t>> identifiers;
    X509* x509 = certificate.is_valid() ? certificate.raw_handle() : nullptr;
    const ASN1_BIT_STRING* key = x509 ? X509_get0_pubkey_bitstr(x509) : nullptr;
    if (!key)
        return identifiers;
    const unsigned char* bits = ASN1_STRING_get0_data(key);
    const size_t size = static_cast<size_t>(ASN1_STRING_length(key));
    // SHA-1 of the key's bits; the 0100 type and its last 60 bits.
    const std::vector<uint8_t> sha1 = digest(EVP_sha1(), bits, size, 20);
    if (sha1.size() == 20) {
        identifiers.push_back(sha1);
        std::vector<uint8_t> short_form{static_cast<uint8_t>(0x40 | (sha1[12] & 0x0F))};
        short_form.insert(short_form.end(), sha1.begin() + 13, sha1.end());
        identifiers.push_back(short_form);
    }
    // The leftmost 160 bits of SHA-2 digests of the bits, and whole digests of the key's DER.
    for (const EVP_MD* md : {EVP_sha256(), EVP_sha384(), EVP_sha512()})
        identifiers.push_back(digest(md, bits, size, 20));
    unsigned char* der = nullptr;
    const int der_size = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(x509), &der);
    const Owner<unsigned char, Openssl_free> owned(der);
    if (der_size > 0)
        for (const EVP_MD* md : {EVP_sha1(), EVP_sha256()})
            identifiers.push_back(digest(md, der, static_cast<size_t>(der_size), EVP_MAX_MD_SIZE));
    std::erase_if(identifiers, [](const std::vector<uint8_t>& identifier) { return identifier.empty(); });
    return identifiers;
}

bool subject_name_matches(const std::string& name, const Certificate& certificate)
{
    X509* x509 = certificate.is_valid() ? certificate.raw_handle() : nullptr;
    std::optional<std::vector<Attribute>> listed = parse_name(name);
    if (!x509 || !listed || listed->empty())
        return false;
    std::vector<Attribute> subject = attributes_of(X509_get_subject_name(x509));
    // Lists write the parts in either order.
    std::sort(listed->begin(), listed->end());
    std::sort(subject.begin(), subject.end());
    return *listed == subject;
}

bool identity_names(const Service_identity& identity, const Certificate& certificate)
{
    if (identity.key_identifier.empty())
        return false;
    const std::vector<std::vector<uint8_t>> identifiers = key_identifiers_of(certificate);
    if (std::find(identifiers.begin(), identifiers.end(), identity.key_identifier) == identifiers.end())
        return false;
    return identity.subject_name.empty() || subject_name_matches(identity.subject_name, certificate);
}

} // namespace velin
