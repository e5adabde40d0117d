// Failures inside the library become the caller's result code and Italian text.
#include "cardlib/error_translation.h"

#include <gtest/gtest.h>

#include <new>
#include <set>
#include <stdexcept>

namespace {

using namespace velin::cardlib;

template <class E>
std::pair<uint32_t, std::string> translate(const E& exception)
{
    try {
        throw exception;
    } catch (const std::exception& e) {
        const uint32_t code = code_from_current_exception();
        return {code, error_text(code, &e)};
    }
}

using Result = std::pair<uint32_t, std::string>;

TEST(Card_error_model, assertions_become_invalid_argument_or_failure)
{
    EXPECT_EQ(translate(CRequireException()), Result(0x80070057u, "Parametri non validi."));
    EXPECT_EQ(translate(CCheckException()), Result(0x80004005u, "Errore non definito."));
    EXPECT_EQ(translate(CEnsureException()).first, 0x80004005u);
    EXPECT_EQ(translate(CCaseException(7)).first, 0x80004005u);
    EXPECT_STREQ(CCaseException(10).what(), "L'opzione 10 (0xA) non è definita.");
    EXPECT_STREQ(CCaseException().what(), "L'opzione non è definita.");
    // Standard library failures (unknown manufacturer code) are general failures.
    EXPECT_EQ(translate(std::runtime_error("Codice produttore sconosciuto.")).first, 0x80004005u);
    EXPECT_EQ(translate(std::bad_alloc()).first, 0x8007000Eu);
}

TEST(Card_error_model, pcsc_codes_map_to_the_component_codes_or_pass_unchanged)
{
    EXPECT_EQ(translate(Winapi_exception(0x80100069u)).first, 0x80040202u);
    EXPECT_EQ(translate(Winapi_exception(0x8010000Cu)).first, 0x80040204u);
    EXPECT_EQ(translate(Winapi_exception(0x8010002Eu)).first, 0x80040222u);
    EXPECT_EQ(translate(Winapi_exception(0x80100017u)).first, 0x80040222u);
    EXPECT_EQ(translate(Winapi_exception(0x8010000Bu)).first, 0x80040227u);
    EXPECT_EQ(translate(Winapi_exception(0x8010006Cu)).first, 0x8004021Cu);
    EXPECT_EQ(translate(Winapi_exception(0x80100006u)).first, 0x8007000Eu);
    // A Windows error becomes 0x8007xxxx with the system's text.
    EXPECT_EQ(translate(Winapi_exception(5)), Result(0x80070005u, "Accesso negato."));
    EXPECT_EQ(translate(Winapi_exception(13)), Result(0x8007000Du, "Dati non validi."));
    EXPECT_EQ(translate(Winapi_exception(38)), Result(0x80070026u, "Raggiunta la fine del file."));
    // A PC/SC code outside the table keeps its value; the ones a holder meets have our words.
    EXPECT_EQ(translate(Winapi_exception(0x80100009u)), Result(0x80100009u, "Il lettore non è più disponibile."));
    EXPECT_EQ(translate(Winapi_exception(0x8010000Au)), Result(0x8010000Au, "La carta non ha risposto in tempo."));
    EXPECT_EQ(translate(Winapi_exception(0x80100016u)).second, "La comunicazione con la carta si è interrotta.");
    EXPECT_EQ(translate(Winapi_exception(0x8010001Du)).second, "Il servizio di accesso alle smart card non è attivo.");
    EXPECT_EQ(code_from_pcsc(0), 0u);
    EXPECT_EQ(code_from_pcsc(0x00010000u), 0x80004005u);
    EXPECT_EQ(code_from_pcsc(0xFFFFu), 0x8007FFFFu);
}

TEST(Card_error_model, status_words_by_sw1_and_sw2)
{
    auto sw = [](uint8_t sw1, uint8_t sw2) {
        return translate(SCard_command_failed_exception(ISO7816_RESPONSE_APDU({sw1, sw2})));
    };
    EXPECT_EQ(sw(0x6A, 0x82).first, 0x8004020Fu);
    EXPECT_EQ(sw(0x69, 0x83).first, 0x8004021Cu);
    EXPECT_EQ(sw(0x63, 0xC2).first, 0x8004023Du);
    EXPECT_EQ(sw(0x63, 0x00).first, 0x8004022Eu);
    EXPECT_EQ(sw(0x63, 0x81).first, 0x8004022Fu);
    EXPECT_EQ(sw(0x62, 0x84).first, 0x8004020Fu);
    EXPECT_EQ(sw(0x62, 0x83).first, 0x8004023Du);
    EXPECT_EQ(sw(0x93, 0x00).first, 0x80040207u);
    EXPECT_EQ(sw(0x94, 0x04).first, 0x8004020Fu);
    EXPECT_EQ(sw(0x98, 0x04).first, 0x8004022Du);
    EXPECT_EQ(sw(0x69, 0x82).first, 0x8004023Du);
    EXPECT_EQ(sw(0x61, 0x00).first, 0x8004023Du);
}

TEST(Card_error_model, enumerated_failures)
{
    EXPECT_EQ(translate(CEnumException<BASIC_ERRORS::CError>(BASIC_ERRORS::Cancelled)).first, 0x80040234u);
    EXPECT_EQ(translate(CEnumException<BASIC_ERRORS::CError>(BASIC_ERRORS::Bad_format)).first, 0x8004023Au);
    EXPECT_EQ(translate(CEnumException<BASIC_ERRORS::CError>(BASIC_ERRORS::Null_pointer)),
              Result(0x80004003u, "Puntatore non valido."));
    EXPECT_EQ(translate(CEnumException<BASIC_ERRORS::CError>(static_cast<BASIC_ERRORS::CError>(9))).first, 0x80004005u);
    EXPECT_EQ(translate(CEnumException<quark_errors_t::CCode>(quark_errors_t::Not_cns)).first, 0x8004023Cu);
    EXPECT_EQ(translate(CEnumException<quark_errors_t::CCode>(quark_errors_t::Pin_format)).first, 0x8004021Bu);
    EXPECT_EQ(translate(CEnumException<quark_errors_t::CCode>(static_cast<quark_errors_t::CCode>(42))).first,
              0x80004005u);
    EXPECT_EQ(translate(CEnumException<io_errors_t::CError>(io_errors_t::Read)).first, 0x80040210u);
    EXPECT_EQ(translate(CEnumException<io_errors_t::CError>(static_cast<io_errors_t::CError>(17))).first, 0x8004020Cu);
    EXPECT_EQ(translate(CEnumException<QUARK_ERROR>(QUARK_ERROR::Not_allowed)),
              Result(0x80040236u, error_text(0x80040236u)));
    // A malformed reply is a general failure.
    EXPECT_EQ(translate(CEnumException<CProtocolErrors::CCode>(CProtocolErrors::One_byte_reply)).first, 0x80004005u);
    // A detail text is what the caller reads.
    EXPECT_EQ(translate(CEnumException<QUARK_ERROR>(QUARK_ERROR::Not_allowed, "Solo per prova.")).second,
              "Solo per prova.");
}

// The library's own codes, 0x80040202 to 0x80040241: each has a message of its own, no two the
// same, or the system's text for it (none here, so the fallback); a translated failure reads the
// message of its code. The entries a holder meets most, as they must read.
TEST(Card_error_model, every_component_code_has_its_message)
{
    const std::set<uint32_t> system_text = {0x80040205u, 0x80040208u, 0x80040214u, 0x80040215u,
                                            0x80040223u, 0x80040225u, 0x80040226u, 0x80040240u};
    std::set<std::string> messages;
    for (uint32_t code = 0x80040202u; code <= 0x80040241u; ++code) {
        const std::string text = error_text(code);
        if (system_text.count(code)) {
            EXPECT_EQ(text, "Descrizione dell'errore non disponibile.") << std::hex << code;
        } else {
            EXPECT_FALSE(text.empty()) << std::hex << code;
            EXPECT_TRUE(messages.insert(text).second) << std::hex << code << ": " << text;
        }
    }
    const std::pair<uint32_t, const char*> stated[] = {
        {0x80040202u, "La carta è stata rimossa."},
        {0x80040204u, "Carta non rilevata."},
        {0x8004020Fu, "File non trovato."},
        {0x8004021Cu, "PIN bloccato."},
        {0x8004022Fu, "File pieno"},
        {0x80040234u, "Operazione annullata dall'utente."},
        {0x8004023Cu, "La carta inserita non è una Carta Nazionale dei Servizi."},
        {0x8004023Du, "La carta ha respinto la richiesta."},
        {0x8004023Eu,
         "Non è possibile firmare il documento specificato.\n\nIl documento supera la dimensione massima prevista."},
        {0x80040241u, "La funzione richiesta non è disponibile in modalità contactless."},
    };
    for (const auto& [code, text] : stated)
        EXPECT_EQ(error_text(code), text) << std::hex << code;
    EXPECT_EQ(translate(Winapi_exception(0x8010006Cu)).second, error_text(0x8004021Cu));

    const std::string outdated = error_text(0x8004023Fu);
    EXPECT_EQ(
        outdated.rfind("LA VERSIONE DEL \"AUREA DESK\"\nINSTALLATA NON E' AGGIORNATA.\n\nPer proseguire e' necessario "
                       "installare la versione corrente,\ndisponibile sul sito https://",
                       0),
        0u);
    EXPECT_EQ(outdated.back(), '\n');
    // Outside the library's codes.
    EXPECT_EQ(error_text(234), "Buffer insufficiente.");
    EXPECT_EQ(error_text(0x80041234u), "Descrizione dell'errore non disponibile.");
    EXPECT_EQ(error_text(0x800C0005u), "Descrizione dell'errore non disponibile.");
}

} // namespace
