// A certificate that has expired is judged at an earlier time stamp. Authorities drop expired
// certificates from their lists and responders may call good a certificate they no longer track,
// so a list or answer given after the expiry that does not name the certificate proves nothing,
// unless it says it keeps expired certificates from a date no later than the expiry
// (ExpiredCertsOnCRL, archiveCutoff). One that names it revoked always counts, and one given
// before the expiry counts as it always did.
#include "envelope/validation_data.h"
#include "revocation_pki.h"
#include "trust/carried_validation.h"
#include "trust/ocsp.h"
#include "trust/revocation.h"

#include <gtest/gtest.h>

#include <openssl/ocsp.h>

namespace velin {
namespace {

using test::Day;
const std::time_t Stamped = 1682935200; // 1 May 2023, 10:00 UTC: the time stamp
const std::time_t Expired_on = Stamped + 10 * Day;

struct Expired_pki {
    test::Key ca_key = test::new_key(), key = test::new_key();
    Certificate ca = test::make_certificate(
        {.serial = 1, .common_name = "CA", .authority = true, .key_usage = "critical,keyCertSign,cRLSign"}, ca_key, {},
        {});
    Certificate certificate = test::make_certificate(
        {.serial = 2, .not_before = Stamped - 300 * Day, .not_after = Expired_on}, key, ca, ca_key);

    Revocation_outcome judged(const Validation_data& data, Revocation_method method) const
    {
        Revocation_settings settings{false, method};
        settings.carried = std::make_shared<const Carried_validation>(Carried_validation::from(data));
        const std::atomic<bool> cancel{false};
        return check_revocations({{certificate, ca, Stamped}}, settings, cancel).at(0);
    }

    Revocation_outcome judged_on_list(const test::Crl_recipe& recipe) const
    {
        return judged({.crls = {test::make_crl(recipe, ca, ca_key)}}, Revocation_method::Only_crl);
    }

    // The responder's answer, signed now (its producedAt), about the certificate.
    Revocation_outcome judged_on_answer(test::Ocsp_answer_recipe recipe) const
    {
        const std::unique_ptr<OCSP_REQUEST, decltype(&OCSP_REQUEST_free)> request(OCSP_REQUEST_new(),
                                                                                  OCSP_REQUEST_free);
        OCSP_request_add0_id(request.get(), OCSP_cert_to_id(EVP_sha1(), certificate.raw_handle(), ca.raw_handle()));
        unsigned char* der = nullptr;
        const int size = i2d_OCSP_REQUEST(request.get(), &der);
        const std::string request_der(reinterpret_cast<char*>(der), static_cast<size_t>(std::max(size, 0)));
        OPENSSL_free(der);
        recipe.nonce = test::Nonce_reply::None;
        const std::string answer = test::make_ocsp_answer(request_der, recipe, ca, ca_key);
        return judged({.ocsp_answers = {{answer.begin(), answer.end()}}}, Revocation_method::Only_ocsp);
    }
};

TEST(Expired_revocation, a_list_given_after_the_expiry_that_is_silent_proves_nothing)
{
    const Expired_pki pki;
    const Revocation_outcome silent = pki.judged_on_list({});
    EXPECT_EQ(silent.status, Revocation_status::Not_determinable);
    EXPECT_TRUE(silent.silent_after_expiry);
    EXPECT_FALSE(silent.revoked);
    // A list that names other certificates is as silent about this one.
    EXPECT_EQ(pki.judged_on_list({.revoked = {7, 9}}).status, Revocation_status::Not_determinable);
    // So is one whose ExpiredCertsOnCRL starts after the expiry: it dropped the certificate already.
    const Revocation_outcome late = pki.judged_on_list({.expired_certs_on_crl = Expired_on + Day});
    EXPECT_EQ(late.status, Revocation_status::Not_determinable);
    EXPECT_TRUE(late.silent_after_expiry);
}

TEST(Expired_revocation, a_list_that_keeps_expired_certificates_speaks_for_them)
{
    const Expired_pki pki;
    for (const std::time_t kept_since : {Expired_on - 100 * Day, Expired_on}) {
        const Revocation_outcome kept = pki.judged_on_list({.expired_certs_on_crl = kept_since});
        EXPECT_EQ(kept.status, Revocation_status::Valid) << kept_since;
        EXPECT_EQ(kept.source, Revocation_source::Crl);
        EXPECT_TRUE(kept.from_file);
        EXPECT_FALSE(kept.revoked);
    }
}

TEST(Expired_revocation, a_list_given_after_the_expiry_that_names_the_certificate_counts)
{
    const Expired_pki pki;
    const Revocation_outcome before = pki.judged_on_list({.revoked = {2}, .reason = 1, .revoked_at = Stamped - Day});
    EXPECT_EQ(before.status, Revocation_status::Revoked);
    EXPECT_FALSE(before.silent_after_expiry);
    EXPECT_EQ(before.revoked_at, Stamped - Day);
    // Revoked after the time stamp: the signature was made before, as for any list.
    const Revocation_outcome after = pki.judged_on_list({.revoked = {2}, .revoked_at = Stamped + Day});
    EXPECT_EQ(after.status, Revocation_status::Valid);
    EXPECT_TRUE(after.revoked);
}

TEST(Expired_revocation, a_list_given_before_the_expiry_counts_as_always)
{
    const Expired_pki pki;
    for (const std::time_t issued : {Stamped + Day, Expired_on}) {
        const Revocation_outcome outcome = pki.judged_on_list({.this_update = issued, .next_update = Expired_on + Day});
        EXPECT_EQ(outcome.status, Revocation_status::Valid) << issued;
        EXPECT_FALSE(outcome.silent_after_expiry);
    }
    // A silent list given after the expiry, carried beside one given before, takes nothing from it.
    const Revocation_outcome both = pki.judged(
        {.crls = {test::make_crl({.this_update = Stamped + Day, .next_update = Expired_on + Day}, pki.ca, pki.ca_key),
                  test::make_crl({}, pki.ca, pki.ca_key)}},
        Revocation_method::Only_crl);
    EXPECT_EQ(both.status, Revocation_status::Valid);
}

TEST(Expired_revocation, a_good_answer_after_the_expiry_counts_only_with_an_archive_cutoff)
{
    const Expired_pki pki;
    const Revocation_outcome silent = pki.judged_on_answer({});
    EXPECT_EQ(silent.status, Revocation_status::Not_determinable);
    EXPECT_TRUE(silent.silent_after_expiry);
    EXPECT_EQ(pki.judged_on_answer({.archive_cutoff = Expired_on + Day}).status, Revocation_status::Not_determinable);

    const Revocation_outcome archived = pki.judged_on_answer({.archive_cutoff = Expired_on - 50 * Day});
    EXPECT_EQ(archived.status, Revocation_status::Valid);
    EXPECT_EQ(archived.source, Revocation_source::Ocsp);
    EXPECT_TRUE(archived.from_file);

    // A revocation before the time stamp is never hidden, cutoff or not.
    const Revocation_outcome revoked =
        pki.judged_on_answer({.certificate_status = V_OCSP_CERTSTATUS_REVOKED, .revoked_at = Stamped - Day});
    EXPECT_EQ(revoked.status, Revocation_status::Revoked);
    EXPECT_FALSE(revoked.silent_after_expiry);
}

TEST(Expired_revocation, the_rule_reads_the_dates_it_is_given)
{
    const Expired_pki pki;
    EXPECT_TRUE(silence_proves_unrevoked(pki.certificate, Expired_on, std::nullopt));
    EXPECT_FALSE(silence_proves_unrevoked(pki.certificate, Expired_on + 1, std::nullopt));
    EXPECT_TRUE(silence_proves_unrevoked(pki.certificate, Expired_on + 1, Expired_on));
    EXPECT_FALSE(silence_proves_unrevoked(pki.certificate, Expired_on + 1, Expired_on + 1));
    // No date to read, or no certificate: nothing is proved.
    EXPECT_FALSE(silence_proves_unrevoked(pki.certificate, std::nullopt, Expired_on));
    EXPECT_FALSE(silence_proves_unrevoked(Certificate(), Stamped, std::nullopt));
    // A certificate valid today is not touched by the rule.
    const Certificate current = test::make_certificate({.serial = 3}, pki.key, pki.ca, pki.ca_key);
    EXPECT_TRUE(silence_proves_unrevoked(current, std::time(nullptr), std::nullopt));
    // The list's own dates as the rule reads them.
    const Certificate_revocation_list kept(test::make_crl({.expired_certs_on_crl = Expired_on}, pki.ca, pki.ca_key));
    EXPECT_EQ(kept.expired_certificates_kept_since(), Expired_on);
    EXPECT_FALSE(Certificate_revocation_list(test::make_crl({}, pki.ca, pki.ca_key)).expired_certificates_kept_since());
}

} // namespace
} // namespace velin
