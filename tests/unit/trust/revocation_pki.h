// Certificates and CRLs made on the fly for the revocation tests: distribution points chosen by the
// test (real loopback ports, non-URL names), lists with chosen dates and entries, signed with the
// test PKI's authority keys or with fresh ones.
#pragma once

#include "trust/certificate.h"
#include "trust/certificate_revocation_list.h"

#include <openssl/evp.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace velin::test {

using Key = std::shared_ptr<EVP_PKEY>;

constexpr std::time_t Day = 86400;

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
    std::time_t not_after = 0; // 0: in a year
    std::vector<Distribution_point> points{};
    // The extension's value replaced by these bytes (a damaged extension).
    std::string raw_points{};
    bool authority = false; // basicConstraints CA:TRUE instead of CA:FALSE
    std::string key_usage{}; // a keyUsage extension, as the OpenSSL configuration writes it
    // Authority information access: OCSP responders and caIssuers addresses.
    std::vector<std::string> ocsp_urls{};
    std::vector<std::string> ca_issuer_urls{};
    std::string extended_key_usage{}; // as the OpenSSL configuration writes it ("OCSPSigning")
    bool ocsp_no_check = false; // id-pkix-ocsp-nocheck: a responder whose status needs no check
};

// Issued by issuer with issuer_key; self-signed (subject = issuer) when issuer is empty.
Certificate make_certificate(const Certificate_recipe& recipe, const Key& subject_key, const Certificate& issuer,
                             const Key& issuer_key);

struct Crl_recipe {
    std::time_t this_update = 0; // 0: a day ago
    std::time_t next_update = 0; // 0: in a month; -1: none
    std::vector<long> revoked{};
    long number = 0; // the CRL number extension; 0: none
    int reason = -1; // the CRLReason of every entry; -1: none
    std::time_t revoked_at = 0; // the date of every entry; 0: two days ago
    // An issuing distribution point naming this URL: a list of a part of the issuer's certificates.
    std::string partition{};
    // An ExpiredCertsOnCRL extension with this date; 0: none.
    std::time_t expired_certs_on_crl = 0;
};

// Issued under issuer's subject name, signed with key (not necessarily issuer's).
std::vector<uint8_t> make_crl(const Crl_recipe& recipe, const Certificate& issuer, const Key& key);

// What a test responder answers. Every certificate asked about gets the same status.
enum class Nonce_reply { Echo, None, Other };
struct Ocsp_answer_recipe {
    int certificate_status = 0; // V_OCSP_CERTSTATUS_GOOD, _REVOKED, _UNKNOWN
    std::time_t revoked_at = 0; // 0: two days ago
    int reason = -1; // CRLReason of a revocation; -1: none
    std::time_t this_update = 0; // 0: an hour ago
    std::time_t next_update = 0; // 0: in a day; -1: none
    Nonce_reply nonce = Nonce_reply::Echo;
    int response_status = 0; // OCSP_RESPONSE_STATUS_*; anything but 0 carries no answer
    std::time_t archive_cutoff = 0; // an archiveCutoff extension of each single answer; 0: none
};

// The DER answer to a DER request, signed by signer with key; the signer's certificate goes
// with the answer. A request that does not decode gets a malformedRequest answer.
std::string make_ocsp_answer(const std::string& request, const Ocsp_answer_recipe& recipe, const Certificate& signer,
                             const Key& key);

// A PKCS#7 certificates-only bundle (DER) of the certificates.
std::string make_certificate_bundle(const std::vector<Certificate>& certificates);

// The same list as a PEM "X509 CRL" block.
std::string pem_of_crl(const std::vector<uint8_t>& der);

// Today's local date at midnight read as UTC, the day boundary of the certificate date test.
std::time_t today_midnight();

std::string string_of(const std::vector<uint8_t>& bytes);

} // namespace velin::test
