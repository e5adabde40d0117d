// Reading a trusted list from its XML and checking its enveloped signature, strictly:
//  - the document is plain XML (no document type definition, nothing fetched from the network);
//  - it holds exactly one signature, a child of the list's root element;
//  - exactly one reference covers the whole document (URI "" with the enveloped-signature
//    transform); any other reference may only point, by its Id, at the XAdES signed properties
//    inside that same signature; only canonicalisation and enveloped-signature transforms;
//  - the signing certificate carried in the signature equals one of the pinned certificates byte
//    for byte, and its key verifies the signature.
// The list is then read from the very document that was verified, never from the signature's
// own objects, so nothing outside what the signature covers can reach the verifier.
#pragma once

#include "trust/certificate.h"
#include "trust/trusted_list.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace velin {

// Larger documents are refused: the largest lists in use are a few megabytes.
constexpr size_t Trusted_list_max_size = 32u * 1024 * 1024;

struct Trusted_list_reading {
    bool verified = false; // signature checked and list read
    std::string failure; // why not, for the user (Italian)
    Trusted_list list;
    Certificate signer;
};

// Verifies the list's signature against the pins and reads it. Never throws on any input.
Trusted_list_reading read_trusted_list(std::span<const uint8_t> bytes, const std::vector<Certificate>& pins);

// Reads the list without looking at its signature: only for tests and the fuzz target. nullopt
// with failure set when the bytes are no trusted list.
std::optional<Trusted_list> parse_trusted_list_unverified(std::span<const uint8_t> bytes,
                                                          std::string* failure = nullptr);

// The SchemeInformationURI values of a list, as written, without looking at its signature: only
// addresses to try, since whatever is fetched from them is verified on its own. Empty for
// anything that is no list.
std::vector<std::string> read_scheme_information_uris(std::span<const uint8_t> bytes);

// Texts of the failures.
inline constexpr const char* Tsl_text_unreadable = "La lista di fiducia non è un documento XML leggibile.";
inline constexpr const char* Tsl_text_too_large = "La lista di fiducia è troppo grande.";
inline constexpr const char* Tsl_text_too_complex =
    "La lista di fiducia ha una struttura troppo complessa per essere letta.";
inline constexpr const char* Tsl_text_dtd =
    "La lista di fiducia contiene una dichiarazione di tipo di documento, che non è ammessa.";
inline constexpr const char* Tsl_text_format = "La lista di fiducia non è nel formato ETSI TS 119 612.";
inline constexpr const char* Tsl_text_version =
    "La lista di fiducia è in una versione del formato che il programma non legge: ";
inline constexpr const char* Tsl_text_unsigned = "La lista di fiducia non è firmata.";
inline constexpr const char* Tsl_text_many_signatures = "La lista di fiducia contiene più di una firma.";
inline constexpr const char* Tsl_text_misplaced_signature =
    "La firma della lista di fiducia non è al suo posto nel documento.";
inline constexpr const char* Tsl_text_not_whole = "La firma della lista di fiducia non copre l'intero documento.";
inline constexpr const char* Tsl_text_other_reference =
    "La firma della lista di fiducia fa riferimento a parti diverse dal documento.";
inline constexpr const char* Tsl_text_transform = "La firma della lista di fiducia usa una trasformazione non ammessa.";
inline constexpr const char* Tsl_text_duplicate_id =
    "La lista di fiducia contiene due elementi con lo stesso identificativo.";
inline constexpr const char* Tsl_text_no_signer =
    "La firma della lista di fiducia non porta il certificato del firmatario.";
inline constexpr const char* Tsl_text_not_pinned =
    "Il certificato che ha firmato la lista di fiducia non è tra quelli attesi.";
inline constexpr const char* Tsl_text_bad_signature = "La firma della lista di fiducia non è valida.";
inline constexpr const char* Tsl_text_library = "La libreria per la verifica delle firme XML non è disponibile.";

} // namespace velin
