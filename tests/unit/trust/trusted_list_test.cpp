// Trusted lists made by tools/make-test-trusted-lists: the signature check refuses every list that
// is not exactly the pinned signer's whole document, and the services' statuses are read as they
// stood at the time judged.
#include "trust/trusted_list_reader.h"
#include "trust/trusted_list_store.h"

#include "pki.h"
#include "test_folder.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <filesystem>

namespace velin {
namespace {

using test::at;
using test::bytes_of;
using test::list_certificate;

std::vector<uint8_t> fixture(const std::string& name)
{
    return test::read_bytes(test::list_fixture(name));
}

std::string fixture_text(const std::string& name)
{
    const std::vector<uint8_t> bytes = fixture(name);
    return {bytes.begin(), bytes.end()};
}

TEST(Trusted_list_reader, reads_a_list_signed_by_its_pinned_signer)
{
    const Trusted_list_reading european = read_trusted_list(fixture("eu-lotl.xml"), {list_certificate("eu-signer")});
    ASSERT_TRUE(european.verified) << european.failure;
    EXPECT_EQ(european.signer, list_certificate("eu-signer"));
    EXPECT_EQ(european.list.territory, "EU");
    EXPECT_EQ(european.list.sequence_number, 300u);
    const List_pointer* italy = european.list.pointer_to("IT");
    ASSERT_NE(italy, nullptr);
    EXPECT_EQ(italy->location, "http://127.0.0.1/TSL-IT.xml");
    ASSERT_EQ(italy->certificates.size(), 1u);
    EXPECT_EQ(italy->certificates[0], list_certificate("it-signer"));

    // The national list, with the signer the European list gives for its territory.
    const Trusted_list_reading national = read_trusted_list(fixture("it-tsl.xml"), italy->certificates);
    ASSERT_TRUE(national.verified) << national.failure;
    const Trusted_list& list = national.list;
    EXPECT_EQ(list.territory, "IT");
    EXPECT_EQ(list.issued, at("2025-01-01T00:00:00Z"));
    EXPECT_EQ(list.next_update, at("2099-01-01T00:00:00Z"));
    ASSERT_EQ(list.services.size(), 6u);
    const Trust_service& first = list.services[0];
    EXPECT_EQ(first.provider, "Prova Certificazione S.p.A.");
    EXPECT_EQ(first.name, "CA qualificata");
    EXPECT_EQ(first.certificates, std::vector<Certificate>{list_certificate("ca-granted")});
    EXPECT_EQ(first.current.type, tsl_uri::Service_ca_qc);
    EXPECT_EQ(first.current.status, tsl_uri::Status_granted);
    EXPECT_EQ(first.current.additional_information, std::vector<std::string>{tsl_uri::For_signatures});
    ASSERT_EQ(first.history.size(), 1u);
    EXPECT_EQ(first.history[0].status, tsl_uri::Status_accredited);
    EXPECT_EQ(first.history[0].start, at("2010-01-01T00:00:00Z"));
}

TEST(Trusted_list_reader, reads_lists_of_format_six_with_their_qualifications)
{
    using Assertion = Qualification_criteria::Assertion;
    const std::string qualifier = "http://uri.etsi.org/TrstSvc/TrustedList/SvcInfoExt/";
    // A published list of format 6, signed by the test signer its own KeyInfo carries.
    const Trusted_list_reading finnish =
        read_trusted_list(fixture("fi-v6-sample.xml"), {list_certificate("fi-v6-signer")});
    ASSERT_TRUE(finnish.verified) << finnish.failure;
    EXPECT_EQ(finnish.list.version, 6);
    EXPECT_EQ(finnish.list.territory, "FI");
    ASSERT_EQ(finnish.list.services.size(), 19u);
    const Service_period& citizens = finnish.list.services[0].current;
    EXPECT_EQ(citizens.status, tsl_uri::Status_withdrawn);
    ASSERT_EQ(citizens.qualifications.size(), 1u);
    EXPECT_EQ(citizens.qualifications[0],
              (Qualification_element{{qualifier + "QCForESig"},
                                     {Assertion::All, {{{"nonRepudiation", true}}}, {}, {}, {}, {}}}));
    size_t web_sites = 0, policies = 0;
    for (const Trust_service& service : finnish.list.services) {
        std::vector<Service_period> periods = service.history;
        periods.push_back(service.current);
        for (const Service_period& period : periods) {
            web_sites += std::count(period.additional_information.begin(), period.additional_information.end(),
                                    tsl_uri::For_web_sites);
            for (const Qualification_element& element : period.qualifications) {
                EXPECT_NE(element.criteria.assertion, Assertion::Unknown) << service.name;
                for (const auto& set : element.criteria.policy_sets)
                    policies += set == std::vector<std::string>{"1.2.246.517.1.10.34"};
            }
        }
    }
    EXPECT_EQ(web_sites, 12u);
    EXPECT_EQ(policies, 2u);

    // The generator's list of format 6: a service that gave no qualified device before 2020 and
    // one for web sites (classified in trusted_list_store_test).
    const Trusted_list_reading generated = read_trusted_list(fixture("it-tsl-v6.xml"), {list_certificate("it-signer")});
    ASSERT_TRUE(generated.verified) << generated.failure;
    EXPECT_EQ(generated.list.version, 6);
    ASSERT_EQ(generated.list.services.size(), 3u);
    const Trust_service& qualified = generated.list.services[0];
    ASSERT_EQ(qualified.current.qualifications.size(), 2u);
    const Qualification_criteria not_an_authority{Assertion::None, {{{"keyCertSign", true}}}, {}, {}, {}, {}};
    EXPECT_EQ(qualified.current.qualifications[1], (Qualification_element{{qualifier + "QCForESig"},
                                                                          {Assertion::At_least_one,
                                                                           {},
                                                                           {{"1.3.76.99.1"}},
                                                                           {{"2.5.4.5"}},
                                                                           {{"1.3.6.1.5.5.7.3.4"}},
                                                                           {not_an_authority}}}));
    ASSERT_EQ(qualified.history.size(), 2u);
    EXPECT_EQ(qualified.history[0].qualifications.at(0).qualifiers, std::vector<std::string>{qualifier + "QCNoQSCD"});
    EXPECT_EQ(generated.list.services[1].current.additional_information,
              std::vector<std::string>{tsl_uri::For_web_sites});
    EXPECT_FALSE(is_accredited_signature_authority(generated.list.services[1].current, at("2026-06-01T00:00:00Z")));
}

TEST(Trusted_list_reader, refuses_every_list_that_is_not_the_pinned_signers_whole_document)
{
    const std::vector<Certificate> italy{list_certificate("it-signer")};
    const struct {
        const char* file;
        std::vector<Certificate> pins;
        const char* failure;
    } cases[] = {
        // A service changed after signing: the digest of the whole document no longer matches.
        {"it-tsl-modified.xml", italy, Tsl_text_bad_signature},
        // A sound signature by a certificate that is not pinned, and the pinned list with other pins.
        {"it-tsl-rogue.xml", italy, Tsl_text_not_pinned},
        {"it-tsl.xml", {list_certificate("rogue-signer")}, Tsl_text_not_pinned},
        {"it-tsl.xml", {}, Tsl_text_not_pinned},
        {"eu-lotl-rogue.xml", {list_certificate("eu-signer")}, Tsl_text_not_pinned},
        // Wrapping: a second signature, one moved into a service, references to parts of the list.
        {"it-tsl-two-signatures.xml", italy, Tsl_text_many_signatures},
        {"it-tsl-misplaced-signature.xml", italy, Tsl_text_misplaced_signature},
        {"it-tsl-reference-scheme.xml", italy, Tsl_text_not_whole},
        {"it-tsl-extra-reference.xml", italy, Tsl_text_other_reference},
    };
    for (const auto& tried : cases) {
        const Trusted_list_reading reading = read_trusted_list(fixture(tried.file), tried.pins);
        EXPECT_FALSE(reading.verified) << tried.file;
        EXPECT_EQ(reading.failure, tried.failure) << tried.file;
    }
}

TEST(Trusted_list_reader, ends_with_a_message_on_hostile_or_damaged_xml)
{
    const std::vector<Certificate> pins{list_certificate("it-signer")};
    const std::string valid = fixture_text("it-tsl.xml");
    const std::string entities =
        "<?xml version=\"1.0\"?><!DOCTYPE l [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b "
        "\"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">]><TrustServiceStatusList>&b;</TrustServiceStatusList>";
    const std::string external = "<?xml version=\"1.0\"?><!DOCTYPE l SYSTEM \"http://127.0.0.1:1/x.dtd\"><l/>";
    std::string unsigned_list = valid;
    unsigned_list.erase(unsigned_list.find("<ds:Signature"),
                        unsigned_list.find("</ds:Signature>") + 15 - unsigned_list.find("<ds:Signature"));
    std::string no_key_info = valid;
    no_key_info.erase(no_key_info.find("<ds:KeyInfo>"),
                      no_key_info.find("</ds:KeyInfo>") + 13 - no_key_info.find("<ds:KeyInfo>"));
    const std::string version_text = std::string(Tsl_text_version) + "4.";
    std::string version_four = valid;
    version_four.replace(version_four.find("<TSLVersionIdentifier>5<"), 24, "<TSLVersionIdentifier>4<");
    // A namespaced Id before the signed properties' own: xmlsec would have digested the decoy.
    std::string decoy = valid;
    decoy.insert(decoy.find("<ds:Object>") + 11, "<x xmlns:p=\"urn:p\" p:Id=\"sig-sp\"/>");
    std::string xpath = valid;
    xpath.replace(xpath.find("http://www.w3.org/2000/09/xmldsig#enveloped-signature"), 53,
                  "http://www.w3.org/TR/1999/REC-xpath-19991116");
    const struct {
        std::string text;
        const char* failure;
    } cases[] = {
        {"", Tsl_text_unreadable},
        {valid.substr(0, valid.size() / 2), Tsl_text_unreadable},
        {"not xml at all", Tsl_text_unreadable},
        {entities, Tsl_text_dtd},
        {external, Tsl_text_dtd},
        {"<?xml version=\"1.0\"?><TrustServiceStatusList/>", Tsl_text_format},
        {version_four, version_text.c_str()},
        {unsigned_list, Tsl_text_unsigned},
        {no_key_info, Tsl_text_no_signer},
        {xpath, Tsl_text_transform},
        {decoy, Tsl_text_duplicate_id},
        {std::string(Trusted_list_max_size + 1, ' '), Tsl_text_too_large},
    };
    for (const auto& tried : cases) {
        const Trusted_list_reading reading = read_trusted_list(bytes_of(tried.text), pins);
        EXPECT_FALSE(reading.verified) << tried.text.substr(0, 80);
        EXPECT_EQ(reading.failure, tried.failure) << tried.text.substr(0, 80);
    }
}

TEST(Trusted_lists, judge_each_service_by_its_status_at_the_time)
{
    const Trusted_list_reading national = read_trusted_list(fixture("it-tsl.xml"), {list_certificate("it-signer")});
    ASSERT_TRUE(national.verified);
    const Trusted_lists lists({{}, ""}, {{national.list, national.signer.thumbprint()}});

    // Granted today, and accredited under the old status before.
    EXPECT_NE(lists.accredited_authority(list_certificate("ca-granted"), at("2025-06-01T00:00:00Z")), nullptr);
    EXPECT_NE(lists.accredited_authority(list_certificate("ca-granted"), at("2012-06-01T00:00:00Z")), nullptr);
    EXPECT_EQ(lists.accredited_authority(list_certificate("ca-granted"), at("2009-06-01T00:00:00Z")), nullptr);
    // Withdrawn in 2020: granted for a signature of 2018, not for one of 2021.
    EXPECT_NE(lists.accredited_authority(list_certificate("ca-withdrawn"), at("2018-01-01T00:00:00Z")), nullptr);
    EXPECT_EQ(lists.accredited_authority(list_certificate("ca-withdrawn"), at("2021-01-01T00:00:00Z")), nullptr);
    // Granted at the signing time in 2023 and withdrawn later, in 2024.
    EXPECT_NE(lists.accredited_authority(list_certificate("ca-history"), at("2023-03-01T00:00:00Z")), nullptr);
    EXPECT_EQ(lists.accredited_authority(list_certificate("ca-history"), at("2024-07-01T00:00:00Z")), nullptr);
    // Only for seals; a time-stamping unit is no signature authority.
    EXPECT_EQ(lists.accredited_authority(list_certificate("ca-seals"), at("2025-06-01T00:00:00Z")), nullptr);
    EXPECT_EQ(lists.accredited_authority(list_certificate("tsa"), at("2025-06-01T00:00:00Z")), nullptr);
    EXPECT_NE(lists.accredited_authority(list_certificate("ca-sub"), at("2025-06-01T00:00:00Z")), nullptr);
    EXPECT_TRUE(lists.is_anchor(list_certificate("ca-seals")));
    EXPECT_FALSE(lists.is_anchor(list_certificate("tsa")));
    EXPECT_EQ(lists.anchor_certificates().size(), 5u);

    EXPECT_TRUE(lists.is_trusted_time_stamping_authority(list_certificate("tsa"), at("2025-06-01T00:00:00Z")));
    EXPECT_FALSE(lists.is_trusted_time_stamping_authority(list_certificate("tsa"), at("2015-06-01T00:00:00Z")));
    EXPECT_FALSE(lists.is_trusted_time_stamping_authority(list_certificate("ca-granted"), at("2025-06-01T00:00:00Z")));
    EXPECT_FALSE(lists.is_trusted_time_stamping_authority(list_certificate("tsu"), at("2025-06-01T00:00:00Z")));
}

// Every status of the lists, in the spelling the lists write and in the one of old files, judged
// on each side of 1 July 2016.
TEST(Trusted_lists, count_each_status_as_qualified_only_on_its_side_of_july_2016)
{
    const std::time_t before = at("2013-05-01T00:00:00Z");
    const std::time_t change = at("2016-07-01T00:00:00Z");
    const std::time_t after = at("2020-05-01T00:00:00Z");
    const struct {
        const char* status;
        bool before;
        bool after;
    } cases[] = {
        {"accredited", true, false},
        {"undersupervision", true, false},
        {"supervisionincessation", true, false},
        {"accreditationceased", false, false},
        {"accreditationrevoked", false, false},
        // Granted on a period before the change: nothing says what the service was then.
        {"granted", false, true},
        {"withdrawn", false, false},
        {"recognisedatnationallevel", false, false},
        {"deprecatedatnationallevel", false, false},
        {"unknown", false, false},
    };
    const Certificate ca = list_certificate("ca-granted");
    const Certificate tsa = list_certificate("tsa");
    for (const char* prefix :
         {"http://uri.etsi.org/TrstSvc/TrustedList/Svcstatus/", "http://uri.etsi.org/TrstSvc/Svcstatus/"})
        for (const auto& tried : cases) {
            const std::string status = std::string(prefix) + tried.status;
            Trusted_list list;
            list.services.push_back(
                {"P", "CA", {ca}, {tsl_uri::Service_ca_qc, status, at("2001-01-01T00:00:00Z"), {}, {}}, {}, {}});
            list.services.push_back(
                {"P", "TSA", {tsa}, {tsl_uri::Service_tsa_qtst, status, at("2001-01-01T00:00:00Z"), {}, {}}, {}, {}});
            const Trusted_lists lists({{}, ""}, {{list, "00"}});
            EXPECT_EQ(lists.accredited_authority(ca, before) != nullptr, tried.before) << status;
            EXPECT_EQ(lists.accredited_authority(ca, change - 1) != nullptr, tried.before) << status;
            EXPECT_EQ(lists.accredited_authority(ca, change) != nullptr, tried.after) << status;
            EXPECT_EQ(lists.accredited_authority(ca, after) != nullptr, tried.after) << status;
            EXPECT_EQ(lists.is_trusted_time_stamping_authority(tsa, before), tried.before) << status;
            EXPECT_EQ(lists.is_trusted_time_stamping_authority(tsa, after), tried.after) << status;
        }
    // A status with a different host or a trailing part is none of these.
    for (const char* status : {"http://example.org/TrstSvc/TrustedList/Svcstatus/granted",
                               "http://uri.etsi.org/TrstSvc/TrustedList/Svcstatus/granted/x", "granted", ""}) {
        Trusted_list list;
        list.services.push_back({"P", "CA", {ca}, {tsl_uri::Service_ca_qc, status, 0, {}, {}}, {}, {}});
        const Trusted_lists lists({{}, ""}, {{list, "00"}});
        EXPECT_EQ(lists.accredited_authority(ca, after), nullptr) << status;
    }
}

// A cache written before the lists' spelling was read: its statuses keep the old spelling and
// still count.
TEST(Trusted_list_cache, reads_a_cache_written_with_the_old_status_spelling)
{
    std::vector<uint8_t> cache =
        test::read_bytes(std::filesystem::path(VELIN_SOURCE_DIR) / "tests/fuzz/trusted_list/seeds/lists.cache");
    std::array<uint8_t, SHA256_DIGEST_LENGTH> sum{};
    SHA256(cache.data(), cache.size(), sum.data());
    cache.insert(cache.end(), sum.begin(), sum.end());
    const std::optional<Cached_lists> read = read_trusted_list_cache(cache);
    ASSERT_TRUE(read);
    ASSERT_EQ(read->national.size(), 1u);
    const Trust_service& first = read->national[0].list.services.at(0);
    ASSERT_EQ(first.history.size(), 1u);
    ASSERT_EQ(first.history[0].status, "http://uri.etsi.org/TrstSvc/Svcstatus/accredited");
    const Trusted_lists lists(read->european, read->national);
    EXPECT_NE(lists.accredited_authority(first.certificates.at(0), at("2012-06-01T00:00:00Z")), nullptr);
    EXPECT_NE(lists.accredited_authority(first.certificates.at(0), at("2025-06-01T00:00:00Z")), nullptr);
}

TEST(Trusted_list_cache, round_trips_and_refuses_damaged_bytes)
{
    const Trusted_list_reading european = read_trusted_list(fixture("eu-lotl.xml"), {list_certificate("eu-signer")});
    const Trusted_list_reading national = read_trusted_list(fixture("it-tsl.xml"), {list_certificate("it-signer")});
    const Trusted_list_reading format_six =
        read_trusted_list(fixture("it-tsl-v6.xml"), {list_certificate("it-signer")});
    ASSERT_TRUE(european.verified && national.verified && format_six.verified);
    const Kept_list eu{european.list, european.signer.thumbprint(), "ANCORA"};
    const Kept_list it{national.list, national.signer.thumbprint()};
    const Kept_list qualified{format_six.list, format_six.signer.thumbprint()};
    const std::vector<uint8_t> cache = write_trusted_list_cache(eu, {it, qualified});
    const std::optional<Cached_lists> read = read_trusted_list_cache(cache);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->european, eu);
    ASSERT_EQ(read->national.size(), 2u);
    EXPECT_EQ(read->national[0], it);
    EXPECT_EQ(read->national[1], qualified);

    // A cache of the format before the qualifications, with a sound checksum: read again from the
    // lists, never taken as lists without them.
    std::vector<uint8_t> older(cache.begin(), cache.end() - SHA256_DIGEST_LENGTH);
    older[7] = '1';
    std::array<uint8_t, SHA256_DIGEST_LENGTH> sum{};
    SHA256(older.data(), older.size(), sum.data());
    older.insert(older.end(), sum.begin(), sum.end());
    EXPECT_FALSE(read_trusted_list_cache(older));

    for (size_t cut = 0; cut < cache.size(); cut += 97)
        EXPECT_FALSE(read_trusted_list_cache(std::span(cache).first(cut))) << cut;
    std::vector<uint8_t> longer = cache;
    longer.push_back(0);
    EXPECT_FALSE(read_trusted_list_cache(longer));
    // A length field pointing far beyond the end, one changed byte of a certificate.
    std::vector<uint8_t> huge = cache;
    for (size_t i = 8; i < 16; ++i)
        huge[i] = 0xFF;
    EXPECT_FALSE(read_trusted_list_cache(huge));
    std::vector<uint8_t> changed = cache;
    changed[cache.size() / 2] ^= 1;
    EXPECT_FALSE(read_trusted_list_cache(changed));
}

} // namespace
} // namespace velin
