// What the card-data page shows: the holder's data, the card's number and properties and a
// summary of the authentication certificate, each with a label a citizen understands, and what
// could not be read with the library's own text and code. Nothing of it is written to disk or to
// the trace (the trace gets field names and lengths only).
#pragma once

#include "cardlib_client/card_library.h"

#include <string>
#include <vector>

namespace velin {

struct Card_data_row {
    std::string key; // for --json: "cognome", "codice_fiscale", ...
    std::string label; // "Cognome", "Codice fiscale", ...
    std::string value;
};

struct Card_data_failure {
    std::string what; // "Dati anagrafici", "Numero della carta", ...
    uint32_t code = 0;
    std::string text; // the library's text, or ours when the data is malformed
};

struct Card_data {
    std::vector<Card_data_row> rows;
    std::vector<Card_data_failure> failures;
    bool refused = false; // the holder refused: nothing more was asked

    // "Label: value" lines, then the failures.
    std::string as_text() const;
    std::string as_json() const;
};

extern const char* const Text_malformed_personal_data;
// The library could not ask the holder (no window, no terminal): said instead of its own text.
extern const char* const Text_nobody_to_ask;
// The library's code for it.
constexpr uint32_t Norax_cannot_ask = 0x80040235;

// Reads everything through the library after one question to the holder: the holder's data,
// the certificate, the card's number and the properties (when the holder refuses, nothing).
Card_data read_card_data(Card_library& library);

// The rows of a well-formed EF.Dati_personali; a failure when it is not.
void add_personal_rows(Card_data& data, const std::vector<uint8_t>& file);

// The certificate's holder, issuer and validity from the library's base64 text.
void add_certificate_rows(Card_data& data, const std::string& base64_text);

// "0x8004020F" style.
std::string code_text(uint32_t code);

} // namespace velin
