// XML documents (electronic invoices above all) signed as enveloped XAdES-BES, or XAdES-T with a
// signature time stamp: one ds:Signature written as the last child of the document's root, over
// the whole document, RSA with SHA-256, the signer's certificate in KeyInfo and the signed
// properties SigningTime (UTC) and SigningCertificateV2.
//
// The document's own bytes are never rewritten: the signature's text goes in just before the
// root's end tag, so encoding, declaration, white space and every earlier signature stay as they
// were. The reference to the document leaves out every signature (the enveloped-signature
// transform and the XPath filter not(ancestor-or-self::ds:Signature)): signatures made this way
// are parallel, each over the same document, and one more can join them without touching the
// others. An earlier signature that covers the signatures after it would no longer match once
// ours joined it: such a document is refused, and so is one whose earlier signatures do not match.
//
// The key may live on a card (an EVP_PKEY of the PKCS#11 module): it is asked for exactly one
// signature each time.
#pragma once

#include "norax_sign/envelope_signature.h"

#include <openssl/x509.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace velin {

// Larger XML documents are not signed (the verifier reads none larger).
constexpr size_t Xades_max_document_size = 256u * 1024 * 1024;

inline constexpr const char* Text_xml_not_well_formed =
    "Il documento non è un XML ben formato: non si può firmare in formato XAdES.";
inline constexpr const char* Text_xml_dtd =
    "Il documento XML contiene una dichiarazione di tipo di documento (DTD): non si può firmare in formato XAdES.";
inline constexpr const char* Text_xml_too_large = "Il documento XML è troppo grande per essere firmato.";
inline constexpr const char* Text_xml_too_complex =
    "Il documento XML ha una struttura troppo complessa per essere firmato.";
inline constexpr const char* Text_xml_encoding =
    "Il documento XML è in una codifica (UTF-16 o simili) in cui la firma XAdES non si può inserire.";
inline constexpr const char* Text_xml_no_place =
    "Nel documento XML non si trova la chiusura dell'elemento principale, dove la firma XAdES va inserita.";
inline constexpr const char* Text_xml_earlier_covers_signatures =
    "Il documento non è stato firmato: una delle firme già presenti copre anche le firme aggiunte dopo, e una "
    "firma parallela la renderebbe non più integra.";
inline constexpr const char* Text_xml_earlier_not_whole =
    "Il documento non è stato firmato: le firme già presenti coprono solo alcuni elementi del documento, e una "
    "firma parallela sull'intero documento non firmerebbe ciò che firmano loro.";
inline constexpr const char* Text_xml_earlier_not_xml_signature =
    "Il documento non è stato firmato: le firme già presenti non sono firme XML leggibili.";
inline constexpr const char* Text_xml_key_not_rsa =
    "La chiave di firma non è una chiave RSA: la firma XAdES non si può fare.";
inline constexpr const char* Text_xml_self_check =
    "La firma XAdES appena fatta non risulta integra alla verifica: il documento firmato non è stato salvato.";

// Why the document cannot be signed as XAdES, said before any PIN is asked: not well-formed, a
// DTD, too large, an encoding the signature's ASCII text cannot join, an earlier signature that
// does not match or that a parallel signature would spoil. Empty when it can be signed.
std::string xades_refusal(std::span<const uint8_t> document);

// The signed document: the document's first insert_at bytes, then signature, then the rest of
// the document.
struct Xades_insertion {
    size_t insert_at = 0;
    std::vector<uint8_t> signature;
};

// Signs the document as enveloped XAdES-BES (XAdES-T with stamp, which gets the canonical
// SignatureValue element to time-stamp). The result is checked with the verifier's reader before
// it is handed out: every signature of the signed document, ours and the earlier ones, must match.
// Empty on failure, with the reason in failure.
std::optional<Xades_insertion> xades_enveloped_signature(std::span<const uint8_t> document,
                                                         const Signing_identity& identity,
                                                         std::chrono::system_clock::time_point signing_time,
                                                         std::string& failure, const Signature_stamper& stamp = {});

// True when a signature of the XML document carries certificate as its signer's certificate;
// false for bytes that are no signed XML.
bool xades_signed_by(std::span<const uint8_t> document, X509* certificate);

// The signed document whole, for callers that want it in one piece.
std::vector<uint8_t> xades_signed_bytes(std::span<const uint8_t> document, const Xades_insertion& insertion);

} // namespace velin
