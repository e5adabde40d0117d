#include "common/openssl_error.h"

#include <openssl/err.h>

namespace velin {

std::string openssl_error_text()
{
    std::string text;
    for (;;) {
        const char* function = nullptr;
        const unsigned long error = ERR_get_error_all(nullptr, nullptr, &function, nullptr, nullptr);
        if (error == 0)
            break;
        if (const char* library = ERR_lib_error_string(error))
            text.append("Libreria: ").append(library).append(";");
        if (function && *function)
            text.append("Funzione: ").append(function).append(";");
        if (const char* reason = ERR_reason_error_string(error))
            text.append("Causa: ").append(reason).append(".");
        text.append("\n");
    }
    return text;
}

} // namespace velin
