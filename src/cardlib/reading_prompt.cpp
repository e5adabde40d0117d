#include "cardlib/reading_prompt.h"

#include "cardlib/card_exceptions.h"
#include "common/trace.h"

#include <mutex>

namespace velin::cardlib {

const char* const Card_caption = "Carta Velin";
// Paragraphs only: the box wraps its lines to its own width.
const char* const Property_question =
    "Un'applicazione ha chiesto di conoscere informazioni tecniche sul PC e sulla tua Carta Velin.\n\n"
    "Se sei connesso a Internet la richiesta potrebbe venire da un sito al quale sei collegato. In questo caso "
    "verifica che la richiesta sia coerente con le finalità del sito.\n\n"
    "Le informazioni richieste non contengono alcuna informazione personale, ma sono utili a determinare la causa "
    "di malfunzionamenti.\n\n"
    "Autorizzi la lettura di queste informazioni?";
const char* const Wrong_pin_text = "Il PIN non è corretto.\nRiprova.";

namespace {

std::mutex answerer_lock;
Prompt_answerer answerer;

std::optional<Prompt_answer> answer_by_hook(Prompt_kind kind, const CNS_known_file_info* info,
                                            const std::vector<CNS_known_file_info>* items = nullptr)
{
    Prompt_answerer hook;
    {
        std::lock_guard lock(answerer_lock);
        hook = answerer;
    }
    if (!hook)
        return std::nullopt;
    return hook(Prompt_request{kind, info, items});
}

[[noreturn]] void refused()
{
    Trace(Trace_kind, Level_note) << "Lettura non autorizzata dal titolare";
    throw CEnumException<BASIC_ERRORS::CError>(BASIC_ERRORS::Cancelled);
}

} // namespace

void set_prompt_answerer(Prompt_answerer new_answerer)
{
    std::lock_guard lock(answerer_lock);
    answerer = std::move(new_answerer);
}

void ask_consent(const CNS_known_file_info& info)
{
    ask_consent(std::vector<CNS_known_file_info>{info});
}

void ask_consent(const std::vector<CNS_known_file_info>& items)
{
    check(!items.empty(), "not items.empty ()");
    for (const CNS_known_file_info& item : items)
        Trace(Trace_kind, Level_info) << "Consenso alla lettura di " << item.name;
    auto answer = answer_by_hook(Prompt_kind::Consent, &items.front(), &items);
    const bool accepted = answer ? answer->accepted : qt_dialogs::consent(items);
    if (!accepted)
        refused();
}

const CNS_known_file_info& technical_information()
{
    static const CNS_known_file_info technical{
        UINT32_MAX,
        "informazioni tecniche",
        std::nullopt,
        Access_free,
        "le informazioni tecniche della Carta",
        "Le informazioni tecniche (l'emittente del certificato, il produttore e il tipo della Carta, l'ATR) non "
        "contengono alcuna informazione personale, ma sono utili a determinare la causa di malfunzionamenti.",
        Agreement::Feminine_plural};
    return technical;
}

std::string listed_descriptions(const std::vector<CNS_known_file_info>& items)
{
    if (items.size() == 1)
        return items.front().short_description;
    std::string text;
    for (size_t i = 0; i < items.size(); ++i)
        text += (i ? ";\n- " : "- ") + items[i].short_description;
    return text;
}

std::string registered_on_card(const std::vector<CNS_known_file_info>& items)
{
    // Several items agree in the plural, feminine only when all of them are.
    bool feminine = !items.empty();
    for (const CNS_known_file_info& item : items)
        feminine = feminine &&
                   (item.agreement == Agreement::Feminine_singular || item.agreement == Agreement::Feminine_plural);
    Agreement agreement = feminine ? Agreement::Feminine_plural : Agreement::Masculine_plural;
    if (items.size() == 1)
        agreement = items.front().agreement;
    const char* participle = "registrati";
    switch (agreement) {
    case Agreement::Masculine_singular:
        participle = "registrato";
        break;
    case Agreement::Feminine_singular:
        participle = "registrata";
        break;
    case Agreement::Feminine_plural:
        participle = "registrate";
        break;
    case Agreement::Masculine_plural:
        break;
    }
    return std::string(participle) + " sulla tua Carta Velin.";
}

std::string long_descriptions(const std::vector<CNS_known_file_info>& items)
{
    std::string text;
    for (size_t i = 0; i < items.size(); ++i) {
        bool repeated = false;
        for (size_t j = 0; j < i; ++j)
            repeated = repeated || items[j].long_description == items[i].long_description;
        if (!repeated)
            text += (text.empty() ? "" : "\n\n") + items[i].long_description;
    }
    return text;
}

Pin_text ask_pin(const CNS_known_file_info& info)
{
    Trace(Trace_kind, Level_info) << "PIN per la lettura di " << info.name;
    Pin_text pin;
    if (auto answer = answer_by_hook(Prompt_kind::Pin, &info)) {
        if (!answer->accepted)
            refused();
        pin = std::move(answer->pin);
    } else {
        auto typed = qt_dialogs::pin(info);
        if (!typed)
            refused();
        pin = std::move(*typed);
    }
    if (pin.size() < 5 || pin.size() > 8)
        throw CEnumException<quark_errors_t::CCode>(quark_errors_t::Pin_format);
    return pin;
}

void show_wrong_pin()
{
    if (!answer_by_hook(Prompt_kind::Wrong_pin, nullptr))
        qt_dialogs::wrong_pin();
}

void ask_property_consent()
{
    auto answer = answer_by_hook(Prompt_kind::Property_consent, nullptr);
    const bool accepted = answer ? answer->accepted : qt_dialogs::property_consent();
    if (!accepted) {
        Trace(Trace_kind, Level_note) << "Informazioni tecniche non autorizzate dal titolare";
        throw Winapi_exception(5); // E_ACCESSDENIED
    }
}

} // namespace velin::cardlib
