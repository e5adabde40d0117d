// The signatures the signer makes: a new envelope with the document inside, and one more signer
// added to an envelope that is already signed. Every signature is CAdES-BES: SHA-256, the signer's
// certificate embedded, and the signed attributes content-type, message-digest, signing-time (the
// real UTC time) and ESS signing-certificate-v2. The key may live on a card (an EVP_PKEY of the
// PKCS#11 module): it is asked for exactly one signature each time.
#pragma once

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace velin {

struct Signing_identity {
    X509* certificate = nullptr;
    EVP_PKEY* key = nullptr;
};

// The time-stamp token (DER) over a new signer's signature value, which the signer carries as its
// signature time stamp (CAdES-T); nothing, with the reason in failure, when there is none.
using Signature_stamper =
    std::function<std::optional<std::vector<uint8_t>>(std::span<const uint8_t> signature_value, std::string& failure)>;

// A detached SignedData (DER ContentInfo, no eContent) with one signer over the bytes read from
// content, whose content type is content_type (id-data when null), time-stamped by stamp when
// given. Empty on failure, with the reason in failure.
std::optional<std::vector<uint8_t>> detached_signature(BIO* content, const ASN1_OBJECT* content_type,
                                                       const Signing_identity& identity,
                                                       std::chrono::system_clock::time_point signing_time,
                                                       std::string& failure, const Signature_stamper& stamp = {});

// A new envelope around a document of document_size bytes: head, then the document's bytes as
// they are, then tail. The document is read once (through content) to sign it and written by the
// caller between head and tail, so it is never held in memory.
struct Envelope_layout {
    std::vector<uint8_t> head;
    uint64_t document_size = 0;
    std::vector<uint8_t> tail;
};
std::optional<Envelope_layout> new_envelope(BIO* content, uint64_t document_size, const Signing_identity& identity,
                                            std::chrono::system_clock::time_point signing_time, std::string& failure,
                                            const Signature_stamper& stamp = {});

// Where a parallel signature stopped: reading the envelope, checking the signatures already in
// it, making the new signature, or putting the envelope together again.
enum class Parallel_stage { Reading, Checking, Signing, Composing };

// Why a parallel signature was refused at the Checking stage: an earlier signature is not of the
// document the envelope carries (it was changed after signing), or cannot be checked at all.
inline constexpr const char* Text_earlier_signature_mismatch =
    "Il documento non è stato firmato: una delle firme già presenti non corrisponde al documento.";
inline constexpr const char* Text_earlier_signature_unchecked =
    "Il documento non è stato firmato: una delle firme già presenti non può essere verificata.";

// The envelope with one more signer, its certificate (unless the envelope holds it already) and
// its digest algorithm added. The envelope may be in any form the verifier reads: binary (DER or
// BER), bare base64, PEM or an S/MIME message; the result is in the same form, the base64 in lines
// as long as the envelope's and the headers or armour as they were. Nothing is signed unless every
// earlier signer's signature matches the document. Every other byte of the envelope is kept as it
// is, so the earlier signatures still verify whatever their encoding; a DER envelope stays DER
// (the new elements take their places in the sets as DER orders them). Empty on failure, with the
// reason and, when asked, the stage.
std::optional<std::vector<uint8_t>> add_parallel_signer(std::span<const uint8_t> envelope,
                                                        const Signing_identity& identity,
                                                        std::chrono::system_clock::time_point signing_time,
                                                        std::string& failure, Parallel_stage* stage = nullptr,
                                                        const Signature_stamper& stamp = {});

// True when a signer of the envelope (in any form add_parallel_signer reads) is identified as
// certificate, by issuer and serial number or by key identifier; false for bytes that are no
// signed envelope.
bool envelope_signed_by(std::span<const uint8_t> envelope, X509* certificate);

// The envelope with a signature time stamp added to each signer that has none, from stamp over
// the signer's signature value. The envelope may be in any form add_parallel_signer reads and
// comes back in the same form; every byte of it is kept but the unsigned attributes each time
// stamp joins (in a DER envelope, where DER orders them), so every signature still verifies.
// Nothing is stamped unless every signer's signature matches the document. Empty on failure,
// with the reason; stamped, when given, receives how many signers got a time stamp.
std::optional<std::vector<uint8_t>> add_signature_timestamps(std::span<const uint8_t> envelope,
                                                             const Signature_stamper& stamp, std::string& failure,
                                                             size_t* stamped = nullptr);

} // namespace velin
