// Validation over time, judged on records made here: which time stamp proves which, the chain of
// proofs that keeps a time stamp standing after its authority's certificate ended, the earliest
// proof of a signer, and the lines of a signature judged at its proof (a certificate expired or
// revoked since, a digest weak today but admitted then).
#include "VelinVerify/pipeline/existence_proof.h"
#include "VelinVerify/pipeline/signature_display.h"
#include "VelinVerify/pipeline/signer_record.h"
#include "pipeline_test_support.h"
#include "revocation_pki.h"
#include "withdrawn_authority_list.h"

#include <gtest/gtest.h>

#include <openssl/obj_mac.h>

namespace velin {
namespace {

using test::has_line;
using test::utc;

const std::time_t Now = utc("2026-12-10T12:00:00Z");

Certificate authority_certificate(const char* name, const char* until)
{
    static const test::Key key = test::new_key();
    return test::make_certificate({.serial = 0x51,
                                   .common_name = name,
                                   .not_before = utc("2015-01-01T00:00:00Z"),
                                   .not_after = utc(until),
                                   .key_usage = "critical,digitalSignature",
                                   .extended_key_usage = "critical,timeStamping"},
                                  key, {}, {});
}

// A verified time stamp of a trusted, qualified authority not revoked at its time.
Timestamp_record stamp(Timestamp_scope scope, const char* time, const Certificate& authority, size_t signer = 0)
{
    Timestamp_record record;
    Timestamp_info& info = record.info;
    info.scope = scope;
    info.signer = signer;
    info.read = info.signature_valid = info.imprint_matches = info.time_stamping_usage = true;
    info.certificate_current = info.certificate_named = true;
    info.time = utc(time);
    std::tm fields{};
    gmtime_r(&info.time, &fields);
    info.when = system_time_of(fields);
    info.certificate = Signer_certificate::from_x509(authority.raw_handle());
    info.authority = authority.display_name();
    record.trusted.assign(true);
    record.qualified = true;
    record.revocation = Revocation_status::Valid;
    return record;
}

class Existence_proof_test : public ::testing::Test {
protected:
    // Valid until the end of 2024: expired now.
    const Certificate ended = authority_certificate("Marche del 2020", "2024-12-31T00:00:00Z");
    const Certificate current = authority_certificate("Marche di archivio", "2045-01-01T00:00:00Z");
};

TEST_F(Existence_proof_test, an_archive_time_stamp_keeps_an_earlier_one_standing_after_its_authority_expired)
{
    // Alone, the signature time stamp's authority is judged now: ended, it proves nothing.
    std::vector<Timestamp_record> alone{stamp(Timestamp_scope::Signature, "2020-06-01T10:00:00Z", ended)};
    judge_authorities_over_time(alone, Now);
    EXPECT_TRUE(alone[0].authority_expired);
    EXPECT_FALSE(alone[0].usable());
    EXPECT_EQ(earliest_proof(alone, 0), std::nullopt);
    EXPECT_TRUE(has_line(timestamp_lines(alone[0]), Line_severity::Warning,
                         "Il certificato dell'autorità di marcatura temporale è scaduto il 31/12/2024 00:00:00 "
                         "(UTC), prima di ogni marca temporale successiva che provi l'esistenza di questa: la marca "
                         "temporale non è usata come riferimento temporale."));

    // An archive time stamp of 2023 over it: its authority is judged then, when it was current.
    std::vector<Timestamp_record> chained = alone;
    chained.push_back(stamp(Timestamp_scope::Archive, "2023-03-15T10:00:00Z", current));
    chained[1].info.covered_timestamps = {0};
    judge_authorities_over_time(chained, Now);
    EXPECT_EQ(chained[0].authority_judged_at, utc("2023-03-15T10:00:00Z"));
    EXPECT_FALSE(chained[0].authority_expired);
    EXPECT_TRUE(chained[0].usable());
    EXPECT_EQ(chained[1].authority_judged_at, std::nullopt);
    EXPECT_TRUE(chained[1].usable());
    const auto proof = earliest_proof(chained, 0);
    ASSERT_TRUE(proof);
    EXPECT_EQ(proof->at, utc("2020-06-01T10:00:00Z"));
    EXPECT_EQ(proof->authority, "Marche del 2020");
    EXPECT_STREQ(proof_kind_name(*proof), "signature");
    EXPECT_TRUE(has_line(timestamp_lines(chained[0]), Line_severity::Information,
                         "Il certificato dell'autorità di marcatura temporale è verificato alla data della marca "
                         "temporale successiva che comprende questa: 15/03/2023 10:00:00 (UTC)."));

    // An archive time stamp made after the authority ended, or one that does not cover it, or
    // one that is no proof itself: only the archive time stamp's own time stands.
    std::vector<Timestamp_record> late = chained;
    late[1] = stamp(Timestamp_scope::Archive, "2025-03-15T10:00:00Z", current);
    late[1].info.covered_timestamps = {0};
    std::vector<Timestamp_record> beside = chained;
    beside[1].info.covered_timestamps.clear();
    std::vector<Timestamp_record> untrusted = chained;
    untrusted[1].trusted.assign(false);
    std::vector<Timestamp_record> not_qualified = chained;
    not_qualified[1].qualified = false;
    for (auto* records : {&late, &beside, &untrusted, &not_qualified}) {
        judge_authorities_over_time(*records, Now);
        EXPECT_TRUE((*records)[0].authority_expired);
        EXPECT_FALSE((*records)[0].usable());
        const auto only = earliest_proof(*records, 0);
        EXPECT_EQ(only ? std::optional(only->at) : std::nullopt,
                  records == &late || records == &beside ? std::optional((*records)[1].info.time) : std::nullopt);
    }
}

TEST_F(Existence_proof_test, a_chain_of_proofs_is_judged_from_the_latest_and_a_compromised_link_breaks_it)
{
    // Signature time stamp (2018, authority ended 2024), archive time stamp (2022, authority
    // ended 2024) over it, a second archive time stamp (2024) over both.
    std::vector<Timestamp_record> records{stamp(Timestamp_scope::Signature, "2018-01-10T08:00:00Z", ended),
                                          stamp(Timestamp_scope::Archive, "2022-01-10T08:00:00Z", ended),
                                          stamp(Timestamp_scope::Archive, "2024-06-10T08:00:00Z", current)};
    records[1].info.covered_timestamps = {0};
    records[2].info.covered_timestamps = {0, 1};
    std::vector<Timestamp_record> chain = records;
    judge_authorities_over_time(chain, Now);
    EXPECT_EQ(chain[0].authority_judged_at, utc("2022-01-10T08:00:00Z"));
    EXPECT_EQ(chain[1].authority_judged_at, utc("2024-06-10T08:00:00Z"));
    for (const Timestamp_record& record : chain)
        EXPECT_TRUE(record.usable());
    EXPECT_EQ(earliest_proof(chain, 0)->at, utc("2018-01-10T08:00:00Z"));

    // The middle authority revoked after its time for a compromise: never a proof, and the first
    // time stamp is then judged at the last one's time.
    std::vector<Timestamp_record> compromised = records;
    compromised[1].revoked = true;
    compromised[1].revoked_at = utc("2023-01-01T00:00:00Z");
    compromised[1].revocation_reason = 1;
    judge_authorities_over_time(compromised, Now);
    EXPECT_FALSE(compromised[1].usable());
    EXPECT_EQ(compromised[0].authority_judged_at, utc("2024-06-10T08:00:00Z"));
    EXPECT_TRUE(compromised[0].usable());

    // The first authority compromised: a later proof does not make its time stamp good.
    std::vector<Timestamp_record> first_compromised = records;
    first_compromised[0].revoked = true;
    first_compromised[0].revocation_reason = -1;
    judge_authorities_over_time(first_compromised, Now);
    EXPECT_FALSE(first_compromised[0].usable());
    EXPECT_EQ(earliest_proof(first_compromised, 0)->at, utc("2022-01-10T08:00:00Z"));

    // Without the last link the middle one is judged now: ended, and so is the first.
    std::vector<Timestamp_record> broken(records.begin(), records.begin() + 2);
    judge_authorities_over_time(broken, Now);
    EXPECT_FALSE(broken[0].usable());
    EXPECT_FALSE(broken[1].usable());
    EXPECT_EQ(earliest_proof(broken, 0), std::nullopt);
}

TEST_F(Existence_proof_test, only_what_the_records_say_is_covered_counts_and_hostile_lists_do_not_loop)
{
    std::vector<Timestamp_record> records{
        stamp(Timestamp_scope::Signature, "2020-01-01T00:00:00Z", ended, 0),
        stamp(Timestamp_scope::Signature, "2020-01-01T00:00:00Z", ended, 1),
        stamp(Timestamp_scope::Document, "2021-01-01T00:00:00Z", current),
        stamp(Timestamp_scope::Content, "2020-01-01T00:00:00Z", ended, 0),
    };
    // A PDF's document time stamp covers the time stamps of the signatures before it only.
    records[2].info.covered_signers = std::vector<size_t>{0};
    EXPECT_TRUE(proves_existence_of(records, 2, 0));
    EXPECT_FALSE(proves_existence_of(records, 2, 1));
    EXPECT_FALSE(proves_existence_of(records, 2, 3));
    // A document time stamp of the whole envelope covers every signer's.
    records[2].info.covered_signers.reset();
    EXPECT_TRUE(proves_existence_of(records, 2, 1));
    // A signature time stamp proves nothing of another.
    EXPECT_FALSE(proves_existence_of(records, 0, 1));
    EXPECT_FALSE(proves_existence_of(records, 0, 0));

    // .tsd renewals: each over the token just before it, not over any other.
    std::vector<Timestamp_record> renewals{stamp(Timestamp_scope::Document, "2019-01-01T00:00:00Z", ended),
                                           stamp(Timestamp_scope::Document, "2022-01-01T00:00:00Z", ended),
                                           stamp(Timestamp_scope::Document, "2024-01-01T00:00:00Z", current)};
    renewals[1].info.renewal = 1;
    renewals[2].info.renewal = 2;
    EXPECT_TRUE(proves_existence_of(renewals, 1, 0));
    EXPECT_TRUE(proves_existence_of(renewals, 2, 1));
    EXPECT_FALSE(proves_existence_of(renewals, 2, 0));
    EXPECT_FALSE(proves_existence_of(renewals, 0, 1));
    judge_authorities_over_time(renewals, Now);
    EXPECT_TRUE(renewals[0].usable());
    EXPECT_EQ(renewals[0].authority_judged_at, utc("2022-01-01T00:00:00Z"));

    // An outer layer's token covers every time stamp inside; the indexes it names are of another
    // list and count for nothing here.
    std::vector<Timestamp_record> layered{stamp(Timestamp_scope::Signature, "2020-01-01T00:00:00Z", ended),
                                          stamp(Timestamp_scope::Document, "2023-01-01T00:00:00Z", current)};
    layered[1].inherited = true;
    EXPECT_TRUE(proves_existence_of(layered, 1, 0));
    EXPECT_FALSE(proves_existence_of(layered, 0, 1));
    layered[0].inherited = true;
    layered[1].info.covered_timestamps = {0};
    EXPECT_FALSE(proves_existence_of(layered, 1, 0));

    // Two archive time stamps of one second naming each other, and one naming itself: no loop,
    // and an earlier one is never proven by a later entry of the same second.
    std::vector<Timestamp_record> loop{stamp(Timestamp_scope::Archive, "2020-01-01T00:00:00Z", ended),
                                       stamp(Timestamp_scope::Archive, "2020-01-01T00:00:00Z", ended)};
    loop[0].info.covered_timestamps = {0, 1};
    loop[1].info.covered_timestamps = {0, 1, 7};
    judge_authorities_over_time(loop, Now);
    EXPECT_FALSE(loop[0].usable());
    EXPECT_FALSE(loop[1].usable());
}

Signature_info intact()
{
    Signature_info signature;
    signature.integrity.assign(Signature_integrity::Intact);
    return signature;
}

// A signer judged at its proof, as the revocation step leaves it.
Signer_record judged_signer(const Certificate& certificate, std::optional<Existence_proof> proof,
                            Revocation_status status)
{
    Signer_record record;
    record.certificate.assign(certificate);
    record.proof = proof;
    if (proof)
        record.judged_at = proof->at;
    record.revocation_status = status;
    return record;
}

TEST_F(Existence_proof_test, a_certificate_expired_or_revoked_after_the_proof_leaves_the_signature_valid_then)
{
    static const test::Key key = test::new_key();
    const Certificate signer = test::make_certificate({.serial = 0x52,
                                                       .common_name = "Firmataria scaduta",
                                                       .not_before = utc("2019-01-01T00:00:00Z"),
                                                       .not_after = utc("2022-01-01T00:00:00Z"),
                                                       .key_usage = "critical,nonRepudiation"},
                                                      key, {}, {});
    const Existence_proof proof{utc("2021-06-01T10:00:00Z"), "Marche qualificate", Timestamp_scope::Signature};
    const std::string existed = "la firma esisteva già il 01/06/2021 10:00:00 (UTC) (marca temporale di Marche "
                                "qualificate).";

    // Expired since: valid at the proof, and said so beside the check's own line.
    const Signer_record expired = judged_signer(signer, proof, Revocation_status::Valid);
    EXPECT_EQ(
        over_time_lines(expired, NID_sha256, Now),
        (std::vector<Status_line>{{Line_severity::Information, "Il certificato è scaduto il 01/01/2022; " + existed}}));
    EXPECT_FALSE(show_signature(intact(), expired, false).errors);

    // Revoked after the proof (the check judged it valid then and gave the date): valid.
    Signer_record revoked_later = expired;
    revoked_later.revoked_at = utc("2021-09-01T12:00:00Z");
    EXPECT_TRUE(has_line(over_time_lines(revoked_later, NID_sha256, Now), Line_severity::Information,
                         "Il certificato è stato revocato il 01/09/2021 12:00:00 (UTC); " + existed));

    // Revoked before the proof: the check says revoked, and nothing here says otherwise.
    Signer_record revoked_before = judged_signer(signer, proof, Revocation_status::Revoked);
    revoked_before.revoked_at = utc("2021-03-01T00:00:00Z");
    EXPECT_TRUE(over_time_lines(revoked_before, NID_sha256, Now).empty());
    EXPECT_TRUE(has_line(show_signature(intact(), revoked_before, false).status, Line_severity::Error,
                         "Il certificato è stato revocato."));

    // No proof: today's rule, the certificate judged now is expired, and nothing is added.
    const Signer_record unproven = judged_signer(signer, std::nullopt, Revocation_status::Expired);
    EXPECT_TRUE(over_time_lines(unproven, NID_sha256, Now).empty());
    EXPECT_TRUE(
        has_line(show_signature(intact(), unproven, false).status, Line_severity::Error, "Il certificato è scaduto."));

    // Still current, judged at its proof: nothing to add.
    EXPECT_TRUE(over_time_lines(expired, NID_sha256, utc("2021-12-01T00:00:00Z")).empty());
}

TEST_F(Existence_proof_test, a_weak_digest_is_admitted_only_when_a_proof_places_the_signature_before_its_sunset)
{
    const Certificate signer = current;
    const std::string weak = "L'algoritmo di hash della firma non è più considerato sicuro.";
    const auto proven = [&](const char* at) {
        return judged_signer(signer, Existence_proof{utc(at), "Marche qualificate", Timestamp_scope::Archive},
                             Revocation_status::Valid);
    };
    EXPECT_EQ(over_time_lines(proven("2010-03-15T09:00:00Z"), NID_sha1, Now),
              (std::vector<Status_line>{{Line_severity::Information,
                                         "L'algoritmo di hash della firma (SHA-1) non è più considerato sicuro, ma era "
                                         "ancora ammesso: la firma esisteva già il 15/03/2010 09:00:00 (UTC) (marca "
                                         "temporale di Marche qualificate)."}}));
    // After the sunset, or without a proof: today's warning.
    EXPECT_EQ(over_time_lines(proven("2011-07-01T00:00:00Z"), NID_sha1, Now),
              (std::vector<Status_line>{{Line_severity::Warning, weak}}));
    EXPECT_EQ(over_time_lines(judged_signer(signer, std::nullopt, Revocation_status::Valid), NID_sha1, Now),
              (std::vector<Status_line>{{Line_severity::Warning, weak}}));
    // MD5 was over long before; RIPEMD-160 went with SHA-1; SHA-256 is sound.
    EXPECT_EQ(over_time_lines(proven("2010-03-15T09:00:00Z"), NID_md5, Now),
              (std::vector<Status_line>{{Line_severity::Warning, weak}}));
    EXPECT_EQ(over_time_lines(proven("2010-03-15T09:00:00Z"), NID_ripemd160, Now).at(0).severity,
              Line_severity::Information);
    EXPECT_TRUE(
        over_time_lines(judged_signer(signer, std::nullopt, Revocation_status::Valid), NID_sha256, Now).empty());
    EXPECT_EQ(digest_sunset(NID_sha1), utc("2011-07-01T00:00:00Z"));
    EXPECT_EQ(digest_sunset(NID_sha512), std::nullopt);
}

} // namespace
} // namespace velin
