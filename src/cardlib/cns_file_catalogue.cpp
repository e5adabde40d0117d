#include "cardlib/cns_file_catalogue.h"

#include "cardlib/card_exceptions.h"

#include <algorithm>
#include <cctype>

namespace velin::cardlib {

namespace {

constexpr const char* Netlink_long = "I dati Netlink riservati contengono informazioni inerenti la struttura della "
                                     "Carta fissati dalle specifiche Netlink. Non contengono alcun dato personale.";
constexpr const char* Application_long = "I dati per uso applicativo contengono informazioni tecniche utili alle "
                                         "applicazioni basate sulla Carta Velin. Non contengono alcun dato personale.";

std::vector<CNS_known_file_info> make_catalogue()
{
    const std::string netlink = "i dati Netlink riservati";
    const std::string application = "dati per uso applicativo";
    return {
        {0, "EF.NETLINK", std::nullopt, Access_free, netlink, Netlink_long},
        {5, "EF.NETKITA", std::nullopt, Access_free, netlink, Netlink_long},
        {7, "EF.NKPP", std::nullopt, Access_pin, netlink, Netlink_long},
        {9, "EF.DIR", std::nullopt, Access_free, netlink, Netlink_long},
        {8, "EF.GDO", File_path{0x2F02}, Access_free, "i dati identificativi della Carta",
         "Nei dati identificativi ci sono:\n- il numero di identificazione della Carta;\n- il tuo nome e cognome."},
        {1, "EF.NKCF", std::nullopt, Access_free, "i dati applicativi della carta",
         "Nei dati applicativi della Carta Velin ci sono:\n- le informazioni sull'Ente che ti ha fornito la Carta;\n- "
         "il numero di identificazione della Carta."},
        {2, "EF.NKAF", std::nullopt, Access_free, "i dati amministrativi del titolare della carta",
         "Nei dati amministrativi della Carta Velin ci sono:\n- il tuo nome, cognome, sesso, luogo e data di nascita, "
         "luogo di residenza;\n- i dati della tua ASL;\n- i dati del tuo medico di famiglia."},
        {6, "EF.NKAP", std::nullopt, Access_pin, "i dati sulle esenzioni del titolare della Carta",
         "Nei dati sulle esenzioni della Carta Velin ci sono le esenzioni certificate per:\n- patologie;\n- "
         "invalidità;\n- malattie rare.\n- reddito."},
        {3, "EF.NKEF", std::nullopt, Access_free, "i dati di emergenza ad accesso libero",
         "Nei dati di emergenza ad accesso libero ci sono le informazioni sanitarie di emergenza che possono essere "
         "utili agli Operatori Sanitari in caso di necessità."},
        {4, "EF.NKEP", std::nullopt, Access_pin, "i dati di emergenza riservati",
         "Nei dati di emergenza riservati ci sono informazioni sanitarie che possono essere lette solo usando il PIN "
         "che hai ricevuto insieme alla Carta."},
        {15, "EF.DATI_PERSONALI", File_path{0x1100, 0x1102}, Access_free, "i dati anagrafici",
         "Nei dati anagrafici ci sono i tuoi: nome e cognome, sesso, luogo e data di nascita, codice fiscale, "
         "cittadinanza."},
        {16, "EF.DATI_PERSONALI_AGGIUNTIVI", File_path{0x1200, 0x1201}, Access_free, "i dati personali aggiuntivi",
         "I dati personali aggiuntivi sono presenti solo per rendere la Carta Velin compatibile con la Carta "
         "d'Identità Elettronica,ma non contengono alcuna informazione."},
        {13, "EF.ID_CARTA", File_path{0x1000, 0x1003}, Access_free, "il numero seriale della Carta",
         "Il numero seriale della Carta Velin consente di risalire al numero di identificazione della Carta.",
         Agreement::Masculine_singular},
        {14, "EF.C_CARTA", File_path{0x1100, 0x1101}, Access_free, "i dati del certificato di autenticazione",
         "Il certificato associato alla Carta consente di accedere via Internet, in modo autenticato, ai servizi "
         "esposti dalla Pubblica Amministrazione."},
        {12, "EF.DATI_PROCESSORE", File_path{0x1000, 0x1002}, Access_free, "i dati del processore",
         "Questi dati consentono di risalire al Produttore del microchip della tua Carta Velin"},
        {11, "EF.CARD_STATUS", File_path{0x3F02}, Access_free, "i dati sullo stato della carta",
         "I dati sullo stato della carta sono riservati per uso futuro e attualmente non contengono alcuna "
         "informazione."},
        {17, "EF.MEMORIA_RESIDUA", File_path{0x1200, 0x1202}, Access_free, "i dati sulla memoria libera",
         "I dati sulla memoria libera contengono la quantità di bytes liberi sulla tua Carta Velin."},
        {18, "EF.SERVIZI_INSTALLATI", File_path{0x1200, 0x1203}, Access_free, "la lista dei servizi installati",
         "Nella lista dei servizi installati è riportata la lista delle applicazioni che sono state aggiunte alla "
         "Carta Velin.",
         Agreement::Feminine_singular},
        {10, "EF.ROOT_INST_FILE", File_path{0x0405}, Access_free, application, Application_long},
        {19, "EF.INST_FILE", File_path{0x1200, 0x4142}, Access_free, application, Application_long},
        {20, "EF_ATR", File_path{0x2F01}, Access_free, application, Application_long},
    };
}

} // namespace

const std::vector<CNS_known_file_info>& cns_catalogue()
{
    static const std::vector<CNS_known_file_info> catalogue = make_catalogue();
    return catalogue;
}

const CNS_known_file_info& catalogue_entry(uint32_t id)
{
    for (const auto& entry : cns_catalogue())
        if (entry.id == id)
            return entry;
    throw CCaseException(id);
}

std::string normalise_file_name(std::string_view name)
{
    std::string normal;
    for (char c : name)
        if (c != ' ' && c != '.' && c != '_')
            normal += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return normal;
}

std::optional<File_path> path_from_text(std::string_view name)
{
    if (name.empty() ||
        !std::all_of(name.begin(), name.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); }))
        return std::nullopt;
    if (name.size() % 4 != 0 || name.size() > 4 * 17)
        throw CEnumException<BASIC_ERRORS::CError>(BASIC_ERRORS::Invalid_argument);
    File_path path;
    for (size_t i = 0; i < name.size(); i += 4)
        path.push_back(static_cast<uint16_t>(std::stoul(std::string(name.substr(i, 4)), nullptr, 16)));
    if (path.front() == 0x3F00)
        path.erase(path.begin());
    // A path deeper than any card's file tree cannot be selected in one command either.
    if (path.empty() || path.size() > 16)
        throw CEnumException<BASIC_ERRORS::CError>(BASIC_ERRORS::Invalid_argument);
    return path;
}

std::optional<uint32_t> catalogue_id_of(std::string_view name)
{
    const std::string wanted = normalise_file_name(name);
    for (const auto& entry : cns_catalogue())
        if (normalise_file_name(entry.name) == wanted)
            return entry.id;
    return std::nullopt;
}

} // namespace velin::cardlib
