// The European list reached from a pinned certificate through the pivot lists made by
// tools/make-test-trusted-lists --pivots, and refused, with its signer's fingerprint, whenever the
// chain does not reach it.
#include "trust/european_list.h"
#include "trust/trusted_list_store.h"

#include "pki.h"
#include "test_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>

namespace velin {
namespace {

namespace fs = std::filesystem;

const fs::path pivots = fs::path(VELIN_SOURCE_DIR) / "tests/fixtures/tsl/pivot";
const std::string Base = "https://lotl.example.eu/";

using test::bytes_of;

Certificate pivot_certificate(const std::string& name)
{
    return pem_certificates(test::read_file(pivots / (name + ".cert.pem"))).at(0);
}

// Serves each pivot from the fixture named as its address ends, unless the case stands another
// text in for it (an empty text: the pivot cannot be had); records what was asked, in order.
struct Fixture_source {
    std::map<std::string, std::string> replaced;
    std::vector<std::string> asked;

    Pivot_source source()
    {
        return [this](const std::string& address) -> std::optional<std::vector<uint8_t>> {
            asked.push_back(address);
            const std::string name = pivot_file_name(address);
            const auto instead = replaced.find(name);
            if (instead == replaced.end())
                return bytes_of(test::read_file(pivots / name));
            if (instead->second.empty())
                return std::nullopt;
            return bytes_of(instead->second);
        };
    }
};

TEST(European_list, is_reached_through_its_pivots_from_a_pinned_signer_only)
{
    const std::string pivot_101 = Base + "eu-lotl-pivot-101.xml";
    const std::string pivot_102 = Base + "eu-lotl-pivot-102.xml";
    const std::string pivot_103 = Base + "eu-lotl-pivot-103.xml";
    const std::vector<std::string> all{pivot_101, pivot_102, pivot_103};
    std::string tampered = test::read_file(pivots / "eu-lotl-pivot-102.xml");
    tampered.replace(tampered.find("<TSLSequenceNumber>102"), 22, "<TSLSequenceNumber>109");
    const auto unknown = [](const std::string& address, const std::string& signer) {
        return "La lista pivot " + address +
               " non è stata usata: Il certificato che l'ha firmata non è tra quelli attesi né tra quelli annunciati "
               "dalla lista pivot precedente (impronta SHA-256 " +
               sha256_fingerprint(pivot_certificate(signer)) + ").";
    };
    const struct {
        const char* what;
        std::vector<std::string> pins;
        std::map<std::string, std::string> replaced;
        const char* anchor; // nullptr: the list is refused
        std::vector<std::string> used; // the pivots kept
        std::vector<std::string> warnings;
    } cases[] = {
        {"three pivots from the pinned signer", {"oj-signer"}, {}, "oj-signer", {pivot_101, pivot_102, pivot_103}, {}},
        {"the list's own signer pinned: no pivot is fetched", {"pivot-signer-3"}, {}, "pivot-signer-3", {}, {}},
        {"a later signer added by the administrator starts the chain at its pivot",
         {"pivot-signer-2"},
         {},
         "pivot-signer-2",
         {pivot_103},
         {unknown(pivot_101, "oj-signer"), unknown(pivot_102, "pivot-signer-1")}},
        {"a pivot that cannot be had breaks the chain",
         {"oj-signer"},
         {{"eu-lotl-pivot-102.xml", ""}},
         nullptr,
         {pivot_101},
         {unknown(pivot_103, "pivot-signer-2")}},
        {"a pivot changed after signing breaks the chain",
         {"oj-signer"},
         {{"eu-lotl-pivot-102.xml", tampered}},
         nullptr,
         {pivot_101},
         {"La lista pivot " + pivot_102 + " non è stata usata: La firma della lista di fiducia non è valida.",
          unknown(pivot_103, "pivot-signer-2")}},
        {"a pivot signed by a key the one before did not announce, though it names it for itself",
         {"oj-signer"},
         {{"eu-lotl-pivot-102.xml", test::read_file(pivots / "eu-lotl-pivot-102-unannounced.xml")}},
         nullptr,
         {pivot_101},
         {unknown(pivot_102, "unannounced-signer"), unknown(pivot_103, "pivot-signer-2")}},
        {"no pivot at all: the list's word for its own signer counts for nothing",
         {"oj-signer"},
         {{"eu-lotl-pivot-101.xml", ""}, {"eu-lotl-pivot-102.xml", ""}, {"eu-lotl-pivot-103.xml", ""}},
         nullptr,
         {},
         {}},
    };
    for (const auto& tried : cases) {
        SCOPED_TRACE(tried.what);
        std::vector<Certificate> pins;
        for (const std::string& name : tried.pins)
            pins.push_back(pivot_certificate(name));
        Fixture_source source{tried.replaced, {}};
        const European_list_reading read =
            read_european_list(bytes_of(test::read_file(pivots / "eu-lotl.xml")), pins, source.source());
        std::vector<std::string> used;
        for (const Pivot_list& pivot : read.pivots)
            used.push_back(pivot.address);
        EXPECT_EQ(used, tried.used);
        EXPECT_EQ(read.warnings, tried.warnings);
        if (tried.anchor) {
            ASSERT_TRUE(read.reading.verified) << read.reading.failure;
            EXPECT_EQ(read.reading.list.sequence_number, 104u);
            EXPECT_EQ(read.reading.signer, pivot_certificate("pivot-signer-3"));
            EXPECT_EQ(read.anchor_thumbprint, pivot_certificate(tried.anchor).thumbprint());
        } else {
            EXPECT_FALSE(read.reading.verified);
            EXPECT_NE(read.reading.failure.find("Impronta SHA-256 del certificato: " +
                                                sha256_fingerprint(pivot_certificate("pivot-signer-3")) + "."),
                      std::string::npos)
                << read.reading.failure;
        }
        // Oldest first, and only while the list's own signer is not pinned.
        const bool direct = tried.anchor && tried.used.empty();
        EXPECT_EQ(source.asked, direct ? std::vector<std::string>() : std::vector<std::string>(all));
    }
}

TEST(European_list, takes_as_pivots_only_plain_web_addresses_of_xml_files)
{
    const std::pair<const char*, const char*> names[] = {
        {"https://lotl.example.eu/eu-lotl-pivot-341.xml", "eu-lotl-pivot-341.xml"},
        {"http://lotl.example.eu/a/B_1.XML?x=1#y", "B_1.XML"},
        {"https://eur-lex.europa.eu/legal-content/EN/TXT/?uri=uriserv:OJ.C_.2019.276.01.0001.01.ENG", ""},
        {"https://lotl.example.eu/.xml", ""},
        {"https://lotl.example.eu/.nascosto.xml", ""},
        {"https://lotl.example.eu/a%2F..%2Fb.xml", ""},
        {"https://lotl.example.eu/lista.pdf", ""},
        {"", ""},
    };
    for (const auto& [address, name] : names)
        EXPECT_EQ(pivot_file_name(address), name) << address;

    // Listed newest first, walked oldest first; what is not an http(s) address is no pivot, and
    // past the limit the oldest are left out.
    std::vector<std::string> listed;
    for (size_t i = Max_pivot_lists + 5; i > 0; --i)
        listed.push_back("https://lotl.example.eu/p-" + std::to_string(i) + ".xml");
    listed.insert(listed.begin() + 1, {"file:///etc/p.xml", "ftp://lotl.example.eu/p.xml", "/tmp/p.xml"});
    const std::vector<std::string> walked = pivot_addresses(listed);
    ASSERT_EQ(walked.size(), Max_pivot_lists);
    EXPECT_EQ(walked.front(), "https://lotl.example.eu/p-6.xml");
    EXPECT_EQ(walked.back(), "https://lotl.example.eu/p-" + std::to_string(Max_pivot_lists + 5) + ".xml");

    // Whatever the bytes, the addresses are read without a fault.
    const std::string list = test::read_file(pivots / "eu-lotl.xml");
    EXPECT_EQ(read_scheme_information_uris(bytes_of(list)).size(), 4u);
    for (const std::string& hostile : {list.substr(0, list.size() / 2), std::string(), std::string("<a/>")})
        EXPECT_TRUE(read_scheme_information_uris(bytes_of(hostile)).empty());
}

TEST(European_list, the_built_in_signers_are_the_official_journals)
{
    // The file notes before each certificate the fingerprint the notice gives: the certificates
    // are read past the notes, and are those.
    const std::string file =
        test::read_file(fs::path(VELIN_SOURCE_DIR) / "res/VelinVerify/trust/eu-lotl-signers-oj-2019.pem");
    const std::string label = "sha256 Fingerprint=";
    std::vector<std::string> noted;
    for (size_t at = file.find(label); at != std::string::npos; at = file.find(label, at + 1)) {
        std::string hex;
        for (const char c : file.substr(at + label.size(), 95))
            if (c != ':')
                hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        noted.push_back(hex);
    }
    std::vector<std::string> built_in;
    for (const Certificate& signer : pem_certificates(eu_list_signers_pem))
        built_in.push_back(sha256_fingerprint(signer));
    ASSERT_EQ(noted.size(), 8u);
    for (const std::string& fingerprint : noted)
        EXPECT_NE(std::find(built_in.begin(), built_in.end(), fingerprint), built_in.end()) << fingerprint;
}

} // namespace
} // namespace velin
