// velin-dati-carta [--json] [/parent=0x%08x] | --help | --version: the data of the card in the
// reader, read through the installed card library (which asks the holder's consent), in a window
// or as JSON.
#include "card_data/app/card_data_window.h"
#include "card_data/card_data.h"
#include "common/guarded_application.h"
#include "common/message_box.h"
#include "common/trace.h"
#include "common/version.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr const char* help_text =
    "Uso: velin-dati-carta [--json]\n"
    "     velin-dati-carta --help | --version\n"
    "\n"
    "Mostra i dati registrati sulla Carta Velin inserita nel lettore. La libreria della carta\n"
    "chiede comunque il consenso del titolare prima di leggerli: con --json e senza schermo lo\n"
    "chiede sul terminale (rispondi s o n); se l'ingresso standard non è un terminale non legge.\n"
    "\n"
    "  --json      scrive i dati sull'uscita standard, senza finestra del programma\n"
    "  --help      mostra questo aiuto\n"
    "  --version   mostra la versione\n";

} // namespace

int main(int argc, char** argv)
{
    using namespace velin;
    bool json = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0) {
            json = true;
        } else if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(help_text, stdout);
            return 0;
        } else if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("velin-dati-carta %s\n", Suite_version);
            return 0;
        }
    }
    // --json makes no window of its own: the card library brings up what its questions need, or
    // asks on the terminal without a display, and says that it cannot ask when there is neither.
    std::unique_ptr<Guarded_application> application;
    if (!json)
        application = std::make_unique<Guarded_application>(argc, argv);
    Trace(Trace_kind, Level_info) << "Avvio di velin-dati-carta.";
    if (!json)
        set_starter_window_from_arguments(argc, argv);

    std::string load_error;
    std::unique_ptr<Card_library> library = Card_library::load(Card_library_name, load_error);
    if (!library) {
        Trace(Trace_kind, Level_error) << "Caricamento della libreria della carta fallito: " << load_error;
        const std::string text = "La libreria della Carta Velin (" + std::string(Card_library_name) +
                                 ") non è installata o non può essere caricata.";
        if (json)
            std::fprintf(stderr, "%s\n", text.c_str());
        else
            message_box(text, MB_OK | MB_ICONERROR, nullptr, Suite_caption);
        return 2;
    }
    if (json) {
        const Card_data data = read_card_data(*library);
        for (const Card_data_failure& failure : data.failures)
            if (failure.code == Norax_cannot_ask)
                std::fprintf(stderr, "%s\n", Text_nobody_to_ask);
        std::fputs(data.as_json().c_str(), stdout);
        return data.failures.empty() ? 0 : 1;
    }
    Card_data_window window([&library] { return read_card_data(*library); });
    window.show();
    window.refresh();
    window.exec();
    return 0;
}
