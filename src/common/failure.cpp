#include "common/failure.h"

#include "common/mapped_file.h"
#include "common/owner.h"
#include "common/trace.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cxxabi.h>
#include <memory>
#include <mutex>
#include <typeinfo>

#include <boost/assert.hpp>
#include <unistd.h>

namespace velin {

void Function_base::set_error(const std::string& context, const std::string& detail)
{
    set_error(context + "\n\n" + detail);
}

void Function_base::set_error(const std::string& message)
{
    _message = message;
    Trace(Trace_kind, Level_trace) << "Operazione fallita: " << message;
    reset_result();
}

void Handle_type::report_release_failure()
{
    Trace(Trace_kind, Level_error) << "Il rilascio dell'oggetto è fallito.";
}

bool File_closer::operator()(std::FILE* file) const
{
    return std::fclose(file) == 0;
}

bool Descriptor_closer::operator()(int descriptor) const
{
    return ::close(descriptor) == 0;
}

namespace {

struct Seh_name {
    uint32_t code;
    const char* name;
};

constexpr Seh_name seh_names[] = {
    {0x80000001u, "EXCEPTION_GUARD_PAGE"},
    {0x80000002u, "EXCEPTION_DATATYPE_MISALIGNMENT"},
    {0x80000003u, "EXCEPTION_BREAKPOINT"},
    {0x80000004u, "EXCEPTION_SINGLE_STEP"},
    {0xC0000005u, "EXCEPTION_ACCESS_VIOLATION"},
    {0xC0000006u, "EXCEPTION_IN_PAGE_ERROR"},
    {0xC0000008u, "EXCEPTION_INVALID_HANDLE"},
    {0xC000001Du, "EXCEPTION_ILLEGAL_INSTRUCTION"},
    {0xC0000025u, "EXCEPTION_NONCONTINUABLE_EXCEPTION"},
    {0xC0000026u, "EXCEPTION_INVALID_DISPOSITION"},
    {0xC000008Cu, "EXCEPTION_ARRAY_BOUNDS_EXCEEDED"},
    {0xC000008Du, "EXCEPTION_FLT_DENORMAL_OPERAND"},
    {0xC000008Eu, "EXCEPTION_FLT_DIVIDE_BY_ZERO"},
    {0xC000008Fu, "EXCEPTION_FLT_INEXACT_RESULT"},
    {0xC0000090u, "EXCEPTION_FLT_INVALID_OPERATION"},
    {0xC0000091u, "EXCEPTION_FLT_OVERFLOW"},
    {0xC0000092u, "EXCEPTION_FLT_STACK_CHECK"},
    {0xC0000093u, "EXCEPTION_FLT_UNDERFLOW"},
    {0xC0000094u, "EXCEPTION_INT_DIVIDE_BY_ZERO"},
    {0xC0000095u, "EXCEPTION_INT_OVERFLOW"},
    {0xC0000096u, "EXCEPTION_PRIV_INSTRUCTION"},
    {0xC00000FDu, "EXCEPTION_STACK_OVERFLOW"},
};

constexpr uint32_t Int_divide_by_zero = 0xC0000094u;
constexpr uint32_t Int_overflow = 0xC0000095u;
constexpr uint32_t Access_violation = 0xC0000005u;
constexpr uint32_t In_page_error = 0xC0000006u;
constexpr uint32_t Datatype_misalignment = 0x80000002u;
constexpr uint32_t Illegal_instruction = 0xC000001Du;
constexpr uint32_t Priv_instruction = 0xC0000096u;
constexpr uint32_t Flt_divide_by_zero = 0xC000008Eu;
constexpr uint32_t Flt_overflow = 0xC0000091u;
constexpr uint32_t Flt_underflow = 0xC0000093u;
constexpr uint32_t Flt_inexact = 0xC000008Fu;
constexpr uint32_t Flt_invalid = 0xC0000090u;
constexpr uint32_t Array_bounds = 0xC000008Cu;

thread_local bool translation_installed = false;

uint32_t code_of(int signal, int si_code)
{
    switch (signal) {
    case SIGFPE:
        switch (si_code) {
        case FPE_INTOVF:
            return Int_overflow;
        case FPE_FLTDIV:
            return Flt_divide_by_zero;
        case FPE_FLTOVF:
            return Flt_overflow;
        case FPE_FLTUND:
            return Flt_underflow;
        case FPE_FLTRES:
            return Flt_inexact;
        case FPE_FLTINV:
            return Flt_invalid;
        case FPE_FLTSUB:
            return Array_bounds;
        default:
            return Int_divide_by_zero;
        }
    case SIGBUS:
        return si_code == BUS_ADRALN ? Datatype_misalignment : In_page_error;
    case SIGILL:
        return si_code == ILL_PRVOPC ? Priv_instruction : Illegal_instruction;
    default:
        return Access_violation;
    }
}

// Ends the process the way the fault would have without us: default action, same signal.
[[noreturn]] void die_of(int signal)
{
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
    ::raise(signal);
    // Inside a handler the signal is blocked: let the pending one through.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
    std::_Exit(128 + signal);
}

void on_arithmetic_fault(int signal, siginfo_t* info, void*)
{
    if (!translation_installed)
        die_of(signal);
    // Thrown from the faulting instruction: the code there is built with -fnon-call-exceptions.
    SEH_exception exception(code_of(signal, info->si_code));
    Trace(Trace_kind, Level_error) << exception.what();
    throw exception;
}

void on_memory_fault(int signal, siginfo_t* info, void*)
{
    // A page of a mapped file that was truncated meanwhile: it reads as zeros from now on, and the
    // mapping knows that its bytes can no longer be trusted.
    if (signal == SIGBUS && recover_mapped_file_fault(info->si_addr))
        return;
    try {
        Trace(Trace_kind, Level_error) << "SEH exception " << seh_code_name(code_of(signal, info->si_code));
    } catch (...) {
    }
    die_of(signal);
}

// Each translating thread gets its own signal stack, given back when the thread ends.
class Alternate_stack {
public:
    void ensure()
    {
        if (_memory)
            return;
        // Not zero-filled: a thread that never faults never touches these pages.
        _memory = std::make_unique_for_overwrite<char[]>(Size);
        stack_t stack{};
        stack.ss_sp = _memory.get();
        stack.ss_size = Size;
        ::sigaltstack(&stack, nullptr);
    }
    ~Alternate_stack()
    {
        if (!_memory)
            return;
        stack_t stack{};
        stack.ss_flags = SS_DISABLE;
        ::sigaltstack(&stack, nullptr);
    }

private:
    static constexpr size_t Size = 64 * 1024;
    std::unique_ptr<char[]> _memory;
};

thread_local Alternate_stack alternate_stack;

void install_handlers_once()
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction arithmetic {};
        arithmetic.sa_sigaction = on_arithmetic_fault;
        // SA_NODEFER: the handler leaves by throwing, so the signal must not stay blocked.
        arithmetic.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&arithmetic.sa_mask);
        ::sigaction(SIGFPE, &arithmetic, nullptr);

        struct sigaction memory {};
        memory.sa_sigaction = on_memory_fault;
        // On the alternate stack, so that a stack overflow is still reported. Not reset on entry:
        // a recovered fault returns, and die_of restores the default action itself.
        memory.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&memory.sa_mask);
        for (int signal : {SIGSEGV, SIGBUS, SIGILL})
            ::sigaction(signal, &memory, nullptr);
    });
}

} // namespace

std::string seh_code_name(uint32_t code)
{
    for (const auto& entry : seh_names)
        if (entry.code == code)
            return entry.name;
    return std::to_string(static_cast<int32_t>(code));
}

void install_fault_handlers()
{
    install_handlers_once();
}

SEH_exception::SEH_exception(uint32_t code) : std::runtime_error("SEH exception " + seh_code_name(code)), _code(code) {}

SEH_translation::SEH_translation() : _previous(translation_installed)
{
    install_handlers_once();
    alternate_stack.ensure();
    translation_installed = true;
}

SEH_translation::~SEH_translation()
{
    translation_installed = _previous;
}

namespace {

// The readable name of a type ("std::runtime_error"), not its mangled form.
std::string type_name(const std::type_info& type)
{
    int status = 0;
    const Owner<char, C_free> name(abi::__cxa_demangle(type.name(), nullptr, nullptr, &status));
    return status == 0 && name ? std::string(name.get()) : std::string(type.name());
}

} // namespace

void trace_current_exception()
{
    try {
        throw;
    } catch (const std::exception& exception) {
        Trace(Trace_kind, Level_error) << "Eccezione: "
                                       << "class: " << type_name(typeid(exception)) << "; what: " << exception.what();
    } catch (const void* pointer) {
        // Every object pointer and a thrown nullptr land here.
        Trace(Trace_kind, Level_error) << "Eccezione: " << (pointer ? "Tipo non riconosciuto" : "NULL");
    } catch (...) {
        // Swallowing it without a word would hide a failed step.
        Trace(Trace_kind, Level_error) << "Eccezione: "
                                       << "Tipo non riconosciuto";
    }
}

} // namespace velin

// Assertions of the regular-expression library come here instead of aborting the program.
namespace boost {

void assertion_failed(const char* expression, const char*, const char* file, long line)
{
    const std::string text =
        std::string("Asserzione fallita: ") + expression + "\nat " + file + " (" + std::to_string(line) + ")";
    velin::Trace(velin::Trace_kind, velin::Level_error) << text;
    throw std::runtime_error(text);
}

void assertion_failed_msg(const char* expression, const char*, const char* function, const char* file, long line)
{
    assertion_failed(expression, function, file, line);
}

} // namespace boost
