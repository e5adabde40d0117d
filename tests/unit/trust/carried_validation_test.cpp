// Validation data carried in a signed file is judged for the time the certificate is judged at,
// not for now: an answer or a list that was current then counts years later, one that did not
// reach that time does not, and neither does one dated in the future. Its encoded values are
// outside bytes: a truncated or hostile encoding gives what decodes, never more than the limit.
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
const std::time_t Then = 1682935200; // 1 May 2023, 10:00 UTC

struct Carried_pki {
    test::Key ca_key = test::new_key(), key = test::new_key();
    Certificate ca = test::make_certificate(
        {.serial = 1, .common_name = "CA", .authority = true, .key_usage = "critical,keyCertSign,cRLSign"}, ca_key, {},
        {});
    Certificate certificate = test::make_certificate({.serial = 2}, key, ca, ca_key);

    std::vector<uint8_t> ocsp_answer(std::time_t this_update, std::time_t next_update) const
    {
        const std::unique_ptr<OCSP_REQUEST, decltype(&OCSP_REQUEST_free)> request(OCSP_REQUEST_new(),
                                                                                  OCSP_REQUEST_free);
        OCSP_request_add0_id(request.get(), OCSP_cert_to_id(EVP_sha1(), certificate.raw_handle(), ca.raw_handle()));
        unsigned char* der = nullptr;
        const int size = i2d_OCSP_REQUEST(request.get(), &der);
        const std::string request_der(reinterpret_cast<char*>(der), static_cast<size_t>(std::max(size, 0)));
        OPENSSL_free(der);
        const std::string answer = test::make_ocsp_answer(
            request_der, {.this_update = this_update, .next_update = next_update, .nonce = test::Nonce_reply::None}, ca,
            ca_key);
        return {answer.begin(), answer.end()};
    }
};

TEST(Carried_validation, an_archived_answer_counts_for_the_time_it_reached)
{
    const Carried_pki pki;
    const std::vector<uint8_t> old = pki.ocsp_answer(Then - Day, Then + Day);
    EXPECT_EQ(judge_ocsp_answer(old, pki.certificate, pki.ca, nullptr, Then, true).status, Ocsp_status::Good);
    // Not for now, and never as an answer just fetched.
    EXPECT_EQ(judge_ocsp_answer(old, pki.certificate, pki.ca, nullptr, std::nullopt, true).status,
              Ocsp_status::No_answer);
    EXPECT_EQ(judge_ocsp_answer(old, pki.certificate, pki.ca, nullptr, Then, false).status, Ocsp_status::No_answer);
    // Given after that time, it speaks for it too; given in the future it speaks for nothing.
    const std::time_t now = std::time(nullptr);
    EXPECT_EQ(
        judge_ocsp_answer(pki.ocsp_answer(now - 3600, now + Day), pki.certificate, pki.ca, nullptr, Then, true).status,
        Ocsp_status::Good);
    EXPECT_EQ(judge_ocsp_answer(pki.ocsp_answer(now + Day, now + 2 * Day), pki.certificate, pki.ca, nullptr, Then, true)
                  .status,
              Ocsp_status::No_answer);
}

TEST(Carried_validation, a_carried_list_speaks_for_the_time_it_reached)
{
    const Carried_pki pki;
    const std::time_t now = std::time(nullptr);
    const auto list = [&](std::time_t this_update, std::time_t next_update) {
        return Certificate_revocation_list(
            test::make_crl({.this_update = this_update, .next_update = next_update}, pki.ca, pki.ca_key));
    };
    EXPECT_TRUE(carried_list_speaks_for(list(Then - Day, Then + 6 * Day), Then));
    EXPECT_FALSE(carried_list_speaks_for(list(Then - Day, Then + 6 * Day), std::nullopt));
    EXPECT_FALSE(carried_list_speaks_for(list(Then - 9 * Day, Then - 2 * Day), Then));
    EXPECT_TRUE(carried_list_speaks_for(list(now - Day, now + 30 * Day), Then));
    EXPECT_FALSE(carried_list_speaks_for(list(now + Day, now + 30 * Day), Then));

    // Only authorities are carried over, and they are offered for what they issued.
    Validation_data data;
    data.certificates = {pki.ca.der(), pki.certificate.der(), {0x30, 0x03, 0x02, 0x01}};
    data.crls = {{0x30, 0x00}};
    const Carried_validation carried = Carried_validation::from(data);
    ASSERT_EQ(carried.certificates.size(), 1u);
    EXPECT_TRUE(carried.crls.empty());
    EXPECT_EQ(carried.issuers_of(pki.certificate).size(), 1u);
    EXPECT_TRUE(carried.issuers_of(pki.ca).empty());
}

// A revocation after the time a certificate is judged at leaves it valid then, but its date and
// reason go with the outcome: a time-stamping unit revoked later for a compromise is not believed.
TEST(Carried_validation, a_revocation_keeps_its_date_and_reason_also_when_it_came_later)
{
    const Carried_pki pki;
    const auto judged = [&](const Validation_data& data, Revocation_method method) {
        Revocation_settings settings{false, method};
        settings.carried = std::make_shared<const Carried_validation>(Carried_validation::from(data));
        const std::atomic<bool> cancel{false};
        return check_revocation({pki.certificate, pki.ca, Then}, settings, cancel);
    };
    const auto list = [&](std::time_t revoked_at, int reason) {
        return test::make_crl({.revoked = {2}, .reason = reason, .revoked_at = revoked_at}, pki.ca, pki.ca_key);
    };

    const Revocation_outcome later = judged({.crls = {list(Then + 30 * Day, 1)}}, Revocation_method::Only_crl);
    EXPECT_EQ(later.status, Revocation_status::Valid);
    EXPECT_TRUE(later.revoked);
    EXPECT_EQ(later.revoked_at, Then + 30 * Day);
    EXPECT_EQ(later.reason, 1); // keyCompromise
    const Revocation_outcome before = judged({.crls = {list(Then - Day, 4)}}, Revocation_method::Only_crl);
    EXPECT_EQ(before.status, Revocation_status::Revoked);
    EXPECT_EQ(before.reason, 4); // superseded
    // No reason, or one outside the table: none.
    for (const int reason : {-1, 77}) {
        const Revocation_outcome none = judged({.crls = {list(Then + Day, reason)}}, Revocation_method::Only_crl);
        EXPECT_TRUE(none.revoked) << reason;
        EXPECT_EQ(none.reason, -1) << reason;
    }
    // A list that does not name the certificate yet, carried after one that does, takes nothing away.
    const Revocation_outcome both =
        judged({.crls = {list(Then + Day, 2), test::make_crl({}, pki.ca, pki.ca_key)}}, Revocation_method::Only_crl);
    EXPECT_EQ(both.status, Revocation_status::Valid);
    EXPECT_TRUE(both.revoked);
    EXPECT_EQ(both.reason, 2);
    const Revocation_outcome clean =
        judged({.crls = {test::make_crl({}, pki.ca, pki.ca_key)}}, Revocation_method::Only_crl);
    EXPECT_EQ(clean.status, Revocation_status::Valid);
    EXPECT_FALSE(clean.revoked);
    EXPECT_FALSE(Certificate_revocation_list(test::make_crl({}, pki.ca, pki.ca_key)).entry_of(pki.certificate));

    // The same from an OCSP answer the file carries.
    const std::unique_ptr<OCSP_REQUEST, decltype(&OCSP_REQUEST_free)> request(OCSP_REQUEST_new(), OCSP_REQUEST_free);
    OCSP_request_add0_id(request.get(), OCSP_cert_to_id(EVP_sha1(), pki.certificate.raw_handle(), pki.ca.raw_handle()));
    unsigned char* der = nullptr;
    const int size = i2d_OCSP_REQUEST(request.get(), &der);
    const std::string request_der(reinterpret_cast<char*>(der), static_cast<size_t>(std::max(size, 0)));
    OPENSSL_free(der);
    const std::string answer = test::make_ocsp_answer(request_der,
                                                      {.certificate_status = V_OCSP_CERTSTATUS_REVOKED,
                                                       .revoked_at = Then + Day,
                                                       .reason = 2,
                                                       .nonce = test::Nonce_reply::None},
                                                      pki.ca, pki.ca_key);
    const Revocation_outcome answered =
        judged({.ocsp_answers = {{answer.begin(), answer.end()}}}, Revocation_method::Only_ocsp);
    EXPECT_EQ(answered.status, Revocation_status::Valid);
    EXPECT_EQ(answered.source, Revocation_source::Ocsp);
    EXPECT_TRUE(answered.revoked);
    EXPECT_EQ(answered.revoked_at, Then + Day);
    EXPECT_EQ(answered.reason, 2); // cACompromise
}

TEST(Carried_validation, encoded_values_give_what_decodes_and_no_more_than_the_limit)
{
    const Carried_pki pki;
    const std::vector<uint8_t> certificate = pki.ca.der();
    std::vector<uint8_t> values{0x30, 0x82, static_cast<uint8_t>(certificate.size() >> 8),
                                static_cast<uint8_t>(certificate.size())};
    values.insert(values.end(), certificate.begin(), certificate.end());
    EXPECT_EQ(validation_values(values, {}).certificates, std::vector<std::vector<uint8_t>>{certificate});
    for (size_t cut = 0; cut < values.size(); cut += 97)
        EXPECT_TRUE(validation_values({values.data(), cut}, {values.data(), cut}).empty()) << cut;
    // Thousands of items: the limit of each kind is kept.
    std::vector<uint8_t> items;
    for (int n = 0; n < 3000; ++n)
        items.insert(items.end(), {0x30, 0x02, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
    const auto wrapped = [](uint8_t tag, const std::vector<uint8_t>& body) {
        std::vector<uint8_t> element{tag, 0x83, 0x00, static_cast<uint8_t>(body.size() >> 8),
                                     static_cast<uint8_t>(body.size())};
        element.insert(element.end(), body.begin(), body.end());
        return element;
    };
    EXPECT_EQ(validation_values(wrapped(0x30, items), {}).certificates.size(), Validation_item_limit);
    EXPECT_EQ(validation_values({}, wrapped(0x30, wrapped(0xA0, wrapped(0x30, items)))).crls.size(),
              Validation_item_limit);
}

} // namespace
} // namespace velin
