#include "trust/common_data_folder.h"

#include "common/trace.h"

#include <cstdlib>
#include <mutex>

namespace velin {

namespace {

constexpr const char* Default_data_folder = "/var/lib/velin-manager";

std::mutex folder_lock;
std::string kept_folder;

} // namespace

std::string lookup_common_data_folder()
{
    const char* configured = std::getenv("VELIN_DATA_DIR");
    std::string folder = configured ? configured : Default_data_folder;
    // A variable that is set but empty names no folder: reading the lists from the root of the
    // file system instead would trust whatever is found there.
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    if (folder.empty()) {
        Trace(Trace_kind, Level_error) << "La rilevazione della cartella comune delle applicazioni è falita.";
        return {};
    }
    return folder;
}

std::string common_data_folder()
{
    std::lock_guard<std::mutex> guard(folder_lock);
    if (kept_folder.empty())
        kept_folder = lookup_common_data_folder();
    return kept_folder;
}

} // namespace velin
