#include "softhsm_token.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

namespace velin::test {

namespace {

const std::string Fixtures = std::string(VELIN_SOURCE_DIR) + "/tests/fixtures/card/";

} // namespace

Softhsm_token::Softhsm_token(std::string label) : _label(std::move(label))
{
    const std::string tokens = (_folder / "tokens").string();
    std::filesystem::create_directories(tokens);
    write_file(_folder / "softhsm2.conf",
               "directories.tokendir = " + tokens + "\nobjectstore.backend = file\nlog.level = ERROR\n");
    ::setenv("SOFTHSM2_CONF", (_folder / "softhsm2.conf").string().c_str(), 1);
    run("softhsm2-util --init-token --free --label '" + _label + "' --so-pin 12345678 --pin " + Pin);
}

void Softhsm_token::certificate(const std::string& name, const std::string& id)
{
    write("--write-object " + Fixtures + name + ".cert.der --type cert --id " + id + " --label " + name);
}

void Softhsm_token::key_pair(const std::string& name, const std::string& id)
{
    key_pair_from(Fixtures, name, id);
}

void Softhsm_token::key_pair_from(const std::string& folder, const std::string& name, const std::string& id)
{
    const std::string source = folder + "/" + name;
    const std::string pub = (_folder / (name + ".pub.der")).string();
    run("openssl pkey -in " + source + ".key.pem -pubout -outform DER -out " + pub);
    const std::string p8 = (_folder / (name + ".p8.der")).string();
    run("openssl pkcs8 -topk8 -nocrypt -in " + source + ".key.pem -outform DER -out " + p8);
    const std::string cert = (_folder / (name + ".cert.der")).string();
    run("openssl x509 -in " + source + ".cert.pem -outform DER -out " + cert);
    write("--write-object " + p8 + " --type privkey --id " + id + " --label " + name + " --usage-sign");
    write("--write-object " + pub + " --type pubkey --id " + id + " --label " + name);
    write("--write-object " + cert + " --type cert --id " + id + " --label " + name);
}

void Softhsm_token::run(const std::string& command)
{
    ASSERT_EQ(std::system((command + " >/dev/null 2>&1").c_str()), 0) << command;
}

void Softhsm_token::write(const std::string& arguments)
{
    run("pkcs11-tool --module " + std::string(Module) + " --token-label '" + _label + "' --login --pin " + Pin + " " +
        arguments);
}

std::vector<unsigned char> card_fixture(const std::string& name)
{
    std::ifstream in(Fixtures + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace velin::test
