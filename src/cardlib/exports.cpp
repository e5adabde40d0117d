// The library's exported functions. Nothing escapes them: every failure becomes a result code
// and the process-wide last error text.
#include "noraxcard.h"

#include "cardlib/card_call.h"
#include "cardlib/card_exceptions.h"
#include "cardlib/card_file_reader.h"
#include "cardlib/card_kit.h"
#include "cardlib/error_translation.h"
#include "cardlib/reading_prompt.h"
#include "common/trace.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <strings.h>

namespace velin::cardlib {

namespace {

// The build gives it, from the suite's version.
constexpr norax_result Dll_version = NORAX_DLL_VERSION;

// A failure found by the boundary itself (pointer and size checks).
struct Result_code {
    norax_result code;
};

norax_result fail(norax_result code, const std::exception* exception = nullptr)
{
    try {
        set_last_error_text(error_text(code, exception));
        Trace(Trace_kind, Level_error) << "Risultato " << trace_code(static_cast<long>(code)) << ": "
                                       << (exception ? exception->what() : "") << " - " << last_error_text();
    } catch (...) {
        // Out of memory while composing the text: the code still goes back.
    }
    return code;
}

// Runs one exported operation with its own kit; the kit (and with it the card connection) is
// gone before the result is returned.
template <class Operation>
norax_result boundary(const char* name, Operation&& operation)
{
    try {
        Trace_block block(name);
        {
            // The call's card time: the kit, and with it every PC/SC call, lives inside it.
            Card_call call;
            CKit kit;
            operation(kit);
        }
        return 0;
    } catch (const Result_code& result) {
        return fail(result.code);
    } catch (const std::exception& e) {
        norax_result code = E_FAIL_RESULT;
        try {
            code = code_from_current_exception();
        } catch (...) {
        }
        return fail(code, &e);
    } catch (...) {
        norax_result code = E_FAIL_RESULT;
        try {
            code = code_from_current_exception();
        } catch (...) {
        }
        return fail(code);
    }
}

std::string base64_lines(const Bytes& bytes)
{
    std::string encoded(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int length =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()), bytes.data(), static_cast<int>(bytes.size()));
    encoded.resize(static_cast<size_t>(std::max(length, 0)));
    std::string lines;
    for (size_t at = 0; at < encoded.size(); at += 76) {
        if (at)
            lines += "\r\n";
        lines += encoded.substr(at, 76);
    }
    return lines;
}

enum class Property { Issuer, Manufacturer, Type, Atr, Certificate };

std::optional<Property> property_of(const char* name)
{
    if (!name)
        return std::nullopt;
    static constexpr std::pair<const char*, Property> names[] = {
        {"issuer", Property::Issuer}, {"manufacturer", Property::Manufacturer}, {"type", Property::Type},
        {"atr", Property::Atr},       {"certificate", Property::Certificate},
    };
    for (const auto& [text, property] : names)
        if (strcasecmp(name, text) == 0)
            return property;
    return std::nullopt;
}

} // namespace

} // namespace velin::cardlib

using namespace velin::cardlib;

extern "C" {

NORAX_API norax_result NORAX_CALL norax_dll_version(void)
{
    return Dll_version;
}

NORAX_API norax_result NORAX_CALL norax_error_message(char* buffer, uint32_t* size)
{
    try {
        if (!size)
            return E_POINTER_CODE;
        const std::string text = last_error_text();
        if (*size <= text.size()) {
            *size = static_cast<uint32_t>(text.size());
            return ERROR_MORE_DATA_CODE;
        }
        if (!buffer)
            return E_POINTER_CODE;
        std::memcpy(buffer, text.c_str(), text.size() + 1);
        *size = static_cast<uint32_t>(text.size());
        return 0;
    } catch (...) {
        return E_OUTOFMEMORY_CODE;
    }
}

NORAX_API norax_result NORAX_CALL norax_read_binary(const char* file_name, uint8_t* buffer, uint32_t* size)
{
    return boundary("norax_read_binary", [&](CKit& kit) {
        if (!buffer || !size)
            throw Result_code{E_POINTER_CODE};
        const Bytes content = kit.read_file(file_name);
        if (*size < content.size()) {
            *size = static_cast<uint32_t>(content.size());
            throw Result_code{ERROR_MORE_DATA_CODE};
        }
        std::copy(content.begin(), content.end(), buffer);
        *size = static_cast<uint32_t>(content.size());
    });
}

NORAX_API norax_result NORAX_CALL norax_read_ef_dati_personali(uint8_t* buffer, uint32_t* size)
{
    return norax_read_binary("EF.Dati_personali", buffer, size);
}

NORAX_API norax_result NORAX_CALL norax_card_property(const char* name, char* buffer, uint32_t* size)
{
    return boundary("norax_card_property", [&](CKit& kit) {
        if (!buffer || !size)
            throw Result_code{E_POINTER_CODE};
        const auto property = property_of(name);
        if (!property)
            throw Result_code{E_INVALIDARG_CODE};
        std::string value;
        if (*property == Property::Certificate) {
            Bytes file = kit.read_file("EF.C_CARTA");
            // The certificate is read into twice the caller's capacity: a longer file is
            // reported as a buffer too small, like the read itself would.
            if (file.size() > 2 * static_cast<uint64_t>(*size))
                throw Result_code{ERROR_MORE_DATA_CODE};
            file.resize(der_object_length(file));
            value = base64_lines(file);
        } else {
            ask_property_consent();
            switch (*property) {
            case Property::Issuer:
                value = kit.issuer();
                break;
            case Property::Manufacturer:
                value = kit.manufacturer();
                break;
            case Property::Type:
                value = kit.card_type();
                break;
            default:
                value = kit.atr_text();
                break;
            }
        }
        if (*size >= 0x80000000u)
            throw Result_code{E_INVALIDARG_CODE};
        if (*size <= value.size())
            throw Result_code{ERROR_MORE_DATA_CODE};
        std::memcpy(buffer, value.c_str(), value.size() + 1);
        *size = static_cast<uint32_t>(value.size());
    });
}

} // extern "C"
