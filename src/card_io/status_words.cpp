#include "card_io/status_words.h"

#include <boost/format.hpp>

namespace velin {

namespace {

struct Status_entry {
    uint16_t status_word;
    const char* text;
};

constexpr Status_entry status_texts[] = {
    {0x6284, "File non valido."},     {0x6300, "PIN errato."},
    {0x6381, "File pieno."},          {0x6983, "PIN bloccato."},
    {0x9000, "Operazione eseguita."}, {0x9300, "La carta è occupata. Riprovare più tardi."},
    {0x9404, "File non trovato"},     {0x9804, "Errore nella verifica del PIN. Riprovare."},
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

std::optional<int> tries_left(uint16_t status_word)
{
    if ((status_word & 0xFFF0) != 0x63C0)
        return std::nullopt;
    return status_word & 0x0F;
}

std::string with_tries_left(const std::string& text, std::optional<int> tries)
{
    if (!tries)
        return text;
    return text + " Tentativi rimasti: " + std::to_string(*tries) + ".";
}

std::string card_failure_text(uint32_t pcsc_code)
{
    switch (pcsc_code) {
    case 0x80100069u: // SCARD_W_REMOVED_CARD
        return "La carta è stata rimossa dal lettore.";
    case 0x8010000Cu: // SCARD_E_NO_SMARTCARD
        return "Nessuna carta nel lettore.";
    case 0x80100009u: // SCARD_E_UNKNOWN_READER
    case 0x80100017u: // SCARD_E_READER_UNAVAILABLE
    case 0x8010002Eu: // SCARD_E_NO_READERS_AVAILABLE
        return "Il lettore non è più disponibile.";
    case 0x8010000Au: // SCARD_E_TIMEOUT
    case 0x80100007u: // SCARD_F_WAITED_TOO_LONG
    case 0x80100066u: // SCARD_W_UNRESPONSIVE_CARD
        return "La carta non ha risposto in tempo.";
    case 0x8010000Bu: // SCARD_E_SHARING_VIOLATION
        return "La carta è in uso da un altro programma.";
    case 0x8010001Du: // SCARD_E_NO_SERVICE
    case 0x8010001Eu: // SCARD_E_SERVICE_STOPPED
        return "Il servizio di accesso alle smart card non è attivo.";
    default:
        return (boost::format("La comunicazione con la carta è fallita (codice 0x%08X).") % pcsc_code).str();
    }
}

} // namespace velin

namespace velin::cardlib {

uint32_t code_from_status_word(uint8_t sw1, uint8_t sw2)
{
    switch (sw1) {
    case 0x62:
        return sw2 == 0x84 ? 0x8004020Fu : 0x8004023Du;
    case 0x63:
        if (sw2 == 0x00)
            return 0x8004022Eu;
        if (sw2 == 0x81)
            return 0x8004022Fu;
        break;
    case 0x69:
        if (sw2 == 0x83)
            return 0x8004021Cu;
        break;
    case 0x6A:
        if (sw2 == 0x82)
            return 0x8004020Fu;
        break;
    case 0x93:
        if (sw2 == 0x00)
            return 0x80040207u;
        break;
    case 0x94:
        if (sw2 == 0x04)
            return 0x8004020Fu;
        break;
    case 0x98:
        if (sw2 == 0x04)
            return 0x8004022Du;
        break;
    default:
        break;
    }
    return 0x8004023Du;
}

} // namespace velin::cardlib
