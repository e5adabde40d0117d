// The check of each signer's signature against the document the envelope carries: the signer's
// certificate found among the envelope's own, the document's digests, and the comparison.
#pragma once

#include <openssl/cms.h>

#include "common/owner.h"
#include "envelope/document_bytes.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace velin {

// Gives signers their certificates from an envelope's own, found by issuer and serial number or by
// key identifier with OpenSSL's own comparison. Nothing is trusted here: this only finds the key
// each signature is checked with. Candidates are looked up by a key of the identifier, so a hostile
// envelope with many signers and many certificates costs n log n, not n squared.
class Certificate_pairing {
public:
    // The certificates of cms (it must outlive the pairing).
    explicit Certificate_pairing(CMS_ContentInfo* cms);
    Certificate_pairing(const Certificate_pairing&) = delete;
    Certificate_pairing& operator=(const Certificate_pairing&) = delete;

    void pair(CMS_SignerInfo* signer) const;

private:
    Owner<STACK_OF(X509)> _certificates;
    std::multimap<std::pair<unsigned long, std::string>, X509*> _by_issuer_and_serial;
    std::multimap<std::string, X509*> _by_key_identifier;
};

// Pairs every signer of cms with its certificate among cms's own.
void pair_signers_with_certificates(CMS_ContentInfo* cms);

// One digest of the document per algorithm the signers name, whatever the number of signers.
// The document is hashed in slices, and a set cancel flag stops the pass between two of them.
class Document_digests {
public:
    explicit Document_digests(std::span<const uint8_t> document, const std::atomic<bool>* cancel = nullptr)
        : _document(document), _cancel(cancel)
    {}
    // A document that may not be in memory, with the digests already made of it (by OpenSSL
    // digest type); any other is made by reading it again.
    Document_digests(const Document_bytes& document, std::map<int, std::vector<uint8_t>> known,
                     const std::atomic<bool>* cancel = nullptr)
        : _bytes(document), _cancel(cancel), _digests(std::move(known))
    {}

    // Empty when the algorithm is unknown, the digest cannot be made or the pass was cancelled.
    const std::vector<uint8_t>& of(const EVP_MD* algorithm);
    // The digests made so far (by OpenSSL digest type); a cancelled pass is not among them.
    std::map<int, std::vector<uint8_t>> known() const;

private:
    std::optional<Document_bytes> _bytes; // when the document is not the span
    std::span<const uint8_t> _document;
    const std::atomic<bool>* _cancel;
    std::map<int, std::vector<uint8_t>> _digests;
};

enum class Signer_check {
    Matches, // the signature is of this document
    Does_not_match, // the signature, or what it signs, is not of this document
    Not_checkable, // no certificate, key or known digest: the reason is in reason, else on OpenSSL's error queue
};

// The outcomes of signature checks already made in one envelope, by what was checked: a signer
// that repeats another one's key, algorithms, signed attributes and signature value has the same
// outcome, and a hostile envelope that repeats one signer many times costs one check.
class Signature_memo {
public:
    // The key of a signer's check; empty when it cannot be made (the check is then not kept).
    static std::string key_of(CMS_SignerInfo* signer, EVP_PKEY* key);
    // The same from the signer as the envelope encodes it (all of it, so nothing that the check
    // reads is left out).
    static std::string key_of(std::span<const uint8_t> encoded_signer, EVP_PKEY* key);
    const int* find(const std::string& key) const;
    void keep(const std::string& key, int outcome);

private:
    std::map<std::string, int> _outcomes;
};

// Checks one signer of an envelope whose content type is content_type; encoded, when given, is the
// signer as the envelope encodes it (the memo's key is then made from it).
Signer_check check_signer(CMS_SignerInfo* signer, const ASN1_OBJECT* content_type, Document_digests& digests,
                          std::string& reason, Signature_memo* memo = nullptr, std::span<const uint8_t> encoded = {});

} // namespace velin
