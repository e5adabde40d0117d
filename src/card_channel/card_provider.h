// The card's keys and certificates as its middleware offers them: a PKCS#11 module (the machine
// setting "ModuloPKCS11", by default the system's smart-card module) whose slot is matched to the
// PC/SC reader that holds the card.
#pragma once

#include "common/pkcs11_module.h"

#include <openssl/evp.h>

#include <initializer_list>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace velin {

// The issuer of the region's citizen cards, looked for inside the issuer's display name.
constexpr const char* Regional_issuer = "Regione Valdora Certification Authority Cittadini";

// A call the token refused, with the module's return value (CKR_*; 0 when the module gave none).
class Token_error : public std::runtime_error {
public:
    Token_error(const std::string& what, unsigned long code) : std::runtime_error(what), _code(code) {}
    unsigned long code() const { return _code; }

private:
    unsigned long _code;
};

// The return value of the last PKCS#11 call libp11 reported as failed, taken from OpenSSL's
// error queue, which it empties (0 when there is none).
unsigned long last_token_code();

// The CKR_* among `codes` whose reason, as libp11 words it, appears in a text made of OpenSSL's
// error queue (openssl_error_text()); 0 when none does. For failures that reach the token through
// OpenSSL, such as a signature, whose queue the signing code has already turned into text.
unsigned long token_code_in(const std::string& error_text, std::initializer_list<unsigned long> codes);

// One open session on the token of one reader. Signing builds on this class.
class Card_provider {
public:
    // Loads the module and finds the slot of `reader_name` (its description or its token label
    // names the reader); of several (a card with one token per PIN), the one whose signing
    // certificate is a non-repudiation one, a qualified signature certificate first. Throws
    // std::runtime_error when the module cannot be loaded or no token matches.
    Card_provider(const std::string& module_path, const std::string& reader_name);
    ~Card_provider();
    Card_provider(const Card_provider&) = delete;
    Card_provider& operator=(const Card_provider&) = delete;

    // DER of the certificate that goes with the card's signature key: the certificate whose
    // CKA_ID is that of a key on the token, the non-repudiation one when several are (one for
    // non-repudiation alone before one that also authenticates); the first
    // certificate of the token only when no key is linked to any.
    std::vector<unsigned char> user_certificate() const;

    // Logs in with the PIN (C_Login). Throws Token_error when the token refuses.
    void login(const char* pin);
    // After login(): the private key that goes with user_certificate(), for OpenSSL to sign with
    // (each signature is made by the card). Throws Token_error when the keys cannot be listed,
    // std::runtime_error when the token has no such key.
    std::shared_ptr<EVP_PKEY> signing_key();
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
