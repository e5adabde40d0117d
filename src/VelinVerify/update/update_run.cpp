#include "VelinVerify/update/update_run.h"

#include "VelinVerify/update/download_folder.h"
#include "VelinVerify/update/package_control.h"
#include "VelinVerify/update/package_signature.h"
#include "VelinVerify/update/trusted_list_upkeep.h"
#include "VelinVerify/update/update_version.h"
#include "common/file_io.h"
#include "common/message_box.h"
#include "common/pkcs11_module.h"
#include "common/registry.h"
#include "common/settings_record.h"
#include "common/trace.h"
#include "trust/common_data_folder.h"
#include "trust/list_signature.h"
#include "trust/trusted_list_store.h"

#include <boost/format.hpp>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace velin {

const char* const Text_up_to_date = "Velin Manager è aggiornato.";
const char* const Text_update_question =
    "Una nuova versione del software\nè disponibile per il download.\n\nVuoi scaricarla e installarla?";
const char* const Text_no_update_server =
    "La verifica degli aggiornamenti non è configurata su questo computer: manca l'indirizzo del server degli "
    "aggiornamenti.";
const char* const Text_no_update_authority =
    "La verifica degli aggiornamenti non è configurata in questa installazione: il programma non contiene il "
    "certificato dell'autorità che firma gli aggiornamenti, quindi non viene scaricato alcun aggiornamento.";

namespace {

// A package or its signature larger than this is refused on reading: no published package comes
// near it.
constexpr std::size_t Package_limit = 256u * 1024u * 1024u;
constexpr std::size_t Signature_limit = 1024u * 1024u;

std::string without_final_slashes(std::string address)
{
    while (!address.empty() && address.back() == '/')
        address.pop_back();
    return address;
}

// The PKCS#11 module reports major.minor only (C_GetInfo's libraryVersion): the published
// workstation version is compared at that precision, else a published 4.2.1 would be offered
// every day to a machine that has it.
constexpr uint32_t Module_version_mask = 0xffff0000u;

// Where a package and its signature are kept while they are checked: hidden names that no
// "*.deb" matches, so that a run killed half-way leaves nothing that looks installable.
std::string unchecked_name(const std::string& folder, const std::string& file)
{
    return folder + "/." + file + ".da-verificare";
}

bool read_file(const std::string& path, std::size_t limit, std::vector<uint8_t>& bytes)
{
    const Opened_file file = open_for_reading(path, O_NOFOLLOW);
    if (!file.descriptor || file.error != 0 || !S_ISREG(file.status.st_mode))
        return false;
    return read_to_end(file.descriptor.get(), limit, bytes) == Read_end::Complete;
}

} // namespace

uint32_t installed_workstation_version(const std::string& module_path)
{
    const Pkcs11_module_info info = read_pkcs11_module_info(module_path);
    if (!info.ok) {
        Trace(Trace_kind, Level_info) << "Versione del modulo PKCS#11 non disponibile: " << info.failure;
        return 0;
    }
    return pack_file_version(info.library_major, info.library_minor, 0, 0);
}

Update_configuration configured_update(const Settings_record& settings, bool interactive)
{
    Update_configuration configuration;
    configuration.interactive = interactive;
    const Registry_text_read server = read_text(Registry_root::Local_machine, Settings_key, Update_server_setting);
    if (server.succeeded())
        configuration.server = server.value();
    configuration.installed_suite = settings.Versione;
    configuration.installed_workstation = [] { return installed_workstation_version(pkcs11_module_path()); };
    configuration.desktop = desktop_folder;
    configuration.clock = [] { return std::time(nullptr); };
    configuration.authority_pem = update_authority_pem;
    configuration.list_folder = trusted_list_folder();
    configuration.list_sources = configured_list_sources();
    configuration.eu_pins = eu_list_pins(common_data_folder());
    return configuration;
}

Update_run::Update_run(Update_configuration configuration, Update_host& host)
    : _configuration(std::move(configuration)), _host(host), _show_errors(_configuration.interactive)
{}

void Update_run::tell_refused_runtime_folder()
{
    const std::string refused = refused_runtime_folder();
    if (refused.empty())
        return;
    const std::string used = private_runtime_folder();
    Trace(Trace_kind, Level_warn) << "La cartella privata " << refused << " non appartiene a questo utente: usata "
                                  << used;
    if (_configuration.interactive)
        _host.message("La cartella " + refused + " non appartiene a questo utente e non viene usata. " +
                          (used.empty() ? std::string("Non è disponibile un'altra cartella privata.")
                                        : "Al suo posto viene usata la cartella " + used + "."),
                      MB_OK | MB_ICONWARNING);
}

Http_time_limits Update_run::small_file_limits() const
{
    Http_time_limits limits;
    limits.total = _configuration.deadlines.small_file;
    return limits;
}

void Update_run::remove_quietly(const std::string& path)
{
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        Trace(Trace_kind, Level_error) << "Eliminazione fallita: " << path << ": " << std::strerror(errno);
}

void Update_run::refresh_lists_when_due()
{
    const std::time_t now = _configuration.clock();
    if (!trusted_lists_due(_configuration.list_folder, _configuration.eu_pins, now)) {
        Trace(Trace_kind, Level_info) << "Liste di fiducia aggiornate: nessuno scaricamento.";
        return;
    }
    Trace(Trace_kind, Level_info) << "Liste di fiducia scadute: aggiornamento.";
    const Refresh_outcome outcome =
        refresh_trusted_lists_waiting(_configuration.list_sources, _configuration.list_folder, _configuration.eu_pins);
    std::string problems;
    for (const Refresh_line& line : outcome.lines) {
        Trace(Trace_kind, line.kind == Refresh_line::Information ? Level_info : Level_error) << line.text;
        if (line.kind != Refresh_line::Information)
            problems += (problems.empty() ? "" : "\n") + line.text;
    }
    if (outcome.succeeded)
        return;
    count_failure();
    if (_configuration.interactive)
        _host.message(problems.empty() ? "Aggiornamento delle liste di fiducia fallito." : problems,
                      MB_OK | MB_ICONWARNING);
}

bool Update_run::published_version(const char* path, uint32_t& version, bool& end_run)
{
    Update_transfer transfer;
    transfer.request_text(_configuration.server + path);
    transfer.set_time_limits(small_file_limits());
    _host.run_transfer(transfer, _show_errors);
    end_run = transfer.outcome() == Update_transfer::Http_error;
    if (transfer.outcome() != Update_transfer::Done)
        return false;
    const std::optional<uint32_t> published = parse_published_version(transfer.response_text());
    if (!published) {
        Trace(Trace_kind, Level_error) << "Versione pubblicata non riconosciuta: " << path;
        if (_show_errors)
            _host.message(std::string(Update_check_failed) + " La versione pubblicata non è riconoscibile.",
                          MB_OK | MB_ICONERROR);
        return false;
    }
    version = *published;
    return true;
}

int Update_run::run()
{
    Trace_block block("Aggiornamento");
    if (_configuration.lock_folder.empty())
        tell_refused_runtime_folder();
    _lock = std::make_unique<Update_lock>(_configuration.lock_folder);
    if (!_lock->held())
        return 2;
    const int result = 1;

    refresh_lists_when_due();

    // A package that nothing can check is not worth fetching: without an authority nothing is.
    if (pem_certificate_thumbprint(_configuration.authority_pem).empty()) {
        Trace(Trace_kind, Level_info) << "Autorità degli aggiornamenti non configurata: nessuno scaricamento.";
        if (_configuration.interactive)
            _host.message(Text_no_update_authority, MB_OK | MB_ICONINFORMATION);
        return result;
    }
    _configuration.server = without_final_slashes(_configuration.server);
    if (_configuration.server.empty()) {
        Trace(Trace_kind, Level_info) << "Server degli aggiornamenti non configurato.";
        if (_configuration.interactive)
            _host.message(Text_no_update_server, MB_OK | MB_ICONINFORMATION);
        return result;
    }

    uint32_t published = 0;
    bool end_run = false;
    if (published_version(Workstation_version_path, published, end_run)) {
        const uint32_t installed = _configuration.installed_workstation();
        Trace(Trace_kind, Level_info) << boost::format("Postazione: installata 0x%08x, pubblicata 0x%08x") % installed %
                                             published;
        _workstation_newer = installed < (published & Module_version_mask);
        _workstation_published = published;
    } else if (end_run) {
        return result;
    } else {
        count_failure();
    }
    if (published_version(Suite_version_path, published, end_run)) {
        Trace(Trace_kind, Level_info) << boost::format("Velin Manager: installata 0x%08x, pubblicata 0x%08x") %
                                             _configuration.installed_suite % published;
        _suite_newer = _configuration.installed_suite < published;
        _suite_published = published;
    } else {
        count_failure();
    }

    if (!_workstation_newer && !_suite_newer) {
        if (_configuration.interactive && _failures == 0)
            _host.message(Text_up_to_date, MB_OK | MB_ICONINFORMATION);
        return result;
    }

    if (_host.message(Text_update_question, MB_YESNO) != IDYES)
        return result;
    // The user asked for the download: from here on every failure is told, also in a quiet run.
    _show_errors = true;
    std::string error;
    _download_folder = prepare_download_folder(_configuration.desktop(), _configuration.clock(), error);
    if (_download_folder.empty()) {
        Trace(Trace_kind, Level_error) << "Cartella degli aggiornamenti non disponibile: " << error;
        _host.message("La cartella per gli aggiornamenti non può essere creata: " + error, MB_OK | MB_ICONERROR);
        return result;
    }

    if (_workstation_newer)
        download_package(Workstation_package, _workstation_published);
    if (_suite_newer)
        download_package(Suite_package, _suite_published);

    // A package that failed its check may be an attack on the way: then nothing invites the user
    // to install anything from this folder.
    if (_leave_packages && !_left_packages.empty()) {
        if (!write_leggimi(_download_folder, _left_packages)) {
            count_failure();
            _host.message("Impossibile scrivere il file LEGGIMI.txt in " + _download_folder + ".",
                          MB_OK | MB_ICONERROR);
        }
        if (!_host.open_folder(_download_folder))
            Trace(Trace_kind, Level_error) << "Apertura della cartella fallita: " << _download_folder;
    }
    // A folder that nothing was left in goes again (rmdir only removes an empty one).
    if (::rmdir(_download_folder.c_str()) == 0)
        _download_folder.clear();
    return result;
}

void Update_run::download_package(const char* file, uint32_t published)
{
    // Nothing takes the final name before it has passed every check.
    const std::string local = _download_folder + "/" + file;
    const std::string unchecked = unchecked_name(_download_folder, file);
    const std::string signature_local = unchecked_name(_download_folder, std::string(file) + ".p7s");
    const std::string remote = _configuration.server + Package_folder_path + file;
    Update_transfer package;
    package.request_file(remote, unchecked);
    Http_time_limits package_limits;
    package_limits.total = _configuration.deadlines.package;
    package_limits.floor_speed = _configuration.deadlines.floor_speed;
    package.set_time_limits(package_limits);
    _host.run_transfer(package, _show_errors);
    if (package.outcome() != Update_transfer::Done) {
        remove_quietly(unchecked);
        count_failure();
        return;
    }
    Update_transfer signature;
    signature.request_file(remote + ".p7s", signature_local);
    signature.set_time_limits(small_file_limits());
    _host.run_transfer(signature, _show_errors);

    std::string refusal;
    if (signature.outcome() != Update_transfer::Done) {
        refusal = "la sua firma non è stata scaricata.";
    } else {
        std::vector<uint8_t> package_bytes;
        std::vector<uint8_t> signature_bytes;
        if (!read_file(unchecked, Package_limit, package_bytes) ||
            !read_file(signature_local, Signature_limit, signature_bytes)) {
            refusal = "il file scaricato non è leggibile.";
        } else {
            const Package_signature check(package_bytes, signature_bytes, _configuration.authority_pem);
            if (!check.verified())
                refusal = check.description();
        }
    }
    remove_quietly(signature_local);
    if (refusal.empty()) {
        // Only a package the publisher signed gets here: its control data is read from that.
        std::string name = file;
        name.erase(name.size() - std::strlen(".deb"));
        if (const std::optional<Package_control> control = read_package_control(unchecked, refusal))
            refusal = package_control_refusal(*control, name, published);
    }
    if (refusal.empty() && ::rename(unchecked.c_str(), local.c_str()) != 0)
        refusal = std::string("non può essere spostato nella cartella: ") + std::strerror(errno) + ".";
    if (refusal.empty()) {
        Trace(Trace_kind, Level_info) << "Pacchetto verificato: " << local;
        _left_packages.push_back(file);
        return;
    }
    Trace(Trace_kind, Level_error) << "Pacchetto rifiutato: " << local << ": " << refusal;
    remove_quietly(unchecked);
    _leave_packages = false;
    count_failure();
    _host.message((boost::format("Il pacchetto scaricato \"%s\" è stato eliminato: %s") % file % refusal).str(),
                  MB_OK | MB_ICONERROR);
}

} // namespace velin
