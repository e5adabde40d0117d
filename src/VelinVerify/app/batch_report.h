// What `velin-verify --batch` prints: for each layer its file name, document, signatures
// (signer, "Data e ora:", "Tipo di firma:", certificate status lines) and "Attività" lines, then
// the combined outcome; as text for people or as one JSON object on one line for scripts.
#pragma once

#include "VelinVerify/pipeline/message_box_request.h"
#include "VelinVerify/pipeline/signature_display.h"
#include "VelinVerify/pipeline/status_line.h"

#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace velin {

class Layer_analysis;
struct Report_facts;
class Verification_session;

struct Layer_box {
    const Layer_analysis* layer = nullptr;
    Box_request box;
};

// A time stamp of a layer, for scripts.
struct Batch_timestamp {
    std::string scope; // "document", "signature", "content", "archive", "references"
    std::optional<size_t> signer; // 1-based, for a signer's time stamp
    size_t renewal = 0; // position in a .tsd chain
    std::optional<std::string> time; // ISO 8601 UTC, when the token was read
    std::string authority;
    bool verified = false; // token signature, imprint, purpose and dates all check
    std::optional<bool> trusted; // the authority's chain; none when not judged
    // A time that is relied on: verified, trusted, its authority neither revoked for a compromise
    // nor expired before a later proof. A verified, trusted token may still not be one.
    bool usable = false;
    bool inherited = false; // from an outer layer
};

// The earliest time stamp proving a signature existed, for scripts.
struct Batch_proof {
    std::string at; // ISO 8601 UTC
    std::string authority;
    std::string kind; // "signature", "archive", "document" or "container"
};

struct Batch_layer {
    std::string file;
    std::optional<std::string> document;
    std::optional<std::string> outcome; // "success", "warnings", "errors"; none without a summary
    std::vector<Status_line> activity;
    std::vector<Signature_display> signatures;
    std::vector<Batch_timestamp> timestamps;
    // Per signature: its countersignatures, countersigner and whether it matches.
    std::vector<std::vector<std::pair<std::string, bool>>> countersignatures;
    // Per signature: the time its certificate was judged at (a trusted time stamp's), if any.
    std::vector<std::optional<std::string>> judged_at;
    // Per signature: the time its trusted lists and qualification were judged at, and by what
    // ("timestamp" or "verification"); none while no chain reached a root.
    std::vector<std::optional<std::pair<std::string, std::string>>> lists_judged;
    // Per signature: the proof of existence it was judged at, if any.
    std::vector<std::optional<Batch_proof>> proofs;
    // A signature container's layer: its files, those no signature covers, and per signature the
    // files it covers. Unset for other layers.
    std::optional<std::vector<std::string>> container_files;
    std::vector<std::string> uncovered;
    std::vector<std::vector<std::string>> covers;
};

struct Batch_report {
    std::string file;
    std::optional<std::string> outcome; // none unless every layer reported its summary
    std::optional<std::string> message;
    std::vector<Batch_layer> layers;
    int exit_code = 3;
    // What the written reports need besides (Report_facts); only when they were asked for.
    std::shared_ptr<const Report_facts> facts;
};

// Exit status of the batch mode.
enum Batch_exit : int {
    Exit_success = 0,
    Exit_warnings = 1,
    Exit_errors = 2, // also when some layers reached no summary and others did
    Exit_no_summary = 3, // no layer reached a summary: unsupported, unreadable, no signature
};

// The report of a finished session. boxes are the boxes a layer asked for (the unsupported file),
// shown among that layer's activity lines as errors.
Batch_report make_batch_report(const Verification_session& session, const std::vector<Layer_box>& boxes);

void print_text(std::ostream& out, const Batch_report& report);
// "errore", "avviso", "informazione"... as a report names a line's severity.
std::string severity_label(Line_severity severity);
// A notice of the run (loading the trusted lists), as it goes to the standard error: the line's
// severity in brackets, as in a report, then its text.
std::string notice_text(const Status_line& notice);
void print_json(std::ostream& out, const Batch_report& report);

// Text as it may go to a terminal or a JSON string: invalid UTF-8 becomes U+FFFD, and for the
// terminal control characters too, so a name in a certificate cannot forge lines of the report.
std::string printable_text(const std::string& text);
std::string json_string(const std::string& text);

} // namespace velin
