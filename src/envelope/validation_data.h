// The validation data a signed file carries for its signatures (the certificates, CRLs and OCSP
// answers of a PDF's DSS dictionary, of a CAdES signer's certificateValues and revocationValues),
// as bytes: nothing here is trusted. Chain building takes the certificates as intermediates only,
// and revocation checking takes a list or an answer only when the certificate's issuer signed it
// (or delegated its responder) and it speaks for the time the certificate is judged at.
#pragma once

#include <openssl/cms.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace velin {

struct Validation_data {
    std::vector<std::vector<uint8_t>> certificates{}; // DER certificates
    std::vector<std::vector<uint8_t>> crls{}; // DER CertificateLists
    std::vector<std::vector<uint8_t>> ocsp_answers{}; // DER OCSPResponses

    bool empty() const { return certificates.empty() && crls.empty() && ocsp_answers.empty(); }
    // Adds what other holds that this does not hold yet.
    void add(const Validation_data& other);
};

// No file needs more than this many items of a kind; the rest of a hostile one is left out.
constexpr std::size_t Validation_item_limit = 1000;

// The certificateValues and revocationValues unsigned attributes of a signer (its OCSP values,
// BasicOCSPResponses, made whole answers); what does not decode is left out.
Validation_data carried_validation_data(CMS_SignerInfo* signer);

// The same from the attributes' values as DER: certificateValues (SEQUENCE OF Certificate) and
// revocationValues (SEQUENCE { [0] SEQUENCE OF CertificateList, [1] SEQUENCE OF
// BasicOCSPResponse, [2] other }); either may be empty.
Validation_data validation_values(std::span<const uint8_t> certificate_values,
                                  std::span<const uint8_t> revocation_values);

// The revocation archive a PDF signer may put among its signed attributes (OID
// 1.2.840.113583.1.1.8): SEQUENCE { [0] SEQUENCE OF CertificateList, [1] SEQUENCE OF OCSPResponse,
// [2] other }, as DER; its OCSP items taken whole (or made whole when they are BasicOCSPResponses).
Validation_data archived_revocation_values(std::span<const uint8_t> archive);

// The signed attribute of that archive of a signer, as DER; empty when it has none.
std::vector<uint8_t> revocation_archive_attribute(CMS_SignerInfo* signer);

// The authorities (certificates of a CA) among the certificates a CMS signed data carries, as DER:
// the intermediates of its signers' chains, at most Validation_item_limit.
std::vector<std::vector<uint8_t>> carried_authorities(CMS_ContentInfo* cms);

} // namespace velin
