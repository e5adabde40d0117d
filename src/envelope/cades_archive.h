// The long-term data of CAdES signers: archive time stamps (v2, and v3 with the hash index in the
// token's own unsigned attributes) and the CAdES-X time stamps (escTimeStamp, time-stamped
// certificates and CRLs). The SignedData is read here as encoded, element by element, because an
// archive time stamp covers the signer's fields and attributes as the file holds them, not as a
// library would encode them again. What an archive time stamp covers is described here (the bytes
// before the content's part, the content's part, the bytes after); the content itself, which may be
// large and mapped, is hashed by the caller.
#pragma once

#include "envelope/timestamp_token.h"

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace velin {

// The texts of what is wrong with the long-term data an archive time stamp vouches for.
inline constexpr const char* Text_archive_certificate_missing =
    "L'indice della marca temporale d'archivio elenca un certificato che non è più presente nel file.";
inline constexpr const char* Text_archive_crl_missing =
    "L'indice della marca temporale d'archivio elenca una lista di revoca (CRL) che non è più presente nel file.";
inline constexpr const char* Text_archive_attribute_missing =
    "L'indice della marca temporale d'archivio elenca un attributo della firma che non è più presente nel file o è "
    "stato modificato.";
inline constexpr const char* Text_archive_index_unreadable =
    "L'indice della marca temporale d'archivio non è leggibile.";
inline constexpr const char* Text_archive_index_missing =
    "La marca temporale d'archivio non contiene l'indice dei dati che protegge.";
inline constexpr const char* Text_archive_reference_unmatched =
    "Un riferimento a un certificato o a una revoca protetto dalla marca temporale non corrisponde ad alcun valore "
    "presente nel file.";

// One element of a DER encoding, as the bytes hold it.
struct Der_item {
    uint8_t tag = 0; // the identifier octet (tags above 30 are not read)
    std::span<const uint8_t> contents;
    std::span<const uint8_t> whole; // tag and length included
};

// The first element of bytes; nothing when it is not a definite-length element inside them.
std::optional<Der_item> read_der_item(std::span<const uint8_t> bytes);
// The elements inside contents, in order; nothing when one does not decode, or there are more
// than limit.
std::optional<std::vector<Der_item>> read_der_items(std::span<const uint8_t> contents, size_t limit);

struct Cades_attribute {
    std::span<const uint8_t> whole; // the Attribute SEQUENCE
    std::span<const uint8_t> type; // attrType, tag and length included
    std::vector<std::span<const uint8_t>> values; // each value, tag and length included
};

struct Cades_signer_parts {
    // version, sid, digestAlgorithm, signedAttrs, signatureAlgorithm and signature, as encoded.
    std::span<const uint8_t> fields;
    std::span<const uint8_t> signature_value; // the signature's octets
    std::vector<Cades_attribute> unsigned_attributes; // in the order the file holds them
};

struct Cades_signed_data_parts {
    std::span<const uint8_t> content_type; // eContentType, tag and length included
    std::span<const uint8_t> encap_content_info; // as encoded (without the document when it was set apart)
    bool content_carried = false; // the eContent is inside these bytes
    std::span<const uint8_t> certificates_field; // [0], empty when absent
    std::vector<std::span<const uint8_t>> certificates;
    std::span<const uint8_t> crls_field; // [1], empty when absent
    std::vector<std::span<const uint8_t>> crls;
    std::vector<Cades_signer_parts> signers;
    // The hashes of the certificates and of the CRLs by digest type, made once for all the
    // indexes of all the signers (a hostile envelope may hold many of each).
    mutable std::map<int, std::pair<std::set<std::vector<uint8_t>>, std::set<std::vector<uint8_t>>>> hashes{};
};

// No file needs more than this many items of a kind (certificates, CRLs, signers, attributes,
// values, index hashes); a hostile one is refused.
constexpr size_t Cades_item_limit = 10000;

// A ContentInfo of type signedData in DER (its document may have been left out); nothing when it
// is not one. The parts point into content_info.
std::optional<Cades_signed_data_parts> read_cades_parts(std::span<const uint8_t> content_info);

// The value of an ats-hash-index-v3 attribute (or of the earlier ats-hash-index-v2 and
// ats-hash-index, of the same layout).
struct Ats_hash_index {
    const EVP_MD* algorithm = nullptr;
    std::vector<std::vector<uint8_t>> certificates;
    std::vector<std::vector<uint8_t>> crls;
    std::vector<std::vector<uint8_t>> attribute_values;
};
// Nothing when index is not an ATSHashIndexV3 (SEQUENCE { AlgorithmIdentifier DEFAULT sha256,
// three SEQUENCE OF OCTET STRING }) of a known digest, or holds hashes of another size.
std::optional<Ats_hash_index> read_ats_hash_index(std::span<const uint8_t> index);

// What one long-term time stamp of a signer covers, and what is wrong with what it vouches for.
struct Archive_timestamp_input {
    Timestamp_scope scope = Timestamp_scope::Archive;
    std::vector<uint8_t> token;
    // The imprint is over: before, then the content's part, then after. With several afters, the
    // first that gives the imprint is the one (writers encode the attributes before an archive
    // time stamp v2 in the file's order or sorted).
    std::vector<uint8_t> before;
    enum class Content_part { None, Digest, Bytes } content = Content_part::None;
    std::vector<std::vector<uint8_t>> after{{}};
    std::vector<std::string> coverage_errors;
    // The signer's signature time stamps (by their order among its signature-time-stamp values) and
    // its earlier archive time stamps (by their order in this list) whose bytes the imprint covers.
    std::vector<size_t> covered_signature_timestamps;
    std::vector<size_t> covered_archive_timestamps;
};

// How the SignedData that read_cades_parts read stands for its document.
struct Cades_content_form {
    bool detached = false; // the document is outside the envelope
    // The document was inside the envelope and left out of the parts' bytes (its size is given).
    bool set_apart = false;
    size_t size = 0;
};

// The archive time stamps (v2, v3), escTimeStamps and time-stamped certificates and CRLs of one
// signer, in the order its unsigned attributes hold them.
std::vector<Archive_timestamp_input> archive_timestamps_of(const Cades_signed_data_parts& parts,
                                                           const Cades_signer_parts& signer,
                                                           const Cades_content_form& content);

// The digests of what input covers, one for each of its alternatives (in their order): the
// document's part taken from content_digest (the document's own digest) or from content (its bytes,
// read a slice at a time, once per algorithm for all the alternatives). Each is empty when what it
// needs is missing: the imprint then cannot be checked. They refer to input, which must outlive them.
std::vector<Covered_digest> archive_covered_digests(const Archive_timestamp_input& input, const Document_bytes* content,
                                                    const Covered_digest& content_digest);

// True when bytes hold the identifier of an attribute of long-term data (an archive time stamp,
// an escTimeStamp or time-stamped references): a quick look that spares files without them.
bool mentions_long_term_attributes(std::span<const uint8_t> bytes);

} // namespace velin
