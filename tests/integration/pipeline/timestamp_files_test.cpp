// Time-stamped files as the verifier meets them, made by tools/make-timestamp-fixtures with the
// OpenSSL command line and verified by the program in batch mode, revocation checked against the
// test PKI's lists: .m7m variants, signature time stamps, .tsd files, detached .tsr / .tst time
// stamps, and the broken cases.
#include "VelinVerify/app/batch_report.h"
#include "VelinVerify/pipeline/timestamp_record.h"
#include "batch_verifier.h"
#include "envelope/signed_document_info.h"
#include "generated_fixtures.h"

#include <tuple>

namespace velin {
namespace {

using test::Verdict;

class Timestamp_files_test : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        generated = new test::Generated_fixtures(VELIN_TIMESTAMP_FIXTURES, [](const std::filesystem::path& folder) {
            return std::string("'") + VELIN_SOURCE_DIR + "/tools/make-timestamp-fixtures/make-timestamp-fixtures' '" +
                   folder.string() + "'";
        });
        fixtures = generated->path();
        ASSERT_FALSE(fixtures.empty()) << "the fixture generator failed: " << generated->failure();
    }
    static void TearDownTestSuite()
    {
        delete generated;
        generated = nullptr;
    }

    Verdict verify(const std::string& name, const QStringList& extra = {}, bool json = true)
    {
        return verifier.verify(fixtures / name, extra, json);
    }

    static bool has(const std::string& lines, const std::string& line) { return test::has_line(lines, line); }

    static test::Generated_fixtures* generated;
    static std::filesystem::path fixtures;
    test::Batch_verifier verifier;
};

test::Generated_fixtures* Timestamp_files_test::generated = nullptr;
std::filesystem::path Timestamp_files_test::fixtures;

TEST_F(Timestamp_files_test, every_m7m_variant_is_read_and_its_time_stamp_verified)
{
    for (const std::string name : {"contratto.txt.m7m", "variant-token.txt.m7m", "variant-binary-base64.txt.m7m"}) {
        const Verdict verdict = verify(name);
        EXPECT_EQ(verdict.exit_code, Exit_success) << name << "\n" << verdict.text;
        const std::string lines = verdict.lines(0);
        EXPECT_NE(lines.find("info: Marca temporale: "), std::string::npos) << name;
        EXPECT_NE(lines.find(" (UTC), TSA Accreditata Demo\n"), std::string::npos) << name;
        EXPECT_TRUE(verdict.timestamp(0)["verified"].toBool()) << name;
        EXPECT_TRUE(verdict.timestamp(0)["trusted"].toBool()) << name;
        // The signer is judged at the time stamp's time.
        EXPECT_EQ(verdict.layer(0)["signatures"].toArray()[0].toObject()["judged_at"], verdict.timestamp(0)["time"]);
    }

    // A time-stamped PDF without envelope: the time stamp and the document, with warnings.
    const Verdict unsigned_pdf = verify("documento-non-firmato.pdf.m7m");
    EXPECT_EQ(unsigned_pdf.exit_code, Exit_warnings) << unsigned_pdf.text;
    EXPECT_TRUE(has(unsigned_pdf.lines(0), "warning: Il documento non è firmato: ha soltanto la marca temporale."));
    EXPECT_TRUE(unsigned_pdf.timestamp(0)["verified"].toBool());
}

TEST_F(Timestamp_files_test, a_time_stamp_that_does_not_hold_is_never_relied_on)
{
    // Over other bytes: an error, and the signer is judged now.
    const Verdict other = verify("altri-byte.txt.m7m");
    EXPECT_EQ(other.exit_code, Exit_errors);
    EXPECT_TRUE(has(other.lines(0), "error: La marca temporale non corrisponde al documento."));
    EXPECT_TRUE(other.layer(0)["signatures"].toArray()[0].toObject()["judged_at"].isNull());

    // An authority without the time-stamping purpose, or on no list: warnings.
    const Verdict no_usage = verify("senza-uso.txt.m7m");
    EXPECT_EQ(no_usage.exit_code, Exit_warnings);
    EXPECT_TRUE(has(no_usage.lines(0), "warning: Il certificato dell'autorità di marcatura temporale non è abilitato "
                                       "alla marcatura temporale."));
    EXPECT_FALSE(no_usage.timestamp(0)["verified"].toBool());
    const Verdict unlisted = verify("non-elencata.txt.m7m");
    EXPECT_EQ(unlisted.exit_code, Exit_warnings);
    EXPECT_TRUE(has(unlisted.lines(0), "warning: L'autorità di marcatura temporale non è attendibile."));
    EXPECT_TRUE(unlisted.layer(0)["signatures"].toArray()[0].toObject()["judged_at"].isNull());

    // A token whose certificate was swapped for a twin with the same key: its signature checks, its
    // signing-certificate binding does not.
    const Verdict twin = verify("gemella.txt.m7m");
    EXPECT_EQ(twin.exit_code, Exit_errors);
    EXPECT_TRUE(has(twin.lines(0), "error: La firma della marca temporale non è valida."));
    EXPECT_FALSE(twin.timestamp(0)["verified"].toBool());
    EXPECT_TRUE(twin.layer(0)["signatures"].toArray()[0].toObject()["judged_at"].isNull());

    // A signature time stamp over another signature.
    const Verdict wrong_signature = verify("firma-altra.txt.p7m");
    EXPECT_EQ(wrong_signature.exit_code, Exit_errors);
    EXPECT_TRUE(has(wrong_signature.lines(0), "error: La marca temporale non corrisponde alla firma."));
}

TEST_F(Timestamp_files_test, an_authority_whose_revocation_cannot_be_checked_is_a_named_warning)
{
    // The authority's certificate names no CRL distribution point.
    const std::string named = "La revoca del certificato dell'autorità di marcatura temporale \"TSA Senza CRL Demo\" "
                              "non può essere rilevata.";
    const Verdict verdict = verify("senza-crl.txt.m7m");
    EXPECT_EQ(verdict.exit_code, Exit_warnings) << verdict.text;
    EXPECT_EQ(verdict.report["outcome"].toString(), "warnings");
    const std::string lines = verdict.lines(0);
    EXPECT_TRUE(has(lines, "warning: " + named)) << lines;
    EXPECT_TRUE(has(lines, "warning: Analisi del file completata con segnalazioni.")) << lines;
    EXPECT_EQ(lines.find("error: "), std::string::npos) << lines;

    // The same in the text report.
    const Verdict text = verify("senza-crl.txt.m7m", {}, false);
    EXPECT_EQ(text.exit_code, Exit_warnings) << text.text;
    EXPECT_NE(text.text.find(named), std::string::npos) << text.text;
    EXPECT_EQ(text.text.find("[errore]"), std::string::npos) << text.text;
    EXPECT_EQ(text.text.find("completata con successo"), std::string::npos) << text.text;
}

TEST_F(Timestamp_files_test, a_unit_revoked_for_a_compromise_or_unchecked_and_unvouched_moves_no_time)
{
    // The revoked signer, stamped before its revocation by units revoked since, on their own list.
    test::seed_crl(verifier.data / "cache", "http://127.0.0.1:8799/crl/tsa-revocate.crl",
                   fixtures / "tsa-revocate.crl");
    for (const auto& [name, authority, reason] :
         {std::tuple{"marca-compromessa.txt.p7m", "TSA Compromessa Demo", "compromissione della chiave"},
          std::tuple{"marca-senza-motivo.txt.p7m", "TSA Revocata Senza Motivo Demo", "non indicato"}}) {
        const Verdict verdict = verify(name);
        EXPECT_EQ(verdict.exit_code, Exit_errors) << name << "\n" << verdict.text;
        const std::string lines = verdict.lines(0);
        const std::string head = std::string("error: Il certificato dell'autorità di marcatura temporale \"") +
                                 authority + "\" è stato revocato il ";
        const std::string tail = std::string(" (UTC) (motivo: ") + reason + "): " + Text_unit_not_reliable + "\n";
        const size_t at = lines.find(head);
        ASSERT_NE(at, std::string::npos) << name << "\n" << lines;
        EXPECT_EQ(lines.find(tail, at), at + head.size() + 19) << name << "\n" << lines;
        // Judged now: revoked.
        EXPECT_TRUE(has(lines, "error: Il certificato è stato revocato.")) << name;
        EXPECT_TRUE(verdict.layer(0)["signatures"].toArray()[0].toObject()["judged_at"].isNull()) << name;
    }
    // Superseded since: the time stamp stands, as revocato-dopo's.
    const Verdict superseded = verify("marca-sostituita.txt.p7m");
    EXPECT_EQ(superseded.exit_code, Exit_success) << superseded.text;
    EXPECT_EQ(superseded.layer(0)["signatures"].toArray()[0].toObject()["judged_at"], superseded.timestamp(0)["time"]);

    // No list for the unit, and no qualified service of the lists vouching for it: said, and the
    // signer is judged now.
    const Verdict unchecked = verify("senza-crl.txt.m7m");
    EXPECT_TRUE(has(unchecked.lines(0), std::string("warning: ") + Text_unknown_unit_not_vouched)) << unchecked.text;
    EXPECT_TRUE(unchecked.layer(0)["signatures"].toArray()[0].toObject()["judged_at"].isNull());
    EXPECT_TRUE(unchecked.layer(0)["signatures"].toArray()[0].toObject()["proven_at"].isNull());
    EXPECT_TRUE(unchecked.layer(0)["signatures"].toArray()[0].toObject()["proven_by"].isNull());
}

TEST_F(Timestamp_files_test, a_token_that_does_not_name_its_certificate_is_no_time_reference)
{
    const Verdict unbound = verify("senza-certificato-indicato.txt.m7m");
    EXPECT_EQ(unbound.exit_code, Exit_warnings) << unbound.text;
    EXPECT_TRUE(has(unbound.lines(0), std::string("warning: ") + Text_timestamp_certificate_not_named))
        << unbound.lines(0);
    EXPECT_FALSE(unbound.timestamp(0)["verified"].toBool());
    EXPECT_TRUE(unbound.layer(0)["signatures"].toArray()[0].toObject()["judged_at"].isNull());
    // The same authority's token that names it.
    const Verdict bound = verify("contratto.txt.m7m");
    EXPECT_EQ(bound.exit_code, Exit_success);
    EXPECT_TRUE(bound.timestamp(0)["verified"].toBool());
}

TEST_F(Timestamp_files_test, a_signature_time_stamp_moves_the_validity_check_to_its_time)
{
    // Expired in 2022, stamped in 2021: valid then, by the list the file carries, issued in 2025
    // but keeping the certificates expired since 2020 (ExpiredCertsOnCRL).
    const Verdict expired = verify("scaduto-marcato.txt.p7m");
    EXPECT_EQ(expired.exit_code, Exit_success) << expired.text;
    EXPECT_TRUE(has(expired.lines(0), "info: Il certificato è valido."));
    EXPECT_TRUE(has(expired.lines(0), "info: La validità del certificato è verificata alla data della marca "
                                      "temporale: 01/06/2021 10:00:00 (UTC)."));
    EXPECT_TRUE(has(expired.lines(0), "info: Stato della lista e qualifica valutati alla data della marca "
                                      "temporale: 01/06/2021 10:00:00 (UTC)."));
    const QJsonObject signature = expired.layer(0)["signatures"].toArray()[0].toObject();
    EXPECT_EQ(signature["lists_judged_by"].toString(), "timestamp");
    EXPECT_EQ(signature["lists_judged_at"], expired.timestamp(0)["time"]);
    const Verdict text = verify("scaduto-marcato.txt.p7m", {}, false);
    EXPECT_NE(text.text.find("[informazione] Stato della lista e qualifica valutati alla data della marca temporale: "
                             "01/06/2021 10:00:00 (UTC)."),
              std::string::npos)
        << text.text;
    EXPECT_EQ(expired.timestamp(0)["scope"].toString(), "signature");
    EXPECT_EQ(expired.timestamp(0)["signer"].toInt(), 1);
    // Expired since the time stamp: said, with the proof the signature existed before.
    const std::string existed =
        "la firma esisteva già il 01/06/2021 10:00:00 (UTC) (marca temporale di TSA Accreditata Demo).";
    EXPECT_TRUE(has(expired.lines(0), "info: Il certificato è scaduto il 01/01/2022; " + existed)) << expired.text;
    EXPECT_EQ(signature["proven_at"], expired.timestamp(0)["time"]);
    EXPECT_EQ(signature["proven_by"].toObject()["authority"].toString(), "TSA Accreditata Demo");
    EXPECT_EQ(signature["proven_by"].toObject()["kind"].toString(), "signature");

    // Without it only the CA's list of 2025 answers: it no longer names expired certificates, so
    // its silence does not say the signer was not revoked before the time stamp.
    const Verdict unknown = verify("scaduto-marcato-senza-archivio.txt.p7m");
    EXPECT_EQ(unknown.exit_code, Exit_errors) << unknown.text;
    EXPECT_FALSE(has(unknown.lines(0), "info: Il certificato è valido.")) << unknown.text;
    EXPECT_TRUE(has(unknown.lines(0), "warning: Il certificato è scaduto e le liste di revoca disponibili, emesse dopo "
                                      "la scadenza, non indicano se era stato revocato prima: la revoca non può essere "
                                      "rilevata."))
        << unknown.text;
    EXPECT_TRUE(has(unknown.lines(0), "error: La validità del certificato non può essere rilevata.")) << unknown.text;

    // Revoked on 1 June 2025: stamped before, the signature stands; stamped after, it does not.
    const Verdict revoked_later = verify("revocato-dopo.txt.p7m");
    EXPECT_EQ(revoked_later.exit_code, Exit_success);
    EXPECT_TRUE(has(revoked_later.lines(0), "info: Il certificato è stato revocato il 01/06/2025 00:00:00 (UTC); la "
                                            "firma esisteva già il 01/03/2025 10:00:00 (UTC) (marca temporale di TSA "
                                            "Accreditata Demo)."))
        << revoked_later.text;
    const Verdict revoked = verify("revocato-prima.txt.p7m");
    EXPECT_EQ(revoked.exit_code, Exit_errors);
    EXPECT_TRUE(has(revoked.lines(0), "error: Il certificato è stato revocato."));
    EXPECT_EQ(revoked.layer(0)["signatures"].toArray()[0].toObject()["proven_at"], revoked.timestamp(0)["time"]);

    EXPECT_EQ(verify("firma-marcata.txt.p7m").exit_code, Exit_success);
}

TEST_F(Timestamp_files_test, timestamped_data_is_read_with_its_renewals_and_its_envelope_is_a_layer)
{
    for (const std::string name : {"contratto.txt.p7m.tsd", "contratto-ber.txt.p7m.tsd", "rinnovata.txt.p7m.tsd"}) {
        const Verdict verdict = verify(name);
        EXPECT_EQ(verdict.exit_code, Exit_success) << name << "\n" << verdict.text;
        ASSERT_EQ(verdict.layers().size(), 2) << name;
        EXPECT_TRUE(verdict.timestamp(0)["verified"].toBool()) << name;
        // The envelope inside is judged at the .tsd's first time stamp.
        EXPECT_EQ(verdict.layer(1)["signatures"].toArray()[0].toObject()["judged_at"], verdict.timestamp(0)["time"]);
        EXPECT_EQ(verdict.layer(1)["document"].toString().toStdString().substr(0, 9), name.substr(0, 9));
    }
    EXPECT_EQ(verify("rinnovata.txt.p7m.tsd").layer(0)["timestamps"].toArray().size(), 2);

    // Protected metadata and a plain document: its name, the time stamp, warnings.
    const Verdict plain = verify("contratto-metadati.tsd");
    EXPECT_EQ(plain.exit_code, Exit_warnings) << plain.text;
    EXPECT_EQ(plain.layer(0)["document"].toString(), "contratto.txt");
    EXPECT_TRUE(plain.timestamp(0)["verified"].toBool());

    // A renewal over something else, and a truncated envelope inside: errors.
    const Verdict broken = verify("rinnovo-rotto.txt.p7m.tsd");
    EXPECT_EQ(broken.exit_code, Exit_errors);
    EXPECT_TRUE(has(broken.lines(0), "error: La marca temporale non rinnova la marca precedente."));
    const Verdict truncated = verify("busta-troncata.p7m.tsd");
    EXPECT_EQ(truncated.exit_code, Exit_errors);
    ASSERT_EQ(truncated.layers().size(), 2);
    EXPECT_TRUE(has(truncated.lines(1), "error: Il file è corrotto o non è un documento firmato."));
}

TEST_F(Timestamp_files_test, a_detached_time_stamp_is_checked_against_the_file_beside_it)
{
    // A reply beside its file, a bare token beside another, and a reply named otherwise with the
    // file given: each covers its file, verified, by the trusted authority, at its time.
    const std::string file_line = "info: Marca temporale separata del documento \"";
    for (const auto& [name, document, extra] :
         {std::tuple{"contratto.txt.tsr", "contratto.txt", QStringList{}},
          std::tuple{"documento.xml.tst", "documento.xml", QStringList{}},
          std::tuple{"marca-del-contratto.tsr", "contratto.txt",
                     QStringList{"--content", QString::fromStdString((fixtures / "contratto.txt").string())}}}) {
        const Verdict verdict = verify(name, extra);
        EXPECT_EQ(verdict.exit_code, Exit_warnings) << name << "\n" << verdict.text;
        const std::string lines = verdict.lines(0);
        EXPECT_TRUE(has(lines, file_line + document + "\".")) << name << "\n" << lines;
        EXPECT_NE(lines.find("info: Marca temporale: "), std::string::npos) << name;
        EXPECT_TRUE(has(lines, "warning: Il documento non è firmato: ha soltanto la marca temporale.")) << lines;
        EXPECT_EQ(lines.find("error: "), std::string::npos) << name << "\n" << lines;
        EXPECT_EQ(verdict.layer(0)["document"].toString().toStdString(), document) << name;
        EXPECT_TRUE(verdict.layer(0)["signatures"].toArray().isEmpty()) << name;
        ASSERT_EQ(verdict.layer(0)["timestamps"].toArray().size(), 1) << name;
        EXPECT_EQ(verdict.timestamp(0)["scope"].toString(), "document") << name;
        EXPECT_EQ(verdict.timestamp(0)["authority"].toString(), "TSA Accreditata Demo") << name;
        EXPECT_FALSE(verdict.timestamp(0)["time"].isNull()) << name;
        EXPECT_TRUE(verdict.timestamp(0)["verified"].toBool()) << name;
        EXPECT_TRUE(verdict.timestamp(0)["trusted"].toBool()) << name;
    }

    // The file changed since: the time stamp does not match it.
    const Verdict changed = verify("modificato.txt.tsr");
    EXPECT_EQ(changed.exit_code, Exit_errors) << changed.text;
    EXPECT_TRUE(has(changed.lines(0), "error: La marca temporale non corrisponde al documento.")) << changed.text;
    EXPECT_FALSE(changed.timestamp(0)["verified"].toBool());

    // No file beside it: said in our words, nothing called intact or mismatched.
    const Verdict missing = verify("assente.txt.tsr", {}, false);
    EXPECT_EQ(missing.exit_code, Exit_errors) << missing.text;
    EXPECT_NE(missing.text.find(detached_timestamp_document_missing_text), std::string::npos) << missing.text;
    EXPECT_EQ(missing.text.find("integro"), std::string::npos) << missing.text;
    EXPECT_EQ(missing.text.find("non corrisponde"), std::string::npos) << missing.text;

    // A refused request: no token, and the refusal said.
    const Verdict refused = verify("rifiutata.txt.tsr");
    EXPECT_EQ(refused.exit_code, Exit_errors) << refused.text;
    EXPECT_TRUE(has(refused.lines(0), std::string("error: ") + Text_timestamp_refused)) << refused.text;

    // A token named as an envelope is read as it was: a signature by the authority.
    const Verdict envelope = verify("marca-come-busta.p7m");
    EXPECT_EQ(envelope.layer(0)["signatures"].toArray().size(), 1) << envelope.text;
}

TEST_F(Timestamp_files_test, countersignatures_are_listed_under_their_signer_and_weak_digests_flagged)
{
    const Verdict sound = verify("controfirmato.txt.p7m");
    EXPECT_EQ(sound.exit_code, Exit_success) << sound.text;
    const QJsonObject signature = sound.layer(0)["signatures"].toArray()[0].toObject();
    ASSERT_EQ(signature["countersignatures"].toArray().size(), 1);
    const QJsonObject countersignature = signature["countersignatures"].toArray()[0].toObject();
    EXPECT_TRUE(countersignature["matches"].toBool());
    EXPECT_TRUE(
        has(sound.lines(0), "info: Controfirma di " + countersignature["signer"].toString().toStdString() + "."));

    const Verdict wrong = verify("controfirma-errata.txt.p7m");
    EXPECT_EQ(wrong.exit_code, Exit_errors);
    EXPECT_TRUE(has(wrong.lines(0), "error: La controfirma non corrisponde alla firma."));

    const Verdict weak = verify("sha1.txt.p7m");
    EXPECT_EQ(weak.exit_code, Exit_warnings);
    EXPECT_TRUE(has(weak.lines(0), "warning: L'algoritmo di hash della firma non è più considerato sicuro."));
}

} // namespace
} // namespace velin
