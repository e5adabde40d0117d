#include "pccheck/pc_check.h"

#include "cardlib_client/card_library.h"
#include "common/pkcs11_module.h"
#include "pccheck/info_plist.h"
#include "pccheck/key_value_file.h"
#include "pccheck/nss_module_list.h"

#include "common/trace.h"
#include "common/version.h"

#include <boost/format.hpp>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <set>
#include <system_error>

#include <sys/stat.h>
#include <unistd.h>

namespace velin::pccheck {

namespace {

namespace fs = std::filesystem;

constexpr const char* Not_available = "<non disponibile>";
constexpr const char* Reader_class_line = "Classe del dispositivo: lettore di smart card";
constexpr const char* Pcscd_socket = "/run/pcscd/pcscd.comm";
constexpr const char* Started_service_note =
    "Il servizio Smartcard resta attivo solo durante la verifica: per averlo sempre attivo fallo avviare "
    "all'accensione del computer.";
constexpr const char* Stopped_service_line = "Il servizio Smartcard avviato dalla verifica è stato fermato.";
constexpr const char* Not_administrator_note =
    "L'utente NON ha privilegi di Amministratore: il servizio Smartcard deve essere avviato e configurato da un "
    "amministratore.";
// Folders of others are listed, not trusted: more entries than this are not looked at.
constexpr size_t Max_entries = 256;

bool is_directory(const std::string& path)
{
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool is_regular_file(const std::string& path)
{
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

bool is_socket(const std::string& path)
{
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode);
}

// The names in a folder, sorted; none when it cannot be read.
std::vector<std::string> folder_entries(const std::string& folder)
{
    std::vector<std::string> names;
    std::error_code error;
    fs::directory_iterator entries(folder, error);
    for (; !error && entries != fs::directory_iterator(); entries.increment(error)) {
        names.push_back(entries->path().filename().string());
        if (names.size() == Max_entries)
            break;
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A value read from the machine, as one report line: control characters (a line break in a
// driver's name, an escape sequence in a profile's) become blanks, so no value can forge lines.
std::string one_line(std::string text)
{
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = ' ';
    }
    return text;
}

std::string first_line(const std::string& text)
{
    const size_t end = text.find('\n');
    std::string line = text.substr(0, end);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return one_line(line);
}

bool contains(const std::vector<std::string>& list, const std::string& value)
{
    return std::find(list.begin(), list.end(), value) != list.end();
}

std::string file_date(const std::string& path)
{
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0)
        return Not_available;
    std::tm local{};
    if (!::localtime_r(&status.st_mtime, &local))
        return Not_available;
    char text[16];
    std::strftime(text, sizeof text, "%d/%m/%Y", &local);
    return text;
}

// The first word of a --version line that starts with a digit: "Chromium 120.0.6099.224 built
// on Debian" gives "120.0.6099.224".
std::string version_word(const std::string& line)
{
    size_t at = 0;
    while (at < line.size()) {
        const size_t end = line.find(' ', at);
        const std::string word = line.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (!word.empty() && word.front() >= '0' && word.front() <= '9')
            return word;
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    return {};
}

std::string smart_card_code(uint32_t code)
{
    return (boost::format("Operazione fallita (errore smart card 0x%08X)") % code).str();
}

// What the user can do when the card's information could not be read, by the library's code.
std::string card_reading_advice(uint32_t code)
{
    switch (code) {
    case 0x80040204: // no card
    case 0x80040202: // card removed
        return "Non è stata trovata la Carta Velin: inseriscila nel lettore e ripeti la verifica.";
    case 0x80040222: // no reader
        return "Non è stato trovato il lettore di smart card: collegalo al computer e ripeti la verifica.";
    case 0x8010001D: // no service
    case 0x8010001E:
        return "Il servizio di accesso alle smart card non è attivo: avvialo (pcscd) e ripeti la verifica.";
    case 0x80040235: // no way to ask the holder
        return "Le informazioni della carta si leggono solo con il consenso del titolare, che qui non può essere "
               "chiesto: ripeti la verifica dalla finestra del programma (Verifica installazione) o da un terminale.";
    case 0x80040234: // refused
    case 0x80070005:
        return "La lettura delle informazioni della carta non è stata autorizzata: ripeti la verifica e autorizzala.";
    default:
        return "Le informazioni della carta non sono state lette: controlla che la Carta Velin sia inserita bene nel "
               "lettore e ripeti la verifica; se il problema resta, chiedi assistenza.";
    }
}

} // namespace

struct Pc_check::Unit_state {
    bool known = false; // systemctl answered
    std::string load_state;
    std::string active_state;
    std::string sub_state;
    std::string unit_file_state;

    bool loaded() const { return load_state == "loaded"; }
    bool active() const { return active_state == "active" || active_state == "reloading"; }
    bool automatic() const
    {
        return unit_file_state.rfind("enabled", 0) == 0 || unit_file_state == "static" ||
               unit_file_state == "generated" || unit_file_state == "alias";
    }
};

bool Pc_check::is_administrator() const
{
    return _environment.uid == 0 || contains(_environment.groups, "sudo") || contains(_environment.groups, "wheel") ||
           contains(_environment.groups, "admin");
}

std::string language_name(const std::string& locale)
{
    const std::string name = locale.substr(0, locale.find_first_of(".@"));
    if (name == "it_IT")
        return "Italiano (Italia)";
    if (name == "it_CH")
        return "Italiano (Svizzera)";
    return locale;
}

Pc_check::Pc_check(Pc_environment environment, Pc_check_settings settings, Check_report& report)
    : _environment(std::move(environment)), _settings(std::move(settings)), _report(report)
{
    // No module named by the setting: the one the signer takes on this machine.
    if (_settings.pkcs11_module.empty()) {
        const Pkcs11_module_choice system = system_pkcs11_module(_environment.root);
        _settings.pkcs11_module = system.path;
        _module_origin = system.origin;
    }
}

void Pc_check::start()
{
    _report.report_line("");
    _report.report_line("Analisi del PC.");
    _report.message("Sto controllando l'installazione della Aurea Desk, attendere prego...");
    _report.message("");
    _report.report_line(std::string("La versione di Velin Manager usata è: ") + Suite_version + ".");
    _report.report_line("");
}

bool Pc_check::run_next()
{
    if (_next < 0)
        return false;
    try {
        run_check(_next++);
    } catch (const std::exception& error) {
        // One check that breaks unexpectedly is a finding of its own; the others still run.
        Trace(Trace_kind, Level_error) << "Verifica interrotta: " << error.what();
        _report.problem(std::string("Una verifica si è interrotta per un errore imprevisto: ") +
                        one_line(error.what()));
    }
    if (_next == 1 && !_supported)
        _next = 8;
    if (_next >= 8) {
        _report.report_line("Analisi completata.");
        _next = -1;
    }
    return true;
}

void Pc_check::run_check(int index)
{
    switch (index) {
    case 0:
        check_system();
        break;
    case 1:
        check_user_rights();
        break;
    case 2:
        check_smart_card_service();
        break;
    case 3:
        check_readers();
        break;
    case 4:
        check_card();
        break;
    case 5:
        check_middleware();
        break;
    case 6:
        check_browsers();
        break;
    case 7:
        check_java();
        break;
    default:
        break;
    }
}

bool Pc_check::finish()
{
    if (_started_service) {
        _started_service.reset();
        _report.report_line(Stopped_service_line);
    }
    _report.message("");
    if (_report.problems() == 0) {
        _report.message("Nessun problema rilevato.");
        _report.message("È possibile utilizzare Velin Manager senza problemi.");
        _report.message("");
        _report.message("Il tracciato delle verifiche effettuate è disponibile nel file " + _report.path());
    } else {
        _report.message("E' stato rilevato un problema durante la verifica dell'installazione.");
    }
    _report.report_line("");
    _report.report_line(_report.problems() == 0 ? "Fine del tracciato: è tutto a posto."
                                                : "Fine del tracciato: ci sono dei problemi.");
    return _report.problems() == 0;
}

bool Pc_check::run_all()
{
    start();
    while (run_next()) {
    }
    return finish();
}

void Pc_check::check_system()
{
    _report.report_line("Verifica del sistema operativo");
    std::optional<Key_values> release = read_key_values(_environment.path("/etc/os-release"));
    if (!release)
        release = read_key_values(_environment.path("/usr/lib/os-release"));
    std::string caption = Not_available;
    std::string id;
    std::string version;
    if (release) {
        const auto value = [&](const char* name) {
            const auto found = release->find(name);
            return found == release->end() ? std::string() : found->second;
        };
        caption = value("PRETTY_NAME");
        if (caption.empty())
            caption = value("NAME") + (value("VERSION").empty() ? "" : " " + value("VERSION"));
        if (caption.empty())
            caption = Not_available;
        id = value("ID");
        version = value("VERSION_ID");
    }
    _report.report_line("Sistema Operativo: " + one_line(caption));
    _report.report_line("Versione del kernel: " + (_environment.kernel_release.empty()
                                                       ? std::string(Not_available)
                                                       : one_line(_environment.kernel_release)));
    _report.report_line("Lingua: " + language_name(_environment.locale));
    _supported = is_supported_system(_settings.supported_systems, id, version);
    if (_supported)
        _report.report_line("Questo sistema operativo è supportato.");
    else
        _report.problem("Questo sistema operativo non è supportato.");
}

void Pc_check::check_user_rights()
{
    _report.report_line("Verifica dei privilegi dell'utente corrente, attendere qualche secondo...");
    const bool administrator = is_administrator();
    _report.report_line(administrator ? "L'utente ha privilegi di Amministratore."
                                      : "L'utente NON ha privilegi di Amministratore.");
    // Who may talk to pcscd: a polkit rule on the distributions that ship one, else a group.
    for (const char* policy : {"/usr/share/polkit-1/actions/org.debian.pcsc-lite.policy",
                               "/usr/share/polkit-1/actions/org.debian.pcsc-lite.pcscd.policy"}) {
        if (is_regular_file(_environment.path(policy))) {
            _report.report_line(std::string("L'accesso al servizio Smartcard è regolato da polkit (") + policy + ").");
            break;
        }
    }
    const std::optional<std::string> group_file = read_small_file(_environment.path("/etc/group"), 4 * 1024 * 1024);
    for (const char* group : {"scard", "pcscd"}) {
        if (!group_file || (group_file->rfind(std::string(group) + ":", 0) != 0 &&
                            group_file->find("\n" + std::string(group) + ":") == std::string::npos))
            continue;
        _report.report_line(contains(_environment.groups, group) || _environment.uid == 0
                                ? std::string("L'utente fa parte del gruppo '") + group + "' del servizio Smartcard."
                                : std::string("L'utente NON fa parte del gruppo '") + group +
                                      "' del servizio Smartcard.");
    }
}

Pc_check::Unit_state Pc_check::unit_state(const std::string& unit)
{
    Unit_state state;
    const Command_result shown =
        _environment.run({"systemctl", "show", unit, "--property=LoadState,ActiveState,SubState,UnitFileState"});
    if (shown.exit_code != 0)
        return state;
    const Key_values values = parse_key_values(shown.output);
    const auto value = [&](const char* name) {
        const auto found = values.find(name);
        return found == values.end() ? std::string() : found->second;
    };
    state.known = true;
    state.load_state = value("LoadState");
    state.active_state = value("ActiveState");
    state.sub_state = value("SubState");
    state.unit_file_state = value("UnitFileState");
    return state;
}

void Pc_check::check_smart_card_service()
{
    _report.report_line("Verifica servizio Smart Card");
    _report.report_line("Richiesta informazioni sul servizio Smartcard...");
    if (is_directory(_environment.path("/run/systemd/system"))) {
        const Unit_state service = unit_state("pcscd.service");
        const Unit_state socket = unit_state("pcscd.socket");
        if (service.known || socket.known) {
            check_service_with_systemd(service, socket);
            return;
        }
        _report.report_line("systemctl non risponde: verifica diretta del servizio.");
    }
    check_service_without_systemd();
}

void Pc_check::check_service_with_systemd(const Unit_state& service, const Unit_state& socket)
{
    if (!service.loaded() && !socket.loaded()) {
        _report.problem("Il servizio Smartcard non è presente sul computer.",
                        "In questa installazione di Linux non risulta presente il servizio di gestione delle smart "
                        "card (pcscd).");
        return;
    }
    const auto describe = [](const char* unit, const Unit_state& state) {
        return std::string(unit) + " " +
               (state.loaded() ? state.active_state + " (" + state.sub_state + ")" : std::string("non presente"));
    };
    _report.report_line("Stato del servizio: " + describe("pcscd.service", service) + ", " +
                        describe("pcscd.socket", socket));
    // With socket activation the socket is what must listen; pcscd itself starts on demand.
    const std::string unit = socket.loaded() ? "pcscd.socket" : "pcscd.service";
    const Unit_state& chosen = socket.loaded() ? socket : service;
    if (!service.active() && !socket.active()) {
        _report.report_line("Il servizio Smartcard non è in esecuzione: avvio in corso...");
        const Command_result started = _environment.run({"systemctl", "--no-ask-password", "start", unit});
        if (started.exit_code != 0) {
            _report.problem("L'avvio del servizio Smartcard è fallito (errore " + std::to_string(started.exit_code) +
                            ")");
            if (!first_line(started.output).empty())
                _report.report_line(first_line(started.output));
            if (!is_administrator())
                _report.report_line(Not_administrator_note);
        } else {
            _report.report_line("Il servizio Smartcard è stato avviato.");
        }
    } else {
        _report.report_line("Il servizio Smartcard è già in esecuzione.");
    }
    _report.report_line("Configurazione attuale del servizio Smartcard: " + unit + " " +
                        (chosen.unit_file_state.empty() ? std::string(Not_available) : chosen.unit_file_state));
    if (!chosen.automatic()) {
        _report.report_line("Configura il servizio Smartcard per l'avvio automatico...");
        const Command_result enabled = _environment.run({"systemctl", "--no-ask-password", "enable", unit});
        if (enabled.exit_code != 0) {
            _report.problem("La configurazione del servizio Smartcard è fallita (errore " +
                            std::to_string(enabled.exit_code) + ")");
            if (!first_line(enabled.output).empty())
                _report.report_line(first_line(enabled.output));
            if (!is_administrator())
                _report.report_line(Not_administrator_note);
        } else {
            _report.report_line("Il servizio Smartcard è stato configurato per l'avvio automatico.");
        }
    } else {
        _report.report_line("Il servizio Smartcard è già automatico.");
    }
}

void Pc_check::check_service_without_systemd()
{
    std::string daemon;
    for (const char* candidate : {"/usr/sbin/pcscd", "/usr/bin/pcscd", "/usr/local/sbin/pcscd"}) {
        if (is_regular_file(_environment.path(candidate)) &&
            ::access(_environment.path(candidate).c_str(), X_OK) == 0) {
            daemon = candidate;
            break;
        }
    }
    const bool listening = is_socket(_environment.path(Pcscd_socket));
    if (daemon.empty() && !listening) {
        _report.problem("Il servizio Smartcard non è presente sul computer.",
                        "In questa installazione di Linux non risulta presente il servizio di gestione delle smart "
                        "card (pcscd).");
        return;
    }
    _report.report_line(std::string("Stato del servizio: ") +
                        (listening ? "in esecuzione (/run/pcscd/pcscd.comm)" : "non in esecuzione"));
    if (!listening) {
        _report.report_line("Il servizio Smartcard non è in esecuzione: avvio in corso...");
        if (_environment.uid != 0) {
            // Without systemd only the administrator can start the daemon.
            _report.problem("L'avvio del servizio Smartcard è fallito (errore 5)");
            _report.report_line(Not_administrator_note);
        } else {
            // Started as a child of ours, in the foreground: the check stops it when it ends, and
            // leaves nothing of its own running.
            Started_service started = _environment.start_service({_environment.path(daemon), "--foreground"},
                                                                 _environment.path(Pcscd_socket));
            if (started.exit_code != 0 || !started.running) {
                _report.problem("L'avvio del servizio Smartcard è fallito (errore " +
                                std::to_string(started.exit_code) + ")");
            } else {
                _started_service = std::move(started.running);
                _report.report_line("Il servizio Smartcard è stato avviato.");
                _report.report_line(Started_service_note);
            }
        }
    } else {
        _report.report_line("Il servizio Smartcard è già in esecuzione.");
    }
    _report.report_line("Configurazione attuale del servizio Smartcard: avvio senza systemd, " +
                        std::string(Not_available));
}

void Pc_check::report_driver_bundles()
{
    for (const char* folder : {"/usr/lib/pcsc/drivers", "/usr/lib64/pcsc/drivers", "/usr/local/lib/pcsc/drivers"}) {
        const std::string drivers = _environment.path(folder);
        for (const std::string& name : folder_entries(drivers)) {
            if (name.size() < 7 || name.compare(name.size() - 7, 7, ".bundle") != 0)
                continue;
            const std::string plist_path = drivers + "/" + name + "/Contents/Info.plist";
            const std::optional<std::string> text = read_small_file(plist_path, 1024 * 1024);
            if (!text) {
                _report.report_line(Reader_class_line);
                _report.report_line("Lettore: " + one_line(name));
                _report.report_line("Il file " + std::string(folder) + "/" + name +
                                    "/Contents/Info.plist del driver non è leggibile.");
                continue;
            }
            const Property_list list = parse_info_plist(*text);
            std::string reader = first_value(list, "ifdFriendlyName");
            if (reader.empty())
                reader = first_value(list, "CFBundleName");
            if (reader.empty())
                reader = name;
            std::string version = first_value(list, "CFBundleShortVersionString");
            if (version.empty())
                version = first_value(list, "CFBundleVersion");
            const std::string executable = first_value(list, "CFBundleExecutable");
            _report.report_line(Reader_class_line);
            _report.report_line("Lettore: " + one_line(reader));
            _report.report_line("Data del driver: " + file_date(plist_path));
            _report.report_line("Nome del driver: " +
                                (executable.empty() ? std::string(Not_available) : one_line(executable)));
            _report.report_line("Versione del driver: " +
                                (version.empty() ? std::string(Not_available) : one_line(version)));
        }
    }
}

void Pc_check::report_serial_drivers()
{
    const std::string folder = _environment.path("/etc/reader.conf.d");
    for (const std::string& name : folder_entries(folder)) {
        if (name.empty() || name.front() == '.')
            continue;
        const std::optional<std::string> text = read_small_file(folder + "/" + name);
        if (!text)
            continue;
        const Key_values values = parse_reader_conf(*text);
        const auto value = [&](const char* key) {
            const auto found = values.find(key);
            return found == values.end() ? std::string() : found->second;
        };
        if (value("FRIENDLYNAME").empty() && value("LIBPATH").empty())
            continue;
        _report.report_line(Reader_class_line);
        _report.report_line("Lettore: " + one_line(value("FRIENDLYNAME").empty() ? name : value("FRIENDLYNAME")));
        _report.report_line("Data del driver: " + file_date(folder + "/" + name));
        _report.report_line("Nome del driver: " +
                            (value("LIBPATH").empty() ? std::string(Not_available) : one_line(value("LIBPATH"))));
        _report.report_line(std::string("Versione del driver: ") + Not_available);
    }
}

void Pc_check::check_readers()
{
    _report.report_line("Rilevazione dei lettori sul sistema...");
    report_driver_bundles();
    report_serial_drivers();
    _report.report_line("Verifica dei lettori visibili via PC/SC...");
    const Reader_list list = _environment.list_readers();
    if (list.failed) {
        // Without a PC/SC context no card can be used: that is a problem, not a detail.
        _report.problem("La rilevazione dei lettori PC/SC è fallita.");
        _report.report_line(smart_card_code(list.code));
        return;
    }
    if (list.readers.empty()) {
        _report.problem("Non risulta installato alcun lettore di smart card.");
        return;
    }
    for (const std::string& reader : list.readers)
        _report.report_line("Lettore " + one_line(reader));
}

void Pc_check::check_card()
{
    _report.report_line("Lettura informazioni carta...");
    std::string load_error;
    const std::unique_ptr<Card_library> library = Card_library::load(_environment.card_library, load_error);
    if (!library) {
        Trace(Trace_kind, Level_warn) << "Libreria della carta non caricata: " << load_error;
        _report.problem("La libreria della Carta Velin (" + _environment.card_library +
                            ") non è stata caricata: " + load_error,
                        "La libreria della Carta Velin non è installata correttamente.");
    }
    // "NAME: value", "NAME: " + the library's text for the failure, or "NAME: <non rilevato>".
    std::vector<std::string> failed;
    uint32_t first_code = 0;
    for (const std::string name : {"ISSUER", "MANUFACTURER", "TYPE", "ATR", "CERTIFICATE"}) {
        const Library_answer answer = library ? library->property(name) : Library_answer{Norax_not_exported, {}, {}};
        const std::string value = answer.ok() ? answer.text() : answer.error_text;
        _report.report_line(name + ": " + (answer.ok() || !value.empty() ? one_line(value) : "<non rilevato>"));
        if (!answer.ok()) {
            failed.push_back(name);
            if (first_code == 0)
                first_code = answer.code;
        }
    }
    // A card that could not be read is a finding, said with what to do about it (a missing
    // library was said above).
    if (!library || failed.empty())
        return;
    std::string names;
    for (const std::string& name : failed)
        names += (names.empty() ? "" : ", ") + name;
    _report.problem("Le informazioni della carta non sono state lette (" + names + ").",
                    card_reading_advice(first_code));
}

void Pc_check::check_middleware()
{
    _report.report_line("Verifica del CSP...");
    const std::string module = _settings.pkcs11_module;
    const std::string path = module.empty() || module.front() != '/' ? module : _environment.path(module);
    _report.report_line("Modulo PKCS#11: " + module);
    // A module named by the setting is the administrator's choice: the line above says it all.
    switch (_module_origin) {
    case Pkcs11_module_origin::Setting:
        break;
    case Pkcs11_module_origin::Opensc:
        _report.report_line("Il modulo è quello di OpenSC, trovato nel sistema.");
        break;
    case Pkcs11_module_origin::P11_kit_proxy:
        _report.report_line("OpenSC non è installato: il modulo è il proxy di p11-kit, che offre i moduli "
                            "registrati in p11-kit.");
        break;
    case Pkcs11_module_origin::Missing:
        _report.report_line("Nel sistema non ci sono né il modulo di OpenSC né il proxy di p11-kit.");
        break;
    }
    if (path.empty() || !is_regular_file(path)) {
        _report.problem("Il CSP NON è installato.",
                        "Non risulta installata la Aurea Desk. Questo software è reperibile "
                        "sul sito " +
                            _settings.middleware_site);
        return;
    }
    _report.report_line("Il CSP è installato.");
    const Pkcs11_module_info info = read_pkcs11_module_info(path, true);
    if (!info.ok) {
        _report.problem("La rilevazione della versione di '" + module + "' è fallita.");
        _report.report_line(one_line(info.failure));
        return;
    }
    _report.report_line("Produttore: " + one_line(info.manufacturer));
    _report.report_line("Descrizione: " + one_line(info.description));
    _report.report_line("Versione della libreria: " + info.library_version);
    _report.report_line("Versione Cryptoki: " + info.cryptoki_version);
    if (info.tokens.empty())
        _report.report_line("Il modulo non vede nessuna carta.");
    for (const std::string& token : info.tokens)
        _report.report_line("Carta vista dal modulo: " + one_line(token));
}

void Pc_check::report_browser_profiles(const std::string& title, const std::string& folder)
{
    const std::optional<std::string> text = read_small_file(folder + "/pkcs11.txt", 1024 * 1024);
    if (!text)
        return;
    const std::vector<Nss_module> modules = parse_nss_module_list(*text);
    if (lists_module(modules, _settings.pkcs11_module))
        _report.report_line(title + ": il modulo PKCS#11 della carta è registrato tra i dispositivi di sicurezza.");
    else
        _report.report_line(title + ": il modulo PKCS#11 della carta NON è registrato tra i dispositivi di sicurezza.");
}

void Pc_check::check_browsers()
{
    _report.report_line("Verifica di Mozilla Firefox...");
    // Besides the distribution's own package, today's desktops install Firefox as a snap (Ubuntu's
    // default) or a flatpak, each with its program and its profiles in folders of its own.
    struct Firefox_kind {
        std::vector<std::string> programs; // folders holding application.ini
        std::string profiles; // relative to the home folder
        const char* label; // appended to the lines, empty for the distribution's package
    };
    const std::string home = _environment.home;
    const Firefox_kind kinds[] = {
        {{_environment.path("/usr/lib/firefox-esr"), _environment.path("/usr/lib/firefox"),
          _environment.path("/usr/lib64/firefox"), _environment.path("/opt/firefox")},
         "/.mozilla/firefox",
         ""},
        {{_environment.path("/snap/firefox/current/usr/lib/firefox")},
         "/snap/firefox/common/.mozilla/firefox",
         " (snap)"},
        {{_environment.path("/var/lib/flatpak/app/org.mozilla.firefox/current/active/files/lib/firefox"),
          home.empty() ? std::string()
                       : home + "/.local/share/flatpak/app/org.mozilla.firefox/current/active/files/lib/firefox"},
         "/.var/app/org.mozilla.firefox/.mozilla/firefox",
         " (flatpak)"},
    };
    bool installed = false;
    for (const Firefox_kind& kind : kinds) {
        for (const std::string& folder : kind.programs) {
            if (folder.empty())
                continue;
            const std::optional<Key_values> ini = read_key_values(folder + "/application.ini");
            if (!ini)
                continue;
            const auto version = ini->find("Version");
            if (version != ini->end() && !version->second.empty()) {
                _report.report_line("Versione di Mozilla Firefox: " + one_line(version->second) + kind.label);
                installed = true;
                break;
            }
        }
    }
    if (!installed)
        _report.report_line("Mozilla Firefox non è installato.");
    if (!home.empty()) {
        for (const Firefox_kind& kind : kinds) {
            const std::string profiles = home + kind.profiles;
            for (const std::string& profile : folder_entries(profiles)) {
                if (is_directory(profiles + "/" + profile))
                    report_browser_profiles("Profilo di Firefox " + one_line(profile) + kind.label,
                                            profiles + "/" + profile);
            }
        }
    }

    _report.report_line("Verifica di Chromium...");
    std::string chromium;
    for (const char* program : {"chromium", "chromium-browser"}) {
        const Command_result answer = _environment.run({program, "--version"});
        if (answer.exit_code == 0) {
            chromium = version_word(first_line(answer.output));
            if (!chromium.empty())
                break;
        }
    }
    _report.report_line(chromium.empty() ? std::string("Chromium non è installato.")
                                         : "Versione di Chromium: " + chromium);
    if (!_environment.home.empty())
        report_browser_profiles("Dispositivi di sicurezza dell'utente (Chromium)", _environment.home + "/.pki/nssdb");
}

void Pc_check::check_java()
{
    _report.report_line("Verifica di SUN Java...");
    std::vector<std::string> homes;
    if (!_settings.java_home.empty())
        homes.push_back(_settings.java_home);
    const std::string jvm = _environment.path("/usr/lib/jvm");
    for (const std::string& name : folder_entries(jvm))
        homes.push_back(jvm + "/" + name);
    std::set<std::string> seen;
    int found = 0;
    for (const std::string& home : homes) {
        std::error_code error;
        const std::string real = fs::canonical(home, error).string();
        if (error || !seen.insert(real).second)
            continue;
        const std::optional<Key_values> release = read_key_values(real + "/release");
        if (!release)
            continue;
        const auto version = release->find("JAVA_VERSION");
        if (version == release->end() || version->second.empty())
            continue;
        ++found;
        const bool bridge = is_regular_file(real + "/lib/server/libjvm.so");
        _report.report_line("Versione di Java: " + one_line(version->second) + " (" + one_line(home) + ")" +
                            (bridge ? "" : ", senza lib/server/libjvm.so"));
    }
    if (found == 0)
        _report.message("Le funzioni di firma e verifica di documenti Adobe PDF non funzioneranno.\n" +
                        _settings.java_hint);
}

} // namespace velin::pccheck
