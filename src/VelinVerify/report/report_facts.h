// What the written reports of a verification (the "Rapporto di verifica" and the ETSI validation
// report) need beyond what `--batch` prints: the file's size and SHA-256, the time of the
// verification, and for each signer and time stamp its certificates and its indication, the
// validation status the standard validation report gives it. Made from the session once every
// layer has finished, on the thread that drove it; no widgets here.
#pragma once

#include "envelope/timestamp_token.h"
#include "trust/certificate.h"
#include "trust/revocation.h"

#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace velin {

class Verification_session;
class Layer_analysis;
struct Signer_record;
struct Signature_info;
struct Signed_document_info;
struct Timestamp_record;
struct Pipeline_settings;
class Trusted_store;

// The validation status of one signature or time stamp (main indication and sub-indication).
struct Report_indication {
    enum class Main { Total_passed, Total_failed, Indeterminate };
    Main main = Main::Indeterminate;
    std::string sub; // "HASH_FAILURE", "REVOKED", ...; empty when there is none

    bool operator==(const Report_indication&) const = default;
};

// "total-passed", "total-failed", "indeterminate".
const char* main_indication_name(Report_indication::Main main);

struct Report_certificate {
    std::string subject; // the subject's values, last attribute first
    std::string issuer;
    std::string serial; // upper-case hexadecimal
    std::optional<std::time_t> not_before;
    std::optional<std::time_t> not_after;
    std::string fiscal_code; // from the subject's serial number, when it holds one
    std::vector<uint8_t> sha256; // of the DER bytes
};

// What a revocation check of a certificate found, and on what: the answer or list that decided
// (its source, when it was given, its SHA-256), the answer, and the time the certificate was
// judged at.
struct Report_revocation {
    Revocation_status status = Revocation_status::Not_checked;
    Revocation_source source = Revocation_source::None;
    bool from_file = false;
    bool from_cache = false;
    std::string url; // the responder or distribution point; empty when not known
    std::optional<std::time_t> issued; // OCSP producedAt, CRL thisUpdate
    std::optional<std::time_t> next_update;
    std::vector<uint8_t> sha256; // of the answer's or list's DER; empty when none decided
    // A revocation the answer or list names, also one after the time judged at.
    bool revoked = false;
    std::optional<std::time_t> revoked_at;
    int reason = -1;
    std::optional<std::time_t> judged_at; // none: the time of the verification
    std::string answer; // what it said, or why nothing could be found out, in Italian
};

// Where the answer came from, in Italian ("risposta OCSP del responder http://...", "lista di
// revoca (CRL) contenuta nel file firmato"); "nessuna" when nothing decided.
std::string revocation_source_text(const Report_revocation& revocation);

struct Report_signer {
    std::optional<Report_certificate> certificate;
    // Above the signer, the root last; complete when a trusted root was reached.
    std::vector<Report_certificate> chain;
    bool chain_complete = false;
    std::optional<std::time_t> signing_time; // as the signer wrote it
    std::string revocation; // the revocation check's outcome, in Italian
    Report_revocation revocation_details;
    // The layer's time stamps that cover this signature (indexes into its timestamps), and among
    // them the one whose time the signature was judged at, when one was.
    std::vector<size_t> timestamps;
    std::optional<size_t> proof_timestamp;
    Report_indication indication;
    // The document was changed after this signature (a PDF's later revisions), and what the
    // changes were, those the signature allows and the others, in the user's words.
    bool changed_after = false;
    std::string later_allowed;
    std::string later_forbidden;
    // A PDF's signature: where the revision it signs ends in the file; 0 otherwise.
    uint64_t revision_end = 0;
};

struct Report_timestamp {
    std::optional<Report_certificate> authority;
    Report_indication indication;
    Timestamp_scope scope = Timestamp_scope::Document;
    std::optional<std::time_t> time; // none when the token could not be read
    std::vector<uint8_t> sha256; // of the token's bytes; empty when none was found
    Report_revocation revocation; // of its authority's certificate
    // A PDF's document time stamp: where the revision it closes ends in the file; 0 otherwise.
    uint64_t revision_end = 0;
    bool inherited = false; // from an outer layer, reported there
};

// A file of a signature container.
struct Report_container_file {
    std::string name;
    uint64_t size = 0;
    std::vector<uint8_t> sha256; // empty when its bytes could not be read
    bool timestamped = false; // the container's own time stamp covers it
};

// A revision of a signed PDF: the bytes from the end of the one before to end, closed by a
// signature or a document time stamp, or by neither (bytes added after the last of them).
struct Report_revision {
    uint64_t end = 0;
    std::optional<size_t> signature; // its index among the layer's signers
    std::optional<size_t> timestamp; // its index among the layer's time stamps
};

struct Report_layer_facts {
    std::vector<Report_signer> signers; // in the order of the layer's signatures
    std::vector<Report_timestamp> timestamps; // in the order of the layer's time stamps
    std::vector<Report_container_file> container_files; // a signature container's, in its order
    // A PDF's length without the blanks and zeros that may end it; 0 for other layers.
    uint64_t pdf_length = 0;
};

// The revisions of a signed PDF layer in the order of the file, the last one unsigned when bytes
// follow the last signed or time-stamped revision; none for other layers.
std::vector<Report_revision> report_revisions(const Report_layer_facts& layer);

struct Report_facts {
    std::string name; // the file's name without its folder
    std::optional<uint64_t> size; // none when the file could not be read
    std::string sha256; // lower-case hexadecimal; empty when the file could not be read
    std::time_t verified_at = 0;
    std::vector<Report_layer_facts> layers; // one per layer of the session
};

// What the run says of itself in a report: the same for every file.
struct Report_context {
    std::string suite_version;
    std::string host_name;
    std::vector<std::string> trusted_lists; // one line per trusted list in use, or why there is none
    // The lists of certificates (national, card, the user's): whether each is used, with the
    // SHA-256 of its file (lower-case hexadecimal; empty when not used or not readable).
    struct Certificate_list {
        std::string name;
        bool used = false;
        std::string sha256;
    };
    std::vector<Certificate_list> certificate_lists;
    std::string revocation_settings; // in Italian
};

// The facts of a finished session; verified_at is the time of the verification.
Report_facts make_report_facts(const Verification_session& session, std::time_t verified_at);

// The files of a signature container with their sizes and SHA-256.
std::vector<Report_container_file> report_container_files(const Signed_document_info& info);
// The length of a PDF as its signatures' ranges measure it: without the line ends, blanks and
// zeros after its last "%%EOF".
uint64_t pdf_length(std::span<const uint8_t> bytes);

// The facts of one signer and one time stamp, as the reports give them.
Report_signer report_signer(const Signature_info& signature, const Signer_record& record);
Report_timestamp report_timestamp(const Timestamp_record& record);
Report_certificate report_certificate(const Certificate& certificate);

// The revocation facts of a signer, and of a time stamp's authority.
Report_revocation report_revocation(const Signer_record& record);
Report_revocation report_revocation(const Timestamp_record& record);

// Which of the layer's time stamps cover signer `index`, and which gave the time it was judged at.
void link_timestamps(Report_signer& signer, size_t index, const Signer_record& record,
                     const std::vector<Timestamp_record>& timestamps);

// The indication of a signature: a failure of the signature itself or a revoked certificate
// fails it; a chain that reaches no trusted root, a certificate out of its dates without a proof
// of an earlier existence, a revocation not found out leave it indeterminate.
Report_indication signer_indication(const Signature_info& signature, const Signer_record& record);
Report_indication timestamp_indication(const Timestamp_record& record);

// The run's context: this host's name, the lists in use (store may be null) and the revocation
// settings.
Report_context make_report_context(std::string suite_version, const Pipeline_settings& settings,
                                   const Trusted_store* store);

// A digest as the reports write it: two lower-case hexadecimal digits per byte.
std::string digest_hex(const std::vector<uint8_t>& bytes);

// The file's size and SHA-256 (lower-case hexadecimal), read a slice at a time; none when it
// cannot be read.
std::optional<std::pair<uint64_t, std::string>> file_size_and_sha256(const std::string& path);

} // namespace velin
