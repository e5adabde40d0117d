// How the suite fails: assertions for programming errors, result objects for operations that can
// fail for outside reasons, owners for system handles, and processor faults turned into
// exceptions. Every failure leaves a record in the trace log.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

namespace velin {

// Windows result codes kept as the suite's own error codes.
constexpr uint32_t E_FAIL_CODE = 0x80004005u;
constexpr uint32_t E_CANCELLED_CODE = 0x800704C7u;
constexpr uint32_t ERROR_DATATYPE_MISMATCH_CODE = 1629;

// Throws std::logic_error("Assertion failed: " + condition) when ok is false. The condition is
// written in the code's own notation: "root_key ne NULL", "not is_empty (value)".
inline void assertion(bool ok, const char* condition)
{
    if (!ok)
        throw std::logic_error(std::string("Assertion failed: ") + condition);
}

// Base of every result object: the failure message, empty while nothing failed.
class Function_base {
public:
    virtual ~Function_base() = default;

    // message = context + "\n\n" + detail.
    virtual void set_error(const std::string& context, const std::string& detail);
    // Keeps the message, writes "Operazione fallita: " + message as a TRACE record, and puts the
    // result back to its failure value.
    virtual void set_error(const std::string& message);

    const std::string& message() const { return _message; }

protected:
    virtual void reset_result() = 0;

private:
    std::string _message;
};

template <class R, R success, R initial>
class Procedure : public Function_base {
public:
    bool succeeded() const { return _result == success; }
    R result() const { return _result; }

protected:
    void set_result(R result) { _result = result; }
    void reset_result() override { _result = initial; }

private:
    R _result = initial;
};

template <class T, class R, R success, R initial>
class Function : public Procedure<R, success, initial> {
public:
    const T& value() const
    {
        assertion(this->succeeded(), "succeeded ()");
        return _value;
    }
    T& value()
    {
        assertion(this->succeeded(), "succeeded ()");
        return _value;
    }
    T take_value()
    {
        assertion(this->succeeded(), "succeeded ()");
        return std::move(_value);
    }

protected:
    void set_value(T value, R result = success)
    {
        _value = std::move(value);
        this->set_result(result);
    }
    T& raw_value() { return _value; }

private:
    T _value{};
};

template <class T>
using Boolean_function = Function<T, bool, true, false>;
using Boolean_procedure = Procedure<bool, true, false>;

// Sole owner of one system handle whose release can fail (a file descriptor, a C library file, a
// PC/SC context or card); library objects behind pointers have Owner in owner.h. Destructor is a
// callable returning true when the release succeeded; a failed release writes "Il rilascio
// dell'oggetto è fallito." and is otherwise forgotten.
class Handle_type {
public:
    virtual ~Handle_type() = default;

protected:
    static void report_release_failure();
};

template <class T, T null, class Destructor>
class Handle : public Handle_type {
public:
    Handle() = default;
    explicit Handle(T handle) : _handle(handle) {}
    ~Handle() override { reset(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    Handle(Handle&& other) noexcept : _handle(std::exchange(other._handle, null)) {}
    Handle& operator=(Handle&& other) noexcept
    {
        if (this != &other) {
            reset();
            _handle = std::exchange(other._handle, null);
        }
        return *this;
    }

    T get() const { return _handle; }
    explicit operator bool() const { return _handle != null; }
    T release() { return std::exchange(_handle, null); }
    void reset(T handle = null)
    {
        T old = std::exchange(_handle, handle);
        if (old != null && !Destructor()(old))
            report_release_failure();
    }

private:
    T _handle = null;
};

// A C library file and a file descriptor, the two kinds every program needs.
struct File_closer {
    bool operator()(std::FILE* file) const;
};
using File_handle = Handle<std::FILE*, nullptr, File_closer>;

struct Descriptor_closer {
    bool operator()(int descriptor) const;
};
using Descriptor_handle = Handle<int, -1, Descriptor_closer>;

// A processor fault turned into an ordinary exception: "SEH exception " + the code's name.
class SEH_exception : public std::runtime_error {
public:
    explicit SEH_exception(uint32_t code);
    uint32_t code() const { return _code; }

private:
    uint32_t _code;
};

// Windows name of an exception code, or the code as a signed decimal number.
std::string seh_code_name(uint32_t code);

// Installs the process's fault handlers now (SEH_translation does it on first use). A library that
// installs handlers of its own and passes on the signals it does not own (the Java virtual
// machine) must start after this, so that it finds ours and never has its own replaced.
void install_fault_handlers();

// While an object of this class lives on a thread, an integer division by zero (or overflow) on
// that thread writes the ERROR record "SEH exception EXCEPTION_INT_DIVIDE_BY_ZERO" and throws
// SEH_exception at the faulting instruction. Access violations, bus errors and illegal
// instructions write their ERROR record and end the process: continuing after them is unsafe.
// Code that must be translated is compiled with -fnon-call-exceptions.
class SEH_translation {
public:
    SEH_translation();
    ~SEH_translation();
    SEH_translation(const SEH_translation&) = delete;
    SEH_translation& operator=(const SEH_translation&) = delete;

private:
    bool _previous;
};

// The Italian text Windows gives a system error code, without inserts; empty when unknown.
std::string system_error_text(uint32_t code);

// Writes the ERROR record of the exception being handled: "Eccezione: class: <type>; what: <text>"
// for a standard exception, "Eccezione: NULL" for a thrown null pointer, "Eccezione: Tipo non
// riconosciuto" for any other pointer or type. Call it only inside a catch block.
void trace_current_exception();

// The suite's error code for a C library errno value (ENOENT → 2, EACCES → 5, ENOSPC → 112 …).
uint32_t error_code_from_errno(int error);

} // namespace velin
