#include "VelinVerify/trust/crl_cache.h"

#include "VelinVerify/trust/common_data_folder.h"
#include "VelinVerify/trust/revocation.h"
#include "common/trace.h"

#include <cstdint>
#include <filesystem>
#include <iomanip>
#include <sstream>
#include <system_error>

namespace velin {

namespace {

bool kept_as_is(char byte)
{
    return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9') ||
           byte == '.';
}

} // namespace

std::string crl_cache_folder()
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
    // Without a data folder there is no cache: never fall back to a folder below the root.
    const std::string folder = crl_cache_folder();
    if (folder.empty())
        return {};
    return folder + "/" + escape_cache_name(url) + ".crl";
}

bool clear_crl_cache()
{
    const std::string folder = crl_cache_folder();
    if (folder.empty())
        return false;
    std::error_code error;
    std::filesystem::directory_iterator entries(folder, error);
    if (error) {
        Trace(Trace_kind, Level_error) << "Cartella della cache non leggibile: " << folder << ": " << error.message();
        return false;
    }
    bool cleared = true;
    for (const std::filesystem::directory_iterator end; entries != end; entries.increment(error)) {
        const std::filesystem::path path = entries->path();
        const std::string name = path.filename().string();
        // Only the lists: links, folders and anything else that happens to be there stay.
        if (name.size() < 4 || name.compare(name.size() - 4, 4, ".crl") != 0)
            continue;
        std::error_code status_error;
        if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(path, status_error)))
            continue;
        std::error_code remove_error;
        if (!std::filesystem::remove(path, remove_error) && remove_error) {
            Trace(Trace_kind, Level_error) << "Cancellazione non riuscita: " << path.string() << ": "
                                           << remove_error.message();
            cleared = false;
        }
    }
    if (error) {
        Trace(Trace_kind, Level_error) << "Cartella della cache non leggibile: " << folder << ": " << error.message();
        return false;
    }
    return cleared;
}

} // namespace velin
