// Stands in for libnoraxcard in the window's tests: fixed answers for four properties, and for
// "CERTIFICATE" a short stand-in value, or (with STAND_IN_CERTIFICATE_FAILS set) a failure whose
// text norax_error_message gives.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

namespace {

std::string last_error;

uint32_t copy_out(const std::string& text, char* buffer, uint32_t* size)
{
    if (!buffer || !size)
        return 0x80004003;
    if (*size <= text.size())
        return 234;
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    *size = static_cast<uint32_t>(text.size());
    return 0;
}

} // namespace

extern "C" __attribute__((visibility("default"))) uint32_t norax_card_property(const char* name, char* buffer,
                                                                               uint32_t* size)
{
    if (!name)
        return 0x80070057;
    if (strcasecmp(name, "certificate") == 0) {
        // The card taken out before its certificate was read, when the test asks for it.
        if (std::getenv("STAND_IN_CERTIFICATE_FAILS")) {
            last_error = "Carta non rilevata.";
            return 0x80040204;
        }
        return copy_out("MIIBstandin", buffer, size);
    }
    if (strcasecmp(name, "atr") == 0)
        return copy_out("3B FF 18 00 00 81 31 FE 45 00 6B 04 05 01 00 01 11 01 43 4E 53 10 31 80 69", buffer, size);
    if (strcasecmp(name, "type") == 0)
        return copy_out("CNS", buffer, size);
    if (strcasecmp(name, "manufacturer") == 0)
        return copy_out("Produttore di prova", buffer, size);
    return copy_out("Regione di prova", buffer, size);
}

extern "C" __attribute__((visibility("default"))) uint32_t norax_error_message(char* buffer, uint32_t* size)
{
    return copy_out(last_error, buffer, size);
}
