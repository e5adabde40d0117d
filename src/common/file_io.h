// File input and output the layers share: reading a file to its end within a limit, writing a
// whole buffer, and replacing a file atomically. Results are errno values; each caller turns them
// into its own codes and messages.
#pragma once

#include "common/failure.h"

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velin {

// A file opened for reading and what fstat said of it.
struct Opened_file {
    Descriptor_handle descriptor; // empty when open failed
    int error = 0; // errno of the failed open or fstat, else 0
    struct stat status {}; // valid when descriptor is set and error is 0
};

// Opens path read-only and takes its status. Never waits on a FIFO or device named by mistake
// (O_NONBLOCK, which regular files ignore) and never takes a terminal as controlling terminal;
// extra_flags adds O_NOFOLLOW and the like.
Opened_file open_for_reading(const std::string& path, int extra_flags = 0);

enum class Read_end {
    Complete, // all of the file is in bytes
    Too_large, // the file holds more than limit bytes; bytes holds the first limit of them
    Failed, // read failed; errno tells why
};

// Appends what is left of the file to bytes, at most limit bytes.
Read_end read_to_end(int descriptor, std::size_t limit, std::vector<uint8_t>& bytes);

// Writes all of bytes, resuming after interruptions. False with errno set when it cannot
// (ENOSPC when the system writes nothing without saying why).
bool write_all(int descriptor, std::span<const uint8_t> bytes);
bool write_all(int descriptor, std::string_view bytes);

// Replaces path with bytes through a temporary file beside it, synced to disk before the rename
// and its folder after, so a crash leaves the old file or the new one, never a mix. The new file
// gets mode; with owner given, also that file's owner and group when the system allows. Returns 0
// or the errno of the failure, and then leaves no temporary file behind.
int replace_file(const std::string& path, std::span<const uint8_t> bytes, mode_t mode,
                 const struct stat* owner = nullptr);
int replace_file(const std::string& path, std::string_view bytes, mode_t mode, const struct stat* owner = nullptr);
// The same with the file's bytes given in parts, written one after the other.
int replace_file(const std::string& path, std::span<const std::span<const uint8_t>> parts, mode_t mode,
                 const struct stat* owner = nullptr);
// The same with the bytes written by write into the temporary file's descriptor, for bytes that
// are not at hand in one piece; write returns false with errno set when it fails.
int replace_file(const std::string& path, const std::function<bool(int descriptor)>& write, mode_t mode,
                 const struct stat* owner = nullptr);

} // namespace velin
