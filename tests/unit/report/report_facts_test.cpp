// The facts the written reports give of signers and time stamps: the certificate's fields and the
// indication each state of a signature leads to.
#include "VelinVerify/pipeline/signer_record.h"
#include "VelinVerify/pipeline/timestamp_record.h"
#include "VelinVerify/report/report_facts.h"
#include "envelope/signed_document_info.h"
#include "test_paths.h"

#include <gtest/gtest.h>

#include <openssl/pem.h>

#include <cstdio>
#include <filesystem>

namespace velin {
namespace {

Certificate pki_certificate(const std::string& name)
{
    const std::string path = (std::filesystem::path(VELIN_PKI_FIXTURES) / (name + ".cert.pem")).string();
    std::FILE* file = std::fopen(path.c_str(), "r");
    EXPECT_NE(file, nullptr) << path;
    if (!file)
        return {};
    X509* x509 = PEM_read_X509(file, nullptr, nullptr, nullptr);
    std::fclose(file);
    return Certificate(x509, true);
}

// A signature that matches, by a certificate whose chain reached a root and that is not revoked.
struct Good_signer {
    Good_signer()
    {
        signature.integrity.assign(Signature_integrity::Intact);
        record.certificate.assign(pki_certificate("signer-legal"));
        record.chain.assign(
            {record.certificate.value(), pki_certificate("accredited-ca"), pki_certificate("accredited-root")});
        record.revocation_status = Revocation_status::Valid;
    }
    Report_indication indication() const { return signer_indication(signature, record); }

    Signature_info signature;
    Signer_record record;
};

Report_indication passed()
{
    return {Report_indication::Main::Total_passed, {}};
}
Report_indication failed(const char* sub)
{
    return {Report_indication::Main::Total_failed, sub};
}
Report_indication indeterminate(const char* sub)
{
    return {Report_indication::Main::Indeterminate, sub};
}

TEST(Report_indication, EachStateOfASignatureHasItsIndication)
{
    EXPECT_EQ(Good_signer().indication(), passed());

    Good_signer altered;
    altered.signature.integrity.assign(Signature_integrity::Not_intact);
    EXPECT_EQ(altered.indication(), failed("HASH_FAILURE"));

    Good_signer revoked;
    revoked.record.revocation_status = Revocation_status::Revoked;
    EXPECT_EQ(revoked.indication(), failed("REVOKED"));

    Good_signer no_chain;
    no_chain.record.chain.set_failed({});
    EXPECT_EQ(no_chain.indication(), indeterminate("NO_CERTIFICATE_CHAIN_FOUND"));

    Good_signer forged_issuer;
    forged_issuer.record.chain.set_failed({});
    forged_issuer.record.issuer_signature_failed = true;
    EXPECT_EQ(forged_issuer.indication(), indeterminate("CERTIFICATE_CHAIN_GENERAL_FAILURE"));

    Good_signer without_certificate;
    without_certificate.record.certificate.set_failed("La lettura del certificato del firmatario è fallita.");
    EXPECT_EQ(without_certificate.indication(), indeterminate("NO_SIGNING_CERTIFICATE_FOUND"));

    Good_signer other_certificate;
    other_certificate.signature.signing_certificate_mismatch = true;
    EXPECT_EQ(other_certificate.indication(), indeterminate("NO_SIGNING_CERTIFICATE_FOUND"));

    Good_signer detached;
    detached.signature.integrity.set_failed("no document");
    detached.signature.document_missing = true;
    EXPECT_EQ(detached.indication(), indeterminate("SIGNED_DATA_NOT_FOUND"));

    Good_signer unreadable;
    unreadable.signature.integrity.set_failed("cannot check");
    EXPECT_EQ(unreadable.indication(), failed("FORMAT_FAILURE"));

    Good_signer changed;
    changed.signature.later_changes.forbidden = "pagine aggiunte";
    EXPECT_EQ(changed.indication(), indeterminate("SIG_CONSTRAINTS_FAILURE"));

    Good_signer not_checked;
    not_checked.record.revocation_status = Revocation_status::Not_determinable;
    EXPECT_EQ(not_checked.indication(), indeterminate("TRY_LATER"));
    not_checked.record.revocation_status = Revocation_status::Update_disabled;
    EXPECT_EQ(not_checked.indication(), indeterminate("TRY_LATER"));
}

TEST(Report_indication, AnExpiredCertificateFailsOnlyWithAProofOfTheTimeItWasUsed)
{
    Good_signer expired;
    expired.record.revocation_status = Revocation_status::Expired;
    // Nothing proves the signature was made while the certificate was valid.
    EXPECT_EQ(expired.indication(), indeterminate("OUT_OF_BOUNDS_NO_POE"));
    // A time stamp proves it was made after the certificate's end.
    expired.record.judged_at = 1700000000;
    EXPECT_EQ(expired.indication(), failed("EXPIRED"));

    Good_signer early;
    early.record.revocation_status = Revocation_status::Not_yet_valid;
    EXPECT_EQ(early.indication(), failed("NOT_YET_VALID"));
}

TEST(Report_indication, AFailureOfTheSignatureOutweighsEverythingTheCertificateSays)
{
    Good_signer signer;
    signer.signature.integrity.assign(Signature_integrity::Not_intact);
    signer.record.revocation_status = Revocation_status::Revoked;
    signer.record.chain.set_failed({});
    EXPECT_EQ(signer.indication(), failed("HASH_FAILURE"));
    // A revoked certificate fails the signature however incomplete its chain.
    signer.signature.integrity.assign(Signature_integrity::Intact);
    EXPECT_EQ(signer.indication(), failed("REVOKED"));
}

TEST(Report_indication, ATimeStampPassesOnlyVerifiedByATrustedAuthority)
{
    Timestamp_record record;
    EXPECT_EQ(timestamp_indication(record), failed("FORMAT_FAILURE"));
    record.info.read = true;
    EXPECT_EQ(timestamp_indication(record), failed("HASH_FAILURE"));
    record.info.imprint_matches = true;
    EXPECT_EQ(timestamp_indication(record), failed("SIG_CRYPTO_FAILURE"));
    record.info.signature_valid = true;
    EXPECT_EQ(timestamp_indication(record), indeterminate("SIG_CONSTRAINTS_FAILURE"));
    record.info.certificate_named = record.info.time_stamping_usage = record.info.certificate_current = true;
    EXPECT_EQ(timestamp_indication(record), indeterminate("NO_CERTIFICATE_CHAIN_FOUND"));
    record.trusted.assign(false);
    EXPECT_EQ(timestamp_indication(record), indeterminate("NO_CERTIFICATE_CHAIN_FOUND"));
    record.trusted.assign(true);
    record.revocation = Revocation_status::Valid;
    EXPECT_EQ(timestamp_indication(record), passed());
    record.revoked = true;
    record.revocation = Revocation_status::Revoked;
    EXPECT_EQ(timestamp_indication(record), failed("REVOKED"));
}

TEST(Report_certificate, TheFieldsAClerkReadsAreTakenFromTheCertificate)
{
    const Report_certificate legal = report_certificate(pki_certificate("signer-legal"));
    EXPECT_EQ(legal.fiscal_code, "RSSMRA80A01L999X");
    EXPECT_NE(legal.subject.find("ROSSI MARIO"), std::string::npos) << legal.subject;
    EXPECT_NE(legal.issuer.find("Certificatore Accreditato Demo Firma Qualificata CA"), std::string::npos);
    EXPECT_EQ(legal.serial, "1001");
    ASSERT_TRUE(legal.not_before && legal.not_after);
    EXPECT_LT(*legal.not_before, *legal.not_after);
    EXPECT_EQ(legal.sha256.size(), 32u);

    // An authority has no fiscal code; an empty certificate gives nothing rather than failing.
    EXPECT_EQ(report_certificate(pki_certificate("accredited-ca")).fiscal_code, "");
    EXPECT_EQ(report_certificate(Certificate()).serial, "");
}

TEST(Report_signer, TheChainAboveTheSignerEndsAtItsRoot)
{
    Good_signer good;
    const Report_signer signer = report_signer(good.signature, good.record);
    ASSERT_TRUE(signer.certificate);
    ASSERT_EQ(signer.chain.size(), 2u);
    EXPECT_TRUE(signer.chain_complete);
    EXPECT_NE(signer.chain[1].subject.find("Root"), std::string::npos) << signer.chain[1].subject;
    EXPECT_EQ(signer.revocation, "certificato non revocato");

    good.signature.changed_after = true;
    good.signature.later_changes.allowed = "una firma aggiunta";
    good.record.chain.set_failed({});
    const Report_signer incomplete = report_signer(good.signature, good.record);
    EXPECT_FALSE(incomplete.chain_complete);
    EXPECT_TRUE(incomplete.chain.empty());
    EXPECT_TRUE(incomplete.changed_after);
    EXPECT_EQ(incomplete.later_allowed, "una firma aggiunta");
}

// The bytes of an answer or list, as the revocation check keeps them.
std::shared_ptr<const std::vector<uint8_t>> bytes_of(const std::string& text)
{
    return std::make_shared<const std::vector<uint8_t>>(text.begin(), text.end());
}

// A revocation dated after the time stamp's time the certificate was judged at: named, with the
// list's digest, and said not to count.
TEST(Report_revocation, ARevocationAfterTheTimeJudgedAtIsNamedAndSaidNotToCount)
{
    Signer_record record;
    record.revocation_status = Revocation_status::Valid;
    record.revocation_source = Revocation_source::Crl;
    record.revoked_at = 1748736000; // 01/06/2025 00:00:00 UTC
    record.revocation_reason = 1;
    record.judged_at = 1740000000;
    record.revocation_evidence = {"http://127.0.0.1:8799/crl/ca.crl", false, 1748000000, 1750000000, bytes_of("abc")};
    const Report_revocation revocation = report_revocation(record);
    EXPECT_TRUE(revocation.revoked);
    EXPECT_EQ(revocation.judged_at, 1740000000);
    EXPECT_EQ(revocation.answer, "certificato revocato il 01/06/2025 00:00:00 (UTC) (motivo: compromissione della "
                                 "chiave), dopo l'ora a cui è valutato: a quell'ora non era revocato");
    // SHA-256 of "abc".
    const std::vector<uint8_t> abc = {0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40,
                                      0xde, 0x5d, 0xae, 0x22, 0x23, 0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17,
                                      0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
    EXPECT_EQ(revocation.sha256, abc);
}

TEST(Report_revocation, EachSourceIsNamedAndNothingIsNamedWhenNothingDecided)
{
    Signer_record record;
    record.revocation_status = Revocation_status::Valid;
    record.revocation_source = Revocation_source::Ocsp;
    record.revocation_evidence = {"http://127.0.0.1:8800/ocsp", false, 1748000000, std::nullopt, bytes_of("x")};
    EXPECT_EQ(revocation_source_text(report_revocation(record)),
              "risposta OCSP del responder http://127.0.0.1:8800/ocsp");
    EXPECT_EQ(report_revocation(record).answer, "certificato non revocato");
    record.revocation_evidence.from_cache = true;
    EXPECT_EQ(revocation_source_text(report_revocation(record)),
              "risposta OCSP del responder http://127.0.0.1:8800/ocsp, conservata da una verifica precedente");
    record.revocation_from_file = true;
    record.revocation_evidence = {{}, false, 1748000000, std::nullopt, bytes_of("x")};
    EXPECT_EQ(revocation_source_text(report_revocation(record)), "risposta OCSP contenuta nel file firmato");
    record.revocation_source = Revocation_source::Crl;
    EXPECT_EQ(revocation_source_text(report_revocation(record)), "lista di revoca (CRL) contenuta nel file firmato");

    // A source without the bytes that decided, or bytes without a source, are no evidence.
    record.revocation_evidence.der = nullptr;
    EXPECT_EQ(revocation_source_text(report_revocation(record)), "nessuna");
    EXPECT_TRUE(report_revocation(record).sha256.empty());
    record.revocation_source = Revocation_source::None;
    record.revocation_evidence.der = bytes_of("x");
    EXPECT_TRUE(report_revocation(record).sha256.empty());
}

TEST(Report_revocation, AnUnknownRevocationSaysWhy)
{
    const auto answer = [](auto change) {
        Signer_record record;
        record.revocation_status = Revocation_status::Not_determinable;
        change(record);
        return report_revocation(record).answer;
    };
    EXPECT_EQ(answer([](Signer_record&) {}),
              "non determinabile: nessuna lista di revoca né risposta OCSP utilizzabile è stata ottenuta");
    EXPECT_EQ(answer([](Signer_record& r) { r.revocation_unknown_to_responder = true; }),
              "non determinabile: il responder OCSP non conosce il certificato");
    EXPECT_NE(answer([](Signer_record& r) { r.revocation_silent_after_expiry = true; }).find("dopo la scadenza"),
              std::string::npos);
    // Without the issuer no list could be used, whatever the setting: that, not the setting, is why.
    EXPECT_NE(answer([](Signer_record& r) {
                  r.revocation_status = Revocation_status::Update_disabled;
                  r.revocation_issuer = 2;
              }).find("manca l'emittente del certificato"),
              std::string::npos);
    EXPECT_NE(answer([](Signer_record& r) {
                  r.revocation_status = Revocation_status::Update_disabled;
                  r.revocation_no_source = true;
              }).find("né una lista di revoca né un responder OCSP"),
              std::string::npos);
    EXPECT_EQ(answer([](Signer_record& r) { r.revocation_status = Revocation_status::Update_disabled; }),
              "non verificata: l'aggiornamento delle liste di revoca è disabilitato");

    // A time-stamping unit's check, with the time of the later proof it was judged at.
    Timestamp_record unit;
    unit.revocation = Revocation_status::Revoked;
    unit.revoked = true;
    unit.revoked_at = 1748736000;
    unit.revocation_source = Revocation_source::Crl;
    unit.revocation_evidence = {"http://127.0.0.1:8799/crl/tsa.crl", false, 1748000000, std::nullopt, bytes_of("y")};
    unit.authority_judged_at = 1760000000;
    const Report_revocation of_unit = report_revocation(unit);
    EXPECT_EQ(of_unit.answer, "certificato revocato il 01/06/2025 00:00:00 (UTC)");
    EXPECT_EQ(of_unit.judged_at, 1760000000);
    EXPECT_EQ(of_unit.sha256.size(), 32u);
}

TEST(Report_signer, TheTimeStampsThatCoverASignatureAndTheOneThatGaveItsTime)
{
    const auto stamp = [](Timestamp_scope scope, size_t signer, std::time_t time) {
        Timestamp_record record;
        record.info.read = true;
        record.info.scope = scope;
        record.info.signer = signer;
        record.info.time = time;
        return record;
    };
    std::vector<Timestamp_record> timestamps = {
        stamp(Timestamp_scope::Signature, 1, 100), stamp(Timestamp_scope::References, 0, 200),
        stamp(Timestamp_scope::Signature, 0, 300), stamp(Timestamp_scope::Document, 0, 400),
        stamp(Timestamp_scope::Archive, 0, 500),
    };
    timestamps.push_back(stamp(Timestamp_scope::Signature, 0, 600));
    timestamps.back().info.read = false; // no token: nothing to refer to
    Signer_record record;
    record.proof = Existence_proof{300, "TSA", Timestamp_scope::Signature, false};
    Report_signer signer;
    link_timestamps(signer, 0, record, timestamps);
    EXPECT_EQ(signer.timestamps, (std::vector<size_t>{2, 3, 4}));
    EXPECT_EQ(signer.proof_timestamp, 2u);

    // A proof of another kind at the same time is another time stamp.
    record.proof = Existence_proof{300, "TSA", Timestamp_scope::Document, false};
    Report_signer other;
    link_timestamps(other, 0, record, timestamps);
    EXPECT_FALSE(other.proof_timestamp);
}

Report_signer signed_up_to(uint64_t end)
{
    Report_signer signer;
    signer.revision_end = end;
    return signer;
}
Report_timestamp stamped_up_to(uint64_t end, bool inherited = false)
{
    Report_timestamp timestamp;
    timestamp.revision_end = end;
    timestamp.inherited = inherited;
    return timestamp;
}

TEST(Report_revisions, APdfsRevisionsFollowTheFileWithWhatClosesEach)
{
    // Signatures listed as the form lists them, not in the order of the file; a document time
    // stamp between them, a signature time stamp (no revision of its own) and an outer layer's.
    Report_layer_facts layer;
    layer.signers = {signed_up_to(9000), signed_up_to(4000)};
    layer.timestamps = {stamped_up_to(0), stamped_up_to(6000), stamped_up_to(12000, true)};
    layer.pdf_length = 9000;
    std::vector<Report_revision> revisions = report_revisions(layer);
    ASSERT_EQ(revisions.size(), 3u);
    EXPECT_EQ(revisions[0].end, 4000u);
    EXPECT_EQ(revisions[0].signature, std::optional<size_t>(1));
    EXPECT_EQ(revisions[1].end, 6000u);
    EXPECT_EQ(revisions[1].timestamp, std::optional<size_t>(1));
    EXPECT_FALSE(revisions[1].signature);
    EXPECT_EQ(revisions[2].signature, std::optional<size_t>(0));

    // Bytes after the last signed revision: one more, which nothing closes.
    layer.pdf_length = 9500;
    revisions = report_revisions(layer);
    ASSERT_EQ(revisions.size(), 4u);
    EXPECT_EQ(revisions[3].end, 9500u);
    EXPECT_FALSE(revisions[3].signature || revisions[3].timestamp);

    // Not a PDF (no signature closes a revision): none, whatever the length says.
    Report_layer_facts envelope;
    envelope.signers = {signed_up_to(0)};
    envelope.pdf_length = 100;
    EXPECT_TRUE(report_revisions(envelope).empty());
}

TEST(Report_container_files, EachFileWithItsSizeAndSha256)
{
    Signed_document_info info;
    EXPECT_TRUE(report_container_files(info).empty());
    Envelope_info envelope;
    const std::string text = "abc";
    envelope.container_files = {
        {"contratto.txt", Document_bytes(std::vector<uint8_t>(text.begin(), text.end())), false},
        {"vuoto.txt", Document_bytes(std::vector<uint8_t>{}), true}};
    info.envelope.assign(envelope);
    const std::vector<Report_container_file> files = report_container_files(info);
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].name, "contratto.txt");
    EXPECT_EQ(files[0].size, 3u);
    // SHA-256 of "abc" and of nothing.
    const std::vector<uint8_t> abc{0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40,
                                   0xde, 0x5d, 0xae, 0x22, 0x23, 0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17,
                                   0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
    EXPECT_EQ(files[0].sha256, abc);
    EXPECT_FALSE(files[0].timestamped);
    EXPECT_EQ(files[1].size, 0u);
    ASSERT_EQ(files[1].sha256.size(), 32u);
    EXPECT_EQ(files[1].sha256[0], 0xe3);
    EXPECT_TRUE(files[1].timestamped);
}

} // namespace
} // namespace velin
