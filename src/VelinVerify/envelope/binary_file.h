// Whole-file input and output with the verifier's error codes and messages.
#pragma once

#include "common/failure.h"

#include <cstdint>
#include <span>
#include <string>
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
    Binary_file_read() = default;
    explicit Binary_file_read(const std::string& file_name) { read(file_name); }

    // Requires a non-empty path. Returns succeeded ().
    bool read(const std::string& file_name);
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
