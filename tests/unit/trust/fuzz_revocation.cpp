// Certificates and lists reach revocation checking from signed files and servers: whatever the
// bytes, reading the distribution points, naming the cache file and checking a list end normally,
// and no cache name can leave the cache folder. The same bytes as an OCSP answer, a caIssuers
// answer and a certificate's authority information access end normally too.
#include "test_folder.h"
#include "trust/authority_access.h"
#include "trust/certificate_revocation_list.h"
#include "trust/crl_cache.h"
#include "trust/ocsp.h"
#include "trust/report.h"
#include "trust/revocation.h"

#include <cstdint>
#include <cstdlib>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool ready = [] {
        velin::test::private_environment();
        velin::set_report_handler([](int, const std::string&) {});
        return true;
    }();
    (void)ready;

    const std::span<const uint8_t> bytes(data, size);
    const velin::Certificate certificate(bytes);
    if (certificate.is_valid()) {
        for (const std::string& url : velin::crl_distribution_urls(certificate)) {
            if (velin::escape_cache_name(url).find('/') != std::string::npos)
                std::abort();
        }
        (void)velin::first_http_crl_url(certificate);
        (void)velin::crl_issuer_of({certificate, std::nullopt});
        (void)velin::authority_access_urls(certificate, NID_ad_OCSP);
        (void)velin::authority_access_urls(certificate, NID_ad_ca_issuers);
    }
    (void)velin::parse_ca_issuers(std::string(reinterpret_cast<const char*>(data), size));

    const velin::Certificate_revocation_list list(bytes);
    if (list.is_valid()) {
        static const velin::Certificate key_holder = [] {
            // Any certificate will do as the key to check with; the list under test is the input.
            const std::string der = velin::test::read_file(std::string(VELIN_FUZZ_SEEDS) + "/signer-ldap.cer");
            return velin::Certificate(
                std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(der.data()), der.size()));
        }();
        if (key_holder.is_valid()) {
            const velin::Crl_check_outcome checked = velin::crl_check(list, key_holder);
            if (checked.result < velin::Crl_check_valid || checked.result > velin::Crl_check_not_checked)
                std::abort();
            (void)list.find_certificate(key_holder);
        }
        // The dates the rule for expired certificates reads: any extension, decoded or not.
        (void)list.this_update();
        (void)list.expired_certificates_kept_since();
    }
    static const velin::Certificate subject = [] {
        const std::string der = velin::test::read_file(std::string(VELIN_FUZZ_SEEDS) + "/signer-ldap.cer");
        return velin::Certificate(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(der.data()), der.size()));
    }();
    if (subject.is_valid()) {
        const velin::Ocsp_result answer = velin::judge_ocsp_answer(bytes, subject, subject, nullptr, std::nullopt);
        if (answer.status != velin::Ocsp_status::No_answer && answer.status != velin::Ocsp_status::Unknown &&
            answer.status != velin::Ocsp_status::Good && answer.status != velin::Ocsp_status::Revoked)
            std::abort();
    }
    return 0;
}
