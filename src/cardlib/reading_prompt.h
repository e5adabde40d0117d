// What the holder is asked before the library reads the card: consent to read a file, the PIN
// for a protected one, and consent to the technical questions of norax_card_property. The
// questions are the library's own Qt dialogs; tests answer them through an answerer installed
// with set_prompt_answerer, which is internal to the library and not exported.
#pragma once

#include "cardlib/cns_file_catalogue.h"
#include "common/pin_text.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace velin::cardlib {

enum class Prompt_kind {
    Consent, // "LETTURA DATI" for a free file
    Pin, // the same with the PIN field, for a protected file
    Wrong_pin, // "Il PIN non è corretto.\nRiprova." (OK only)
    Property_consent, // the Yes/No question before the technical properties
};

struct Prompt_request {
    Prompt_kind kind = Prompt_kind::Consent;
    const CNS_known_file_info* info = nullptr; // Consent and Pin: the first (or only) item
    const std::vector<CNS_known_file_info>* items = nullptr; // Consent: every item the question lists
};

struct Prompt_answer {
    bool accepted = false;
    Pin_text pin; // Pin only
};

using Prompt_answerer = std::function<Prompt_answer(const Prompt_request&)>;
// Internal test hook: while set, no dialog is shown. An empty function restores the dialogs.
void set_prompt_answerer(Prompt_answerer answerer);

// Each raises CEnumException<BASIC_ERRORS::CError>(Cancelled) when the holder refuses, and
// CEnumException<QUARK_ERROR>(Invalid_state) when no dialog can be shown on this thread.
void ask_consent(const CNS_known_file_info& info);
// One question for the items of one view, listed in their order (at least one).
void ask_consent(const std::vector<CNS_known_file_info>& items);
// The PIN typed; quark_errors_t::Pin_format unless it has 5 to 8 characters.
Pin_text ask_pin(const CNS_known_file_info& info);
void show_wrong_pin();
// E_ACCESSDENIED (Winapi_exception 5) unless the holder answers Yes.
void ask_property_consent();

// The technical properties of norax_card_property as one item of a view's question.
const CNS_known_file_info& technical_information();

// What the question says is read: the short description of one item, or the items one a line,
// "- " before each and ";" after all but the last.
std::string listed_descriptions(const std::vector<CNS_known_file_info>& items);
// The line after them, agreeing with them: "registrato sulla tua Carta Velin." for one item of
// masculine singular, ..., "registrati sulla tua Carta Velin." for several of which one is masculine.
std::string registered_on_card(const std::vector<CNS_known_file_info>& items);
// The long descriptions of the items, a paragraph each, none twice.
std::string long_descriptions(const std::vector<CNS_known_file_info>& items);

extern const char* const Card_caption; // "Carta Velin"
extern const char* const Property_question;
extern const char* const Wrong_pin_text;

// The Qt side (reading_dialog.cpp): the real dialogs.
namespace qt_dialogs {
bool consent(const std::vector<CNS_known_file_info>& items);
inline bool consent(const CNS_known_file_info& info)
{
    return consent(std::vector<CNS_known_file_info>{info});
}
std::optional<Pin_text> pin(const CNS_known_file_info& info);
void wrong_pin();
bool property_consent();
} // namespace qt_dialogs

} // namespace velin::cardlib
