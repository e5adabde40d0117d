#include "VelinVerify/pipeline/existence_proof.h"

#include "VelinVerify/pipeline/signature_display.h"
#include "VelinVerify/pipeline/signer_record.h"
#include "envelope/timestamp_token.h"

#include <openssl/obj_mac.h>
#include <openssl/x509.h>

#include <algorithm>
#include <ctime>
#include <numeric>

namespace velin {

namespace {

std::tm utc_fields(std::time_t time)
{
    std::tm fields{};
    gmtime_r(&time, &fields);
    return fields;
}

std::string time_text(std::time_t time)
{
    return timestamp_time_text(system_time_of(utc_fields(time)));
}

// "dd/mm/yyyy", the day of a certificate's end.
std::string day_text(std::time_t time)
{
    return format_signing_time(system_time_of(utc_fields(time))).substr(0, 10);
}

std::optional<std::time_t> not_after_of(X509* certificate)
{
    std::tm fields{};
    const ASN1_TIME* last = certificate ? X509_get0_notAfter(certificate) : nullptr;
    if (!last || ASN1_TIME_to_tm(last, &fields) != 1)
        return std::nullopt;
    return timegm(&fields);
}

// Digests that became weak for signatures, and the last moment a signature made with one is
// accepted when a time stamp proves it existed then. The earliest of two rule books, to be safe:
// ETSI TS 119 312 (SHA-1 and RIPEMD-160 no longer for creating signatures; MD5 never listed) and
// the Italian rules on signature algorithms, which required SHA-256 for qualified signatures from
// 1 July 2011 and had admitted only SHA-1 and RIPEMD-160 before (MD5 is taken as over at the end
// of 2003, before its collisions were published).
struct Digest_sunset {
    int nid;
    const char* sunset; // ISO 8601 UTC
};
constexpr Digest_sunset Digest_sunsets[] = {
    {NID_md5, "2004-01-01T00:00:00Z"},
    {NID_sha1, "2011-07-01T00:00:00Z"},
    {NID_ripemd160, "2011-07-01T00:00:00Z"},
};

std::time_t utc_of(const char* text)
{
    std::tm fields{};
    ::strptime(text, "%Y-%m-%dT%H:%M:%SZ", &fields);
    return timegm(&fields);
}

const char* digest_display_name(int nid)
{
    switch (nid) {
    case NID_md5:
        return "MD5";
    case NID_sha1:
        return "SHA-1";
    case NID_ripemd160:
        return "RIPEMD-160";
    default:
        return "?";
    }
}

} // namespace

const char* proof_kind_name(const Existence_proof& proof)
{
    if (proof.inherited)
        return "container";
    switch (proof.scope) {
    case Timestamp_scope::Signature:
        return "signature";
    case Timestamp_scope::Archive:
        return "archive";
    default:
        return "document";
    }
}

std::string existence_text(const Existence_proof& proof)
{
    return "la firma esisteva già il " + time_text(proof.at) + " (marca temporale" +
           (proof.authority.empty() ? std::string() : " di " + proof.authority) + ")";
}

bool proves_existence_of(const std::vector<Timestamp_record>& records, size_t later, size_t earlier)
{
    if (later == earlier || later >= records.size() || earlier >= records.size())
        return false;
    const Timestamp_record& proof = records[later];
    const Timestamp_record& proven = records[earlier];
    // A token around the envelope covers every byte of it, its time stamps included.
    if (proof.inherited && !proven.inherited)
        return true;
    if (proof.inherited != proven.inherited)
        return false;
    // The indexes a time stamp names are those of its own layer's list; an outer layer's list is
    // not this one.
    if (!proof.inherited && std::find(proof.info.covered_timestamps.begin(), proof.info.covered_timestamps.end(),
                                      earlier) != proof.info.covered_timestamps.end())
        return true;
    // A .tsd renewal is over the token just before it.
    if (proof.info.scope == Timestamp_scope::Document && proven.info.scope == Timestamp_scope::Document)
        return proof.info.renewal > 0 && proven.info.renewal + 1 == proof.info.renewal && earlier + 1 == later;
    // A document time stamp over the signatures of its layer (or of a PDF's revisions before it)
    // covers their time stamps, which lie inside them.
    if (proof.info.scope == Timestamp_scope::Document && !proof.inherited)
        return (proven.info.scope == Timestamp_scope::Signature || proven.info.scope == Timestamp_scope::Archive) &&
               proof.covers(proven.info.signer);
    return false;
}

void judge_authorities_over_time(std::vector<Timestamp_record>& records, std::time_t now)
{
    // The time stamps that may prove another: those naming it, and those over a whole envelope or
    // document (few in a file), so that many signers with one time stamp each cost no more than
    // a pass per wide one.
    const size_t count = records.size();
    std::vector<std::vector<size_t>> naming(count);
    std::vector<size_t> wide;
    for (size_t index = 0; index < count; ++index) {
        const Timestamp_record& record = records[index];
        if (record.inherited || record.info.scope == Timestamp_scope::Document)
            wide.push_back(index);
        else
            for (const size_t named : record.info.covered_timestamps)
                if (named < count && named != index)
                    naming[named].push_back(index);
    }
    // Latest first: a proof is always judged before the time stamps it covers. Among time stamps
    // of the same second the later one in the list (an archive time stamp after what it covers)
    // goes first; a list that names its own later entries gets no proof from them, and no loop.
    std::vector<size_t> order(count);
    std::iota(order.begin(), order.end(), size_t{0});
    std::sort(order.begin(), order.end(), [&records](size_t a, size_t b) {
        if (records[a].info.time != records[b].info.time)
            return records[a].info.time > records[b].info.time;
        return a > b;
    });
    std::vector<bool> judged(count, false);
    for (const size_t index : order) {
        std::optional<std::time_t> next;
        for (const std::vector<size_t>* candidates : {&naming[index], &wide})
            for (const size_t later : *candidates) {
                const Timestamp_record& proof = records[later];
                if (!judged[later] || !proof.usable() || !proof.qualified ||
                    proof.info.time < records[index].info.time || !proves_existence_of(records, later, index))
                    continue;
                if (!next || proof.info.time < *next)
                    next = proof.info.time;
            }
        Timestamp_record& record = records[index];
        record.authority_judged_at = next;
        const std::time_t at = next.value_or(now);
        const std::optional<std::time_t> last = not_after_of(record.info.certificate.x509());
        record.authority_not_after = last;
        record.authority_expired = !record.info.certificate.empty() && (!last || *last < at);
        judged[index] = true;
    }
}

std::vector<std::optional<Existence_proof>> earliest_proofs(const std::vector<Timestamp_record>& records,
                                                            size_t signers)
{
    std::vector<std::optional<Existence_proof>> earliest(signers);
    const auto take = [&earliest](size_t signer, const Timestamp_record& record) {
        if (signer < earliest.size() && (!earliest[signer] || record.info.time < earliest[signer]->at))
            earliest[signer] =
                Existence_proof{record.info.time, record.info.authority, record.info.scope, record.inherited};
    };
    for (const Timestamp_record& record : records) {
        if (!record.usable() || !record.qualified)
            continue;
        const bool every_signer =
            record.inherited || (record.info.scope == Timestamp_scope::Document && !record.info.covered_signers);
        if (every_signer)
            for (size_t signer = 0; signer < signers; ++signer)
                take(signer, record);
        else if (record.info.scope == Timestamp_scope::Document)
            for (const size_t signer : *record.info.covered_signers)
                take(signer, record);
        else if (record.covers(record.info.signer))
            take(record.info.signer, record);
    }
    return earliest;
}

std::optional<Existence_proof> earliest_proof(const std::vector<Timestamp_record>& records, size_t signer)
{
    return earliest_proofs(records, signer + 1).at(signer);
}

std::optional<std::time_t> digest_sunset(int digest_nid)
{
    for (const Digest_sunset& entry : Digest_sunsets)
        if (entry.nid == digest_nid)
            return utc_of(entry.sunset);
    return std::nullopt;
}

std::vector<Status_line> over_time_lines(const Signer_record& record, int digest_nid, std::time_t now)
{
    std::vector<Status_line> lines;
    // Only a signature whose certificate was judged at its proof, and found sound then.
    const std::optional<Existence_proof>& proof = record.proof;
    const bool judged_at_proof = proof && record.judged_at && *record.judged_at == proof->at &&
                                 record.revocation_status == Revocation_status::Valid;
    if (judged_at_proof && record.certificate.is_assigned()) {
        const std::optional<std::time_t> last = not_after_of(record.certificate.value().raw_handle());
        if (last && *last < now)
            lines.push_back({Line_severity::Information,
                             "Il certificato è scaduto il " + day_text(*last) + "; " + existence_text(*proof) + "."});
    }
    if (judged_at_proof && record.revoked_at && *record.revoked_at > proof->at)
        lines.push_back({Line_severity::Information, "Il certificato è stato revocato il " +
                                                         time_text(*record.revoked_at) + "; " + existence_text(*proof) +
                                                         "."});
    if (const std::optional<std::time_t> sunset = digest_sunset(digest_nid)) {
        // The proof stands for the signature whatever its revocation check found.
        if (proof && proof->at < *sunset)
            lines.push_back({Line_severity::Information,
                             std::string("L'algoritmo di hash della firma (") + digest_display_name(digest_nid) +
                                 ") non è più considerato sicuro, ma era ancora ammesso: " + existence_text(*proof) +
                                 "."});
        else
            lines.push_back({Line_severity::Warning, "L'algoritmo di hash della firma non è più considerato sicuro."});
    } else if (is_weak_digest(digest_nid)) {
        lines.push_back({Line_severity::Warning, "L'algoritmo di hash della firma non è più considerato sicuro."});
    }
    return lines;
}

} // namespace velin
