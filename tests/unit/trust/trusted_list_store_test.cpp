// The trusted lists kept in the user's folder, loaded into the trusted store: chains that end at a
// CA/QC service granted at the signing time have legal value, and only those; the parsed cache
// stands in for the XML until the pins no longer match it.
#include "trust/chain_builder.h"
#include "trust/european_list.h"
#include "trust/qualification.h"
#include "trust/timestamp_authority.h"
#include "trust/trusted_list_store.h"
#include "trust/trusted_store.h"

#include "pki.h"
#include "test_folder.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace velin {
namespace {

namespace fs = std::filesystem;
using test::at;
using test::list_certificate;
using test::Report_capture;
using test::Test_folder;

// A folder of kept lists: the European list and the Italian one under its kept name.
void keep(const Test_folder& folder, const std::string& european = "eu-lotl.xml",
          const std::string& national = "it-tsl.xml")
{
    fs::copy_file(test::list_fixture(european), folder / "eu-lotl.xml", fs::copy_options::overwrite_existing);
    fs::copy_file(test::list_fixture(national), folder / "TSL-IT.xml", fs::copy_options::overwrite_existing);
}

std::string kind_of(const Trusted_store& store, const std::string& signer, std::optional<std::time_t> time = {})
{
    const Chain_outcome outcome = build_chain(store, list_certificate(signer), time);
    if (!outcome.complete)
        return "incompleta";
    return signature_kind_text(outcome.kind_assigned ? 2 : 3, outcome.kind);
}

constexpr const char* Legal = "Firma digitale (con validità legale)";
constexpr const char* Attestation = "Firma elettronica (attestazione)";

TEST(Trusted_list_store, classifies_chains_by_the_services_status_at_the_signing_time)
{
    Test_folder folder;
    keep(folder);
    Report_capture reports;
    const Trusted_store store("", list_publisher_pem, "", folder.path().string());
    ASSERT_NE(store.trusted_lists(), nullptr);
    EXPECT_TRUE(store.accredited_list_is_available());
    EXPECT_FALSE(store.cnipa_store_is_available());

    EXPECT_EQ(kind_of(store, "signer-granted"), Legal);
    const Chain_outcome granted = build_chain(store, list_certificate("signer-granted"));
    EXPECT_EQ(granted.chain,
              (std::vector<Certificate>{list_certificate("signer-granted"), list_certificate("ca-granted")}));
    // Accredited before 1 July 2016, as the published lists write it: a signature of 2014 has legal
    // value; none before the service was listed.
    EXPECT_EQ(kind_of(store, "signer-granted", at("2014-03-01T00:00:00Z")), Legal);
    EXPECT_EQ(kind_of(store, "signer-granted", at("2009-03-01T00:00:00Z")), Attestation);
    // Withdrawn in 2020: a signature of 2018 had legal value, one of 2021 has not.
    EXPECT_EQ(kind_of(store, "signer-withdrawn", at("2018-05-01T00:00:00Z")), Legal);
    EXPECT_EQ(kind_of(store, "signer-withdrawn", at("2021-05-01T00:00:00Z")), Attestation);
    EXPECT_EQ(kind_of(store, "signer-withdrawn"), Attestation);
    // Granted when signed (2023), withdrawn afterwards (2024).
    EXPECT_EQ(kind_of(store, "signer-history", at("2023-05-01T00:00:00Z")), Legal);
    EXPECT_EQ(kind_of(store, "signer-history"), Attestation);
    // A signing time in the future is judged by today's status.
    EXPECT_EQ(kind_of(store, "signer-history", at("2090-01-01T00:00:00Z")), Attestation);
    EXPECT_EQ(kind_of(store, "signer-seals"), Attestation);
    // The listed authority is not self-signed: the chain ends at it all the same.
    EXPECT_EQ(kind_of(store, "signer-sub"), Legal);
    EXPECT_EQ(build_chain(store, list_certificate("signer-sub")).chain.size(), 2u);

    EXPECT_TRUE(store.is_trusted_time_stamping_authority(list_certificate("tsa"), at("2025-01-01T00:00:00Z")));
    EXPECT_FALSE(
        store.is_trusted_time_stamping_authority(list_certificate("signer-granted"), at("2025-01-01T00:00:00Z")));
    // The verifier's one decision on time-stamping authorities takes the list's services in.
    EXPECT_TRUE(timestamp_authority_trust(store, list_certificate("tsa"), at("2025-01-01T00:00:00Z")).trusted);
    EXPECT_TRUE(timestamp_authority_trust(store, list_certificate("tsa"), at("2025-01-01T00:00:00Z")).qualified);
    EXPECT_FALSE(timestamp_authority_trust(store, list_certificate("eu-signer"), at("2025-01-01T00:00:00Z")).trusted);
}

// A list of format 6 whose services say which certificates are qualified, and on what device.
TEST(Trusted_list_store, classifies_chains_by_the_qualifications_of_a_list_of_format_six)
{
    Test_folder folder;
    keep(folder, "eu-lotl.xml", "it-tsl-v6.xml");
    Report_capture reports;
    const Trusted_store store("", list_publisher_pem, "", folder.path().string());
    // Issued in 2013 under the accreditation with QcSSCD; the list gave no qualified device in
    // 2016-2020, and gives one since.
    EXPECT_EQ(kind_of(store, "signer-granted"), Legal);
    EXPECT_EQ(kind_of(store, "signer-granted", at("2019-03-01T00:00:00Z")), Attestation);
    EXPECT_TRUE(build_chain(store, list_certificate("signer-granted"), at("2019-03-01T00:00:00Z"))
                    .attestation_reason.ends_with(Qualification_text_no_device));
    // A service whose certificates are not qualified, and one for web sites only.
    EXPECT_EQ(kind_of(store, "signer-sub"), Attestation);
    EXPECT_EQ(build_chain(store, list_certificate("signer-sub")).attestation_reason,
              std::string("Firma non qualificata. Alla data di emissione del certificato (01/01/2017 00:00 UTC): ") +
                  Qualification_text_declared_not_qualified);
    EXPECT_EQ(kind_of(store, "signer-seals"), Attestation);
}

TEST(Trusted_list_store, starts_from_the_cache_and_drops_it_when_the_pins_change)
{
    Test_folder folder;
    keep(folder);
    std::vector<List_load_line> lines;
    const std::vector<Certificate> pins{list_certificate("eu-signer")};
    ASSERT_NE(load_trusted_lists(folder.path(), pins, at("2025-01-01T00:00:00Z"), lines), nullptr);
    EXPECT_TRUE(lines.empty());
    ASSERT_TRUE(fs::exists(folder / "liste.cache"));

    // The XML is not read again while the cache stands: damaged, it changes nothing.
    test::write_file(folder / "TSL-IT.xml", "damaged");
    auto lists = load_trusted_lists(folder.path(), pins, at("2025-01-01T00:00:00Z"), lines);
    ASSERT_NE(lists, nullptr);
    ASSERT_EQ(lists->national().size(), 1u);
    EXPECT_TRUE(lines.empty());
    // Chains are built from the cache's certificates as from the XML's.
    {
        Report_capture reports;
        const Trusted_store store("", list_publisher_pem, "", folder.path().string());
        EXPECT_EQ(kind_of(store, "signer-granted"), Legal);
        EXPECT_EQ(kind_of(store, "signer-sub"), Legal);
        EXPECT_EQ(kind_of(store, "signer-withdrawn"), Attestation);
        EXPECT_TRUE(store.is_trusted_time_stamping_authority(list_certificate("tsa"), at("2025-01-01T00:00:00Z")));
    }

    // Other pins: the cache no longer counts and the kept European list fails the check.
    lists = load_trusted_lists(folder.path(), {list_certificate("rogue-signer")}, at("2025-01-01T00:00:00Z"), lines);
    EXPECT_EQ(lists, nullptr);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_FALSE(lines[0].warning);
    // The signer's fingerprint is said, for the administrator to compare with the Official Journal.
    EXPECT_EQ(lines[0].text.rfind("La lista europea delle liste di fiducia non è stata usata: Il certificato che ha "
                                  "firmato la lista non è tra quelli attesi",
                                  0),
              0u)
        << lines[0].text;
    EXPECT_NE(
        lines[0].text.find("Impronta SHA-256 del certificato: " + sha256_fingerprint(list_certificate("eu-signer"))),
        std::string::npos)
        << lines[0].text;

    // A damaged cache is made again from the XML, whose damaged national list is then refused.
    test::write_file(folder / "liste.cache", "VLNTLCH1 damaged");
    lines.clear();
    lists = load_trusted_lists(folder.path(), pins, at("2025-01-01T00:00:00Z"), lines);
    ASSERT_NE(lists, nullptr);
    EXPECT_TRUE(lists->national().empty());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "La lista di fiducia IT non è stata usata: La lista di fiducia non è un documento XML "
                             "leggibile.");
}

TEST(Trusted_list_store, warns_of_a_list_past_its_next_update_and_still_uses_it)
{
    Test_folder folder;
    keep(folder, "eu-lotl.xml", "it-tsl-past-next-update.xml");
    Report_capture reports;
    const Trusted_store store("", list_publisher_pem, "", folder.path().string());
    EXPECT_TRUE(reports.said("W: La lista di fiducia IT doveva essere aggiornata entro il 01/07/2019 00:00 UTC: è "
                             "usata comunque, ma va aggiornata al più presto."));
    EXPECT_EQ(kind_of(store, "signer-granted"), Legal);
}

TEST(Trusted_list_store, does_not_use_a_national_list_its_european_list_does_not_vouch_for)
{
    Test_folder folder;
    keep(folder, "eu-lotl.xml", "it-tsl-rogue.xml");
    Report_capture reports;
    const Trusted_store store("", list_publisher_pem, "", folder.path().string());
    EXPECT_TRUE(reports.said("E: La lista di fiducia IT non è stata usata: Il certificato che ha firmato la lista di "
                             "fiducia non è tra quelli attesi."));
    // Without an accredited list nothing can be classified.
    const Chain_outcome outcome = build_chain(store, list_certificate("signer-granted"));
    EXPECT_FALSE(outcome.complete);
}

} // namespace
} // namespace velin
