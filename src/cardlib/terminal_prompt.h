// The holder's questions asked on the terminal: what the library does instead of its dialogs when
// no window can be shown and standard input is a terminal. The question goes to standard error
// (standard output is the host's), the answer ("s" or "n", or the PIN) comes from standard input.
#pragma once

#include "cardlib/cns_file_catalogue.h"
#include "common/pin_text.h"

#include <optional>
#include <string>
#include <vector>

namespace velin::cardlib::terminal {

extern const char* const Answer_hint; // "(s/n): "
extern const char* const Site_warning;
extern const char* const Consent_question; // "Autorizzi la lettura?"
extern const char* const Pin_question;

// Standard input is a terminal.
bool available();

// Each answer is no at the end of the input, and after three answers that are neither yes nor no.
bool consent(const std::vector<CNS_known_file_info>& items);
// Typed without echo; nothing when the holder gives an empty line or the input ends.
std::optional<Pin_text> pin(const CNS_known_file_info& info);
void wrong_pin(const std::string& text);
bool property_consent(const std::string& question);

} // namespace velin::cardlib::terminal
