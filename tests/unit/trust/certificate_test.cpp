// The certificate wrappers: decoding, names, authority test, the day-precision date test, key
// usage, the issuer lookup and the CRL wrapper, on the test PKI.
#include "pki.h"

#include "trust/certificate_issuer.h"
#include "trust/certificate_iterator.h"
#include "trust/certificate_revocation_list.h"
#include "trust/certificate_store.h"
#include "trust/key_usage.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace velin::test {
namespace {

std::time_t utc(int year, int month, int day, int hour = 0)
{
    std::tm parts{};
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    return ::timegm(&parts);
}

class Utc_zone : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* old = std::getenv("TZ");
        _old = old ? old : "";
        _had = old != nullptr;
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }
    void TearDown() override
    {
        if (_had)
            ::setenv("TZ", _old.c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

private:
    std::string _old;
    bool _had = false;
};

TEST(Certificate, decodes_exactly_one_der_certificate)
{
    const Certificate signer = pki_certificate("signer-legal");
    std::vector<uint8_t> der = signer.der();
    EXPECT_TRUE(Certificate(std::span<const uint8_t>(der)) == signer);

    der.push_back(0);
    EXPECT_FALSE(Certificate(std::span<const uint8_t>(der)).is_valid()) << "trailing byte";
    der.resize(der.size() / 2);
    EXPECT_FALSE(Certificate(std::span<const uint8_t>(der)).is_valid()) << "truncated";
    EXPECT_FALSE(Certificate(std::span<const uint8_t>()).is_valid());

    const Certificate empty;
    EXPECT_THROW(
        {
            try {
                (void)empty.der();
            } catch (const std::logic_error& error) {
                EXPECT_STREQ("Assertion failed: raw_handle () != NULL", error.what());
                throw;
            }
        },
        std::logic_error);
}

TEST(Certificate, thumbprint_is_upper_case_sha1_and_names_come_from_the_subject)
{
    const Certificate signer = pki_certificate("signer-legal");
    const std::string thumbprint = signer.thumbprint();
    ASSERT_EQ(40u, thumbprint.size());
    EXPECT_EQ(std::string::npos, thumbprint.find_first_not_of("0123456789ABCDEF"));
    EXPECT_NE(thumbprint, pki_certificate("signer-no-nr").thumbprint());

    EXPECT_EQ("ROSSI MARIO", signer.display_name());
    Certificate named = signer;
    named.set_friendly_name("Mario (firma)");
    EXPECT_EQ("Mario (firma)", named.display_name());
    EXPECT_EQ("ROSSI MARIO", signer.display_name()) << "copies keep their own friendly name";
    EXPECT_TRUE(named == signer) << "the friendly name is no part of the certificate";
}

TEST(Certificate, only_ca_certificates_with_key_cert_sign_are_authorities)
{
    EXPECT_TRUE(pki_certificate("accredited-root").is_certification_authority());
    EXPECT_TRUE(pki_certificate("accredited-ca").is_certification_authority());
    EXPECT_FALSE(pki_certificate("end-entity-issuer").is_certification_authority());
    EXPECT_FALSE(pki_certificate("signer-no-ku").is_certification_authority());
    EXPECT_TRUE(pki_certificate("accredited-root").is_self_issued());
    EXPECT_FALSE(pki_certificate("accredited-ca").is_self_issued());
    EXPECT_TRUE(pki_certificate("signer-legal").is_signed_by(pki_certificate("accredited-ca")));
    EXPECT_FALSE(pki_certificate("signer-legal").is_signed_by(pki_certificate("accredited-root")));
}

TEST_F(Utc_zone, time_validity_has_the_precision_of_a_day)
{
    // signer-expired: NotBefore 2020-01-01 00:00Z, NotAfter 2022-01-01 00:00Z.
    const Certificate certificate = pki_certificate("signer-expired");
    EXPECT_EQ(Time_not_yet_valid, certificate.time_validity_at(utc(2019, 12, 31, 23)));
    EXPECT_EQ(Time_valid, certificate.time_validity_at(utc(2020, 1, 1, 0)));
    EXPECT_EQ(Time_valid, certificate.time_validity_at(utc(2021, 6, 1, 12)));
    EXPECT_EQ(Time_valid, certificate.time_validity_at(utc(2022, 1, 1, 23))) << "the whole last day";
    EXPECT_EQ(Time_expired, certificate.time_validity_at(utc(2022, 1, 2, 0)));

    EXPECT_EQ(Time_expired, certificate.time_validity());
    EXPECT_EQ(Time_not_yet_valid, pki_certificate("signer-not-yet-valid").time_validity());
    EXPECT_EQ(Time_valid, pki_certificate("signer-legal").time_validity());
}

TEST_F(Utc_zone, local_date_decides_the_first_day)
{
    // The local date at midnight, read as UTC: in a zone east of UTC the day starts earlier.
    ::setenv("TZ", "Europe/Rome", 1);
    ::tzset();
    const Certificate certificate = pki_certificate("signer-expired");
    // 2019-12-31 23:30Z is already 2020-01-01 in Rome: that local date's midnight is NotBefore.
    EXPECT_EQ(Time_valid, certificate.time_validity_at(utc(2019, 12, 31, 23) + 1800));
    EXPECT_EQ(Time_not_yet_valid, certificate.time_validity_at(utc(2019, 12, 31, 22)));
}

TEST(Key_usage, reads_the_two_bytes_and_fails_without_the_extension)
{
    const Key_usage legal(pki_certificate("signer-legal"));
    ASSERT_TRUE(legal.succeeded());
    EXPECT_EQ(0xC0, legal.value()[0]);
    EXPECT_EQ(0x00, legal.value()[1]);
    EXPECT_TRUE(legal.non_repudiation());

    const Key_usage plain(pki_certificate("signer-no-nr"));
    ASSERT_TRUE(plain.succeeded());
    EXPECT_FALSE(plain.non_repudiation());

    const Key_usage authority(pki_certificate("accredited-ca"));
    ASSERT_TRUE(authority.succeeded());
    EXPECT_EQ(0x06, authority.value()[0]);

    const Key_usage missing(pki_certificate("signer-no-ku"));
    EXPECT_FALSE(missing.succeeded());
    try {
        (void)missing.non_repudiation();
        FAIL() << "reading bits that were not decoded";
    } catch (const std::logic_error& error) {
        EXPECT_STREQ("Assertion failed: succeeded ()", error.what());
    }
}

TEST(Certificate_iterator, walks_a_snapshot_in_store_order)
{
    auto store = Certificate_store::create_memory();
    store->add_certificate(pki_certificate("accredited-root"));
    store->add_certificate(pki_certificate("accredited-ca"));
    Certificate_iterator walk(store.get());
    store->add_certificate(pki_certificate("card-root"));
    std::vector<std::string> names;
    for (; !walk.is_done(); walk.next())
        names.push_back(walk.current().display_name());
    EXPECT_EQ((std::vector<std::string>{"Certificatore Accreditato Demo Root CA",
                                        "Certificatore Accreditato Demo Firma Qualificata CA"}),
              names);
    try {
        walk.next();
        FAIL() << "next past the end";
    } catch (const std::logic_error& error) {
        EXPECT_STREQ("Assertion failed: not is_done ()", error.what());
    }
    EXPECT_TRUE(Certificate_iterator(Certificate_store::create_memory().get()).is_done());
    EXPECT_THROW(Certificate_iterator(nullptr), std::logic_error);
}

TEST(Certificate_issuer, takes_only_authorities_whose_key_verifies_and_skips_excluded_ones)
{
    auto store = Certificate_store::create_memory();
    store->add_certificate(pki_certificate("accredited-root"));
    store->add_certificate(pki_certificate("accredited-ca"));
    store->add_certificate(pki_certificate("end-entity-issuer"));

    const Certificate_issuer found(pki_certificate("signer-legal"), store.get());
    ASSERT_TRUE(found.succeeded());
    EXPECT_TRUE(found.value() == pki_certificate("accredited-ca"));
    EXPECT_FALSE(found.self_signed());

    const Certificate_issuer root(pki_certificate("accredited-root"), store.get());
    EXPECT_FALSE(root.succeeded());
    EXPECT_TRUE(root.self_signed());
    try {
        (void)root.value();
        FAIL() << "issuer of a failed lookup";
    } catch (const std::logic_error& error) {
        EXPECT_STREQ("Assertion failed: succeeded ()", error.what());
    }

    // The end-entity certificate's key did sign signer-forged, but it may not issue.
    const Certificate_issuer forged(pki_certificate("signer-forged"), store.get());
    EXPECT_FALSE(forged.succeeded());
    ASSERT_EQ(1u, forged.rejected().size());
    EXPECT_EQ(Certificate_issuer::Rejection::Not_an_authority, forged.rejected()[0].reason);

    const std::vector<Certificate> chain{pki_certificate("signer-legal"), pki_certificate("accredited-ca")};
    const Certificate_issuer excluded(pki_certificate("signer-legal"), store.get(), chain);
    EXPECT_FALSE(excluded.succeeded());

    try {
        Certificate_issuer(pki_certificate("signer-legal"), nullptr);
        FAIL() << "lookup without a store";
    } catch (const std::logic_error& error) {
        EXPECT_STREQ("Assertion failed: store ne NULL", error.what());
    }
}

TEST(Certificate_issuer, an_authority_of_the_same_name_with_another_key_does_not_hide_the_right_one)
{
    auto store = Certificate_store::create_memory();
    store->add_certificate(same_name_authority(pki_certificate("accredited-ca")));
    store->add_certificate(pki_certificate("accredited-ca"));
    const Certificate_issuer found(pki_certificate("signer-legal"), store.get());
    ASSERT_TRUE(found.succeeded());
    EXPECT_TRUE(found.value() == pki_certificate("accredited-ca"));
    ASSERT_EQ(1u, found.rejected().size());
    EXPECT_EQ(Certificate_issuer::Rejection::Bad_signature, found.rejected()[0].reason);
}

TEST_F(Utc_zone, crl_wrapper_finds_entries_dates_and_signatures)
{
    const Certificate_revocation_list list(pki_bytes("crl/accredited-ca.crl"));
    ASSERT_TRUE(list.is_valid());
    EXPECT_EQ(0, X509_NAME_cmp(list.issuer_name(), pki_certificate("accredited-ca").subject_name()));
    EXPECT_EQ(Crl_lookup::Listed, list.find_certificate(pki_certificate("signer-revoked")));
    EXPECT_EQ(Crl_lookup::Not_listed, list.find_certificate(pki_certificate("signer-legal")));
    // A list of another authority cannot say anything about this certificate, whatever the
    // serial numbers.
    EXPECT_EQ(Crl_lookup::Failed, list.find_certificate(pki_certificate("signer-card")));
    EXPECT_EQ(Crl_lookup::Failed, Certificate_revocation_list().find_certificate(pki_certificate("signer-legal")));

    EXPECT_EQ(Crl_not_yet_valid, list.time_validity_at(utc(2025, 5, 31)));
    EXPECT_EQ(Crl_valid, list.time_validity_at(utc(2030, 1, 1)));
    EXPECT_EQ(Crl_expired, list.time_validity_at(utc(2046, 1, 1)));
    const Certificate_revocation_list old(pki_bytes("crl/accredited-ca-expired.crl"));
    EXPECT_EQ(Crl_expired, old.time_validity());

    EXPECT_EQ(Crl_signature::Verified, list.verify_signature(pki_certificate("accredited-ca")));
    EXPECT_EQ(Crl_signature::Bad_signature, list.verify_signature(pki_certificate("card-root")));

    std::vector<uint8_t> bytes = pki_bytes("crl/accredited-ca.crl");
    EXPECT_FALSE(Certificate_revocation_list(std::span<const uint8_t>(bytes.data(), bytes.size() - 1)).is_valid());
    bytes.push_back(0);
    EXPECT_FALSE(Certificate_revocation_list(bytes).is_valid());
    EXPECT_FALSE(Certificate_revocation_list(bytes_of("garbage")).is_valid());
    EXPECT_FALSE(Certificate_revocation_list(std::span<const uint8_t>()).is_valid());
}

} // namespace
} // namespace velin::test
