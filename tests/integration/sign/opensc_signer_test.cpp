// The PKCS#7 card signer through OpenSC's PKCS#11 module on the bed's simulated cards, the path a
// holder's desktop takes: the PIN reaches the card as its 8-byte block, the card itself makes the
// signature with the key a relying party expects, and the envelope verifies.
#include "card_bed.h"
#include "norax_sign/card_signer.h"
#include "test_folder.h"
#include "verifier_matches.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <regex>

namespace velin {
namespace {

namespace fs = std::filesystem;

const std::string Opensc_module = "/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so";

class Opensc_signer_test : public testing::Test {
protected:
    void SetUp() override
    {
        test::private_environment();
        ASSERT_TRUE(bed.running()) << "the card bed is not running: run through ctest (fixture card_bed)";
        ASSERT_TRUE(fs::exists(Opensc_module)) << "OpenSC's PKCS#11 module is missing (Debian package opensc-pkcs11)";
        // No file cache: the module reads the card in the reader, not what an earlier card left.
        test::write_file(folder / "opensc.conf",
                         "app default {\n\tframework pkcs15 {\n\t\tuse_file_caching = no;\n\t}\n}\n");
        ::setenv("OPENSC_CONF", (folder / "opensc.conf").c_str(), 1);
    }
    void TearDown() override
    {
        ::unsetenv("OPENSC_CONF");
        bed.empty(1);
        bed.insert(0, "regional --reset-state");
    }

    test::Card_bed bed;
    test::Test_folder folder;
};

TEST_F(Opensc_signer_test, the_card_signs_with_the_key_a_relying_party_expects)
{
    const std::string document = "Verbale della seduta del 9 dicembre.\n";
    const std::span<const uint8_t> bytes{reinterpret_cast<const uint8_t*>(document.data()), document.size()};
    // The regional card has a signature application: its non-repudiation key, under its own PIN.
    // The other card has the authentication key alone (its maker's PIN reference has bit 8 set).
    struct Case {
        int reader;
        std::string profile, pin, pin_reference, tries_key, key_reference, certificate;
    } const cases[] = {
        {0, "regional", "24680", "1A", "sign_pin_tries", "10", "holder-regional-sign"},
        {1, "other", "12345", "90", "pin_tries", "01", "holder-other"},
    };
    bed.insert(0, "regional --reset-state");
    bed.insert(1, "other --reset-state");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.profile);
        Pkcs7_card_signer signer("Virtual PCD 00 0" + std::to_string(c.reader), Opensc_module);
        signer.open();
        ASSERT_TRUE(signer.succeeded());

        // A wrong PIN costs the card exactly one try and signs nothing.
        signer.sign("99999", bytes, 0);
        EXPECT_EQ(signer.error_code(), Result_pin_wrong);
        EXPECT_EQ(bed.state(c.reader, c.profile)[c.tries_key], "2");

        const size_t logged = bed.apdu_log(c.reader).size();
        signer.sign(c.pin.c_str(), bytes, 0);
        ASSERT_TRUE(signer.succeeded()) << std::hex << signer.error_code();
        EXPECT_EQ(bed.state(c.reader, c.profile)[c.tries_key], "3");
        const std::string log = bed.apdu_log(c.reader).substr(logged);
        for (const std::string& command :
             {"> 00 20 00 " + c.pin_reference + " 08 \\*\\* \\*\\* \\*\\* \\*\\* \\*\\* \\*\\* \\*\\* \\*\\*\n",
              "> 00 22 F1 B[68] 03 83 01 " + c.key_reference + "\n", std::string("> 00 2A (9E 9A|80 86) 8[01] ")})
            EXPECT_TRUE(std::regex_search(log, std::regex(command))) << command << " not in the card's log:\n" << log;

        const Signed_output& output = signer.result();
        std::string envelope(output.head.begin(), output.head.end());
        envelope.append(output.document.begin(), output.document.end());
        envelope.append(output.tail.begin(), output.tail.end());
        test::write_file(folder / "signed.p7m", envelope);
        const std::string verify = "openssl cms -verify -noverify -binary -inform DER -in " +
                                   (folder / "signed.p7m").string() + " -out " + (folder / "content").string() +
                                   " -signer " + (folder / "signer.pem").string() + " >/dev/null 2>&1";
        ASSERT_EQ(std::system(verify.c_str()), 0);
        EXPECT_EQ(test::read_file(folder / "content"), document);
        EXPECT_EQ(test::read_file(folder / "signer.pem"),
                  test::read_file(bed.env("CARD_BED_FIXTURES") + "/" + c.certificate + ".cert.pem"));
        EXPECT_EQ(test::verifier_matches({envelope.begin(), envelope.end()}), std::vector<bool>{true});
    }
}

} // namespace
} // namespace velin
