#include "common/registry_hive_file.h"

#include "common/file_io.h"

#include <cerrno>
#include <filesystem>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace velin {

Hive_file load_hive_file(const std::string& path)
{
    Hive_file file;
    Opened_file opened = open_for_reading(path);
    if (!opened.descriptor) {
        if (opened.error != ENOENT && opened.error != ENOTDIR)
            file.code = error_code_from_errno(opened.error);
        return file;
    }
    if (opened.error != 0) {
        file.code = error_code_from_errno(opened.error);
        return file;
    }
    file.status = opened.status;
    file.exists = true;
    if (!S_ISREG(file.status.st_mode)) {
        file.code = error_code_from_errno(S_ISDIR(file.status.st_mode) ? EISDIR : EINVAL);
        return file;
    }
    std::vector<uint8_t> text;
    const Read_end end = read_to_end(opened.descriptor.get(), Registry_hive::Max_file_size, text);
    if (end == Read_end::Failed) {
        file.code = error_code_from_errno(errno);
        return file;
    }
    file.hive = Registry_hive::parse(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()),
                                     end == Read_end::Complete);
    return file;
}

int replace_hive_file(const std::string& path, const std::string& text, const Hive_file& old)
{
    const mode_t mode = old.exists ? (old.status.st_mode & 07777) : 0644;
    return replace_file(path, text, mode, old.exists ? &old.status : nullptr);
}

int make_parent_folders(const std::string& path)
{
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    std::filesystem::path partial;
    for (const auto& part : folder) {
        partial /= part;
        if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
            return errno;
    }
    struct stat status {};
    if (!folder.empty() && ::stat(folder.c_str(), &status) != 0)
        return errno;
    if (!folder.empty() && !S_ISDIR(status.st_mode))
        return ENOTDIR;
    return 0;
}

Descriptor_handle lock_hive_file(const std::string& path, int& error)
{
    const std::string lock_path = path + ".lock";
    Descriptor_handle lock(::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0644));
    if (!lock) {
        error = errno;
        return lock;
    }
    while (::flock(lock.get(), LOCK_EX) != 0) {
        if (errno != EINTR) {
            error = errno;
            return Descriptor_handle();
        }
    }
    error = 0;
    return lock;
}

} // namespace velin
