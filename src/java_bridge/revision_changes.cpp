#include "java_bridge/revision_changes.h"

#include <algorithm>
#include <utility>

namespace velin {

namespace {

constexpr std::pair<unsigned, const char*> Change_names[] = {
    {Change_signatures, "firme aggiunte"},
    {Change_timestamps, "marche temporali del documento aggiunte"},
    {Change_validation_data, "dati per la verifica nel tempo (DSS) aggiunti"},
    {Change_form_filled, "campi del modulo compilati"},
    {Change_annotations, "annotazioni o commenti aggiunti, modificati o rimossi"},
    {Change_metadata, "metadati del documento"},
    {Change_content, "contenuto delle pagine"},
    {Change_resources, "risorse delle pagine (caratteri, immagini, oggetti grafici)"},
    {Change_pages, "struttura delle pagine"},
    {Change_other, "altre parti del documento (catalogo, azioni, permessi, allegati)"},
    {Change_unreadable, "dati aggiunti che non possono essere confrontati con la versione firmata"},
    {Change_empty_signature_field, "aspetto di campi firma vuoti aggiunto o modificato senza firmarli"},
    {Change_appearance_replaced, "aspetto di campi del modulo sostituito senza che il loro valore cambi"},
    {Change_visible_appearance, "aspetto visibile di campi firma aggiunto o modificato"},
};

constexpr const char* Changed_text = "Il documento è stato modificato dopo la firma: ";

// " alla pagina 3", " alle pagine 1, 2 e 4": the first pages given, the count of the others.
std::string on_pages(const std::vector<int>& pages)
{
    constexpr size_t Shown = 10;
    if (pages.empty())
        return {};
    std::string text = pages.size() == 1 ? " alla pagina " : " alle pagine ";
    const size_t shown = std::min(pages.size(), Shown);
    for (size_t i = 0; i < shown; ++i)
        text += (i == 0 ? "" : i + 1 == shown && shown == pages.size() ? " e " : ", ") + std::to_string(pages[i]);
    if (pages.size() > Shown)
        text += " e altre " + std::to_string(pages.size() - Shown);
    return text;
}

// The names of the kinds, in the order above, separated by commas; the visible appearances with
// their pages.
std::string names(unsigned kinds, const std::vector<int>& pages)
{
    std::string text;
    for (const auto& [kind, name] : Change_names)
        if (kinds & kind)
            text += (text.empty() ? "" : ", ") + std::string(name) +
                    (kind == Change_visible_appearance ? on_pages(pages) : "");
    return text;
}

// The fields' names as a list the user can read: the document's text without control characters,
// each name and the list of a bounded length.
std::string field_list(const std::vector<std::string>& fields)
{
    constexpr size_t Shown = 10, Name_length = 80;
    std::string text;
    for (size_t i = 0; i < fields.size() && i < Shown; ++i) {
        std::string name;
        for (const char c : fields[i].substr(0, Name_length))
            if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f)
                name += c;
        if (fields[i].size() > Name_length) {
            // Cut inside a character: its first bytes go too.
            while (!name.empty() && (static_cast<unsigned char>(name.back()) & 0xC0) == 0x80)
                name.pop_back();
            if (!name.empty() && static_cast<unsigned char>(name.back()) >= 0xC0)
                name.pop_back();
            name += "...";
        }
        text += (text.empty() ? "\"" : ", \"") + name + "\"";
    }
    if (fields.size() > Shown)
        text += " e altri " + std::to_string(fields.size() - Shown);
    return text;
}

} // namespace

unsigned allowed_changes(int certification)
{
    unsigned allowed = Change_validation_data | Change_timestamps;
    if (certification != 1)
        allowed |= Change_signatures | Change_form_filled | Change_metadata | Change_visible_appearance;
    if (certification == 0 || certification == 3)
        allowed |= Change_annotations | Change_empty_signature_field;
    return allowed;
}

Later_changes judge_later_changes(unsigned kinds, int certification, const std::vector<std::string>& locked_fields,
                                  const std::vector<int>& appearance_pages)
{
    const unsigned allowed = allowed_changes(certification);
    Later_changes changes;
    if (kinds & allowed)
        changes.allowed = Changed_text + names(kinds & allowed, appearance_pages) + ".";
    const unsigned forbidden = kinds & ~allowed;
    if (!forbidden && locked_fields.empty()) {
        changes.long_term_only = kinds != 0 && (kinds & ~(Change_timestamps | Change_validation_data)) == 0;
        return changes;
    }
    std::string what = names(forbidden, appearance_pages);
    if (!locked_fields.empty())
        what += (what.empty() ? "" : ", ") +
                std::string(locked_fields.size() == 1 ? "campo bloccato dalla firma modificato: "
                                                      : "campi bloccati dalla firma modificati: ") +
                field_list(locked_fields);
    // Kinds a later signer may make in general, forbidden here by the certification alone.
    const bool by_certification = locked_fields.empty() && (forbidden & ~allowed_changes(0)) == 0;
    changes.forbidden = Changed_text + what +
                        (by_certification ? ". La certificazione del documento non consente queste modifiche"
                                          : ". Queste modifiche non sono consentite") +
                        ": la firma non vale per il documento nella forma attuale.";
    return changes;
}

} // namespace velin
