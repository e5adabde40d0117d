// The card's keys and certificates as its middleware offers them: a PKCS#11 module (the machine
// setting "ModuloPKCS11", by default the system's smart-card module) whose slot is matched to the
// PC/SC reader that holds the card.
#pragma once

#include "common/pkcs11_module.h"

#include <openssl/evp.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velin {

// The issuer of the region's citizen cards, looked for inside the issuer's display name.
constexpr const char* Regional_issuer = "Regione Valdora Certification Authority Cittadini";

// One open session on the token of one reader. Signing builds on this class.
class Card_provider {
public:
    // Loads the module and finds the slot of `reader_name` (its description or its token label
    // names the reader). Throws std::runtime_error when the module cannot be loaded or no token
    // matches.
    Card_provider(const std::string& module_path, const std::string& reader_name);
    ~Card_provider();
    Card_provider(const Card_provider&) = delete;
    Card_provider& operator=(const Card_provider&) = delete;

    // DER of the certificate that goes with the card's signature key: the certificate whose
    // CKA_ID is that of a key on the token, the non-repudiation one when several are; the first
    // certificate of the token only when no key is linked to any.
    std::vector<unsigned char> user_certificate() const;

    // Logs in with the PIN (C_Login) and gives the private key that goes with user_certificate(),
    // for OpenSSL to sign with (each signature is made by the card). Throws std::runtime_error
    // when the PIN is refused or the token has no such key.
    std::shared_ptr<EVP_PKEY> signing_key(const std::string& pin);
    // Logs out (C_Logout): the token forgets the PIN. False when it refuses.
    bool logout();
    // The PKCS#11 slot identifier of the reader's token, for other users of the same module.
    unsigned long slot_id() const;

    struct State;

private:
    std::unique_ptr<State> _state;
};

// The issuer's display name of a DER certificate: its common name, else its organisational
// unit, else its organisation, else its e-mail address; empty when none.
std::string issuer_display_name(const std::vector<unsigned char>& certificate);

// True when the reader's card has a certificate issued by the regional authority. Any failure to
// reach the card's keys writes "Errore durante l'acquisizione del contesto crittografico." and
// answers false.
bool is_regional_card(const std::string& reader_name);

} // namespace velin
