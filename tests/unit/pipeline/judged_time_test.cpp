// The time a signature's trusted lists are judged at: a trusted time stamp that covers it, else
// the verification's, never the signing time the signer wrote. A PKI of the past and a national
// list made here: an authority granted from 2016 and withdrawn on 1 June 2024, and a qualified
// time-stamping service.
#include "VelinVerify/worker/cancel_flag.h"
#include "common/owner.h"
#include "pipeline_test_support.h"
#include "revocation_pki.h"
#include "trust/trusted_list_store.h"
#include "withdrawn_authority_list.h"

#include <gtest/gtest.h>

#include <openssl/cms.h>
#include <openssl/sha.h>
#include <openssl/ts.h>

#include <algorithm>
#include <mutex>

namespace velin {
namespace {

using test::has_line;

using test::utc;

int time_stamp_time(TS_RESP_CTX*, void* when, long* seconds, long* micros)
{
    *seconds = static_cast<long>(*static_cast<std::time_t*>(when));
    *micros = 0;
    return 1;
}

// An RFC 3161 token over bytes, dated when, by authority.
std::vector<uint8_t> time_stamp_token(std::span<const uint8_t> covered, const Certificate& authority,
                                      const test::Key& key, std::time_t when)
{
    unsigned char digest[32];
    SHA256(covered.data(), covered.size(), digest);
    const std::unique_ptr<TS_REQ, decltype(&TS_REQ_free)> request(TS_REQ_new(), TS_REQ_free);
    const std::unique_ptr<TS_MSG_IMPRINT, decltype(&TS_MSG_IMPRINT_free)> imprint(TS_MSG_IMPRINT_new(),
                                                                                  TS_MSG_IMPRINT_free);
    const std::unique_ptr<X509_ALGOR, decltype(&X509_ALGOR_free)> algorithm(X509_ALGOR_new(), X509_ALGOR_free);
    X509_ALGOR_set_md(algorithm.get(), EVP_sha256());
    TS_MSG_IMPRINT_set_algo(imprint.get(), algorithm.get());
    TS_MSG_IMPRINT_set_msg(imprint.get(), digest, sizeof digest);
    TS_REQ_set_version(request.get(), 1);
    TS_REQ_set_msg_imprint(request.get(), imprint.get());
    TS_REQ_set_cert_req(request.get(), 1);
    const Owner<BIO> query(BIO_new(BIO_s_mem()));
    i2d_TS_REQ_bio(query.get(), request.get());

    const std::unique_ptr<TS_RESP_CTX, decltype(&TS_RESP_CTX_free)> context(TS_RESP_CTX_new(), TS_RESP_CTX_free);
    const Owner<ASN1_OBJECT> policy(OBJ_txt2obj("1.3.6.1.4.1.99999.1.1", 1));
    TS_RESP_CTX_set_signer_cert(context.get(), authority.raw_handle());
    TS_RESP_CTX_set_signer_key(context.get(), key.get());
    TS_RESP_CTX_set_signer_digest(context.get(), EVP_sha256());
    TS_RESP_CTX_set_def_policy(context.get(), policy.get());
    TS_RESP_CTX_add_md(context.get(), EVP_sha256());
    TS_RESP_CTX_set_time_cb(context.get(), time_stamp_time, &when);
    const std::unique_ptr<TS_RESP, decltype(&TS_RESP_free)> reply(TS_RESP_create_response(context.get(), query.get()),
                                                                  TS_RESP_free);
    PKCS7* token = reply ? TS_RESP_get_token(reply.get()) : nullptr;
    unsigned char* der = nullptr;
    const int size = token ? i2d_PKCS7(token, &der) : 0;
    const Owner<unsigned char, Openssl_free> owned(der);
    return size > 0 ? std::vector<uint8_t>(der, der + size) : std::vector<uint8_t>{};
}

// The signer's certificate has no QcStatements: the list says it is qualified, on a device.
struct Past_pki : test::Withdrawn_authority_pki {
    test::Key signer_key = test::new_key();
    Certificate signer;
    // The same holder's earlier certificate, ended on 1 January 2024.
    Certificate expired_signer;
    // The time-stamping unit's earlier certificate, ended on 1 January 2025, and lists that grant it.
    Certificate expired_tsa;
    std::shared_ptr<Trusted_store> expired_tsa_store;

    Past_pki()
    {
        signer = test::make_certificate({.serial = 2,
                                         .common_name = "Firmatario retrodatato",
                                         .not_before = utc("2017-01-01T00:00:00Z"),
                                         .not_after = utc("2045-01-01T00:00:00Z"),
                                         .key_usage = "critical,nonRepudiation"},
                                        signer_key, ca, ca_key);
        expired_signer = test::make_certificate({.serial = 3,
                                                 .common_name = "Firmatario scaduto",
                                                 .not_before = utc("2017-01-01T00:00:00Z"),
                                                 .not_after = utc("2024-01-01T00:00:00Z"),
                                                 .key_usage = "critical,nonRepudiation"},
                                                signer_key, ca, ca_key);
        expired_tsa = test::make_certificate({.serial = 6,
                                              .common_name = "Marche scadute",
                                              .not_before = utc("2015-01-01T00:00:00Z"),
                                              .not_after = utc("2025-01-01T00:00:00Z"),
                                              .key_usage = "critical,digitalSignature",
                                              .extended_key_usage = "critical,timeStamping"},
                                             tsa_key, {}, {});
        expired_tsa_store = test::withdrawn_authority_store(ca, expired_tsa);
    }

    // An envelope whose signer states signing_time; with a time of stamped, a signature time stamp
    // of the listed authority at that time.
    std::vector<uint8_t> envelope(std::time_t signing_time, std::optional<std::time_t> stamped = {},
                                  const Certificate* by = nullptr, const Certificate* stamped_by = nullptr) const
    {
        const Certificate& signer = by ? *by : this->signer;
        const Certificate& tsa = stamped_by ? *stamped_by : this->tsa;
        const std::string text = "Contratto firmato con una data scelta dal firmatario.\n";
        const Owner<BIO> content(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
        const unsigned flags = CMS_BINARY | CMS_PARTIAL | CMS_NOSMIMECAP;
        const Owner<CMS_ContentInfo> cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
        CMS_SignerInfo* info = CMS_add1_signer(cms.get(), signer.raw_handle(), signer_key.get(), EVP_sha256(), flags);
        const Owner<ASN1_STRING> when(ASN1_TIME_set(nullptr, signing_time));
        CMS_signed_add1_attr_by_NID(info, NID_pkcs9_signingTime, ASN1_STRING_type(when.get()), when.get(), -1);
        EXPECT_EQ(CMS_final(cms.get(), content.get(), nullptr, CMS_BINARY), 1);
        if (stamped) {
            const ASN1_OCTET_STRING* value = CMS_SignerInfo_get0_signature(info);
            const std::vector<uint8_t> token = time_stamp_token(
                {ASN1_STRING_get0_data(value), static_cast<size_t>(ASN1_STRING_length(value))}, tsa, tsa_key, *stamped);
            EXPECT_FALSE(token.empty());
            CMS_unsigned_add1_attr_by_NID(info, NID_id_smime_aa_timeStampToken, V_ASN1_SEQUENCE, token.data(),
                                          static_cast<int>(token.size()));
        }
        unsigned char* der = nullptr;
        const int size = i2d_CMS_ContentInfo(cms.get(), &der);
        const Owner<unsigned char, Openssl_free> owned(der);
        return std::vector<uint8_t>(der, der + std::max(size, 0));
    }
};

class Judged_time_test : public ::testing::Test {
protected:
    void SetUp() override { cancel_flag() = false; }

    // Verifies the envelope with revocation on; what the check was asked about is kept.
    std::unique_ptr<Layer_analysis> verify(const std::vector<uint8_t>& envelope,
                                           Revocation_status authority_status = Revocation_status::Valid)
    {
        return verify_with(envelope, Revocation_outcome{authority_status, 1});
    }
    // The same with the whole outcome of the authority's check.
    std::unique_ptr<Layer_analysis> verify_with(const std::vector<uint8_t>& envelope, Revocation_outcome authority)
    {
        checked.clear();
        Pipeline_services services;
        services.trusted_store = [store = store ? store : pki.store] { return store; };
        services.check_revocations = [this, authority](const std::vector<Revocation_subject>& subjects,
                                                       const Revocation_settings&, const std::atomic<bool>&) {
            std::vector<Revocation_outcome> outcomes;
            const std::lock_guard<std::mutex> lock(mutex);
            for (const Revocation_subject& subject : subjects) {
                checked.push_back(subject);
                outcomes.push_back(subject.certificate == pki.tsa ? authority : signer_outcome(subject));
            }
            return outcomes;
        };
        auto layer = std::make_unique<Layer_analysis>(test::revocation_on(), std::move(services));
        layer->set_observer(&observer);
        layer->set_source_bytes(Document_bytes(envelope), "contratto.txt.p7m");
        layer->start();
        EXPECT_TRUE(test::eventually([&] { return layer->finished(); }));
        return layer;
    }
    // A signer's certificate within its dates at the time it is judged at is valid, with what
    // signer_revoked_at says of a revocation: revoked when that was before the time judged at.
    Revocation_outcome signer_outcome(const Revocation_subject& subject) const
    {
        const Time_validity dates =
            subject.at ? subject.certificate.time_validity_at(*subject.at) : subject.certificate.time_validity();
        if (dates == Time_expired)
            return {Revocation_status::Expired};
        Revocation_outcome outcome{Revocation_status::Valid, 1, Revocation_source::Crl};
        if (signer_revoked_at) {
            outcome.revoked = true;
            outcome.revoked_at = signer_revoked_at;
            if (!subject.at || *signer_revoked_at <= *subject.at)
                outcome.status = Revocation_status::Revoked;
        }
        return outcome;
    }

    // The time the signer's own revocation was judged at.
    std::optional<std::time_t> signer_checked_at()
    {
        const std::lock_guard<std::mutex> lock(mutex);
        for (const Revocation_subject& subject : checked)
            if (subject.certificate == pki.signer || subject.certificate == pki.expired_signer)
                return subject.at;
        ADD_FAILURE() << "the signer's revocation was not checked";
        return std::nullopt;
    }

    Past_pki pki;
    std::optional<std::time_t> signer_revoked_at;
    std::shared_ptr<Trusted_store> store; // the lists, when not the PKI's own
    std::mutex mutex;
    std::vector<Revocation_subject> checked;
    test::Recording_observer observer;
};

constexpr const char* Legal = "Firma digitale (con validità legale)";
constexpr const char* Attestation = "Firma elettronica (attestazione)";

TEST_F(Judged_time_test, a_backdated_signature_does_not_escape_the_withdrawal_of_its_authority)
{
    const std::time_t before_withdrawal = utc("2023-05-02T09:30:00Z");
    // Signed now, dated a year before the withdrawal: judged now, without legal value.
    const auto backdated = verify(pki.envelope(before_withdrawal));
    const Signature_display& shown = backdated->shown_signature();
    EXPECT_EQ(shown.kind, Attestation);
    ASSERT_FALSE(shown.status.empty());
    EXPECT_TRUE(
        shown.status.back().text.starts_with("Stato della lista e qualifica valutati alla data della verifica: "));
    EXPECT_EQ(signer_checked_at(), std::nullopt);

    // The same signature stamped by a qualified authority before the withdrawal keeps it, and is
    // checked for revocation at the time stamp's time.
    const auto stamped = verify(pki.envelope(before_withdrawal, utc("2023-05-01T10:00:00Z")));
    EXPECT_EQ(stamped->shown_signature().kind, Legal);
    EXPECT_TRUE(has_line(stamped->shown_signature().status, Line_severity::Information,
                         "Stato della lista e qualifica valutati alla data della marca temporale: 01/05/2023 "
                         "10:00:00 (UTC)."));
    EXPECT_EQ(signer_checked_at(), utc("2023-05-01T10:00:00Z"));

    // Stamped after the withdrawal: judged then, without legal value.
    EXPECT_EQ(verify(pki.envelope(before_withdrawal, utc("2024-07-01T10:00:00Z")))->shown_signature().kind,
              Attestation);

    // Stamped before it by an authority revoked then: neither the lists nor the revocation move.
    const auto layer =
        verify(pki.envelope(utc("2023-05-02T09:30:00Z"), utc("2023-05-01T10:00:00Z")), Revocation_status::Revoked);
    EXPECT_EQ(layer->shown_signature().kind, Attestation);
    EXPECT_EQ(signer_checked_at(), std::nullopt);
}

// The unit's key compromised after the time stamp: the time stamp may have been made later by
// whoever holds the key, so it moves nothing; revoked later for a reason that leaves the key
// sound, it stands. A unit whose revocation cannot be found out stands only when a qualified
// service of the lists vouches for it, as this one does.
TEST_F(Judged_time_test, a_unit_revoked_later_moves_the_time_only_when_its_key_was_not_compromised)
{
    const std::vector<uint8_t> envelope = pki.envelope(utc("2023-05-02T09:30:00Z"), utc("2023-05-01T10:00:00Z"));
    const auto revoked_later = [](int reason) {
        Revocation_outcome outcome{Revocation_status::Valid, 1, Revocation_source::Crl};
        outcome.revoked = true;
        outcome.revoked_at = utc("2024-01-15T00:00:00Z");
        outcome.reason = reason;
        return outcome;
    };
    for (const int reason : {-1, 0, 1, 2, 6}) {
        const auto layer = verify_with(envelope, revoked_later(reason));
        EXPECT_EQ(layer->shown_signature().kind, Attestation) << reason;
        EXPECT_EQ(signer_checked_at(), std::nullopt) << reason;
        EXPECT_FALSE(layer->timestamps().front().usable()) << reason;
    }
    const auto compromised = verify_with(envelope, revoked_later(1));
    const std::string expected = "Il certificato dell'autorità di marcatura temporale \"Marche qualificate\" è stato "
                                 "revocato il 15/01/2024 00:00:00 (UTC) (motivo: compromissione della chiave): " +
                                 std::string(Text_unit_not_reliable);
    EXPECT_TRUE(has_line(compromised->shown_signature().status, Line_severity::Error, expected));
    EXPECT_TRUE(has_line(verify_with(envelope, revoked_later(-1))->shown_signature().status, Line_severity::Error,
                         "Il certificato dell'autorità di marcatura temporale \"Marche qualificate\" è stato "
                         "revocato il 15/01/2024 00:00:00 (UTC) (motivo: non indicato): " +
                             std::string(Text_unit_not_reliable)));

    for (const int reason : {3, 4, 5}) {
        const auto layer = verify_with(envelope, revoked_later(reason));
        EXPECT_EQ(layer->shown_signature().kind, Legal) << reason;
        EXPECT_EQ(signer_checked_at(), utc("2023-05-01T10:00:00Z")) << reason;
    }

    // Not found out: the listed service vouches for the unit, and the report says so.
    for (const Revocation_status status : {Revocation_status::Update_disabled, Revocation_status::Not_determinable}) {
        const auto layer = verify_with(envelope, Revocation_outcome{status, 0});
        EXPECT_EQ(layer->shown_signature().kind, Legal);
        EXPECT_EQ(signer_checked_at(), utc("2023-05-01T10:00:00Z"));
        EXPECT_TRUE(has_line(layer->shown_signature().status, Line_severity::Information, Text_unknown_unit_vouched));
    }
}

// A certificate that ended, or was revoked, after the time stamp over the signature: the
// signature existed while it was sound and stays valid, and the signer's list says since when.
// Without the time stamp the certificate is judged now: expired, as before.
TEST_F(Judged_time_test, a_signer_expired_or_revoked_after_its_time_stamp_stays_valid_and_says_so)
{
    const std::time_t signed_at = utc("2023-05-02T09:30:00Z");
    const std::string existed =
        "la firma esisteva già il 01/05/2023 10:00:00 (UTC) (marca temporale di Marche qualificate).";
    const auto stamped = verify(pki.envelope(signed_at, utc("2023-05-01T10:00:00Z"), &pki.expired_signer));
    const Signature_display& shown = stamped->shown_signature();
    EXPECT_FALSE(shown.errors);
    EXPECT_TRUE(
        has_line(shown.status, Line_severity::Information, "Il certificato è scaduto il 01/01/2024; " + existed));
    EXPECT_FALSE(has_line(shown.status, Line_severity::Error, "Il certificato è scaduto."));
    EXPECT_NE(stamped->outcome(), Layer_outcome::Errors);
    const Signer_record& record = stamped->signer_records().front();
    ASSERT_TRUE(record.proof);
    EXPECT_EQ(record.proof->at, utc("2023-05-01T10:00:00Z"));
    EXPECT_EQ(record.proof->authority, "Marche qualificate");
    EXPECT_STREQ(proof_kind_name(*record.proof), "signature");

    const auto unstamped = verify(pki.envelope(signed_at, std::nullopt, &pki.expired_signer));
    EXPECT_TRUE(has_line(unstamped->shown_signature().status, Line_severity::Error, "Il certificato è scaduto."));
    EXPECT_FALSE(unstamped->signer_records().front().proof);
    EXPECT_EQ(unstamped->outcome(), Layer_outcome::Errors);

    // Revoked in September 2023, after the time stamp: valid; revoked in April, before it: revoked.
    signer_revoked_at = utc("2023-09-01T00:00:00Z");
    const auto revoked_later = verify(pki.envelope(signed_at, utc("2023-05-01T10:00:00Z")));
    EXPECT_FALSE(revoked_later->shown_signature().errors);
    EXPECT_TRUE(has_line(revoked_later->shown_signature().status, Line_severity::Information,
                         "Il certificato è stato revocato il 01/09/2023 00:00:00 (UTC); " + existed));
    signer_revoked_at = utc("2023-04-01T00:00:00Z");
    const auto revoked_before = verify(pki.envelope(signed_at, utc("2023-05-01T10:00:00Z")));
    EXPECT_TRUE(
        has_line(revoked_before->shown_signature().status, Line_severity::Error, "Il certificato è stato revocato."));
    EXPECT_FALSE(has_line(revoked_before->shown_signature().status, Line_severity::Information,
                          "Il certificato è stato revocato il 01/04/2023 00:00:00 (UTC); " + existed));
}

// A time stamp whose unit's certificate ended before now, with no later time stamp over it: its
// authority is judged now, and it is no proof: the signature is judged now, and the time stamp
// says why.
TEST_F(Judged_time_test, a_time_stamp_whose_unit_has_since_expired_without_a_later_proof_moves_nothing)
{
    store = pki.expired_tsa_store;
    const auto layer = verify(
        pki.envelope(utc("2023-05-02T09:30:00Z"), utc("2023-05-01T10:00:00Z"), &pki.expired_signer, &pki.expired_tsa));
    ASSERT_EQ(layer->timestamps().size(), 1u);
    const Timestamp_record& record = layer->timestamps().front();
    EXPECT_TRUE(record.info.verified()) << record.info.problem;
    EXPECT_TRUE(record.trusted.value());
    EXPECT_TRUE(record.authority_expired);
    EXPECT_FALSE(record.usable());
    const Signature_display& shown = layer->shown_signature();
    EXPECT_TRUE(has_line(shown.status, Line_severity::Warning,
                         "Il certificato dell'autorità di marcatura temporale è scaduto il 01/01/2025 00:00:00 (UTC), "
                         "prima di ogni marca temporale successiva che provi l'esistenza di questa: la marca temporale "
                         "non è usata come riferimento temporale."));
    EXPECT_TRUE(has_line(shown.status, Line_severity::Error, "Il certificato è scaduto."));
    EXPECT_FALSE(layer->signer_records().front().proof);
    EXPECT_EQ(signer_checked_at(), std::nullopt);
}

} // namespace
} // namespace velin
