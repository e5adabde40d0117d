#include "VelinVerify/certificates/certificate_texts.h"

#include "common/openssl_encoding.h"
#include "common/owner.h"
#include "trust/certificate_issuer.h"
#include "trust/chain_builder.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace velin {

namespace {

std::string quoted_value(const std::string& value)
{
    const bool needs_quotes = value.find_first_of(",+=\"<>#;\r\n") != std::string::npos ||
                              (!value.empty() && (value.front() == ' ' || value.back() == ' '));
    if (!needs_quotes)
        return value;
    std::string result = "\"";
    for (const char c : value) {
        if (c == '"')
            result += '"';
        result += c;
    }
    return result + "\"";
}

std::string object_text(const ASN1_OBJECT* object, bool prefer_name = true)
{
    const std::string text = oid_text(object, prefer_name);
    return text.empty() ? "?" : text;
}

std::string attribute_label(const X509_NAME_ENTRY* entry)
{
    const ASN1_OBJECT* object = X509_NAME_ENTRY_get_object(entry);
    const int nid = OBJ_obj2nid(object);
    if (nid == NID_pkcs9_emailAddress)
        return "E";
    if (nid != NID_undef)
        return OBJ_nid2sn(nid);
    return object_text(object, false);
}

// The attributes of a name grouped by relative distinguished name, in name order.
std::vector<std::vector<const X509_NAME_ENTRY*>> name_groups(const X509_NAME* name)
{
    std::vector<std::vector<const X509_NAME_ENTRY*>> groups;
    if (!name)
        return groups;
    int last_set = -1;
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        const int set = X509_NAME_ENTRY_set(entry);
        if (groups.empty() || set != last_set)
            groups.emplace_back();
        groups.back().push_back(entry);
        last_set = set;
    }
    return groups;
}

std::string first_value(const X509_NAME* name, int nid)
{
    const int index = X509_NAME_get_index_by_NID(name, nid, -1);
    if (index < 0)
        return {};
    return utf8_of(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index))).value_or(std::string());
}

std::string bio_text(BIO* bio)
{
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    if (length <= 0 || !data)
        return {};
    std::string text(data, static_cast<size_t>(length));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text;
}

// Several lines as one: lines trimmed and joined by ", ".
std::string one_line(const std::string& text)
{
    std::string result;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        const size_t first = line.find_first_not_of(" \t\r");
        if (first != std::string::npos) {
            line = line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
            // A heading line ("Full Name:") goes with what follows it.
            if (!result.empty())
                result += result.back() == ':' ? " " : ", ";
            result += line;
        }
        start = end + 1;
    }
    return result;
}

std::string local_text(const ASN1_TIME* time, const char* format)
{
    const std::optional<std::time_t> seconds = seconds_of(time);
    if (!seconds)
        return {};
    const std::time_t instant = *seconds;
    std::tm local{};
    if (!localtime_r(&instant, &local))
        return {};
    char buffer[64] = {};
    return std::strftime(buffer, sizeof buffer, format, &local) ? buffer : "";
}

const char* key_usage_name(unsigned bit)
{
    switch (bit) {
    case KU_DIGITAL_SIGNATURE:
        return "Firma digitale";
    case KU_NON_REPUDIATION:
        return "Non ripudio";
    case KU_KEY_ENCIPHERMENT:
        return "Cifratura della chiave";
    case KU_DATA_ENCIPHERMENT:
        return "Cifratura dei dati";
    case KU_KEY_AGREEMENT:
        return "Accordo sulla chiave";
    case KU_KEY_CERT_SIGN:
        return "Firma di certificati";
    case KU_CRL_SIGN:
        return "Firma di liste di revoca (CRL)";
    case KU_ENCIPHER_ONLY:
        return "Solo cifratura";
    case KU_DECIPHER_ONLY:
        return "Solo decifratura";
    default:
        return nullptr;
    }
}

std::string extended_usage_name(const ASN1_OBJECT* object)
{
    switch (OBJ_obj2nid(object)) {
    case NID_server_auth:
        return "Autenticazione del server";
    case NID_client_auth:
        return "Autenticazione del client";
    case NID_code_sign:
        return "Firma del codice";
    case NID_email_protect:
        return "Protezione della posta elettronica";
    case NID_time_stamp:
        return "Marcatura temporale";
    case NID_OCSP_sign:
        return "Firma di risposte OCSP";
    case NID_anyExtendedKeyUsage:
        return "Qualsiasi uso";
    default:
        return object_text(object);
    }
}

std::string hex_bytes(const unsigned char* data, size_t length, const char* separator)
{
    std::string text;
    char byte[3];
    for (size_t i = 0; i < length; ++i) {
        if (i > 0)
            text += separator;
        std::snprintf(byte, sizeof byte, "%02x", data[i]);
        text += byte;
    }
    return text;
}

Certificate_field field(std::string name, std::string full_text)
{
    Certificate_field result;
    result.name = std::move(name);
    result.value = one_line(full_text);
    result.full_text = std::move(full_text);
    return result;
}

Certificate_field extension_field(X509_EXTENSION* extension)
{
    const ASN1_OBJECT* object = X509_EXTENSION_get_object(extension);
    const bool critical = X509_EXTENSION_get_critical(extension) > 0;
    std::string value;
    Owner<BIO> bio(BIO_new(BIO_s_mem()));
    if (bio && X509V3_EXT_print(bio.get(), extension, X509V3_EXT_DUMP_UNKNOWN, 0) == 1) {
        value = bio_text(bio.get());
    } else {
        // Not decodable as its kind says: the bytes as they are.
        const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(extension);
        value = hex_bytes(ASN1_STRING_get0_data(data), static_cast<size_t>(ASN1_STRING_length(data)), " ");
    }
    ERR_clear_error();
    Certificate_field result;
    result.name = object_text(object);
    result.value = one_line(value);
    result.full_text =
        "OID: " + object_text(object, false) + "\n" + (critical ? "Critica: sì" : "Critica: no") + "\n\n" + value;
    return result;
}

} // namespace

std::string name_values_reversed(const X509_NAME* name)
{
    const auto groups = name_groups(name);
    std::string text;
    for (auto group = groups.rbegin(); group != groups.rend(); ++group) {
        if (!text.empty())
            text += ", ";
        for (size_t i = 0; i < group->size(); ++i) {
            if (i > 0)
                text += " + ";
            text += quoted_value(utf8_of(X509_NAME_ENTRY_get_data((*group)[i])).value_or(std::string()));
        }
    }
    return text;
}

std::string certificate_list_text(const Certificate& certificate)
{
    return name_values_reversed(certificate.subject_name());
}

std::string simple_display_name(const X509_NAME* name)
{
    if (!name)
        return {};
    for (int nid : {NID_commonName, NID_organizationalUnitName, NID_organizationName, NID_pkcs9_emailAddress}) {
        std::string value = first_value(name, nid);
        if (!value.empty())
            return value;
    }
    if (X509_NAME_entry_count(name) > 0)
        return utf8_of(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, 0))).value_or(std::string());
    return {};
}

std::string name_lines(const X509_NAME* name)
{
    const auto groups = name_groups(name);
    std::string text;
    for (auto group = groups.rbegin(); group != groups.rend(); ++group)
        for (const X509_NAME_ENTRY* entry : *group) {
            if (!text.empty())
                text += '\n';
            text += attribute_label(entry) + " = " + utf8_of(X509_NAME_ENTRY_get_data(entry)).value_or(std::string());
        }
    return text;
}

std::string local_date_text(const ASN1_TIME* time)
{
    return local_text(time, "%d/%m/%Y");
}

std::string local_date_time_text(const ASN1_TIME* time)
{
    return local_text(time, "%d/%m/%Y %H:%M:%S");
}

Certificate_general certificate_general(const Certificate& certificate)
{
    X509* x509 = certificate.checked_handle();
    Certificate_general general;
    general.issued_to = simple_display_name(certificate.subject_name());
    general.issued_by = simple_display_name(certificate.issuer_name());
    general.valid_from = local_date_text(X509_get0_notBefore(x509));
    general.valid_to = local_date_text(X509_get0_notAfter(x509));

    const uint32_t flags = X509_get_extension_flags(x509);
    if (flags & EXFLAG_KUSAGE) {
        const uint32_t bits = X509_get_key_usage(x509);
        for (unsigned bit : {KU_DIGITAL_SIGNATURE, KU_NON_REPUDIATION, KU_KEY_ENCIPHERMENT, KU_DATA_ENCIPHERMENT,
                             KU_KEY_AGREEMENT, KU_KEY_CERT_SIGN, KU_CRL_SIGN, KU_ENCIPHER_ONLY, KU_DECIPHER_ONLY})
            if (bits & bit)
                general.intended_uses.push_back(key_usage_name(bit));
    }
    int critical = 0;
    const Owner<EXTENDED_KEY_USAGE> extended(
        static_cast<EXTENDED_KEY_USAGE*>(X509_get_ext_d2i(x509, NID_ext_key_usage, &critical, nullptr)));
    if (extended) {
        for (int i = 0; i < sk_ASN1_OBJECT_num(extended.get()); ++i)
            general.intended_uses.push_back(extended_usage_name(sk_ASN1_OBJECT_value(extended.get(), i)));
    }
    ERR_clear_error();
    if (general.intended_uses.empty())
        general.intended_uses.push_back("Tutti gli usi");
    return general;
}

std::vector<Certificate_field> certificate_fields(const Certificate& certificate)
{
    X509* x509 = certificate.checked_handle();
    std::vector<Certificate_field> fields;
    fields.push_back(field("Versione", "V" + std::to_string(X509_get_version(x509) + 1)));

    const ASN1_INTEGER* serial = X509_get0_serialNumber(x509);
    fields.push_back(field("Numero di serie", hex_bytes(ASN1_STRING_get0_data(serial),
                                                        static_cast<size_t>(ASN1_STRING_length(serial)), " ")));

    const X509_ALGOR* algorithm = nullptr;
    X509_get0_signature(nullptr, &algorithm, x509);
    const ASN1_OBJECT* algorithm_object = nullptr;
    if (algorithm)
        X509_ALGOR_get0(&algorithm_object, nullptr, nullptr, algorithm);
    fields.push_back(field("Algoritmo della firma", algorithm_object ? object_text(algorithm_object) : ""));

    Certificate_field issuer = field("Autorità emittente", name_lines(certificate.issuer_name()));
    issuer.value = name_values_reversed(certificate.issuer_name());
    fields.push_back(std::move(issuer));
    fields.push_back(field("Valido dal", local_date_time_text(X509_get0_notBefore(x509))));
    fields.push_back(field("Valido fino al", local_date_time_text(X509_get0_notAfter(x509))));
    Certificate_field subject = field("Soggetto", name_lines(certificate.subject_name()));
    subject.value = name_values_reversed(certificate.subject_name());
    fields.push_back(std::move(subject));

    EVP_PKEY* key = X509_get0_pubkey(x509);
    if (key) {
        Owner<BIO> bio(BIO_new(BIO_s_mem()));
        std::string printed;
        if (bio && EVP_PKEY_print_public(bio.get(), key, 0, nullptr) == 1)
            printed = bio_text(bio.get());
        const char* type = EVP_PKEY_get0_type_name(key);
        Certificate_field public_key;
        public_key.name = "Chiave pubblica";
        public_key.value = std::string(type ? type : "?") + " (" + std::to_string(EVP_PKEY_get_bits(key)) + " Bits)";
        public_key.full_text = printed.empty() ? public_key.value : printed;
        fields.push_back(std::move(public_key));
    } else {
        fields.push_back(field("Chiave pubblica", "Chiave non decodificabile"));
    }
    ERR_clear_error();

    for (int i = 0; i < X509_get_ext_count(x509); ++i)
        fields.push_back(extension_field(X509_get_ext(x509, i)));

    if (!certificate.friendly_name().empty())
        fields.push_back(field("Nome descrittivo", certificate.friendly_name()));
    fields.push_back(field("Identificazione personale (SHA-1)", certificate.thumbprint()));
    return fields;
}

Certification_path certification_path(const Trusted_store& store, const Certificate& certificate)
{
    Certification_path path;
    const Certificate_store* merged = store.merged_store();
    if (!merged || !certificate.is_valid()) {
        if (certificate.is_valid())
            path.certificates.push_back(certificate);
        return path;
    }
    Chain_outcome outcome = build_chain(store, certificate);
    std::vector<Certificate> found;
    if (outcome.complete) {
        found = std::move(outcome.chain);
    } else {
        // An incomplete chain is shown as far as it goes, walked as chain building walks it.
        found.push_back(certificate);
        for (;;) {
            const Certificate_issuer lookup(found.back(), merged, found);
            if (!lookup.succeeded())
                break;
            found.push_back(lookup.value());
        }
    }
    path.complete = outcome.complete;
    path.certificates.assign(found.rbegin(), found.rend());
    return path;
}

std::string certification_status_text(const Certification_path& path, size_t index, std::time_t now)
{
    if (index >= path.certificates.size())
        return {};
    const Certificate& certificate = path.certificates[index];
    if (!path.complete) {
        if (index == 0)
            return certificate.is_self_issued()
                       ? "Il certificato radice non si trova nelle liste dei certificati attendibili."
                       : "L'emittente di questo certificato non si trova nelle liste dei certificati attendibili.";
        return "La catena di certificati è incompleta.";
    }
    switch (certificate.time_validity_at(now)) {
    case Time_expired:
        return "Il certificato è scaduto.";
    case Time_not_yet_valid:
        return "Il certificato non è ancora valido.";
    case Time_not_convertible:
        return "La validità del certificato non può essere verificata.";
    case Time_valid:
        break;
    }
    return "Il certificato è valido.";
}

} // namespace velin
