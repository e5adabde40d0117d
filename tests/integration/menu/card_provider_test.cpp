// Which certificate of a token is the signing certificate, on private SoftHSM tokens made here
// with softhsm2-util and pkcs11-tool: CA certificates and other key pairs around the holder's.
#include "card_channel/card_provider.h"
#include "softhsm_token.h"
#include "test_folder.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

using namespace velin;

using test::card_fixture;
const std::string Module = test::Softhsm_token::Module;

// One token labelled "Lettore di prova", and the certificate the provider takes as the signing one.
class Test_token : public test::Softhsm_token {
public:
    std::vector<unsigned char> signing_certificate() const { return Card_provider(Module, Label).user_certificate(); }
};

class Signing_certificate : public testing::Test {
protected:
    void SetUp() override
    {
        test::private_environment();
        ASSERT_TRUE(std::filesystem::exists(Module)) << "SoftHSM is missing (Debian package softhsm2)";
        ASSERT_EQ(std::system("command -v pkcs11-tool softhsm2-util >/dev/null"), 0)
            << "pkcs11-tool or softhsm2-util is missing (Debian packages opensc, softhsm2)";
    }
};

TEST_F(Signing_certificate, the_holders_certificate_whatever_ca_certificates_surround_it)
{
    // CA certificates on both sides of the holder's pair: only the holder has a key.
    Test_token token;
    token.certificate("regional-ca", "0A");
    token.key_pair("holder-other", "01");
    token.certificate("other-ca", "0B");
    const auto chosen = token.signing_certificate();
    EXPECT_EQ(chosen, card_fixture("holder-other.cert.der"));
    EXPECT_EQ(issuer_display_name(chosen).find(Regional_issuer), std::string::npos);
}

TEST_F(Signing_certificate, the_non_repudiation_pair_among_several_keys)
{
    // Two pairs: one whose certificate lacks non-repudiation (the regional CA's key, standing
    // in for an authentication key) and the holder's, with non-repudiation.
    Test_token token;
    token.key_pair("regional-ca", "02");
    token.key_pair("holder-other", "01");
    EXPECT_EQ(token.signing_certificate(), card_fixture("holder-other.cert.der"));

    // With only the pair without non-repudiation, that pair's certificate is still the one
    // with a key, never the CA certificate without one.
    Test_token other;
    other.certificate("other-ca", "0B");
    other.key_pair("regional-ca", "02");
    EXPECT_EQ(other.signing_certificate(), card_fixture("regional-ca.cert.der"));
}

TEST_F(Signing_certificate, first_certificate_only_when_no_key_is_linked)
{
    Test_token token;
    token.certificate("holder-regional", "01");
    EXPECT_EQ(token.signing_certificate(), card_fixture("holder-regional.cert.der"));

    Test_token empty;
    EXPECT_THROW(empty.signing_certificate(), std::runtime_error);
}

} // namespace
