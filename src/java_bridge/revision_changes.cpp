#include "java_bridge/revision_changes.h"

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
};

constexpr const char* Changed_text = "Il documento è stato modificato dopo la firma: ";

// The names of the kinds, in the order above, separated by commas.
std::string names(unsigned kinds)
{
    std::string text;
    for (const auto& [kind, name] : Change_names)
        if (kinds & kind)
            text += (text.empty() ? "" : ", ") + std::string(name);
    return text;
}

} // namespace

unsigned allowed_changes(int certification)
{
    unsigned allowed = Change_validation_data | Change_timestamps;
    if (certification != 1)
        allowed |= Change_signatures | Change_form_filled | Change_metadata;
    if (certification == 0 || certification == 3)
        allowed |= Change_annotations;
    return allowed;
}

Later_changes judge_later_changes(unsigned kinds, int certification)
{
    const unsigned allowed = allowed_changes(certification);
    Later_changes changes;
    if (kinds & allowed)
        changes.allowed = Changed_text + names(kinds & allowed) + ".";
    if (const unsigned forbidden = kinds & ~allowed) {
        // Kinds a later signer may make in general, forbidden here by the certification alone.
        const bool by_certification = (forbidden & ~allowed_changes(0)) == 0;
        changes.forbidden = Changed_text + names(forbidden) +
                            (by_certification ? ". La certificazione del documento non consente queste modifiche"
                                              : ". Queste modifiche non sono consentite") +
                            ": la firma non vale per il documento nella forma attuale.";
    }
    return changes;
}

} // namespace velin
