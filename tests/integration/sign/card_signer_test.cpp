// The PKCS#7 card signer with the holder's key on a SoftHSM token reached through libp11: a new
// envelope and a parallel signature that every reader accepts, the PIN given for each signature
// and taken back after it, and what happens without the token or with a wrong PIN.
#include "norax_sign/card_signer.h"
#include "norax_sign/envelope_signature.h"
#include "softhsm_token.h"
#include "test_folder.h"
#include "trace_records.h"
#include "verifier_matches.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>

namespace velin {
namespace {

namespace fs = std::filesystem;

std::string text_of(const Signed_output& output)
{
    std::string text(output.head.begin(), output.head.end());
    text.append(output.document.begin(), output.document.end());
    text.append(output.tail.begin(), output.tail.end());
    return text;
}

class Card_signer_test : public testing::Test {
protected:
    void SetUp() override
    {
        test::private_environment();
        ASSERT_TRUE(fs::exists(test::Softhsm_token::Module)) << "SoftHSM is missing (Debian package softhsm2)";
        token.certificate("regional-ca", "0A");
        token.key_pair("holder-regional", "01");
    }

    // openssl cms -verify of every signature (no chain: the card PKI has its own roots), and the
    // signers' certificates written to signers.pem.
    bool openssl_verifies(const std::string& envelope)
    {
        test::write_file(folder / "signed.p7m", envelope);
        const std::string command = "openssl cms -verify -noverify -binary -inform DER -in " +
                                    (folder / "signed.p7m").string() + " -out " + (folder / "content").string() +
                                    " -signer " + (folder / "signers.pem").string() + " >/dev/null 2>&1";
        return std::system(command.c_str()) == 0 && test::read_file(folder / "content") == document;
    }

    // Records of the level written since the mark that name every one of the parts.
    static size_t traced_since(size_t mark, int level, const std::vector<std::string>& parts)
    {
        return test::count_traced(level, parts, mark);
    }

    test::Softhsm_token token;
    test::Test_folder folder;
    const std::string document = "Verbale della seduta del 7 dicembre.\n";
    std::span<const uint8_t> bytes() const
    {
        return {reinterpret_cast<const uint8_t*>(document.data()), document.size()};
    }
};

TEST_F(Card_signer_test, new_envelope_and_parallel_signature_with_the_tokens_key)
{
    Pkcs7_card_signer signer(test::Softhsm_token::Label, test::Softhsm_token::Module);
    signer.open();
    ASSERT_TRUE(signer.succeeded());

    size_t mark = test::trace_mark();
    signer.sign(test::Softhsm_token::Pin, bytes(), 0);
    ASSERT_TRUE(signer.succeeded()) << std::hex << signer.error_code();
    // The token is logged out after the signature.
    EXPECT_EQ(traced_since(mark, Level_trace, {"PIN"}), 1u);
    // The document is carried as it is, not copied.
    EXPECT_EQ(signer.result().document.data(), bytes().data());
    const std::string envelope = text_of(signer.result());
    ASSERT_TRUE(openssl_verifies(envelope));
    EXPECT_EQ(test::read_file(folder / "signers.pem"),
              test::read_file(fs::path(VELIN_SOURCE_DIR) / "tests/fixtures/card/holder-regional.cert.pem"));
    EXPECT_EQ(test::verifier_matches({envelope.begin(), envelope.end()}), std::vector<bool>{true});

    // The same holder signs again in parallel: two signers, both intact.
    mark = test::trace_mark();
    signer.sign(test::Softhsm_token::Pin, {reinterpret_cast<const uint8_t*>(envelope.data()), envelope.size()},
                Flag_parallel);
    ASSERT_TRUE(signer.succeeded());
    EXPECT_TRUE(signer.result().document.empty() && signer.result().tail.empty());
    const std::string cosigned = text_of(signer.result());
    EXPECT_TRUE(openssl_verifies(cosigned));
    EXPECT_EQ(test::verifier_matches({cosigned.begin(), cosigned.end()}), (std::vector<bool>{true, true}));
    EXPECT_EQ(traced_since(mark, Level_info, {"parallela", "riuscita"}), 1u);
    EXPECT_EQ(traced_since(mark, Level_info, {"size for the encoded BLOB"}), 1u);

    // Not an envelope: the parallel signature stops while reading it.
    mark = test::trace_mark();
    signer.sign(test::Softhsm_token::Pin, bytes(), Flag_parallel);
    EXPECT_FALSE(signer.succeeded());
    EXPECT_EQ(traced_since(mark, Level_warn, {"CryptMsgUpdate"}), 1u);
    EXPECT_EQ(traced_since(mark, Level_info, {"parallela", "fallita"}), 1u);
}

TEST_F(Card_signer_test, a_tampered_envelope_is_refused_and_a_base64_one_is_co_signed_as_base64)
{
    Pkcs7_card_signer signer(test::Softhsm_token::Label, test::Softhsm_token::Module);
    signer.open();
    ASSERT_TRUE(signer.succeeded());
    signer.sign(test::Softhsm_token::Pin, bytes(), 0);
    ASSERT_TRUE(signer.succeeded());
    const std::string envelope = text_of(signer.result());
    size_t mark = test::trace_mark();

    // The document changed after it was signed: no signature, and an error record (which the
    // program shows) that says why.
    std::string tampered = envelope;
    tampered[tampered.find("7 dicembre")] = '8';
    signer.sign(test::Softhsm_token::Pin, {reinterpret_cast<const uint8_t*>(tampered.data()), tampered.size()},
                Flag_parallel);
    EXPECT_FALSE(signer.succeeded());
    EXPECT_EQ(traced_since(mark, Level_error, {Text_earlier_signature_mismatch}), 1u);
    EXPECT_EQ(traced_since(mark, Level_info, {"parallela", "fallita"}), 1u);
    EXPECT_EQ(traced_since(mark, Level_info, {"parallela", "riuscita"}), 0u);

    // The envelope as base64 text, as openssl base64 writes it: co-signed, and base64 again.
    mark = test::trace_mark();
    test::write_file(folder / "envelope.p7m", envelope);
    ASSERT_EQ(std::system(("openssl base64 -in " + (folder / "envelope.p7m").string() + " -out " +
                           (folder / "envelope.b64").string())
                              .c_str()),
              0);
    const std::string base64 = test::read_file(folder / "envelope.b64");
    signer.sign(test::Softhsm_token::Pin, {reinterpret_cast<const uint8_t*>(base64.data()), base64.size()},
                Flag_parallel);
    ASSERT_TRUE(signer.succeeded());
    const std::string cosigned = text_of(signer.result());
    EXPECT_EQ(cosigned.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=\n"),
              std::string::npos);
    EXPECT_EQ(cosigned.find('\n'), 64u);
    EXPECT_TRUE(cosigned.ends_with("\n"));
    EXPECT_EQ(test::verifier_matches({cosigned.begin(), cosigned.end()}), (std::vector<bool>{true, true}));
    test::write_file(folder / "cosigned.b64", cosigned);
    ASSERT_EQ(std::system(("openssl base64 -d -in " + (folder / "cosigned.b64").string() + " -out " +
                           (folder / "cosigned.p7m").string())
                              .c_str()),
              0);
    EXPECT_TRUE(openssl_verifies(test::read_file(folder / "cosigned.p7m")));
    EXPECT_EQ(traced_since(mark, Level_info, {"parallela", "riuscita"}), 1u);
}

TEST_F(Card_signer_test, a_refused_pin_signs_nothing_and_no_token_opens_nothing)
{
    Pkcs7_card_signer signer(test::Softhsm_token::Label, test::Softhsm_token::Module);
    signer.open();
    ASSERT_TRUE(signer.succeeded());
    const size_t mark = test::trace_mark();
    signer.sign("99999", bytes(), 0);
    EXPECT_FALSE(signer.succeeded());
    // Said as a refused PIN, so that the batch does not offer it again.
    EXPECT_EQ(signer.error_code(), Result_pin_wrong);
    // Nothing was given to the token, so nothing is taken back.
    EXPECT_EQ(traced_since(mark, Level_trace, {"PIN"}), 0u);
    // The right PIN afterwards works.
    signer.sign(test::Softhsm_token::Pin, bytes(), 0);
    EXPECT_TRUE(signer.succeeded());

    Pkcs7_card_signer nowhere("Lettore che non c'è", test::Softhsm_token::Module);
    nowhere.open();
    EXPECT_FALSE(nowhere.succeeded());
    EXPECT_EQ(nowhere.error_code(), Result_failed);
    EXPECT_TRUE(test::traced(Level_error, {"contesto crittografico"}));
    nowhere.sign(test::Softhsm_token::Pin, bytes(), 0);
    EXPECT_FALSE(nowhere.succeeded());
}

TEST_F(Card_signer_test, a_key_missing_after_the_login_is_said_and_the_token_logged_out)
{
    // The certificate and the public half stay, so the signer opens; the private key is gone.
    const std::string command = std::string("pkcs11-tool --module ") + test::Softhsm_token::Module +
                                " --token-label '" + test::Softhsm_token::Label + "' --login --pin " +
                                test::Softhsm_token::Pin + " --delete-object --type privkey --id 01 >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    Pkcs7_card_signer signer(test::Softhsm_token::Label, test::Softhsm_token::Module);
    signer.open();
    ASSERT_TRUE(signer.succeeded());
    const size_t mark = test::trace_mark();
    signer.sign(test::Softhsm_token::Pin, bytes(), 0);
    EXPECT_FALSE(signer.succeeded());
    EXPECT_EQ(signer.error_code(), Result_failed);
    EXPECT_EQ(traced_since(mark, Level_trace, {"Chiave"}), 1u);
    EXPECT_EQ(traced_since(mark, Level_trace, {"PIN"}), 1u);
}

} // namespace
} // namespace velin
