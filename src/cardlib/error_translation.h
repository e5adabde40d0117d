// From a failure inside the card library to what its caller sees: a 32-bit result code and the
// Italian last error text.
#pragma once

#include "card_io/status_words.h"
#include "cardlib/card_exceptions.h"

#include <cstdint>
#include <string>

namespace velin::cardlib {

constexpr uint32_t S_OK_CODE = 0;
constexpr uint32_t E_POINTER_CODE = 0x80004003u;
constexpr uint32_t E_FAIL_RESULT = 0x80004005u;
constexpr uint32_t E_INVALIDARG_CODE = 0x80070057u;
constexpr uint32_t E_OUTOFMEMORY_CODE = 0x8007000Eu;
constexpr uint32_t E_ACCESSDENIED_CODE = 0x80070005u;
constexpr uint32_t ERROR_MORE_DATA_CODE = 234;

// The Italian message of a component code (facility 4); empty for the codes that take the
// system's text and for codes outside the table.
std::string component_message(uint32_t code);

uint32_t code_from_pcsc(uint32_t pcsc_code);
uint32_t code_from_quark(quark_errors_t::CCode code);
uint32_t code_from_io(io_errors_t::CError code);
// A value outside the table is itself a broken internal check (CCheckException).
uint32_t code_from_basic(BASIC_ERRORS::CError code);

// The code for the exception being handled; call inside a catch block.
uint32_t code_from_current_exception();

// The text for a code; exception is the one that caused it, when there was one.
std::string error_text(uint32_t code, const std::exception* exception = nullptr);

// The process-wide last error text, empty until the first failure.
std::string last_error_text();
void set_last_error_text(std::string text);

} // namespace velin::cardlib
