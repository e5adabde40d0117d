// The card library's failures. Inside the library every failure is one of these exceptions; the
// exported functions turn them into a result code and the last error text (error_translation.h).
#pragma once

#include "cardlib/iso7816_apdu.h"

#include <cstdint>
#include <exception>
#include <string>

namespace velin::cardlib {

// The library's own result codes (facility 4), each with its Italian message.
enum class QUARK_ERROR : uint32_t {
    Card_removed = 0x80040202u,
    Card_not_found = 0x80040204u,
    File_not_found = 0x8004020Fu,
    Cancelled = 0x80040234u,
    Invalid_state = 0x80040235u,
    Not_allowed = 0x80040236u,
    Bad_format = 0x8004023Au,
    Unexpected_data = 0x8004023Bu,
    Not_cns = 0x8004023Cu,
    Card_refused = 0x8004023Du,
};

struct BASIC_ERRORS {
    enum CError : int { Failed = 0, Cancelled = 1, Null_pointer = 2, Invalid_argument = 3, Bad_format = 4 };
};

struct quark_errors_t {
    enum CCode : int {
        Pin_format = 0,
        Puk_format = 1,
        Several_cards = 2,
        No_certificate = 3,
        Bad_format = 4,
        Certificate_not_yet_valid = 5,
        Certificate_expired = 6,
        Not_cns = 7,
        Outdated_version = 8,
    };
};

struct io_errors_t {
    enum CError : int { Scan = 0, Not_found = 1, Open = 2, Io = 3, Write = 4, Read = 5 };
};

struct CProtocolErrors {
    enum CCode : int { Empty_reply = 0, One_byte_reply = 1 };
};

class CBaseException : public std::exception {
public:
    CBaseException() = default;
    explicit CBaseException(std::string detail) : _detail(std::move(detail)) {}

    // Empty unless the thrower gave one; the exported boundary shows it as the last error.
    const std::string& detail() const { return _detail; }
    const char* what() const noexcept override { return _detail.empty() ? default_text() : _detail.c_str(); }
    virtual const char* default_text() const noexcept { return "Operazione fallita."; }

private:
    std::string _detail;
};

class CAssertionException : public CBaseException {
public:
    using CBaseException::CBaseException;
    const char* default_text() const noexcept override { return "L'operazione non rientra nelle specifiche."; }
};

// A broken precondition: the caller asked for something the library cannot do.
class CRequireException : public CAssertionException {
public:
    using CAssertionException::CAssertionException;
    const char* default_text() const noexcept override { return "L'operazione richiesta non può essere eseguita."; }
};

class CEnsureException : public CAssertionException {
public:
    using CAssertionException::CAssertionException;
    const char* default_text() const noexcept override { return "L'operazione non è stata completata correttamente"; }
};

class CCheckException : public CAssertionException {
public:
    using CAssertionException::CAssertionException;
    const char* default_text() const noexcept override { return "Condizione non verificata."; }
};

class CCaseException : public CAssertionException {
public:
    CCaseException();
    explicit CCaseException(uint32_t value);
    const char* default_text() const noexcept override { return _text.c_str(); }

private:
    std::string _text;
};

template <class E>
class CEnumException : public CBaseException {
public:
    explicit CEnumException(E code) : _code(code) {}
    CEnumException(E code, std::string detail) : CBaseException(std::move(detail)), _code(code) {}
    E code() const { return _code; }

private:
    E _code;
};

// A PC/SC or system call that failed, with the code it returned.
class Winapi_exception : public CBaseException {
public:
    explicit Winapi_exception(uint32_t code) : _code(code) {}
    uint32_t code() const { return _code; }
    const char* default_text() const noexcept override { return "Routine di sistema fallita."; }

    // Raises the exception unless result is 0.
    static void check(long result)
    {
        if (result != 0)
            throw Winapi_exception(static_cast<uint32_t>(result));
    }

private:
    uint32_t _code;
};

// The card answered a command with a status word that is not a success.
class SCard_command_failed_exception : public CBaseException {
public:
    explicit SCard_command_failed_exception(ISO7816_RESPONSE_APDU response) : _response(std::move(response)) {}
    const ISO7816_RESPONSE_APDU& response() const { return _response; }
    const char* default_text() const noexcept override { return "La carta ha respinto la richiesta."; }

private:
    ISO7816_RESPONSE_APDU _response;
};

// A broken precondition (CRequireException) or internal check (CCheckException). The condition,
// in the code's own notation, goes to the trace; the caller sees only the result code.
void require(bool ok, const char* condition);
void check(bool ok, const char* condition);

// "0x8010000C": a result code as the trace shows it.
std::string trace_code(long code);

} // namespace velin::cardlib
