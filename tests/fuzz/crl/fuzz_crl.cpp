// Revocation lists come from web servers, directories and the cache folder: whatever the bytes,
// reading one ends, and a list that reads answers every question without touching memory it does
// not own. A list read from its own DER reads again to the same list.
#include "trust/certificate.h"
#include "trust/certificate_revocation_list.h"

#include <openssl/pem.h>

#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

namespace {

const velin::Certificate& issuer()
{
    static const velin::Certificate certificate = [] {
        const std::string path = std::string(VELIN_SOURCE_DIR) + "/tests/fixtures/pki/accredited-ca.cert.pem";
        BIO* file = BIO_new_file(path.c_str(), "r");
        X509* raw = file ? PEM_read_bio_X509(file, nullptr, nullptr, nullptr) : nullptr;
        BIO_free(file);
        return velin::Certificate(raw, true);
    }();
    return certificate;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const velin::Certificate_revocation_list crl(std::span<const uint8_t>(data, size));
    if (!crl.is_valid())
        return 0;
    const velin::Certificate_revocation_list again(crl.der());
    if (!again.is_valid() || !(again == crl))
        std::abort();
    (void)crl.issuer_name();
    (void)crl.time_validity_at(0);
    (void)crl.time_validity_at(4102444800);
    if (issuer().is_valid()) {
        (void)crl.verify_signature(issuer());
        (void)crl.find_certificate(issuer());
        // An entry's reason is one of the table or none, whatever its extension holds.
        if (const auto entry = crl.entry_of(issuer()); entry && (entry->reason < -1 || entry->reason > 10))
            std::abort();
    }
    return 0;
}
