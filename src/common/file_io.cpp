#include "common/file_io.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <new>
#include <stdexcept>

#include <fcntl.h>
#include <unistd.h>

namespace velin {

namespace {

constexpr std::size_t Read_chunk = 64 * 1024;

} // namespace

Opened_file open_for_reading(const std::string& path, int extra_flags)
{
    Opened_file file;
    file.descriptor.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | extra_flags));
    if (!file.descriptor) {
        file.error = errno;
        return file;
    }
    if (::fstat(file.descriptor.get(), &file.status) != 0)
        file.error = errno;
    return file;
}

Read_end read_to_end(int descriptor, std::size_t limit, std::vector<uint8_t>& bytes)
{
    const std::size_t start = bytes.size();
    // One byte past the limit tells a file that is too large from one that just fits; the size
    // fstat gave is no bound, as the file may grow while it is read.
    for (;;) {
        const std::size_t done = bytes.size() - start;
        if (done > limit) {
            bytes.resize(start + limit);
            return Read_end::Too_large;
        }
        const std::size_t room = std::min(Read_chunk, limit + 1 - done);
        bytes.resize(start + done + room);
        const ssize_t count = ::read(descriptor, bytes.data() + start + done, room);
        if (count < 0) {
            const int error = errno;
            bytes.resize(start + done);
            if (error == EINTR)
                continue;
            errno = error;
            return Read_end::Failed;
        }
        bytes.resize(start + done + static_cast<std::size_t>(count));
        if (count == 0)
            return Read_end::Complete;
    }
}

bool write_all(int descriptor, std::span<const uint8_t> bytes)
{
    while (!bytes.empty()) {
        const ssize_t count = ::write(descriptor, bytes.data(), bytes.size());
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0) {
            if (count == 0)
                errno = ENOSPC;
            return false;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(count));
    }
    return true;
}

bool write_all(int descriptor, std::string_view bytes)
{
    return write_all(descriptor, std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

int replace_file(const std::string& path, std::span<const uint8_t> bytes, mode_t mode, const struct stat* owner)
{
    const std::span<const uint8_t> parts[] = {bytes};
    return replace_file(path, std::span(parts), mode, owner);
}

int replace_file(const std::string& path, std::span<const std::span<const uint8_t>> parts, mode_t mode,
                 const struct stat* owner)
{
    return replace_file(
        path,
        [parts](int descriptor) {
            for (const std::span<const uint8_t> bytes : parts)
                if (!write_all(descriptor, bytes))
                    return false;
            return true;
        },
        mode, owner);
}

int replace_file(const std::string& path, const std::function<bool(int descriptor)>& write, mode_t mode,
                 const struct stat* owner)
{
    std::string temporary = path + ".XXXXXX";
    Descriptor_handle file(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!file)
        return errno;
    int error = 0;
    if (::fchmod(file.get(), mode) != 0)
        error = errno;
    if (!error && owner && (owner->st_uid != ::geteuid() || owner->st_gid != ::getegid())) {
        // Only root can give the file back to its owner; anyone else keeps what mkostemp made.
        if (::fchown(file.get(), owner->st_uid, owner->st_gid) != 0 && errno != EPERM)
            error = errno;
    }
    if (!error) {
        // A writer that fails without saying why still fails the replacement.
        errno = 0;
        try {
            if (!write(file.get()))
                error = errno ? errno : EIO;
        } catch (const std::bad_alloc&) {
            error = ENOMEM;
        } catch (const std::exception&) {
            error = EIO;
        }
    }
    if (!error && ::fsync(file.get()) != 0)
        error = errno;
    // A full disk on a network file system may show only when the file is closed.
    const int closing = ::close(file.release());
    if (!error && closing != 0)
        error = errno;
    if (!error && ::rename(temporary.c_str(), path.c_str()) != 0)
        error = errno;
    if (error) {
        ::unlink(temporary.c_str());
        return error;
    }
    const std::string folder = std::filesystem::path(path).parent_path().string();
    Descriptor_handle directory(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory)
        ::fsync(directory.get());
    return 0;
}

int replace_file(const std::string& path, std::string_view bytes, mode_t mode, const struct stat* owner)
{
    return replace_file(path, std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), mode, owner);
}

} // namespace velin
