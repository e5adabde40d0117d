// Whole-file input and output with the verifier's error codes and messages.
#pragma once

#include "common/failure.h"
#include "common/file_io.h"
#include "envelope/document_bytes.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace velin {

enum file_read_error_t : int {
    File_read_ok = 0,
    File_read_failed = 1,
    File_not_found = 2,
    File_too_large = 3,
    File_access_denied = 4,
    File_size_unknown = 5,
    File_empty = 6,
};

// Reads a whole file into memory. Files of 4 GiB or more are refused.
class Binary_file_read : public Function<std::vector<uint8_t>, file_read_error_t, File_read_ok, File_read_failed> {
public:
    // How many of the file's first bytes (`head`, the first Head_size bytes or the whole file) to
    // keep apart from the rest, given the file's size; 0 for none, at most head.size ().
    using Prefix_choice = std::function<size_t(std::span<const uint8_t> head, uint64_t size)>;
    static constexpr size_t Head_size = 64 * 1024;

    Binary_file_read() = default;
    explicit Binary_file_read(const std::string& file_name) { read(file_name); }

    // Requires a non-empty path. Returns succeeded ().
    bool read(const std::string& file_name);
    // The same, but the first bytes chosen from the file's head go to prefix () and the value holds
    // the rest: a large part of the file can start its own buffer without being moved there.
    bool read(const std::string& file_name, const Prefix_choice& choose_prefix);

    // The whole file where it lies: a regular file larger than the mapping threshold is mapped
    // (see Mapped_file), anything else is read. Same errors and messages as read; the bytes are
    // taken with take_bytes ().
    bool read_mapped(const std::string& file_name);

    // Regular files of at most this many bytes are read by read_mapped rather than mapped: for a
    // few pages, mapping and unmapping (which flushes the address caches of every processor
    // running a thread of the process) costs more than the copy. 1 MiB unless changed; tests of
    // the mapped path lower it.
    static void set_mapping_threshold(uint64_t bytes);
    static uint64_t mapping_threshold();
    Document_bytes take_bytes() { return std::exchange(_bytes, {}); }

    const std::vector<uint8_t>& prefix() const { return _prefix; }
    std::vector<uint8_t> take_prefix() { return std::exchange(_prefix, {}); }

private:
    // Opens the file and checks its size; the descriptor is empty (result and message set) when
    // it cannot be read whole.
    Opened_file open_whole(const std::string& file_name);
    // Reads exactly count bytes into out; false (result and message set) when it cannot.
    bool read_exactly(int descriptor, uint8_t* out, size_t count);

    std::vector<uint8_t> _prefix;
    Document_bytes _bytes;
};

// Writes bytes to a file, creating it or truncating it. The result is the system error code
// (0 on success), the message its text.
class Binary_file_write : public Procedure<uint32_t, 0u, E_FAIL_CODE> {
public:
    enum Access {
        User_default, // what the user saves: the user's default permissions (0666 less the umask)
        Private_copy, // a copy in the private folder: 0600, and a link in its place is refused
    };

    bool write(std::span<const uint8_t> bytes, const std::string& file_name, Access access = User_default);
};

} // namespace velin
