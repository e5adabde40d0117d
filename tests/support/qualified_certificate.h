// Certificates made in the test with the statements qualified certificates carry (qcStatements,
// policies, subject attributes of natural and legal persons), self-signed or issued by an
// authority whose key the test holds. For test programs that link the trust library.
#pragma once

#include "common/owner.h"
#include "trust/certificate.h"

#include <openssl/conf.h>
#include <openssl/evp.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace velin::test {

inline std::string qc_tlv(uint8_t tag, const std::string& content)
{
    return std::string(1, static_cast<char>(tag)) + static_cast<char>(content.size()) + content;
}

// qcStatements from letters: C QcCompliance, S QcSSCD, e/s/w QcType esign/eseal/web; "!" bytes that
// are no statements.
inline std::string qc_statements(const std::string& letters)
{
    const std::string etsi("\x04\x00\x8e\x46\x01", 5); // 0.4.0.1862.1
    if (letters == "!")
        return qc_tlv(0x30, qc_tlv(0x02, "\x01"));
    std::string statements, types;
    for (char letter : letters) {
        if (letter == 'C' || letter == 'S')
            statements += qc_tlv(0x30, qc_tlv(0x06, etsi + (letter == 'C' ? '\x01' : '\x04')));
        else
            types += qc_tlv(0x06, etsi + '\x06' + (letter == 'e' ? '\x01' : letter == 's' ? '\x02' : '\x03'));
    }
    if (!types.empty())
        statements += qc_tlv(0x30, qc_tlv(0x06, etsi + '\x06') + qc_tlv(0x30, types));
    return qc_tlv(0x30, statements);
}

struct Certificate_spec {
    std::string statements = {}; // letters of qc_statements; empty: no extension
    const char* issued = "2018-01-01T00:00:00Z";
    const char* key_usage = "critical,nonRepudiation";
    const char* policies = nullptr;
    const char* extended_usage = nullptr;
    bool serial_number = false; // the subject carries a serialNumber attribute
    // More subject attributes by OpenSSL's short name ("GN", "SN", "organizationIdentifier").
    std::vector<std::string> subject = {};
    bool authority = false; // basicConstraints CA:TRUE, keyCertSign
    const char* common_name = "Firmatario";
    long serial = 5;
};

// The time an xsd:dateTime in UTC ("2018-01-01T00:00:00Z") names.
inline std::time_t utc_time(const char* text)
{
    std::tm parts{};
    if (!strptime(text, "%Y-%m-%dT%H:%M:%SZ", &parts))
        throw std::runtime_error(std::string("not a test date: ") + text);
    return timegm(&parts);
}

// Issued by issuer with issuer_key; self-signed with key when issuer is null.
inline Certificate make_certificate(const Certificate_spec& spec, EVP_PKEY* key, X509* issuer = nullptr,
                                    EVP_PKEY* issuer_key = nullptr)
{
    Owner<X509> x(X509_new());
    X509_set_version(x.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x.get()), spec.serial);
    X509_NAME* name = X509_get_subject_name(x.get());
    const auto add = [&](const char* field, const char* value) {
        if (!X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(value), -1,
                                        -1, 0))
            throw std::runtime_error(std::string("cannot add a test subject attribute: ") + field);
    };
    add("CN", spec.common_name);
    if (spec.serial_number)
        add("serialNumber", "TINIT-X");
    for (const std::string& field : spec.subject)
        add(field.c_str(), field == "organizationIdentifier" ? "VATIT-01234567890" : "ROSSI");
    X509_set_issuer_name(x.get(), issuer ? X509_get_subject_name(issuer) : name);
    ASN1_TIME_set(X509_getm_notBefore(x.get()), utc_time(spec.issued));
    ASN1_TIME_set(X509_getm_notAfter(x.get()), utc_time("2049-01-01T00:00:00Z"));
    X509_set_pubkey(x.get(), key);
    const std::pair<int, const char*> extensions[] = {
        {NID_basic_constraints, spec.authority ? "critical,CA:TRUE" : nullptr},
        {NID_key_usage, spec.authority ? "critical,keyCertSign,cRLSign" : spec.key_usage},
        {NID_certificate_policies, spec.policies},
        {NID_ext_key_usage, spec.extended_usage},
        {NID_subject_key_identifier, "hash"},
        {NID_authority_key_identifier, issuer ? "keyid" : nullptr},
    };
    // certificatePolicies is read through a configuration database, even an empty one.
    const std::unique_ptr<CONF, decltype(&NCONF_free)> database(NCONF_new(nullptr), NCONF_free);
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer ? issuer : x.get(), x.get(), nullptr, nullptr, 0);
    X509V3_set_nconf(&context, database.get());
    for (const auto& [nid, value] : extensions)
        if (value) {
            X509_EXTENSION* extension = X509V3_EXT_nconf_nid(database.get(), &context, nid, value);
            if (!extension)
                throw std::runtime_error(std::string("cannot make a test extension: ") + value);
            X509_add_ext(x.get(), extension, -1);
            X509_EXTENSION_free(extension);
        }
    if (!spec.statements.empty()) {
        const std::string der = qc_statements(spec.statements);
        Owner<ASN1_OCTET_STRING> data(ASN1_OCTET_STRING_new());
        ASN1_OCTET_STRING_set(data.get(), reinterpret_cast<const unsigned char*>(der.data()),
                              static_cast<int>(der.size()));
        X509_EXTENSION* extension = X509_EXTENSION_create_by_NID(nullptr, NID_qcStatements, 0, data.get());
        X509_add_ext(x.get(), extension, -1);
        X509_EXTENSION_free(extension);
    }
    if (X509_sign(x.get(), issuer_key ? issuer_key : key, EVP_sha256()) <= 0)
        throw std::runtime_error("cannot sign a test certificate");
    unsigned char* der = nullptr;
    const int length = i2d_X509(x.get(), &der);
    const std::vector<uint8_t> bytes(der, der + length);
    OPENSSL_free(der);
    return Certificate(std::span<const uint8_t>(bytes));
}

// Self-signed with a key of its own.
inline Certificate make_certificate(const Certificate_spec& spec)
{
    Owner<EVP_PKEY> key(EVP_EC_gen("P-256"));
    return make_certificate(spec, key.get());
}

} // namespace velin::test
