// Time stamps (RFC 3161) as signed files carry them: the reply of an ".m7m", the tokens of a
// ".tsd", and the time stamps inside a signer (signature and content time stamps). A time stamp
// is read and checked here as far as it can be without the trusted lists: the token's signature
// with the authority's certificate, the imprint over the bytes it claims to cover, the
// time-stamping purpose of the certificate and its dates at the time stamp's time. Whether the
// authority is trusted is decided later, with the signers' chains.
#pragma once

#include "envelope/document_bytes.h"
#include "envelope/signer_certificate.h"
#include "envelope/system_time.h"

#include <openssl/cms.h>
#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace velin {

// The problem of a token that does not name its certificate (Timestamp_info::certificate_named).
inline constexpr const char* Text_timestamp_certificate_not_named =
    "La marca temporale non indica il certificato dell'autorità che l'ha emessa: non è usata come riferimento "
    "temporale.";

// The problem of a reply in which the authority refused the request (Timestamp_info::refused).
inline constexpr const char* Text_timestamp_refused =
    "Il servizio di marcatura temporale ha rifiutato la richiesta: la risposta non contiene una marca temporale.";

enum class Timestamp_scope : int {
    Document = 0, // over the whole envelope or document of the file (".m7m", ".tsd")
    Signature = 1, // over one signer's signature value (signature time stamp)
    Content = 2, // over the signed content, inside one signer's signed attributes
    // Over one signer's signature and the long-term data it carried then (an archive time stamp,
    // a CAdES-X escTimeStamp, a XAdES SigAndRefsTimeStamp): proves the signature existed, and with
    // it the earlier time stamps listed in covered_timestamps.
    Archive = 3,
    // Over the references to a signer's validation data only (time-stamped certificates and CRLs,
    // a XAdES RefsOnlyTimeStamp): proves those values existed, not the signature.
    References = 4,
};

struct Timestamp_info {
    Timestamp_scope scope = Timestamp_scope::Document;
    size_t signer = 0; // the signer of a Signature or Content time stamp
    size_t renewal = 0; // the position in a ".tsd" chain: 0 the first, then each renewal
    bool read = false; // a token was found and decoded
    bool signature_valid = false;
    bool imprint_matches = false;
    bool time_stamping_usage = false; // the authority's certificate is for time stamping
    bool certificate_current = false; // and within its dates at the time stamp's time
    // The token names its certificate in an ESS signing-certificate(-v2) attribute (one that
    // names another certificate makes signature_valid false). Without it the token is not bound
    // to the certificate it carries, and is no time to rely on.
    bool certificate_named = false;
    std::time_t time = 0;
    System_time when{};
    std::string authority; // the authority's name, from its certificate when there is one
    Signer_certificate certificate;
    std::string problem; // why it could not be read or checked, for the trace
    // A reply whose status refuses the request: there is no token.
    bool refused = false;
    // The bytes it covers could not be read (a detached time stamp without its file): the imprint
    // was not checked, and the layer says why.
    bool nothing_covered = false;
    // A weak digest (MD5, SHA-1) in the imprint.
    bool weak_imprint = false;
    // A document time stamp of a PDF covers the signers of the revisions before it only: their
    // indexes. Without a value a Document time stamp covers every signer of its layer.
    std::optional<std::vector<size_t>> covered_signers{};
    // A document time stamp of a PDF: where the revision it closes ends in the file (0 otherwise).
    uint64_t revision_end = 0;
    // The authorities the token carries besides its own certificate (DER): intermediates of the
    // authority's chain.
    std::vector<std::vector<uint8_t>> carried_certificates{};
    // The earlier time stamps of the same list (Signed_document_info::timestamps) whose bytes this
    // one's imprint covers: an archive time stamp over a signature time stamp, or over the archive
    // time stamp before it. They existed at this one's time: the chain of proofs.
    std::vector<size_t> covered_timestamps{};
    // What is wrong with the long-term data this time stamp vouches for (a hash of its index
    // naming nothing in the envelope, a value changed since), in the user's words; empty when
    // nothing is. Any of it makes the time stamp no proof.
    std::vector<std::string> coverage_errors{};
    // The SHA-256 of the token's bytes (its TimeStampToken), once it was found: how the written
    // reports refer to it.
    std::vector<uint8_t> token_sha256{};

    // Read, signed by its certificate, over these bytes, by a certificate meant for it: a time
    // that can be relied on once the authority is trusted.
    bool verified() const
    {
        return read && signature_valid && certificate_named && imprint_matches && time_stamping_usage &&
               certificate_current && coverage_errors.empty();
    }
};

// The digest of the covered bytes with the given algorithm; empty when it cannot be made.
using Covered_digest = std::function<std::vector<uint8_t>(const EVP_MD*)>;

// A digest over consecutive pieces of bytes.
Covered_digest digest_of_pieces(std::vector<std::span<const uint8_t>> pieces);
// A digest over bytes that may not be in memory, read a slice at a time.
Covered_digest digest_of_bytes(Document_bytes bytes);

// Reads a TimeStampResp or a bare TimeStampToken (DER, BER, or base64 of them) and checks it.
// Never throws for bad input: what failed is in the flags and in problem.
Timestamp_info check_timestamp(std::span<const uint8_t> token_or_reply, const Covered_digest& covered);

// The token inside a reply (or the bytes themselves when they are a token), DER or BER; empty when
// the bytes are neither, or the reply grants no token.
std::optional<std::vector<uint8_t>> timestamp_token_of(std::span<const uint8_t> token_or_reply, std::string& problem);

// Bytes starting with a SEQUENCE as they are; otherwise base64 text (PEM armour lines dropped)
// decoded, empty when it is not.
std::vector<uint8_t> binary_form(std::span<const uint8_t> bytes);

// True for MD5, SHA-1 and RIPEMD-160: digests no longer considered secure for signatures.
bool is_weak_digest(int nid);

// The certificate a CMS signer names first in its signing-certificate(-v2) attribute, when it has
// one, is certificate: false for a signer whose certificate was swapped for another one (of the
// same key, or any other) or whose attribute does not decode. The certificates of the chain the
// attribute may name after it must be the envelope's copies where the envelope carries them.
bool signing_certificate_bound(CMS_SignerInfo* signer, X509* certificate,
                               const STACK_OF(X509) * envelope_certificates = nullptr);
// The signer carries a signing-certificate or signing-certificate-v2 signed attribute.
bool names_signing_certificate(CMS_SignerInfo* signer);

// The time-stamp tokens of a CMS signer: over its signature (the unsigned signature-time-stamp
// attribute) or over the content (the signed content-time-stamp attribute).
std::vector<std::vector<uint8_t>> timestamp_tokens_of(CMS_SignerInfo* signer, bool unsigned_attribute);

} // namespace velin
