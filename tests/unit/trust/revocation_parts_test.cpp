// The pure parts of revocation checking: the URLs taken from a certificate, the choice of the CRL
// issuer, and the date and signature check of a list.
#include "revocation_pki.h"
#include "revocation_test_support.h"

#include "trust/revocation.h"

#include <openssl/x509v3.h>

namespace velin::test {
namespace {

class Revocation_parts_test : public Revocation_test_base {
protected:
    Certificate issued(const Certificate_recipe& recipe) { return make_certificate(recipe, new_key(), _ca, _ca_key); }

    Key _ca_key = new_key();
    Certificate _ca = make_certificate(Certificate_recipe{.serial = 1, .common_name = "CA di prova", .authority = true},
                                       _ca_key, {}, {});
};

TEST_F(Revocation_parts_test, urls_are_the_full_name_uris_in_extension_order)
{
    Certificate_recipe recipe;
    recipe.points = {
        Distribution_point{
            {{GEN_URI, "ldap://directory/cn=CA?certificateRevocationList;binary"}, {GEN_DNS, "crl.example"}}},
        Distribution_point{{}, true},
        Distribution_point{{{GEN_EMAIL, "crl@example"}, {GEN_URI, "http://one/list.crl"}}},
        uri_point("HTTPS://two/list.crl"),
        uri_point(std::string("http://three/a.crl\0http://elsewhere/", 36)),
    };
    const Certificate certificate = issued(recipe);

    EXPECT_EQ((std::vector<std::string>{"ldap://directory/cn=CA?certificateRevocationList;binary",
                                        "http://one/list.crl", "HTTPS://two/list.crl", "http://three/a.crl"}),
              crl_distribution_urls(certificate));
    EXPECT_TRUE(_reports.lines().empty());

    // Each entry is traced: the URLs taken, and the kinds passed over by the platform's numbers
    // (DNS name 3, e-mail 2, relative name 2); the choice among the URLs is not made here.
    EXPECT_EQ(1u, traced_since_start(Level_trace, {"http://one/list.crl"}));
    EXPECT_EQ(1u, traced_since_start(Level_trace, {"AltNameChoice", "3"}));
    EXPECT_EQ(1u, traced_since_start(Level_trace, {"AltNameChoice", "2"}));
    EXPECT_EQ(1u, traced_since_start(Level_trace, {"DistPointNameChoice", "2"}));
    EXPECT_EQ(0u, traced_since_start(Level_trace, {"result"}));

    EXPECT_EQ("http://one/list.crl", first_http_crl_url(certificate));
    EXPECT_EQ(1u, traced_since_start(Level_trace, {"result", "http://one/list.crl"}));
}

TEST_F(Revocation_parts_test, the_first_http_url_is_compared_without_case_and_may_be_missing)
{
    const Certificate ldap_only = issued({.points = {uri_point("ldap://directory/cn=CA"), uri_point("httpx://no")}});
    EXPECT_EQ("", first_http_crl_url(ldap_only));
    EXPECT_EQ(1u, traced_since_start(Level_trace, {"result"}));

    const Certificate upper = issued({.points = {uri_point("ftp://x/a.crl"), uri_point("hTtPs://host/b.crl")}});
    EXPECT_EQ("hTtPs://host/b.crl", first_http_crl_url(upper));
}

TEST_F(Revocation_parts_test, a_missing_or_damaged_extension_gives_no_url_and_tells_the_user)
{
    const std::string told = "W: La CRL non ha un punto di distribuzione HTTP(S).";
    EXPECT_TRUE(crl_distribution_urls(issued({})).empty());
    EXPECT_EQ((std::vector<std::string>{told}), _reports.lines());
    EXPECT_EQ(1u, traced_since_start(Level_trace, {"CRL"}));

    for (const std::string& damaged : {std::string("\x30\x05\x30\x03", 4), std::string("garbage"),
                                       std::string("\x30\x80\x30\x80\x00\x00", 6), std::string(1, '\x30')}) {
        _reports.clear();
        EXPECT_TRUE(crl_distribution_urls(issued({.raw_points = damaged})).empty());
        EXPECT_EQ((std::vector<std::string>{told}), _reports.lines());
    }
    EXPECT_TRUE(traced_since_start(Level_trace, {"GetLastError"}));
}

TEST_F(Revocation_parts_test, the_crl_issuer_is_an_authority_that_chain_building_would_accept)
{
    const Key own_key = new_key();
    const Certificate self_signed_ca = make_certificate({.serial = 9, .authority = true}, own_key, {}, {});
    EXPECT_EQ(self_signed_ca, crl_issuer_of({self_signed_ca, _ca}));
    EXPECT_EQ(self_signed_ca, crl_issuer_of({self_signed_ca, std::nullopt}));
    // A self-signed end entity is no authority, not even for its own list.
    const Certificate self_signed = make_certificate({.serial = 9}, own_key, {}, {});
    EXPECT_EQ(std::nullopt, crl_issuer_of({self_signed, std::nullopt}));

    // Same subject and issuer name, but another key signed it: nobody that was handed over.
    const Certificate look_alike = make_certificate({.serial = 9}, own_key, self_signed_ca, new_key());
    ASSERT_TRUE(look_alike.is_self_issued());
    EXPECT_EQ(std::nullopt, crl_issuer_of({look_alike, _ca}));
    EXPECT_EQ(std::nullopt, crl_issuer_of({look_alike, std::nullopt}));

    const Certificate signer = issued({});
    EXPECT_EQ(_ca, crl_issuer_of({signer, _ca}));
    EXPECT_EQ(std::nullopt, crl_issuer_of({signer, Certificate()}));
    EXPECT_EQ(std::nullopt, crl_issuer_of({signer, self_signed_ca}));

    // Issuers that the chain refuses are refused here too, even when a caller hands them over:
    // an end entity, an authority without keyCertSign, and the genuine authority for a certificate
    // that only carries its name (forged, signed with another key).
    const Key end_entity_key = new_key();
    const Certificate end_entity =
        make_certificate({.serial = 10, .common_name = "Utente"}, end_entity_key, _ca, _ca_key);
    const Certificate under_end_entity = make_certificate({.serial = 11}, new_key(), end_entity, end_entity_key);
    EXPECT_EQ(std::nullopt, crl_issuer_of({under_end_entity, end_entity}));
    const Key no_cert_sign_key = new_key();
    const Certificate no_cert_sign = make_certificate({.serial = 12,
                                                       .common_name = "CA senza keyCertSign",
                                                       .authority = true,
                                                       .key_usage = "critical,digitalSignature,cRLSign"},
                                                      no_cert_sign_key, _ca, _ca_key);
    const Certificate under_no_cert_sign = make_certificate({.serial = 13}, new_key(), no_cert_sign, no_cert_sign_key);
    EXPECT_EQ(std::nullopt, crl_issuer_of({under_no_cert_sign, no_cert_sign}));
    const Certificate with_cert_sign = make_certificate({.serial = 12,
                                                         .common_name = "CA senza keyCertSign",
                                                         .authority = true,
                                                         .key_usage = "critical,keyCertSign,cRLSign"},
                                                        no_cert_sign_key, _ca, _ca_key);
    EXPECT_EQ(with_cert_sign, crl_issuer_of({under_no_cert_sign, with_cert_sign}));
    const Certificate forged = make_certificate({}, new_key(), _ca, new_key());
    EXPECT_EQ(std::nullopt, crl_issuer_of({forged, _ca}));
}

TEST_F(Revocation_parts_test, of_two_lists_the_newer_has_the_higher_number_or_else_the_later_date)
{
    const std::time_t now = std::time(nullptr);
    auto list = [this](const Crl_recipe& recipe) {
        const std::vector<uint8_t> der = make_crl(recipe, _ca, _ca_key);
        return Certificate_revocation_list{std::span<const uint8_t>(der)};
    };
    const Certificate_revocation_list older = list({.this_update = now - 5 * Day});
    const Certificate_revocation_list newer = list({.this_update = now - Day});
    EXPECT_TRUE(newer.is_newer_than(older));
    EXPECT_FALSE(older.is_newer_than(newer));
    EXPECT_FALSE(newer.is_newer_than(newer));

    // The number decides when both carry one, whatever the dates say...
    const Certificate_revocation_list seven = list({.this_update = now - 5 * Day, .number = 7});
    const Certificate_revocation_list six = list({.this_update = now - Day, .number = 6});
    EXPECT_TRUE(seven.is_newer_than(six));
    EXPECT_FALSE(six.is_newer_than(seven));
    // ...and the dates when the numbers are equal or one is missing.
    EXPECT_TRUE(list({.this_update = now - Day, .number = 7}).is_newer_than(seven));
    EXPECT_TRUE(newer.is_newer_than(seven));
}

TEST_F(Revocation_parts_test, a_list_is_checked_for_its_dates_then_for_its_signature)
{
    const std::time_t now = std::time(nullptr);
    auto check = [this](const std::vector<uint8_t>& der, const Certificate& issuer) {
        const Certificate_revocation_list list{std::span<const uint8_t>(der)};
        EXPECT_TRUE(list.is_valid());
        return crl_check(list, issuer).result;
    };

    EXPECT_EQ(Crl_check_valid, check(make_crl({}, _ca, _ca_key), _ca));
    EXPECT_EQ(Crl_check_valid, check(make_crl({.next_update = -1}, _ca, _ca_key), _ca));
    EXPECT_EQ(Crl_check_expired,
              check(make_crl({.this_update = now - 10 * Day, .next_update = now - Day}, _ca, _ca_key), _ca));
    EXPECT_EQ(Crl_check_not_yet_valid, check(make_crl({.this_update = now + Day}, _ca, _ca_key), _ca));
    EXPECT_EQ(Crl_check_bad_signature, check(make_crl({}, _ca, new_key()), _ca));
    // The dates are looked at first: a forged list that has expired is "expired".
    EXPECT_EQ(Crl_check_expired,
              check(make_crl({.this_update = now - 10 * Day, .next_update = now - Day}, _ca, new_key()), _ca));

    // An issuer whose key cannot check an RSA signature at all.
    const Certificate rsa_ca = fixture_certificate("accredited-ca");
    const Crl_check_result wrong_kind = check(fixture_crl("accredited-ca"), _ca);
    EXPECT_TRUE(wrong_kind == Crl_check_bad_signature || wrong_kind == Crl_check_signature_failed) << wrong_kind;
    EXPECT_EQ(Crl_check_valid, check(fixture_crl("accredited-ca"), rsa_ca));
    EXPECT_EQ(Crl_check_expired, check(fixture_crl("accredited-ca-expired"), rsa_ca));

    // Each list outside its dates is traced, expired or not yet valid.
    EXPECT_EQ(4u, traced_since_start(Level_info, {"lista di certificati revocati"}));
}

TEST(Certificate_dates, the_first_and_the_last_day_count_whole)
{
    // Issued at noon today, ending at noon tomorrow: valid all of today and all of tomorrow.
    const std::time_t midnight = today_midnight();
    Certificate_recipe recipe;
    recipe.not_before = midnight + 12 * 3600;
    recipe.not_after = midnight + 36 * 3600;
    const auto key = new_key();
    EXPECT_EQ(make_certificate(recipe, key, Certificate(), key).time_validity(), Time_valid);

    recipe.not_before = midnight + 24 * 3600 + 60; // tomorrow
    EXPECT_EQ(make_certificate(recipe, key, Certificate(), key).time_validity(), Time_not_yet_valid);
}

} // namespace
} // namespace velin::test
