// Signature containers kept for the long term, and containers with one signature that cannot be
// read, made by tools/make-asic-fixtures: the archive manifests' time stamps as the parser reads
// them (whose signatures they are archive time stamps of, which earlier time stamps they cover),
// and the verdicts of the program in batch mode.
#include "VelinVerify/app/batch_report.h"
#include "batch_verifier.h"
#include "envelope/signed_document_info.h"
#include "envelope/signed_document_parser.h"
#include "generated_files_suite.h"

#include <atomic>
#include <chrono>
#include <memory>

namespace velin {
namespace {

using test::has_line;
using test::Verdict;

class Asic_archive_files_test : public test::Generated_files_suite<test::Asic_fixtures> {};

TEST_F(Asic_archive_files_test, an_archive_manifest_is_an_archive_time_stamp_of_each_signature_it_lists)
{
    const auto timestamps = timestamps_of("pratica-archivio.asice");
    ASSERT_EQ(timestamps.size(), 2u);
    for (size_t signer = 0; signer < 2; ++signer) {
        EXPECT_EQ(timestamps[signer].scope, Timestamp_scope::Archive);
        EXPECT_EQ(timestamps[signer].signer, signer);
        EXPECT_TRUE(timestamps[signer].verified()) << timestamps[signer].problem;
    }

    const Verdict verdict = verify("pratica-archivio.asice");
    EXPECT_EQ(verdict.exit_code, Exit_success) << verdict.text;
    const QJsonArray stamps = verdict.layer(0)["timestamps"].toArray();
    ASSERT_EQ(stamps.size(), 2) << verdict.text;
    for (int n = 0; n < 2; ++n) {
        EXPECT_EQ(stamps[n].toObject()["scope"].toString(), "archive");
        EXPECT_EQ(stamps[n].toObject()["signer"].toInt(), n + 1);
        EXPECT_TRUE(stamps[n].toObject()["trusted"].toBool()) << verdict.text;
        EXPECT_TRUE(stamps[n].toObject()["usable"].toBool()) << verdict.text;
    }
    // Checked, so not said to be left out; the signatures cover what they did without it.
    EXPECT_EQ(verdict.lines(0).find("non è stato verificato"), std::string::npos) << verdict.lines(0);
    EXPECT_EQ(names(signature(verdict, 1)["covers"]), QStringList{"allegati/allegato tecnico.txt"});
}

TEST_F(Asic_archive_files_test, a_renewal_covers_the_archive_time_stamp_before_it)
{
    const auto timestamps = timestamps_of("pratica-archivio-rinnovato.asice");
    ASSERT_EQ(timestamps.size(), 4u);
    // The first archive manifest is checked first, whatever the order of the names.
    EXPECT_TRUE(timestamps[0].covered_timestamps.empty());
    EXPECT_TRUE(timestamps[1].covered_timestamps.empty());
    // Each signature's archive time stamp of the renewal covers that signature's first one.
    for (size_t n = 2; n < 4; ++n) {
        EXPECT_EQ(timestamps[n].scope, Timestamp_scope::Archive);
        EXPECT_EQ(timestamps[n].signer, n - 2);
        EXPECT_EQ(timestamps[n].covered_timestamps, std::vector<size_t>{n - 2});
    }
    for (const Timestamp_info& timestamp : timestamps)
        EXPECT_TRUE(timestamp.verified()) << timestamp.problem;

    const Verdict verdict = verify("pratica-archivio-rinnovato.asice");
    EXPECT_EQ(verdict.exit_code, Exit_success) << verdict.text;
    EXPECT_EQ(verdict.layer(0)["timestamps"].toArray().size(), 4);
}

TEST_F(Asic_archive_files_test, the_time_stamps_inside_an_archived_signature_are_covered)
{
    const auto timestamps = timestamps_of("pratica-marcata-archivio.asice");
    ASSERT_EQ(timestamps.size(), 2u);
    EXPECT_EQ(timestamps[0].scope, Timestamp_scope::Signature);
    EXPECT_TRUE(timestamps[0].verified()) << timestamps[0].problem;
    EXPECT_EQ(timestamps[1].scope, Timestamp_scope::Archive);
    EXPECT_EQ(timestamps[1].signer, 0u);
    EXPECT_EQ(timestamps[1].covered_timestamps, std::vector<size_t>{0});
    EXPECT_TRUE(timestamps[1].verified()) << timestamps[1].problem;

    // The earliest proof of the signature is its own time stamp, the archive one standing behind it.
    const Verdict verdict = verify("pratica-marcata-archivio.asice");
    EXPECT_EQ(verdict.exit_code, Exit_success) << verdict.text;
    EXPECT_EQ(signature(verdict, 0)["proven_by"].toObject()["kind"].toString(), "signature");
    EXPECT_EQ(signature(verdict, 0)["proven_at"].toString(), "2026-03-01T10:00:00Z");
    // The signature time stamp's authority is judged at the archive time stamp's time.
    EXPECT_NE(status_of(signature(verdict, 0))
                  .find("info: Il certificato dell'autorità di marcatura temporale è verificato alla data della marca "
                        "temporale successiva che comprende questa: "),
              std::string::npos)
        << verdict.text;
}

TEST_F(Asic_archive_files_test, a_digest_that_fails_or_a_file_removed_makes_the_archive_time_stamp_no_proof)
{
    const std::string changed_text = "Un file elencato dal manifesto d'archivio non corrisponde al suo hash: la marca "
                                     "temporale d'archivio non ne prova l'esistenza.";
    const auto changed = timestamps_of("pratica-archivio-hash-cambiato.asice");
    ASSERT_EQ(changed.size(), 2u);
    for (const Timestamp_info& timestamp : changed) {
        // The token is sound over the archive manifest: only a digest inside it fails.
        EXPECT_TRUE(timestamp.imprint_matches);
        EXPECT_EQ(timestamp.coverage_errors, std::vector<std::string>{changed_text});
        EXPECT_FALSE(timestamp.verified());
    }
    const Verdict changed_verdict = verify("pratica-archivio-hash-cambiato.asice");
    EXPECT_EQ(changed_verdict.exit_code, Exit_errors) << changed_verdict.text;
    EXPECT_TRUE(has_line(changed_verdict.lines(0), "error: " + changed_text)) << changed_verdict.lines(0);
    for (const auto& stamp : changed_verdict.layer(0)["timestamps"].toArray())
        EXPECT_FALSE(stamp.toObject()["usable"].toBool());

    // The second signature and its manifest removed: the first is still archived by the time
    // stamp, which proves nothing now.
    const auto removed = timestamps_of("pratica-archivio-firma-rimossa.asice");
    ASSERT_EQ(removed.size(), 1u);
    EXPECT_EQ(removed[0].signer, 0u);
    const std::string missing = "\" elencato dal manifesto d'archivio non è presente nel contenitore: la marca "
                                "temporale d'archivio non ne prova l'esistenza.";
    EXPECT_EQ(removed[0].coverage_errors, (std::vector<std::string>{"Il file \"META-INF/ASiCManifest002.xml" + missing,
                                                                    "Il file \"META-INF/signature002.p7s" + missing}));
    EXPECT_FALSE(removed[0].verified());
    const Verdict removed_verdict = verify("pratica-archivio-firma-rimossa.asice");
    EXPECT_EQ(removed_verdict.exit_code, Exit_errors) << removed_verdict.text;
    ASSERT_EQ(removed_verdict.layer(0)["signatures"].toArray().size(), 1);
    EXPECT_TRUE(has_line(removed_verdict.lines(0), "error: Il file \"META-INF/signature002.p7s" + missing))
        << removed_verdict.lines(0);
}

TEST_F(Asic_archive_files_test, archive_manifests_listing_one_another_are_checked_a_bounded_few)
{
    const auto start = std::chrono::steady_clock::now();
    const auto timestamps = timestamps_of("archivi-intrecciati.asice");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    // Sixteen checked, none a proof; the others left out, and said so.
    ASSERT_EQ(timestamps.size(), 16u);
    for (const Timestamp_info& timestamp : timestamps)
        EXPECT_FALSE(timestamp.verified());
    const Verdict verdict = verify("archivi-intrecciati.asice");
    EXPECT_EQ(verdict.exit_code, Exit_errors) << verdict.text;
    ASSERT_EQ(verdict.layer(0)["signatures"].toArray().size(), 1);
    EXPECT_TRUE(signature(verdict, 0)["proven_by"].isNull());
    EXPECT_TRUE(has_line(verdict.lines(0), "warning: Il file \"META-INF/ASiCArchiveManifest039.xml\" del contenitore "
                                           "non è stato verificato: ciò che attesta non è considerato."))
        << verdict.lines(0);
}

TEST_F(Asic_archive_files_test, the_archive_time_stamp_keeps_a_signature_valid_after_its_certificate_expired)
{
    // Expired on 1 January 2022, archived on 1 June 2021: judged then.
    const Verdict verdict = verify("pratica-scaduta-archivio.asice");
    EXPECT_EQ(verdict.exit_code, Exit_success) << verdict.text;
    const QJsonObject signed_by = signature(verdict, 0);
    EXPECT_TRUE(has_line(status_of(signed_by), "info: Il certificato è scaduto il 01/01/2022; la firma esisteva già il "
                                               "01/06/2021 10:00:00 (UTC) (marca temporale di TSA Accreditata Demo)."))
        << verdict.text;
    EXPECT_EQ(signed_by["proven_by"].toObject()["kind"].toString(), "archive");
    EXPECT_EQ(signed_by["proven_at"].toString(), "2021-06-01T10:00:00Z");

    // The same container without its archive manifest: the expired certificate is an error.
    const Verdict bare = verify("pratica-scaduta.asice");
    EXPECT_EQ(bare.exit_code, Exit_errors) << bare.text;
    EXPECT_TRUE(signature(bare, 0)["proven_by"].isNull() || signature(bare, 0)["proven_by"].isUndefined());
}

TEST_F(Asic_archive_files_test, one_unreadable_signature_is_an_error_of_its_own_beside_the_sound_one)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"pratica-firma-illeggibile.asice", "La firma \"META-INF/signature002.p7s\" del contenitore non è leggibile."},
        {"pratica-firma-mancante.asice",
         "Il file \"META-INF/signature002.p7s\" indicato dalla firma non è presente nel contenitore."},
        {"pratica-manifesto-illeggibile.asice", "Il manifesto \"META-INF/ASiCManifest002.xml\" del contenitore non è "
                                                "leggibile: la firma che vi si riferisce non può essere verificata."},
    };
    for (const auto& [name, text] : cases) {
        const Verdict verdict = verify(name);
        EXPECT_EQ(verdict.exit_code, Exit_errors) << name << "\n" << verdict.text;
        ASSERT_EQ(verdict.layer(0)["signatures"].toArray().size(), 2) << name << "\n" << verdict.text;
        // The sound signature is shown as it is, covering its files.
        EXPECT_EQ(names(signature(verdict, 0)["covers"]),
                  (QStringList{"contratto.txt", "allegati/allegato tecnico.txt"}))
            << name;
        EXPECT_EQ(status_of(signature(verdict, 0)).find("error: "), std::string::npos)
            << name << "\n"
            << status_of(signature(verdict, 0));
        EXPECT_TRUE(has_line(status_of(signature(verdict, 1)), "error: " + text)) << name << "\n"
                                                                                  << status_of(signature(verdict, 1));
        EXPECT_TRUE(signature(verdict, 1)["covers"].toArray().isEmpty()) << name;
        EXPECT_TRUE(verdict.layer(0)["uncovered"].toArray().isEmpty()) << name;
    }

    // Nothing in it can be read: the container is refused as a whole.
    const Verdict refused = verify("pratica-sola-firma-illeggibile.asice");
    EXPECT_EQ(refused.exit_code, Exit_errors) << refused.text;
    EXPECT_TRUE(refused.layer(0)["signatures"].toArray().isEmpty()) << refused.text;
}

} // namespace
} // namespace velin
