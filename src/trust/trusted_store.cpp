#include "trust/trusted_store.h"

#include "common/failure.h"
#include "common/trace.h"
#include "trust/common_data_folder.h"
#include "trust/report.h"

#include <cstdlib>
#include <filesystem>
#include <mutex>

namespace velin {

namespace {

constexpr uint32_t Error_file_not_found = 2;

std::string path_in(const std::string& data_folder, const char* suffix)
{
    // No folder, no lists: never read "/data/..." of whatever disk this is.
    return data_folder.empty() ? std::string() : data_folder + suffix;
}

std::string error_description(uint32_t code)
{
    std::string text = system_error_text(code);
    return text.empty() ? "Errore " + std::to_string(code) + "." : text;
}

} // namespace

std::string lists_not_installed_text(const std::vector<std::string>& names)
{
    if (names.empty())
        return {};
    std::string listed;
    for (size_t i = 0; i < names.size(); ++i)
        listed += (i == 0 ? "" : i + 1 == names.size() ? " e " : ", ") + names[i];
    const bool one = names.size() == 1;
    return std::string(one ? "La lista dei certificati " : "Le liste dei certificati ") + listed +
           (one ? " non è installata: le firme sono verificate senza di essa."
                : " non sono installate: le firme sono verificate senza di esse.") +
           " Le liste di fiducia si scaricano con \"velin-verify --aggiorna-liste\" o con \"Aggiorna le liste\" "
           "(Strumenti, Gestione certificati, Liste di fiducia); come installare le altre liste è spiegato nella "
           "guida dell'amministratore, sezione \"Come è ancorata la fiducia (How trust is anchored)\" "
           "(/usr/share/doc/velin-manager/guida-amministratore.md.gz; nei sorgenti docs/guida-amministratore.md).";
}

std::string Trusted_store::take_not_installed_notice()
{
    if (_not_installed.empty() || _notice_taken.exchange(true))
        return {};
    return lists_not_installed_text(_not_installed);
}

void Store_handle::assign(std::shared_ptr<Certificate_store> store)
{
    assertion(_store == nullptr, "handle eq NULL");
    _store = std::move(store);
}

std::string Trusted_store::cnipa_list_path(const std::string& data_folder)
{
    return path_in(data_folder, "/data/cnipa.sst");
}

std::string Trusted_store::cnipa_signature_path(const std::string& data_folder)
{
    return path_in(data_folder, "/data/cnipa.sst.p7s");
}

std::string Trusted_store::card_list_path(const std::string& data_folder)
{
    return path_in(data_folder, "/data/cns.sst");
}

std::string Trusted_store::user_list_path(const std::string& data_folder)
{
    return path_in(data_folder, "/data/user.sst");
}

std::string Trusted_store::personal_user_list_path()
{
    if (const char* data_home = std::getenv("XDG_DATA_HOME"); data_home && *data_home == '/')
        return std::string(data_home) + "/velin-manager/user.sst";
    if (const char* home = std::getenv("HOME"); home && *home == '/')
        return std::string(home) + "/.local/share/velin-manager/user.sst";
    return {};
}

Trusted_store::Trusted_store(const std::string& data_folder, const std::string& publisher_pem,
                             std::string personal_user_list, const std::string& trusted_list_folder)
    : _data_folder(data_folder), _personal_user_list(std::move(personal_user_list))
{
    Trace(Trace_kind, Level_info)
        << "Carica la lista di certificati da usare per la costruzione delle catene di trust.";
    _merged_store_handle_.assign(Certificate_store::create_collection());
    if (!_merged_store_handle_.is_assigned()) {
        report_error("Impossibile creare la lista dei certificati per la ricostruzione delle catene di trust.");
        return;
    }
    load_cnipa_list(publisher_pem);
    load_card_list();
    load_user_list();
    load_trusted_lists(trusted_list_folder);
}

void Trusted_store::load_trusted_lists(const std::string& folder)
{
    std::vector<List_load_line> lines;
    _trusted_lists = velin::load_trusted_lists(folder, eu_list_pins(_data_folder), std::time(nullptr), lines);
    for (const List_load_line& line : lines) {
        if (line.warning)
            report_warning(line.text);
        else
            report_error(line.text);
    }
    if (_trusted_lists)
        Trace(Trace_kind, Level_info) << "Liste di fiducia caricate: " << _trusted_lists->national().size()
                                      << " nazionali, " << _trusted_lists->anchor_certificates().size()
                                      << " certificati di autorità.";
}

bool Trusted_store::is_trusted_time_stamping_authority(const Certificate& certificate, std::time_t at) const
{
    return _trusted_lists && _trusted_lists->is_trusted_time_stamping_authority(certificate, at);
}

void Trusted_store::load_cnipa_list(const std::string& publisher_pem)
{
    // A build for which no publisher was given cannot tell the list from a forgery: it is not
    // read at all, and accreditation comes from the trusted lists alone.
    if (publisher_pem.find("-----BEGIN CERTIFICATE-----") == std::string::npos) {
        report_warning(Cnipa_list_without_publisher_text);
        return;
    }
    // The list is read once: the bytes whose signature is checked are the bytes that are loaded,
    // so a file replaced in between cannot slip in unchecked.
    std::vector<uint8_t> list;
    std::vector<uint8_t> signature;
    uint32_t error = 0;
    std::string failure;
    List_signature::Result result = List_signature::Failed;
    if (!read_list_file(cnipa_list_path(_data_folder), list, error)) {
        // Neither the list nor its signature: nobody installed it, which is no fault of any file
        // verified. A signature without its list is a damaged installation, and said so.
        uint32_t signature_error = 0;
        if (error == Error_file_not_found &&
            !read_list_file(cnipa_signature_path(_data_folder), signature, signature_error) &&
            signature_error == Error_file_not_found) {
            Trace(Trace_kind, Level_info) << "La lista dei certificati accreditati (cnipa.sst) non è installata.";
            _not_installed.push_back("cnipa.sst");
            return;
        }
        failure = error_description(error);
    } else if (!read_list_file(cnipa_signature_path(_data_folder), signature, error)) {
        failure = error_description(error);
    } else {
        const List_signature check(list, signature, publisher_pem);
        result = check.result();
        failure = check.description();
        if (!check.signer_thumbprint().empty())
            trace_value("Firmatario della lista CNIPA", check.signer_thumbprint());
    }
    _cnipa_failed = true;
    if (result == List_signature::Failed) {
        report_error("Verifica della firma dello store CNIPA fallita:");
        report_error(failure);
    }
    if (result != List_signature::Verified) {
        report_error("Il file con la lista dei certificati accreditati dallo Stato Italiano è corrotto.");
        return;
    }
    _cnipa_store_handle_.assign(Certificate_store::from_bytes(list));
    if (!_cnipa_store_handle_.is_assigned()) {
        report_error(
            "Il caricamento del file con la lista dei certificati accreditati dallo Stato Italiano è fallito.");
        return;
    }
    if (!_merged_store_handle_.get()->add_sibling(_cnipa_store_handle_.shared())) {
        report_error("Il caricamento della lista dei certificati accreditati dallo Stato Italiano è fallito.");
        return;
    }
    _cnipa_failed = false;
    Trace(Trace_kind, Level_info) << "Il contenitore di certificati è stato inglobato in quello principale.";
}

void Trusted_store::load_card_list()
{
    uint32_t error = 0;
    _card_store_handle_.assign(Certificate_store::open_file(card_list_path(_data_folder), &error));
    if (!_card_store_handle_.is_assigned() && error == Error_file_not_found) {
        Trace(Trace_kind, Level_info) << "La lista dei certificati per la Carta Velin (cns.sst) non è installata.";
        _not_installed.push_back("cns.sst");
    } else if (!_card_store_handle_.is_assigned())
        report_error("Impossibile caricare il file con la lista dei certificati per la Carta Velin.");
    else if (!_merged_store_handle_.get()->add_sibling(_card_store_handle_.shared()))
        report_error("Impossibile caricare la lista dei certificati per la Carta Velin.");
}

void Trusted_store::load_user_list()
{
    assertion(_merged_store_handle_.is_assigned(), "is_assigned (_merged_store_handle_)");
    uint32_t error = 0;
    std::shared_ptr<Certificate_store> store;
    if (!_personal_user_list.empty()) {
        store = Certificate_store::open_file(_personal_user_list, &error);
        // No list of one's own yet: the installation's list is where it starts from.
        if (!store && error == Error_file_not_found)
            store = Certificate_store::open_file(user_list_path(_data_folder), &error);
    } else {
        store = Certificate_store::open_file(user_list_path(_data_folder), &error);
    }
    bool loaded = store != nullptr;
    if (!loaded) {
        // A list not made yet is the normal start, not an error (the signer shows every error
        // record in a box).
        Trace(Trace_kind, error == Error_file_not_found ? Level_info : Level_error)
            << "Impossibile caricare il file con la lista dei certificati utente.";
        // A user who has not trusted anything yet starts with an empty list, which the first
        // saved addition creates. A list that exists but cannot be read stays absent, so that
        // saving can never overwrite it with an empty one.
        if (error != Error_file_not_found || (_data_folder.empty() && _personal_user_list.empty()))
            return;
        store = Certificate_store::create_memory();
        Trace(Trace_kind, Level_trace) << "Lista certificati utente vuota.";
    }
    _user_store_handle_.assign(std::move(store));
    if (!_merged_store_handle_.get()->add_sibling(_user_store_handle_.shared()))
        report_error("Impossibile caricare la lista dei certificati utente.");
    else if (loaded)
        Trace(Trace_kind, Level_trace) << "Lista certificati utente caricata.";
}

bool Trusted_store::is_in_cnipa_list(const Certificate& certificate) const
{
    assertion(cnipa_store_is_available(), "cnipa_store_is_available ()");
    return _cnipa_store_handle_.get()->contains(certificate);
}

void Trusted_store::add_user_certificate(const Certificate& certificate)
{
    assertion(_user_store_handle_.is_assigned(), "is_assigned (_user_store_handle_)");
    if (_user_store_handle_.get()->add_certificate(certificate))
        report_info("Aggiunto nuovo certificato utente.");
    else
        report_error("Impossibile caricare il certificato utente.");
}

void Trusted_store::save_user_list()
{
    uint32_t error = 0;
    const std::string path = _personal_user_list.empty() ? user_list_path(_data_folder) : _personal_user_list;
    if (!_personal_user_list.empty()) {
        std::error_code ignored;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
    }
    const bool saved =
        _user_store_handle_.is_assigned() && !path.empty() && _user_store_handle_.get()->save_file(path, &error);
    if (!saved && error != 0)
        trace_value("GetLastError ()", std::to_string(error));
    report_info(saved ? "Lista utente salvata." : "Salvataggio lista utente fallita.");
}

std::shared_ptr<Trusted_store> shared_trusted_store()
{
    static std::mutex lock;
    static std::shared_ptr<Trusted_store> instance;
    std::lock_guard<std::mutex> guard(lock);
    if (!instance)
        instance = std::make_shared<Trusted_store>(common_data_folder(), list_publisher_pem,
                                                   Trusted_store::personal_user_list_path(), trusted_list_folder());
    return instance;
}

} // namespace velin
