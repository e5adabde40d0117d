// A private SoftHSM token for one test, filled object by object in the order of the calls with
// the card fixtures' keys and certificates (tests/fixtures/card).
#pragma once

#include "test_folder.h"

#include <string>
#include <vector>

namespace velin::test {

class Softhsm_token {
public:
    static constexpr const char* Module = "/usr/lib/softhsm/libsofthsm2.so";
    static constexpr const char* Label = "Lettore di prova";
    static constexpr const char* Pin = "12345";

    // Points SOFTHSM2_CONF at the token's own folder and initialises the token; its label names
    // the reader the signer looks for.
    explicit Softhsm_token(std::string label = Label);

    // A certificate without a key.
    void certificate(const std::string& name, const std::string& id);
    // A key pair (private and public half) and its certificate, all with the same id.
    void key_pair(const std::string& name, const std::string& id);
    // The same from PEM files: FOLDER/NAME.key.pem and FOLDER/NAME.cert.pem.
    void key_pair_from(const std::string& folder, const std::string& name, const std::string& id);

private:
    void run(const std::string& command);
    void write(const std::string& arguments);

    std::string _label;
    Test_folder _folder;
};

// The bytes of a card fixture (tests/fixtures/card/NAME).
std::vector<unsigned char> card_fixture(const std::string& name);

} // namespace velin::test
