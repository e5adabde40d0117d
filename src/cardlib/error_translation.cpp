#include "cardlib/error_translation.h"

#include "common/failure.h"
#include "common/trace.h"

#include <boost/format.hpp>

#include <mutex>
#include <new>

namespace velin::cardlib {

namespace {

constexpr const char* Unavailable_text = "Descrizione dell'errore non disponibile.";

// Where the product's current version is published (message 0x8004023F).
constexpr const char* Product_site = "https://www.cartavelin.it";

struct Component_message {
    uint32_t code;
    const char* text; // nullptr: the system's text
};

const std::string outdated_version_text =
    std::string("LA VERSIONE DEL \"AUREA DESK\"\nINSTALLATA NON E' AGGIORNATA.\n\nPer proseguire e' necessario "
                "installare la versione corrente,\ndisponibile sul sito ") +
    Product_site + "\n";

constexpr Component_message component_messages[] = {
    {0x80040202u, "La carta è stata rimossa."},
    {0x80040203u, "Impossibile accedere alla carta."},
    {0x80040204u, "Carta non rilevata."},
    {0x80040205u, nullptr},
    {0x80040206u, "La carta è di sola lettura."},
    {0x80040207u, "La carta è impegnata e non può eseguire l'operazione richiesta."},
    {0x80040208u, nullptr},
    {0x80040209u, "La carta non risponde."},
    {0x8004020Au, "La carta non è alimentata."},
    {0x8004020Bu, "Dispositivo occupato."},
    {0x8004020Cu, "Errore di input/output."},
    {0x8004020Du, "Errore durante l'apertura del file."},
    {0x8004020Eu, "Errore nella scansione del file."},
    {0x8004020Fu, "File non trovato."},
    {0x80040210u, "Errore durante la lettura del file."},
    {0x80040211u, "Errore durante la scrittura del file"},
    {0x80040212u, "Il lettore (o la carta) è in corso di inizializzazione."},
    {0x80040213u, "Il documento non è valido se verificato con la firma indicata."},
    {0x80040214u, nullptr},
    {0x80040215u, nullptr},
    {0x80040216u, "L'informazione richiesta non può essere letta perché protetta."},
    {0x80040217u, "La chiave non supporta l'operazione crittografica richiesta."},
    {0x80040218u, "Impossibile accedere alla chiave richiesta perché protetta."},
    {0x80040219u, "Il PIN è scaduto."},
    {0x8004021Au, "Il PIN è errato."},
    {0x8004021Bu, "Il formato del PIN non è corretto."},
    {0x8004021Cu, "PIN bloccato."},
    {0x8004021Du, "PIN non inizializzato."},
    {0x8004021Eu, "Il PUK è errato."},
    {0x8004021Fu, "Il formato del PUK non è corretto."},
    {0x80040220u, "PUK bloccato."},
    {0x80040221u, "Manca una o più librerie richieste dal componente."},
    {0x80040222u, "Lettore non rilevato."},
    {0x80040223u, nullptr},
    {0x80040224u, "Errore relativo al driver del lettore."},
    {0x80040225u, nullptr},
    {0x80040226u, nullptr},
    {0x80040227u, "La carta è impegnata da un altro utente."},
    {0x80040228u, "La lunghezza della firma non è quella prescritta."},
    {0x80040229u, "La firma non corrisponde al documento."},
    {0x8004022Au, "Il sistema operativo ha interrotto l'operazione."},
    {0x8004022Bu, "L'operazione è stata interrotta perché è trascorso troppo tempo."},
    {0x8004022Cu, "Chiamata di sistema fallita."},
    {0x8004022Du, "Errore nella verifica del PIN."},
    {0x8004022Eu, "Autenticazione fallita."},
    {0x8004022Fu, "File pieno"},
    {0x80040230u, "Rilevate più di una carta."},
    {0x80040231u, "Errore durante il caricamento di una libreria."},
    {0x80040232u, "Errore durante l'inizializzazione della libreria PKCS#11."},
    {0x80040233u, "Errore interno del componente."},
    {0x80040234u, "Operazione annullata dall'utente."},
    {0x80040235u, "Lo stato corrente dell'oggetto non consente di eseguire l'operazione richiesta."},
    {0x80040236u, "Operazione non consentita."},
    {0x80040237u, "Certificato non ancora entrato nel suo periodo di validità."},
    {0x80040238u, "Certificato scaduto."},
    {0x80040239u, "Nessun certificato disponibile per eseguire l'operazione richiesta."},
    {0x8004023Au, "Il formato dei dati analizzati non è valido."},
    {0x8004023Bu, "L'elaborazione è fallita a causa di dati inattesi."},
    {0x8004023Cu, "La carta inserita non è una Carta Nazionale dei Servizi."},
    {0x8004023Du, "La carta ha respinto la richiesta."},
    {0x8004023Eu,
     "Non è possibile firmare il documento specificato.\n\nIl documento supera la dimensione massima prevista."},
    {0x8004023Fu, ""}, // composed with the product's site
    {0x80040240u, nullptr},
    {0x80040241u, "La funzione richiesta non è disponibile in modalità contactless."},
};

struct Code_pair {
    uint32_t from;
    uint32_t to;
};

constexpr Code_pair pcsc_codes[] = {
    {0x8010001Bu, 0x80040224u}, // SCARD_E_DUPLICATE_READER
    {0x80100006u, E_OUTOFMEMORY_CODE}, // SCARD_E_NO_MEMORY
    {0x80100007u, 0x8004022Bu}, // SCARD_F_WAITED_TOO_LONG
    {0x8010000Bu, 0x80040227u}, // SCARD_E_SHARING_VIOLATION
    {0x8010000Cu, 0x80040204u}, // SCARD_E_NO_SMARTCARD
    {0x80100010u, 0x8004020Bu}, // SCARD_E_NOT_READY
    {0x80100012u, 0x8004022Au}, // SCARD_E_SYSTEM_CANCELLED
    {0x80100017u, 0x80040222u}, // SCARD_E_READER_UNAVAILABLE
    {0x8010002Eu, 0x80040222u}, // SCARD_E_NO_READERS_AVAILABLE
    {0x80100066u, 0x80040209u}, // SCARD_W_UNRESPONSIVE_CARD
    {0x80100067u, 0x8004020Au}, // SCARD_W_UNPOWERED_CARD
    {0x80100069u, 0x80040202u}, // SCARD_W_REMOVED_CARD
    {0x8010006Bu, 0x8004021Au}, // SCARD_W_WRONG_CHV
    {0x8010006Cu, 0x8004021Cu}, // SCARD_W_CHV_BLOCKED
};

// The PC/SC codes a holder meets that are returned as they are (the others become component
// codes above), in words of ours: the platform's own texts are terse, or missing.
constexpr Component_message pcsc_texts[] = {
    {0x8010000Au, "La carta non ha risposto in tempo."}, // SCARD_E_TIMEOUT
    {0x80100009u, "Il lettore non è più disponibile."}, // SCARD_E_UNKNOWN_READER
    {0x8010001Du, "Il servizio di accesso alle smart card non è attivo."}, // SCARD_E_NO_SERVICE
    {0x8010001Eu, "Il servizio di accesso alle smart card si è fermato."}, // SCARD_E_SERVICE_STOPPED
    {0x80100068u, "La carta è stata reimpostata da un altro programma. Riprova."}, // SCARD_W_RESET_CARD
    {0x80100003u, "La comunicazione con la carta si è interrotta."}, // SCARD_E_INVALID_HANDLE
    {0x80100013u, "La comunicazione con la carta si è interrotta."}, // SCARD_F_COMM_ERROR
    {0x80100016u, "La comunicazione con la carta si è interrotta."}, // SCARD_E_NOT_TRANSACTED
    {0x8010002Fu, "La comunicazione con la carta si è interrotta."}, // SCARD_E_COMM_DATA_LOST
    {0x8010001Cu, "Il lettore non supporta questa carta."}, // SCARD_E_CARD_UNSUPPORTED
};

std::mutex last_error_lock;
std::string last_error;

// The system's text of a code; an HRESULT wrapping a Windows error has that error's text.
std::string system_text(uint32_t code)
{
    std::string text = system_error_text(code);
    if (text.empty() && (code & 0xFFFF0000u) == 0x80070000u)
        text = system_error_text(code & 0xFFFFu);
    return text.empty() ? Unavailable_text : text;
}

} // namespace

CCaseException::CCaseException() : _text("L'opzione non è definita.") {}

CCaseException::CCaseException(uint32_t value)
    : _text((boost::format("L'opzione %u (0x%X) non è definita.") % value % value).str())
{}

std::string component_message(uint32_t code)
{
    if (code == 0x8004023Fu)
        return outdated_version_text;
    for (const auto& entry : component_messages)
        if (entry.code == code)
            return entry.text ? entry.text : "";
    return {};
}

uint32_t code_from_pcsc(uint32_t pcsc_code)
{
    for (const auto& pair : pcsc_codes)
        if (pair.from == pcsc_code)
            return pair.to;
    if (pcsc_code & 0x80000000u)
        return pcsc_code;
    if (pcsc_code == 0)
        return 0;
    if (pcsc_code <= 0xFFFF)
        return 0x80070000u + pcsc_code;
    return E_FAIL_RESULT;
}

uint32_t code_from_quark(quark_errors_t::CCode code)
{
    switch (code) {
    case quark_errors_t::Pin_format:
        return 0x8004021Bu;
    case quark_errors_t::Puk_format:
        return 0x8004021Fu;
    case quark_errors_t::Several_cards:
        return 0x80040230u;
    case quark_errors_t::No_certificate:
        return 0x80040239u;
    case quark_errors_t::Bad_format:
        return 0x8004023Au;
    case quark_errors_t::Certificate_not_yet_valid:
        return 0x80040237u;
    case quark_errors_t::Certificate_expired:
        return 0x80040238u;
    case quark_errors_t::Not_cns:
        return 0x8004023Cu;
    case quark_errors_t::Outdated_version:
        return 0x8004023Fu;
    }
    return E_FAIL_RESULT;
}

uint32_t code_from_io(io_errors_t::CError code)
{
    switch (code) {
    case io_errors_t::Scan:
        return 0x8004020Eu;
    case io_errors_t::Not_found:
        return 0x8004020Fu;
    case io_errors_t::Open:
        return 0x8004020Du;
    case io_errors_t::Io:
        return 0x8004020Cu;
    case io_errors_t::Write:
        return 0x80040211u;
    case io_errors_t::Read:
        return 0x80040210u;
    }
    return 0x8004020Cu;
}

uint32_t code_from_basic(BASIC_ERRORS::CError code)
{
    switch (code) {
    case BASIC_ERRORS::Failed:
        return E_FAIL_RESULT;
    case BASIC_ERRORS::Cancelled:
        return 0x80040234u;
    case BASIC_ERRORS::Null_pointer:
        return E_POINTER_CODE;
    case BASIC_ERRORS::Invalid_argument:
        return E_INVALIDARG_CODE;
    case BASIC_ERRORS::Bad_format:
        return 0x8004023Au;
    }
    Trace(Trace_kind, Level_error) << CCaseException(static_cast<uint32_t>(code)).what();
    throw CCheckException();
}

uint32_t code_from_current_exception()
{
    try {
        throw;
    } catch (const Winapi_exception& e) {
        return code_from_pcsc(e.code());
    } catch (const CEnumException<io_errors_t::CError>& e) {
        return code_from_io(e.code());
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY_CODE;
    } catch (const SCard_command_failed_exception& e) {
        return code_from_status_word(e.response().sw1(), e.response().sw2());
    } catch (const CEnumException<quark_errors_t::CCode>& e) {
        return code_from_quark(e.code());
    } catch (const CRequireException&) {
        return E_INVALIDARG_CODE;
    } catch (const CAssertionException&) {
        return E_FAIL_RESULT;
    } catch (const CEnumException<BASIC_ERRORS::CError>& e) {
        try {
            return code_from_basic(e.code());
        } catch (const CCheckException&) {
            return E_FAIL_RESULT;
        }
    } catch (const CEnumException<QUARK_ERROR>& e) {
        return static_cast<uint32_t>(e.code());
    } catch (...) {
        return E_FAIL_RESULT;
    }
}

std::string error_text(uint32_t code, const std::exception* exception)
{
    switch (code) {
    case E_POINTER_CODE:
        return "Puntatore non valido.";
    case E_FAIL_RESULT:
        return "Errore non definito.";
    case E_INVALIDARG_CODE:
        return "Parametri non validi.";
    case ERROR_MORE_DATA_CODE:
        return "Buffer insufficiente.";
    default:
        break;
    }
    if (const auto* base = dynamic_cast<const CBaseException*>(exception); base && !base->detail().empty())
        return base->detail();
    const uint32_t facility = (code >> 16) & 0x1FFFu;
    if (facility == 4) {
        const std::string text = component_message(code);
        if (!text.empty())
            return text;
    } else if (facility == 0x10) {
        for (const auto& entry : pcsc_texts)
            if (entry.code == code)
                return entry.text;
    } else if (facility == 12) {
        // Internet errors: the library itself makes no Internet calls, so no server reply text
        // is ever kept for the extended error.
        const std::string text = system_error_text(12000 + (code & 0xFFFFu));
        return text.empty() ? Unavailable_text : text + "\n\n";
    }
    return system_text(code);
}

std::string last_error_text()
{
    std::lock_guard lock(last_error_lock);
    return last_error;
}

void set_last_error_text(std::string text)
{
    std::lock_guard lock(last_error_lock);
    last_error = std::move(text);
}

} // namespace velin::cardlib
