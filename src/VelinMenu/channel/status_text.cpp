#include "VelinMenu/channel/status_text.h"

namespace velin {

namespace {

struct Status_entry {
    uint16_t status_word;
    const char* text;
};

constexpr Status_entry status_texts[] = {
    {0x6284, "File non valido."},
    {0x6300, "PIN errato."},
    {0x6381, "File pieno."},
    {0x6983, "PIN bloccato."},
    {0x9000, "Operazione eseguita."},
    {0x9300, "La carta è occupata. Riprovare più tardi."},
    {0x9404, "File non trovato"},
    {0x9804, "Errore nella verifica del PIN. Riprovare."},
};

} // namespace

std::optional<std::string> status_text(uint8_t sw1, uint8_t sw2)
{
    const uint16_t status_word = static_cast<uint16_t>(sw1 << 8 | sw2);
    for (const auto& entry : status_texts)
        if (entry.status_word == status_word)
            return std::string(entry.text);
    return std::nullopt;
}

bool is_blocked_status(uint16_t status_word)
{
    return status_word >= 0x6982 && status_word <= 0x6983;
}

} // namespace velin
