// Windows error codes are the suite's error codes everywhere (settings, files, card, network), so
// the texts users see match what they would read on any other installation of the suite.
#include "common/errno_text.h"
#include "common/failure.h"

#include <cerrno>

#include <locale.h>
#include <string.h>

namespace velin {

namespace {

struct Error_text {
    uint32_t code;
    const char* text;
};

constexpr Error_text error_texts[] = {
    {0, "Operazione completata."},
    {1, "Funzione non corretta."},
    {2, "Impossibile trovare il file specificato."},
    {3, "Impossibile trovare il percorso specificato."},
    {4, "Impossibile aprire il file."},
    {5, "Accesso negato."},
    {6, "Handle non valido."},
    {8, "Memoria insufficiente per elaborare il comando."},
    {13, "Dati non validi."},
    {14, "Memoria insufficiente per completare l'operazione."},
    {15, "Impossibile trovare l'unità specificata."},
    {19, "Supporto protetto da scrittura."},
    {21, "Periferica non pronta."},
    {32, "Impossibile accedere al file. Il file è utilizzato da un altro processo."},
    {33, "Impossibile accedere al file. Una parte del file è bloccata da un altro processo."},
    {38, "Raggiunta la fine del file."},
    {50, "Richiesta non supportata."},
    {80, "Il file esiste."},
    {87, "Parametro non corretto."},
    {109, "La pipe è stata terminata."},
    {112, "Spazio insufficiente sul disco."},
    {122, "L'area dati passata a una chiamata di sistema è insufficiente."},
    {123, "La sintassi del nome del file, della directory o del volume non è corretta."},
    {145, "Directory non vuota."},
    {161, "Il percorso specificato non è valido."},
    {183, "Impossibile creare un file, se il file esiste già."},
    {206, "Il nome del file o l'estensione è troppo lungo."},
    {234, "Sono disponibili altri dati."},
    {259, "Non sono disponibili altri dati."},
    {267, "Nome di directory non valido."},
    {1117, "Impossibile eseguire la richiesta a causa di un errore di periferica I/O."},
    {1167, "La periferica non è connessa."},
    {1223, "Operazione annullata dall'utente."},
    {1392, "Il file o la directory è danneggiata e illeggibile."},
    {1460, "Operazione non completata perché è scaduto il periodo di timeout."},
    {1629, "Dati forniti di tipo errato."},
    {0x80004005u, "Errore non specificato"},
    {0x800704C7u, "Operazione annullata dall'utente."},
};

// The common values, in the words the C library's Italian messages use where they read well.
struct Errno_text {
    int error;
    const char* text;
};

constexpr Errno_text errno_texts[] = {
    {0, "Nessun errore"},
    {EPERM, "Operazione non permessa"},
    {ENOENT, "File o directory non esistente"},
    {EINTR, "Chiamata di sistema interrotta"},
    {EIO, "Errore di input/output"},
    {ENXIO, "Dispositivo o indirizzo non esistente"},
    {E2BIG, "Elenco degli argomenti troppo lungo"},
    {EBADF, "Descrittore di file non valido"},
    {EAGAIN, "Risorsa temporaneamente non disponibile"},
    {ENOMEM, "Impossibile allocare memoria"},
    {EACCES, "Permesso negato"},
    {EFAULT, "Indirizzo non valido"},
    {EBUSY, "Dispositivo o risorsa occupata"},
    {EEXIST, "Il file esiste già"},
    {EXDEV, "Collegamento non valido tra dispositivi"},
    {ENODEV, "Dispositivo non esistente"},
    {ENOTDIR, "Non è una directory"},
    {EISDIR, "È una directory"},
    {EINVAL, "Argomento non valido"},
    {ENFILE, "Troppi file aperti nel sistema"},
    {EMFILE, "Troppi file aperti"},
    {ETXTBSY, "File eseguibile in uso"},
    {EFBIG, "File troppo grande"},
    {ENOSPC, "Spazio esaurito sul dispositivo"},
    {ESPIPE, "Posizionamento non consentito"},
    {EROFS, "File system in sola lettura"},
    {EMLINK, "Troppi collegamenti"},
    {EPIPE, "Pipe interrotta"},
    {ERANGE, "Risultato numerico fuori dall'intervallo"},
    {ENAMETOOLONG, "Nome del file troppo lungo"},
    {ENOTEMPTY, "Directory non vuota"},
    {ELOOP, "Troppi livelli di collegamenti simbolici"},
    {EOVERFLOW, "Valore troppo grande per il tipo di dato"},
    {ENOTSUP, "Operazione non supportata"},
    {EADDRINUSE, "Indirizzo già in uso"},
    {ENETUNREACH, "La rete non è raggiungibile"},
    {ECONNRESET, "Connessione interrotta dall'altro capo"},
    {ETIMEDOUT, "Tempo scaduto per la connessione"},
    {ECONNREFUSED, "Connessione rifiutata"},
    {EHOSTUNREACH, "Host non raggiungibile"},
    {EDQUOT, "Quota del disco superata"},
    {ECANCELED, "Operazione annullata"},
};

// A locale's messages, opened once for the process; null when the locale is not installed.
locale_t italian_messages()
{
    static const locale_t locale = ::newlocale(LC_MESSAGES_MASK, "it_IT.UTF-8", locale_t(nullptr));
    return locale;
}

locale_t c_messages()
{
    static const locale_t locale = ::newlocale(LC_MESSAGES_MASK, "C", locale_t(nullptr));
    return locale;
}

} // namespace

std::string errno_table_text(int error)
{
    for (const auto& entry : errno_texts)
        if (entry.error == error)
            return entry.text;
    return "Errore di sistema sconosciuto (codice " + std::to_string(error) + ")";
}

std::string errno_text(int error)
{
    const locale_t italian = italian_messages();
    const locale_t c_locale = c_messages();
    if (italian && c_locale) {
        // The locale may be installed without the C library's Italian messages: its text is then
        // the English one, and ours is better.
        std::string text = ::strerror_l(error, italian);
        if (!text.empty() && text != ::strerror_l(error, c_locale))
            return text;
    }
    return errno_table_text(error);
}

std::string errno_text(const std::error_code& code)
{
    if (code.category() == std::generic_category() || code.category() == std::system_category())
        return errno_text(code.value());
    return code.message();
}

std::string system_error_text(uint32_t code)
{
    for (const auto& entry : error_texts)
        if (entry.code == code)
            return entry.text;
    return {};
}

uint32_t error_code_from_errno(int error)
{
    switch (error) {
    case 0:
        return 0;
    case ENOENT:
        return 2;
    case ENOTDIR:
    case ELOOP:
        return 3;
    case EMFILE:
    case ENFILE:
        return 4;
    case EACCES:
    case EPERM:
        return 5;
    case EBADF:
        return 6;
    case ENOMEM:
        return 8;
    case EROFS:
        return 19;
    case EBUSY:
    case ETXTBSY:
        return 32;
    case EWOULDBLOCK:
        return 33;
    case ENOTSUP:
        return 50;
    case EEXIST:
        return 80;
    case EINVAL:
        return 87;
    case EPIPE:
        return 109;
    case ENOSPC:
    case EDQUOT:
        return 112;
    case ENAMETOOLONG:
        return 206;
    case EISDIR:
        return 267;
    case ENOTEMPTY:
        return 145;
    case EIO:
        return 1117;
    case ENODEV:
    case ENXIO:
        return 1167;
    case ETIMEDOUT:
        return 1460;
    case ECANCELED:
        return 1223;
    default:
        return E_FAIL_CODE;
    }
}

} // namespace velin
