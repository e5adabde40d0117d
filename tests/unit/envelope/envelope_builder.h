// Envelopes built in the tests with the OpenSSL library, for the cases the command-line tool
// cannot make, and access to the committed fixtures.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace velin::test {

std::filesystem::path fixture(const std::string& name);
std::vector<uint8_t> fixture_bytes(const std::string& name);
std::vector<uint8_t> as_bytes(const std::string& text);

struct Signing_key {
    std::shared_ptr<X509> certificate;
    std::shared_ptr<EVP_PKEY> key;
};
// signer1 (Mario Rossi, RSA) or signer2 (Anna Bianchi, EC) of the fixtures.
Signing_key signing_key(int which);

struct Envelope_options {
    int signers = 1; // 0: a SignedData without signers
    bool signed_attributes = true; // false: the key signs the document's digest directly
    bool embed_certificate = true;
    bool detached = false;
    bool damage_signature = false; // flip a bit of the first signer's signature value
    int signing_time_type = 0; // V_ASN1_UTCTIME or V_ASN1_GENERALIZEDTIME to write one by hand
    std::string signing_time; // its text, written unchecked
    // Signed attributes changed after signing, then signed again with the same key, so the
    // signature itself stays valid: the content type stated as this NID, or the document's
    // digest stated twice.
    int signed_content_type = 0;
    bool repeated_message_digest = false;
};

// DER of a SignedData over content, signed with SHA-256 by signer1 (and signer2 for two signers).
std::vector<uint8_t> build_envelope(std::span<const uint8_t> content, const Envelope_options& options = {});

// The envelope with its signer list repeated signer_copies times and its certificate list
// certificate_copies times: many signers that all name one certificate among many equal ones.
std::vector<uint8_t> with_repeated_signers(const std::vector<uint8_t>& envelope, int signer_copies,
                                           int certificate_copies);
// The same, with the signers of another envelope over the same document added at the end.
std::vector<uint8_t> with_signers(const std::vector<uint8_t>& envelope, int signer_copies, int certificate_copies,
                                  const std::vector<uint8_t>& more);

std::string base64(std::span<const uint8_t> bytes, bool line_breaks);

// The common name of a certificate's subject.
std::string common_name(X509* certificate);

} // namespace velin::test
