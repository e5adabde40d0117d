// Which certificate of a token is the signing certificate, on private SoftHSM tokens made here
// with softhsm2-util and pkcs11-tool: CA certificates and other key pairs around the holder's.
#include "VelinMenu/channel/card_provider.h"
#include "test_folder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

namespace {

using namespace velin;

const std::string Fixtures = std::string(VELIN_SOURCE_DIR) + "/tests/fixtures/card/";
const std::string Module = "/usr/lib/softhsm/libsofthsm2.so";

std::vector<unsigned char> fixture(const std::string& name)
{
    std::ifstream in(Fixtures + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// One SoftHSM token labelled "Lettore di prova" in a private folder, filled object by object in
// the order of the calls.
class Test_token {
public:
    static constexpr const char* Label = "Lettore di prova";

    Test_token()
    {
        const std::string tokens = (_folder / "tokens").string();
        std::filesystem::create_directories(tokens);
        test::write_file(_folder / "softhsm2.conf",
                         "directories.tokendir = " + tokens + "\nobjectstore.backend = file\nlog.level = ERROR\n");
        ::setenv("SOFTHSM2_CONF", (_folder / "softhsm2.conf").string().c_str(), 1);
        run("softhsm2-util --init-token --free --label '" + std::string(Label) + "' --so-pin 12345678 --pin 12345");
    }

    // A certificate without a key.
    void certificate(const std::string& name, const std::string& id)
    {
        write("--write-object " + Fixtures + name + ".cert.der --type cert --id " + id + " --label " + name);
    }
    // A key pair (private and public half) and its certificate, all with the same id.
    void key_pair(const std::string& name, const std::string& id)
    {
        const std::string pub = (_folder / (name + ".pub.der")).string();
        run("openssl pkey -in " + Fixtures + name + ".key.pem -pubout -outform DER -out " + pub);
        const std::string p8 = (_folder / (name + ".p8.der")).string();
        run("openssl pkcs8 -topk8 -nocrypt -in " + Fixtures + name + ".key.pem -outform DER -out " + p8);
        write("--write-object " + p8 + " --type privkey --id " + id + " --label " + name + " --usage-sign");
        write("--write-object " + pub + " --type pubkey --id " + id + " --label " + name);
        certificate(name, id);
    }

    std::vector<unsigned char> signing_certificate() const { return Card_provider(Module, Label).user_certificate(); }

private:
    static void run(const std::string& command)
    {
        ASSERT_EQ(std::system((command + " >/dev/null 2>&1").c_str()), 0) << command;
    }
    void write(const std::string& arguments)
    {
        run("pkcs11-tool --module " + Module + " --token-label '" + Label + "' --login --pin 12345 " + arguments);
    }

    test::Test_folder _folder_owner;
    const std::filesystem::path& _folder = _folder_owner.path();
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
    EXPECT_EQ(chosen, fixture("holder-other.cert.der"));
    EXPECT_EQ(issuer_display_name(chosen).find(Regional_issuer), std::string::npos);
}

TEST_F(Signing_certificate, the_non_repudiation_pair_among_several_keys)
{
    // Two pairs: one whose certificate lacks non-repudiation (the regional CA's key, standing
    // in for an authentication key) and the holder's, with non-repudiation.
    Test_token token;
    token.key_pair("regional-ca", "02");
    token.key_pair("holder-other", "01");
    EXPECT_EQ(token.signing_certificate(), fixture("holder-other.cert.der"));

    // With only the pair without non-repudiation, that pair's certificate is still the one
    // with a key, never the CA certificate without one.
    Test_token other;
    other.certificate("other-ca", "0B");
    other.key_pair("regional-ca", "02");
    EXPECT_EQ(other.signing_certificate(), fixture("regional-ca.cert.der"));
}

TEST_F(Signing_certificate, first_certificate_only_when_no_key_is_linked)
{
    Test_token token;
    token.certificate("holder-regional", "01");
    EXPECT_EQ(token.signing_certificate(), fixture("holder-regional.cert.der"));

    Test_token empty;
    EXPECT_THROW(empty.signing_certificate(), std::runtime_error);
}

} // namespace
