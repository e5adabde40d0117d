// A bounds-checked walk of a DER SignedData envelope that finds the carried document without
// copying it, so that OpenSSL is handed only the small rest of the envelope. Anything it does not
// expect (indefinite lengths, a constructed content, another content type, stray bytes) is left
// to the full OpenSSL reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace velin {

struct Der_signed_data_split {
    size_t content_offset = 0; // where the document's bytes start in the envelope
    size_t content_size = 0;
    // The same ContentInfo with the eContent left out, as for a detached signature.
    std::vector<uint8_t> without_content;
};

// Empty when the envelope is not a definite-length ContentInfo of type signedData whose
// encapsulated content is one primitive OCTET STRING. Reads only inside bytes; trailing bytes
// after the ContentInfo are ignored, as the OpenSSL reader ignores them.
std::optional<Der_signed_data_split> split_der_signed_data(std::span<const uint8_t> bytes);
// The same over an envelope held in two pieces, first then second (offsets count from the start of
// first).
std::optional<Der_signed_data_split> split_der_signed_data(std::span<const uint8_t> first,
                                                           std::span<const uint8_t> second);

// The same over an envelope whose document was streamed past: first ends where the document starts,
// the document's content_size bytes are not at hand, second holds the rest of the envelope.
std::optional<Der_signed_data_split> split_der_signed_data_around(std::span<const uint8_t> first, size_t content_size,
                                                                  std::span<const uint8_t> second);

// What the head of such an envelope tells before its document: where the document starts and how
// long it is, where the envelope ends, and the digest algorithms it declares (each OID in DER, tag
// and length included), with which its signers' digests of the document are made.
struct Der_signed_data_head {
    size_t content_offset = 0;
    size_t content_size = 0;
    size_t envelope_size = 0;
    std::vector<std::vector<uint8_t>> digest_algorithms;
};
std::optional<Der_signed_data_head> read_der_signed_data_head(std::span<const uint8_t> head, size_t size);

// Where the document of such an envelope starts, found from the envelope's first bytes (`head`)
// and its whole size: empty unless the walk down to the document's header stays inside head and
// every length fits in size. The bytes after head are not checked: split_der_signed_data does that.
std::optional<size_t> der_signed_data_content_offset(std::span<const uint8_t> head, size_t size);

// The same for an envelope in BER as streaming signers write it: the ContentInfo, its [0], the
// SignedData and the encapsulated content info of indefinite length, the document one primitive
// OCTET STRING or a constructed one made of primitive pieces. Empty for any other layout (left to
// the full OpenSSL reader); trailing bytes after the ContentInfo are ignored.
struct Ber_signed_data_split {
    // A document in pieces: the consecutive primitive OCTET STRINGs (headers included) at
    // [pieces_offset, pieces_offset + pieces_size), whose contents joined are the document.
    bool in_pieces = false;
    size_t pieces_offset = 0;
    size_t pieces_size = 0;
    // Else the document's bytes.
    size_t content_offset = 0;
    size_t content_size = 0; // in pieces too: the contents' total
    // The same ContentInfo with the eContent left out.
    std::vector<uint8_t> without_content;
};
std::optional<Ber_signed_data_split> split_ber_signed_data(std::span<const uint8_t> bytes);

// Hands sink the contents of the consecutive primitive definite OCTET STRINGs in pieces (as
// split_ber_signed_data finds them), in order, at most slice bytes at a time. False when sink
// stopped or pieces hold anything else.
bool read_octet_string_pieces(std::span<const uint8_t> pieces, size_t slice,
                              const std::function<bool(std::span<const uint8_t>)>& sink);

// A SignedData ContentInfo without its document (as the splits above make it) taken apart around
// its signers, so that a great many of them can be decoded a few at a time: the envelope with an
// empty SignerInfo SET, and each SignerInfo where the envelope holds it.
struct Der_signer_split {
    struct Piece {
        size_t offset = 0;
        size_t size = 0;
    };
    // The same ContentInfo, its SignerInfo SET empty.
    std::vector<uint8_t> without_signers;
    // Each SignerInfo (tag and length included), in order; consecutive ones are adjacent.
    std::vector<Piece> signers;
    // The SignedData's version, digest algorithms and encapsulated content info, in without_signers.
    Piece core;
};

// Empty unless envelope is one definite-length ContentInfo of type signedData without eContent
// whose SignedData ends with a SET of SEQUENCEs (the SignerInfos) after at most the certificates
// and the CRLs. Bytes after the ContentInfo are ignored.
std::optional<Der_signer_split> split_der_signers(std::span<const uint8_t> envelope);

// The ContentInfo of a SignedData with split's core and no certificates whose SignerInfo SET holds
// signers (consecutive SignerInfos in DER).
std::vector<uint8_t> der_signed_data_with_signers(const Der_signer_split& split, std::span<const uint8_t> signers);

} // namespace velin
