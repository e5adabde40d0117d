#include "trust/crl_cache.h"

#include "common/errno_text.h"
#include "common/failure.h"
#include "common/file_io.h"
#include "common/trace.h"
#include "trust/common_data_folder.h"
#include "trust/revocation.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iomanip>
#include <mutex>
#include <set>
#include <sstream>
#include <system_error>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velin {

namespace {

bool kept_as_is(char byte)
{
    return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9') || byte == '.';
}

// The base of the user's caches: $XDG_CACHE_HOME when it is an absolute path, else ~/.cache.
std::string user_cache_home()
{
    if (const char* configured = std::getenv("XDG_CACHE_HOME"); configured && *configured == '/')
        return configured;
    std::string home;
    if (const char* variable = std::getenv("HOME"); variable && *variable == '/')
        home = variable;
    else if (const passwd* entry = ::getpwuid(::geteuid()); entry && entry->pw_dir && *entry->pw_dir == '/')
        home = entry->pw_dir;
    if (home.empty())
        return {};
    return home + "/.cache";
}

// Creates the folder (0700) unless it is there; true when it is a real folder of the user's own,
// its mode then made 0700. lstat: a link planted at the name is refused, not followed.
bool make_own_folder(const std::string& path)
{
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid())
        return false;
    return (info.st_mode & 07777) == 0700 || ::chmod(path.c_str(), 0700) == 0;
}

// The missing folders of the base are made private as the XDG rules ask; existing ones are left
// as the user has them.
bool make_base_folder(const std::string& path)
{
    std::error_code error;
    if (std::filesystem::is_directory(path, error))
        return true;
    std::string made;
    std::istringstream parts(path);
    for (std::string part; std::getline(parts, part, '/');) {
        if (part.empty())
            continue;
        made += "/" + part;
        if (::mkdir(made.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    return std::filesystem::is_directory(path, error);
}

struct Download_turns {
    std::mutex mutex;
    std::condition_variable ended;
    std::set<std::string> busy; // URLs being downloaded now
};

Download_turns& download_turns()
{
    static Download_turns turns;
    return turns;
}

void trace_refused(const std::string& path, const std::string& why)
{
    Trace(Trace_kind, Level_info) << "CRL in cache scartata (" << why << "): " << path;
}

} // namespace

std::string crl_cache_folder()
{
    return own_cache_folder("crl");
}

std::string own_cache_folder(const std::string& name)
{
    const std::string base = user_cache_home();
    if (base.empty() || !make_base_folder(base)) {
        Trace(Trace_kind, Level_error) << "La cartella della cache dell'utente non è disponibile: " << base;
        return {};
    }
    const std::string suite = base + "/velin-manager";
    const std::string folder = suite + "/" + name;
    if (!make_own_folder(suite) || !make_own_folder(folder)) {
        Trace(Trace_kind, Level_error) << "La cartella della cache dell'utente non è disponibile: " << folder;
        return {};
    }
    return folder;
}

std::string crl_seed_folder()
{
    const std::string data_folder = common_data_folder();
    if (data_folder.empty())
        return {};
    return data_folder + "/cache";
}

std::string escape_cache_name(const std::string& url)
{
    // The names must stay those that earlier installations wrote, filler blank and sign extension
    // included, or every cached list would be fetched again.
    std::ostringstream name;
    name << std::hex;
    for (const char byte : url) {
        if (kept_as_is(byte))
            name << byte;
        else
            name << '_' << std::setw(2) << static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(byte)));
    }
    return name.str();
}

std::string cache_file_name(const std::string& url)
{
    // Without a cache of the user's own nothing is saved: never fall back to a shared folder.
    const std::string folder = crl_cache_folder();
    if (folder.empty())
        return {};
    return folder + "/" + escape_cache_name(url) + ".crl";
}

std::string seed_file_name(const std::string& url)
{
    const std::string folder = crl_seed_folder();
    if (folder.empty())
        return {};
    return folder + "/" + escape_cache_name(url) + ".crl";
}

std::optional<std::vector<uint8_t>> read_cached_crl_file(const std::string& path, Crl_file_origin origin)
{
    return read_cached_file(path, origin, Crl_file_limit);
}

std::optional<std::vector<uint8_t>> read_cached_file(const std::string& path, Crl_file_origin origin, std::size_t limit)
{
    if (path.empty())
        return std::nullopt;
    // No link is followed, and a FIFO or device planted under a list's name is not waited on.
    Opened_file file = open_for_reading(path, O_NOFOLLOW);
    if (!file.descriptor) {
        if (file.error == ELOOP)
            trace_refused(path, "collegamento");
        else if (file.error != ENOENT)
            trace_refused(path, errno_text(file.error));
        return std::nullopt;
    }
    // Everything is judged on the file that was opened, not on whatever the name means later.
    const struct stat& info = file.status;
    if (file.error != 0 || !S_ISREG(info.st_mode)) {
        trace_refused(path, "non è un file");
        return std::nullopt;
    }
    const bool trusted_owner = info.st_uid == ::geteuid() || (origin == Crl_file_origin::Seed && info.st_uid == 0);
    if (!trusted_owner) {
        trace_refused(path, "di un altro utente");
        return std::nullopt;
    }
    if (info.st_size < 0 || static_cast<uint64_t>(info.st_size) > limit) {
        trace_refused(path, "troppo grande");
        return std::nullopt;
    }
    // The size is a hint only: a file that grows while it is read is still cut off at the limit.
    std::vector<uint8_t> bytes;
    switch (read_to_end(file.descriptor.get(), limit, bytes)) {
    case Read_end::Complete:
        return bytes;
    case Read_end::Too_large:
        trace_refused(path, "troppo grande");
        return std::nullopt;
    case Read_end::Failed:
        trace_refused(path, errno_text(errno));
        return std::nullopt;
    }
    return std::nullopt;
}

const Certificate_revocation_list& Crl_file_memo::list(const std::string& path, Crl_file_origin origin)
{
    static const Certificate_revocation_list none;
    if (path.empty())
        return none;
    if (const auto found = _lists.find(path); found != _lists.end())
        return found->second;
    Certificate_revocation_list list;
    if (const std::optional<std::vector<uint8_t>> bytes = read_cached_crl_file(path, origin))
        list = Certificate_revocation_list(*bytes);
    return _lists.emplace(path, std::move(list)).first->second;
}

namespace {

// Deletes the regular files of the folder whose names end in suffix: links, folders and anything
// else that happens to be there stay.
bool clear_cache_files(const std::string& folder, const std::string& suffix)
{
    if (folder.empty())
        return false;
    std::error_code error;
    std::filesystem::directory_iterator entries(folder, error);
    if (error) {
        Trace(Trace_kind, Level_error) << "Cartella della cache non leggibile: " << folder << ": " << errno_text(error);
        return false;
    }
    bool cleared = true;
    for (const std::filesystem::directory_iterator end; entries != end; entries.increment(error)) {
        const std::filesystem::path path = entries->path();
        const std::string name = path.filename().string();
        if (name.size() < suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        std::error_code status_error;
        if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(path, status_error)))
            continue;
        std::error_code remove_error;
        if (!std::filesystem::remove(path, remove_error) && remove_error) {
            Trace(Trace_kind, Level_error)
                << "Cancellazione non riuscita: " << path.string() << ": " << errno_text(remove_error);
            cleared = false;
        }
    }
    if (error) {
        Trace(Trace_kind, Level_error) << "Cartella della cache non leggibile: " << folder << ": " << errno_text(error);
        return false;
    }
    return cleared;
}

} // namespace

bool clear_crl_cache()
{
    // Only the user's own lists and OCSP answers: the seed belongs to the installation.
    const bool lists = clear_cache_files(crl_cache_folder(), ".crl");
    const bool answers = clear_cache_files(own_cache_folder("ocsp"), ".ocsp");
    return lists && answers;
}

Crl_download_turn::Crl_download_turn(const std::string& url) : _url(url)
{
    Download_turns& turns = download_turns();
    std::unique_lock lock(turns.mutex);
    if (turns.busy.count(url) == 0) {
        turns.busy.insert(url);
        _owner = true;
        return;
    }
    Trace(Trace_kind, Level_trace) << "Attesa dello scaricamento in corso della CRL: " << url;
    turns.ended.wait(lock, [&] { return turns.busy.count(url) == 0; });
}

Crl_download_turn::~Crl_download_turn()
{
    if (!_owner)
        return;
    Download_turns& turns = download_turns();
    {
        std::lock_guard lock(turns.mutex);
        turns.busy.erase(_url);
    }
    turns.ended.notify_all();
}

} // namespace velin
