// Certificates and CRLs made on the fly for the revocation tests: distribution points chosen by the
// test (real loopback ports, non-URL names), lists with chosen dates and entries, signed with the
// test PKI's authority keys or with fresh ones.
#pragma once

#include "VelinVerify/trust/certificate.h"
#include "VelinVerify/trust/certificate_revocation_list.h"

#include <openssl/evp.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace velin::test {

using Key = std::shared_ptr<EVP_PKEY>;

// NAME.cert.pem / NAME.key.pem of tests/fixtures/pki; bytes of crl/NAME.crl.
Certificate fixture_certificate(const std::string& name);
Key fixture_key(const std::string& name);
std::vector<uint8_t> fixture_crl(const std::string& name);
Key new_key();

// One entry of a distribution point's full name.
struct Point_name {
    int type; // GEN_URI, GEN_DNS, GEN_EMAIL
    std::string value;
};
struct Distribution_point {
    std::vector<Point_name> names{};
    bool relative_name = false; // a nameRelativeToCRLIssuer instead of a full name
};
Distribution_point uri_point(const std::string& url);

struct Certificate_recipe {
    long serial = 0x7001;
    std::string common_name = "Firmatario di prova";
    std::time_t not_before = 0; // 0: a year ago
    std::time_t not_after = 0;  // 0: in a year
    std::vector<Distribution_point> points{};
    // The extension's value replaced by these bytes (a damaged extension).
    std::string raw_points{};
    bool authority = false; // basicConstraints CA:TRUE instead of CA:FALSE
    std::string key_usage{}; // a keyUsage extension, as the OpenSSL configuration writes it
    std::string extended_key_usage{}; // an extendedKeyUsage extension, written the same way
};

// Issued by issuer with issuer_key; self-signed (subject = issuer) when issuer is empty.
Certificate make_certificate(const Certificate_recipe& recipe, const Key& subject_key, const Certificate& issuer,
                             const Key& issuer_key);

struct Crl_recipe {
    std::time_t this_update = 0; // 0: a day ago
    std::time_t next_update = 0; // 0: in a month; -1: none
    std::vector<long> revoked{};
    long number = 0; // the CRL number extension; 0: none
};

// Issued under issuer's subject name, signed with key (not necessarily issuer's).
std::vector<uint8_t> make_crl(const Crl_recipe& recipe, const Certificate& issuer, const Key& key);

// The same list as a PEM "X509 CRL" block.
std::string pem_of_crl(const std::vector<uint8_t>& der);

// Today's local date at midnight read as UTC, the day boundary of the certificate date test.
std::time_t today_midnight();

std::string string_of(const std::vector<uint8_t>& bytes);

} // namespace velin::test
