// The update run (what `velin-verify /update` does, without its windows): it checks whether the
// update server publishes newer versions of the workstation package (the card middleware) and of
// the suite, offers to download them, verifies each downloaded package against the update
// authority and leaves the verified ones in a folder on the desktop with a LEGGIMI.txt, then
// opens that folder. Nothing is installed here: installing needs the system's package manager and
// the administrator. On the way it refreshes the trusted lists when they are past their next
// update.
//
// Result: 1 when the run went its way (whatever it found), 2 when another update run of the user
// holds the lock. In a quiet run (the daily trigger) the boxes that only inform stay silent; the
// question is always asked, and once the user has said yes every failure is shown.
#pragma once

#include "VelinVerify/update/update_lock.h"
#include "VelinVerify/update/update_transfer.h"
#include "trust/certificate.h"
#include "trust/trusted_list_refresh.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace velin {

class Settings_record;

// The machine setting that holds the update server's address (http or https; the paths below
// are relative to it).
inline constexpr const char* Update_server_setting = "ServerAggiornamenti";
inline constexpr const char* Workstation_version_path = "/components/velin-desktop/Install.exe-VERSION.txt";
inline constexpr const char* Suite_version_path = "/components/velin-desktop/version";
// The packages, and beside each on the server its detached signature, FILE.p7s.
inline constexpr const char* Workstation_package = "aurea-desk.deb";
inline constexpr const char* Suite_package = "velin-manager.deb";
inline constexpr const char* Package_folder_path = "/components/velin-desktop/";

// Texts the run shows.
extern const char* const Text_up_to_date; // "Velin Manager è aggiornato."
extern const char* const Text_update_question; // "Una nuova versione del software\n..."
extern const char* const Text_no_update_server;
extern const char* const Text_no_update_authority;

// What the windows do for the run: transfers run modally, boxes, the file manager.
class Update_host {
public:
    virtual ~Update_host() = default;
    // Runs a requested transfer to its end; when show_errors, shows its failure (the transfer's
    // error text and icon).
    virtual void run_transfer(Update_transfer& transfer, bool show_errors) = 0;
    // A box captioned "Velin Manager" (flags as for message_box); the button pressed.
    virtual int message(const std::string& text, unsigned flags) = 0;
    // Opens the folder with the desktop's file manager; false when it could not.
    virtual bool open_folder(const std::string& folder) = 0;
};

// How long each transfer of the run may take in all: a server that sends a byte now and then
// must not hold the run, and its lock, for ever. A package gets its fixed time plus what its size
// takes at the floor speed.
struct Update_deadlines {
    std::chrono::milliseconds small_file{std::chrono::seconds(30)}; // a version file or a signature
    std::chrono::milliseconds package{std::chrono::seconds(60)};
    std::size_t floor_speed = 32 * 1024; // bytes a second
};

struct Update_configuration {
    bool interactive = true;
    std::string server; // empty: no update server configured
    uint32_t installed_suite = 0;
    std::function<uint32_t()> installed_workstation;
    std::function<std::string()> desktop;
    std::function<std::time_t()> clock;
    std::string authority_pem; // no certificate: no update authority, nothing is downloaded
    std::string lock_folder; // empty: the private runtime folder
    // The trusted lists kept fresh; an empty folder leaves them alone.
    std::string list_folder;
    List_sources list_sources;
    std::vector<Certificate> eu_pins;
    Update_deadlines deadlines;
};

// The configuration of this machine and user: the settings record's Versione, the machine
// settings ServerAggiornamenti and ModuloPKCS11, the desktop of XDG, the built-in authority,
// the user's trusted lists and their configured sources.
Update_configuration configured_update(const Settings_record& settings, bool interactive);

// The installed workstation version: the library version of the PKCS#11 module (major.minor,
// packed as a file version), 0 when it cannot be loaded. The published version is compared with
// it at that precision.
uint32_t installed_workstation_version(const std::string& module_path);

class Update_run {
public:
    Update_run(Update_configuration configuration, Update_host& host);

    int run();

    // What the run did, for whoever looks afterwards.
    int failures() const { return _failures; }
    const std::string& download_folder() const { return _download_folder; }

private:
    void refresh_lists_when_due();
    // The published version of path; false when it could not be had. end_run tells that the
    // server answered with a status other than 200 (which, on the first file, ends the run).
    bool published_version(const char* path, uint32_t& version, bool& end_run);
    // Downloads, checks and leaves one package; published is the version it must say it is.
    void download_package(const char* file, uint32_t published);
    void count_failure() { ++_failures; }
    Http_time_limits small_file_limits() const;
    // Another user's folder at the private folder's name: traced, and told when interactive.
    void tell_refused_runtime_folder();
    void remove_quietly(const std::string& path);

    Update_configuration _configuration;
    Update_host& _host;
    std::unique_ptr<Update_lock> _lock;
    bool _workstation_newer = false;
    bool _suite_newer = false;
    uint32_t _workstation_published = 0;
    uint32_t _suite_published = 0;
    bool _leave_packages = true;
    bool _show_errors = true;
    int _failures = 0;
    std::string _download_folder;
    std::vector<std::string> _left_packages;
};

} // namespace velin
