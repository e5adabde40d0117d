// Validation over time: the time stamps that prove a signature existed at a date, the chain of
// proofs that keeps each time stamp standing after its authority's certificate has expired, and
// what may be judged at the earliest proof instead of now (the signer's certificate, its
// revocation, a digest that became weak later).
#pragma once

#include "VelinVerify/pipeline/status_line.h"
#include "VelinVerify/pipeline/timestamp_record.h"

#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace velin {

struct Signer_record;

// The earliest time stamp that proves a signer's signature existed: usable, of a qualified
// authority, covering the signer.
struct Existence_proof {
    std::time_t at = 0;
    std::string authority;
    Timestamp_scope scope = Timestamp_scope::Document;
    bool inherited = false; // the token of an outer layer (.m7m, .tsd, .tsr)

    bool operator==(const Existence_proof&) const = default;
};

// The kind of time stamp that gave the proof, for scripts: "signature", "archive", "document"
// (of the file, or of a PDF) or "container" (the token around the envelope).
const char* proof_kind_name(const Existence_proof& proof);

// "la firma esisteva già il dd/mm/yyyy hh:mm:ss (UTC) (marca temporale di NAME)".
std::string existence_text(const Existence_proof& proof);

// The record at `later` proves the one at `earlier` existed at its own time: its imprint covers
// the earlier token's bytes. Only what the records say counts: the earlier time stamps an archive
// time stamp names, a .tsd renewal over the token before it, a file's (or a PDF's) document time
// stamp over the time stamps of the signatures it covers, a token of an outer layer over every
// time stamp of the envelope inside.
bool proves_existence_of(const std::vector<Timestamp_record>& records, size_t later, size_t earlier);

// Judges each time stamp's authority along the chain of proofs: its certificate must still be
// within its dates at the time of the earliest later proof that covers the time stamp (itself
// usable and qualified, judged the same way), or now when there is none. Fills
// authority_judged_at and authority_expired; the revocation judged before is left as it is.
void judge_authorities_over_time(std::vector<Timestamp_record>& records, std::time_t now);

// The earliest proof among the records that cover each signer of a layer, in one pass.
std::vector<std::optional<Existence_proof>> earliest_proofs(const std::vector<Timestamp_record>& records,
                                                            size_t signers);
// The same for one signer.
std::optional<Existence_proof> earliest_proof(const std::vector<Timestamp_record>& records, size_t signer);

// When a digest stopped being accepted for signatures (none for a digest still sound).
std::optional<std::time_t> digest_sunset(int digest_nid);

// The lines a signature judged at its proof gets about what happened since: its certificate
// expired or revoked after the proof (information), and the digest it was made with, weak today
// but accepted at the proof's time (information), else today's warning. now: the verification's.
std::vector<Status_line> over_time_lines(const Signer_record& record, int digest_nid, std::time_t now);

} // namespace velin
