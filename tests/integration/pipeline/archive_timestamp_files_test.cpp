// Long-term CAdES signatures made by tools/make-timestamp-fixtures (its der.py computes the archive
// time stamps' imprints on its own, and openssl ts -verify checks the good ones over the same
// digest): read by the parser, and verified by the program in batch mode.
#include "VelinVerify/app/batch_report.h"
#include "VelinVerify/pipeline/timestamp_record.h"
#include "batch_verifier.h"
#include "envelope/cades_archive.h"
#include "envelope/signed_document_info.h"
#include "envelope/signed_document_parser.h"
#include "generated_files_suite.h"

#include <atomic>
#include <memory>

namespace velin {
namespace {

using test::Verdict;

struct Timestamp_fixtures {
    static std::filesystem::path shared() { return VELIN_TIMESTAMP_FIXTURES; }
    static constexpr const char* tool = "tools/make-timestamp-fixtures/make-timestamp-fixtures";
};

class Archive_timestamp_files_test : public test::Generated_files_suite<Timestamp_fixtures> {
protected:
    static std::vector<const Timestamp_info*> archive_of(const std::vector<Timestamp_info>& timestamps)
    {
        std::vector<const Timestamp_info*> archive;
        for (const Timestamp_info& timestamp : timestamps)
            if (timestamp.scope == Timestamp_scope::Archive)
                archive.push_back(&timestamp);
        return archive;
    }
    static bool has(const std::string& lines, const std::string& line) { return test::has_line(lines, line); }
};

TEST_F(Archive_timestamp_files_test, sound_archive_time_stamps_are_verified_and_cover_the_earlier_ones)
{
    // One archive time stamp v3 over a CAdES-T: it covers the signature time stamp (index 0).
    const auto single = timestamps_of("archivio-v3.txt.p7m");
    ASSERT_EQ(single.size(), 2u);
    EXPECT_EQ(single[0].scope, Timestamp_scope::Signature);
    ASSERT_EQ(archive_of(single).size(), 1u);
    const Timestamp_info& archive = *archive_of(single)[0];
    EXPECT_TRUE(archive.verified()) << archive.problem;
    EXPECT_TRUE(archive.coverage_errors.empty());
    EXPECT_EQ(archive.covered_timestamps, std::vector<size_t>{0});
    EXPECT_EQ(archive.signer, 0u);

    // A second one over the first (its index names an explicit digest): it covers both.
    const auto twice = timestamps_of("archivio-doppio.txt.p7m");
    ASSERT_EQ(archive_of(twice).size(), 2u);
    EXPECT_TRUE(archive_of(twice)[0]->verified()) << archive_of(twice)[0]->problem;
    EXPECT_TRUE(archive_of(twice)[1]->verified()) << archive_of(twice)[1]->problem;
    EXPECT_EQ(archive_of(twice)[0]->covered_timestamps, std::vector<size_t>{0});
    EXPECT_EQ(archive_of(twice)[1]->covered_timestamps, (std::vector<size_t>{0, 1}));

    // Version 2, over the content, the certificates, the lists and the signature time stamp.
    const auto v2 = timestamps_of("archivio-v2.txt.p7m");
    ASSERT_EQ(archive_of(v2).size(), 1u);
    EXPECT_TRUE(archive_of(v2)[0]->verified()) << archive_of(v2)[0]->problem;
    EXPECT_EQ(archive_of(v2)[0]->covered_timestamps, std::vector<size_t>{0});

    // The same in BER, and re-encoded by OpenSSL as an S/MIME message (its SETs sorted, which a
    // version 3 index does not mind).
    const auto ber = timestamps_of("archivio-v3-ber.txt.p7m");
    ASSERT_EQ(archive_of(ber).size(), 1u);
    EXPECT_TRUE(archive_of(ber)[0]->verified()) << archive_of(ber)[0]->problem;
    const auto smime = timestamps_of("archivio-doppio-smime.txt.p7m");
    ASSERT_EQ(archive_of(smime).size(), 2u);
    EXPECT_TRUE(archive_of(smime)[0]->verified()) << archive_of(smime)[0]->problem;
    EXPECT_TRUE(archive_of(smime)[1]->verified()) << archive_of(smime)[1]->problem;
    EXPECT_EQ(archive_of(smime)[1]->covered_timestamps, (std::vector<size_t>{0, 1}));

    for (const char* name : {"archivio-v3.txt.p7m", "archivio-doppio.txt.p7m", "archivio-v2.txt.p7m"}) {
        const Verdict verdict = verify(name);
        EXPECT_EQ(verdict.exit_code, Exit_success) << name << "\n" << verdict.text;
        const QJsonArray timestamps = verdict.layer(0)["timestamps"].toArray();
        int archived = 0;
        for (const auto& timestamp : timestamps)
            if (timestamp.toObject()["scope"].toString() == "archive") {
                ++archived;
                EXPECT_TRUE(timestamp.toObject()["verified"].toBool()) << name;
                EXPECT_EQ(timestamp.toObject()["signer"].toInt(), 1) << name;
            }
        EXPECT_GE(archived, 1) << name;
        // The envelope's certificates and list (where a long-term signature keeps them) are
        // validation data of the file, with those of the archive time stamps' tokens.
        EXPECT_TRUE(has(verdict.lines(0), "info: Il file contiene dati di validazione per la verifica a lungo "
                                          "termine: 2 certificati, 1 CRL, 0 risposte OCSP."))
            << verdict.lines(0);
        EXPECT_NE(verdict.lines(0).find("Marca temporale d'archivio: "), std::string::npos) << verdict.lines(0);
    }
}

TEST_F(Archive_timestamp_files_test, broken_long_term_data_makes_the_archive_time_stamp_no_proof)
{
    // A certificate the index lists, removed afterwards: the imprint still holds, the index does not.
    const auto removed = timestamps_of("archivio-certificato-rimosso.txt.p7m");
    ASSERT_EQ(archive_of(removed).size(), 1u);
    EXPECT_TRUE(archive_of(removed)[0]->imprint_matches);
    EXPECT_EQ(archive_of(removed)[0]->coverage_errors, std::vector<std::string>{Text_archive_certificate_missing});
    EXPECT_FALSE(archive_of(removed)[0]->verified());
    const Verdict removed_verdict = verify("archivio-certificato-rimosso.txt.p7m");
    EXPECT_EQ(removed_verdict.exit_code, Exit_errors) << removed_verdict.text;
    EXPECT_TRUE(has(removed_verdict.lines(0), std::string("error: ") + Text_archive_certificate_missing))
        << removed_verdict.lines(0);

    // One hash of the index changed: the imprint no longer holds, and the hash names nothing.
    const auto changed = timestamps_of("archivio-indice-alterato.txt.p7m");
    ASSERT_EQ(archive_of(changed).size(), 1u);
    EXPECT_FALSE(archive_of(changed)[0]->imprint_matches);
    EXPECT_EQ(archive_of(changed)[0]->coverage_errors, std::vector<std::string>{Text_archive_attribute_missing});
    const Verdict changed_verdict = verify("archivio-indice-alterato.txt.p7m");
    EXPECT_EQ(changed_verdict.exit_code, Exit_errors);
    EXPECT_TRUE(
        has(changed_verdict.lines(0), "error: La marca temporale d'archivio non corrisponde ai dati della firma."))
        << changed_verdict.lines(0);
    EXPECT_TRUE(has(changed_verdict.lines(0), std::string("error: ") + Text_archive_attribute_missing));

    // The document changed under a sound archive time stamp: neither the signature nor the
    // archive time stamp holds.
    const auto tampered = timestamps_of("archivio-contenuto-alterato.txt.p7m");
    ASSERT_EQ(archive_of(tampered).size(), 1u);
    EXPECT_FALSE(archive_of(tampered)[0]->imprint_matches);
    EXPECT_TRUE(archive_of(tampered)[0]->coverage_errors.empty());
    const Verdict tampered_verdict = verify("archivio-contenuto-alterato.txt.p7m");
    EXPECT_EQ(tampered_verdict.exit_code, Exit_errors);
    EXPECT_TRUE(
        has(tampered_verdict.lines(0), "error: La marca temporale d'archivio non corrisponde ai dati della firma."));
    for (const auto& timestamp : tampered_verdict.layer(0)["timestamps"].toArray()) {
        const QJsonObject object = timestamp.toObject();
        EXPECT_TRUE(object["scope"].toString() != "archive" || !object["verified"].toBool());
    }
}

TEST_F(Archive_timestamp_files_test, cades_x_time_stamps_cover_the_signature_and_the_references_they_name)
{
    // An escTimeStamp over the signature, its time stamp and the complete references.
    const auto esc = timestamps_of("cades-x-esc.txt.p7m");
    ASSERT_EQ(archive_of(esc).size(), 1u);
    EXPECT_TRUE(archive_of(esc)[0]->verified()) << archive_of(esc)[0]->problem;
    EXPECT_EQ(archive_of(esc)[0]->covered_timestamps, std::vector<size_t>{0});

    // Time-stamped references: proof that the references existed, not the signature.
    const auto references = timestamps_of("cades-x-riferimenti.txt.p7m");
    ASSERT_EQ(references.size(), 2u);
    EXPECT_EQ(references[1].scope, Timestamp_scope::References);
    EXPECT_TRUE(references[1].verified()) << references[1].problem;
    EXPECT_TRUE(references[1].covered_timestamps.empty());
    const Verdict verdict = verify("cades-x-riferimenti.txt.p7m");
    EXPECT_EQ(verdict.exit_code, Exit_success) << verdict.text;
    EXPECT_EQ(verdict.timestamp(0, 1)["scope"].toString(), "references");
    EXPECT_NE(verdict.lines(0).find("Marca temporale dei riferimenti di convalida: "), std::string::npos)
        << verdict.lines(0);

    // Values carried that do not answer the references: the time stamp over them is no proof.
    const auto wrong = timestamps_of("cades-x-valori-errati.txt.p7m");
    ASSERT_EQ(archive_of(wrong).size(), 1u);
    EXPECT_TRUE(archive_of(wrong)[0]->imprint_matches);
    EXPECT_EQ(archive_of(wrong)[0]->coverage_errors, std::vector<std::string>{Text_archive_reference_unmatched});
    const Verdict wrong_verdict = verify("cades-x-valori-errati.txt.p7m");
    EXPECT_EQ(wrong_verdict.exit_code, Exit_errors);
    EXPECT_TRUE(has(wrong_verdict.lines(0), std::string("error: ") + Text_archive_reference_unmatched));
}

TEST_F(Archive_timestamp_files_test, an_archive_unit_revoked_later_is_judged_by_the_reason_of_its_revocation)
{
    // Archive time stamps of 1 March 2026 by units revoked later, on the CA's list the envelope
    // carries. The parser verifies both tokens: their revocation is for the verifier to judge.
    for (const char* name : {"archivio-tsa-sostituita.txt.p7m", "archivio-tsa-compromessa.txt.p7m"}) {
        const auto timestamps = timestamps_of(name);
        ASSERT_EQ(archive_of(timestamps).size(), 1u) << name;
        EXPECT_TRUE(archive_of(timestamps)[0]->verified()) << name << ": " << archive_of(timestamps)[0]->problem;
        EXPECT_EQ(archive_of(timestamps)[0]->covered_timestamps, std::vector<size_t>{0}) << name;
    }

    // Superseded after its time stamp: the archive time stamp stands as a proof.
    const Verdict superseded = verify("archivio-tsa-sostituita.txt.p7m");
    EXPECT_EQ(superseded.exit_code, Exit_success) << superseded.text;
    const QJsonObject kept = superseded.timestamp(0, 1);
    EXPECT_EQ(kept["scope"].toString(), "archive");
    EXPECT_TRUE(kept["verified"].toBool()) << superseded.text;
    EXPECT_TRUE(kept["usable"].toBool()) << superseded.text;
    EXPECT_EQ(kept["time"].toString(), "2026-03-01T10:00:00Z");
    EXPECT_EQ(superseded.lines(0).find("è stato revocato"), std::string::npos) << superseded.lines(0);
    // Its time is the one at which the signature time stamp's unit is judged.
    const std::string judged_at_archive =
        "info: Il certificato dell'autorità di marcatura temporale è verificato alla data della marca temporale "
        "successiva che comprende questa: 01/03/2026 10:00:00 (UTC).";
    EXPECT_TRUE(has(superseded.lines(0), judged_at_archive)) << superseded.lines(0);

    // Revoked for a compromise of its key: the archive time stamp proves nothing, and says why.
    const Verdict compromised = verify("archivio-tsa-compromessa.txt.p7m");
    EXPECT_EQ(compromised.exit_code, Exit_errors) << compromised.text;
    const std::string lines = compromised.lines(0);
    const std::string head = "error: Il certificato dell'autorità di marcatura temporale \"TSA Archivio Compromessa "
                             "Demo\" è stato revocato il ";
    const std::string tail =
        std::string(" (UTC) (motivo: compromissione della chiave): ") + Text_unit_not_reliable + "\n";
    const size_t at = lines.find(head);
    ASSERT_NE(at, std::string::npos) << lines;
    EXPECT_EQ(lines.find(tail, at), at + head.size() + 19) << lines;
    // Its token is sound and its authority chained, yet it is no time to rely on.
    const QJsonObject unreliable = compromised.timestamp(0, 1);
    EXPECT_EQ(unreliable["scope"].toString(), "archive");
    EXPECT_TRUE(unreliable["verified"].toBool()) << compromised.text;
    EXPECT_FALSE(unreliable["usable"].toBool()) << compromised.text;
    // The signature time stamp's unit is then judged now, not at the archive time stamp's time.
    EXPECT_FALSE(has(lines, judged_at_archive)) << lines;
}

TEST_F(Archive_timestamp_files_test, a_signature_without_long_term_data_has_no_archive_time_stamp)
{
    const auto plain = timestamps_of("firma-marcata.txt.p7m");
    ASSERT_EQ(plain.size(), 1u);
    EXPECT_EQ(plain[0].scope, Timestamp_scope::Signature);
    EXPECT_TRUE(plain[0].covered_timestamps.empty());
}

} // namespace
} // namespace velin
