// The record of one analysed file. The verification dialog makes it with every field Pending,
// the worker fills it during decoding, and the dialog reads it after the worker's notice.
#pragma once

#include "envelope/assignable.h"
#include "envelope/document_bytes.h"
#include "envelope/document_types.h"
#include "envelope/signer_certificate.h"
#include "envelope/system_time.h"
#include "envelope/timestamp_token.h"
#include "envelope/validation_data.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velin {

// The lines the verification window shows for the outcome of the signature check.
inline constexpr const char* signature_mismatch_text = "La firma non corrisponde al documento.";
inline constexpr const char* signatures_intact_text = "Il documento è firmato correttamente e integro.";
inline constexpr const char* changed_after_signature_text =
    "Il documento è stato modificato dopo questa firma: la firma non copre le revisioni successive.";
inline constexpr const char* changed_after_signatures_text =
    "Le firme corrispondono ai dati firmati, ma il documento è stato modificato dopo una o più di esse.";
inline constexpr const char* forbidden_changes_text =
    "Le firme corrispondono ai dati firmati, ma dopo una o più di esse il documento è stato modificato in modo "
    "non consentito: il documento attuale non è quello firmato.";
inline constexpr const char* signing_certificate_mismatch_text =
    "Il certificato del firmatario non è quello indicato nella firma.";
inline constexpr const char* signature_outside_form_text =
    "La firma non è collegata ad alcun campo firma del documento: i programmi di lettura dei PDF potrebbero non "
    "mostrarla.";
inline constexpr const char* detached_document_missing_text =
    "La firma è separata dal documento e il documento non è stato trovato.";
// A detached time stamp (".tsr", ".tst") whose file is not beside it, nor given.
inline constexpr const char* detached_timestamp_document_missing_text =
    "Il documento della marca temporale separata non è stato trovato: la marca non può essere verificata.";

// Outcome of checking one signer's signature cryptographically: the message digest against the
// document and the signature (over the signed attributes, or over the document when it has none)
// against the signer certificate's key. Chain and trust are not part of it.
enum class Signature_integrity : int {
    Intact = 1, // digest and signature match
    Not_intact = 2, // the document or the signed attributes were altered, or the key does not match
};

// What changed in a signed document after a signature (the later revisions of a PDF), in the
// user's words: the changes a signature allows are a warning, the others an error that leaves it
// vouching for an earlier state of the document only, however intact its own bytes are.
struct Later_changes {
    std::string allowed; // empty when none
    std::string forbidden; // empty when none
    // allowed names only document time stamps and validation data, with nothing drawn on a page:
    // what a document kept for the long term is given after its signatures, information only.
    bool long_term_only = false;
};

// A signature whose form does not bind the signer's certificate to it has no legal value whatever
// its certificate: why, in the user's words (empty when the certificate decides), and whether that
// is a fault of the signature (a warning) or merely its form (information).
struct Legal_value_bar {
    std::string text;
    bool warning = false;
};

// A countersignature of a signer (a signature over its signature value).
struct Countersignature_info {
    bool read = false; // decoded, with its signer's certificate found in the envelope
    bool matches = false; // its digest of the signature value and its own signature check
    std::string signer; // the countersigner's common name
    Signer_certificate certificate;
    int digest_nid = 0;
};

struct Signature_info {
    // UTC; Assigned when the signer carries a signing time in UTCTime form, Unavailable otherwise.
    Assignable<System_time> signing_time;
    // Assigned when the certificate was found in the envelope, Failed with
    // "La lettura del certificato del firmatario è fallita." otherwise.
    Assignable<Signer_certificate> signer;
    // Assigned with the check's outcome; Failed (message for the trace) when the check could not be
    // made at all, for example without the document or without the signer's certificate.
    Assignable<Signature_integrity> integrity;
    // The OpenSSL NID of the signer's digest algorithm (0 unknown): MD5, SHA-1 and RIPEMD-160 are
    // still checked but flagged.
    int digest_nid = 0;
    // A detached signature whose document was not found: it could not be checked, which is not
    // the same as not matching.
    bool document_missing = false;
    // A signature of a form that cannot be checked: why, shown instead of the mismatch.
    std::string unchecked;
    // The document was changed after this signature: even when it matches, it does not vouch for
    // the document as it is now.
    bool changed_after = false;
    // What the later revisions changed, when that is known.
    Later_changes later_changes;
    // A PDF's signature: where the revision it closes ends in the file; 0 otherwise.
    uint64_t revision_end = 0;
    // No field of the document's form refers to it (a PDF's signature dictionary of its own).
    bool outside_form = false;
    // Its signing-certificate attribute names another certificate than the one it is checked with.
    bool signing_certificate_mismatch = false;
    Legal_value_bar no_legal_value;
    std::vector<Countersignature_info> countersignatures;
    // What is wrong with the long-term data it carries where no time stamp vouches for that data
    // (a reference to validation data naming none it carries), in the user's words: warnings.
    std::vector<std::string> long_term_warnings;
    // The files of a signature container this signature covers (its document, or the files its
    // manifest lists whose digests hold); empty outside containers.
    std::vector<std::string> covers;

    // True only for a signature that was checked and matches. Anything else is shown as
    // signature_mismatch_text.
    bool signature_matches() const
    {
        return integrity.is_assigned() && integrity.value() == Signature_integrity::Intact;
    }
};

struct Envelope_info {
    std::string original_name; // the name the envelope gives its document (never one for PKCS#7)
    Assignable<Document_bytes> content;
    Assignable<std::vector<Signature_info>> signatures; // in the order of the signer list

    // A detached signature: the content is the document found beside it, or none.
    bool detached = false;

    // A signature container: its files (META-INF's left out), each covered by the signatures whose
    // covers name it, or by the container's time stamp; and what reading it found worth saying.
    struct Container_file {
        std::string name;
        Document_bytes bytes;
        bool timestamped = false; // the container's own time stamp covers it
        // What it is by its content, when the container's reader judged it.
        std::optional<Document_types> kind = std::nullopt;
        // Its SHA-256, made while the container was read; empty when it was not.
        std::vector<uint8_t> sha256 = {};
    };
    std::vector<Container_file> container_files;
    std::vector<std::string> container_warnings;
    // The container's files that no signature covers.
    std::vector<std::string> uncovered() const;

    // True when there is at least one signature and every one was checked and matches: the only
    // case in which signatures_intact_text may be shown.
    bool all_signatures_match() const;
};

struct Signed_document_info {
    std::string file_name;
    Document_types _file_type = Document_types::Unsupported;
    // The bytes that are decoded: the whole file (mapped where it lies), or a part of it for a
    // multipart file.
    Assignable<Document_bytes> file_data;
    Assignable<Envelope_info> envelope;
    // Every time stamp found: of the file (".m7m", ".tsd"), then of its signers.
    std::vector<Timestamp_info> timestamps;
    // The time-stamped document is not an envelope: nothing in this layer is signed.
    bool document_unsigned = false;
    // What the file carries for checking its signers' chains and revocation.
    Validation_data validation_data{};
};

} // namespace velin
