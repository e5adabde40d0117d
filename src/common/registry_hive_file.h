// The hive files: reading one (a missing file is an empty hive, a damaged or oversized one is read
// up to the damage), replacing one atomically with its mode and owner kept, creating its folders,
// and the lock writers take turns on.
#pragma once

#include "common/failure.h"
#include "common/registry_hive.h"

#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace velin {

struct Hive_file {
    uint32_t code = 0; // 0, or why the file could not be read
    Registry_hive hive;
    bool exists = false;
    struct stat status {};
};

// A missing file (or a folder that cannot exist) is an empty hive. Only a regular file is a hive:
// a device or a pipe named by mistake is neither read (a pipe would block) nor replaced.
Hive_file load_hive_file(const std::string& path);

// Replaces the hive file with `text`, keeping the old file's mode (and owner, when allowed).
// Returns 0 or the errno.
int replace_hive_file(const std::string& path, const std::string& text, const Hive_file& old);

// Creates the folders of `path` one by one (0755), so the errno of the first refusal is kept.
int make_parent_folders(const std::string& path);

// Takes the exclusive lock on "<path>.lock" (made 0644 if missing, never through a link), held
// until the returned handle goes; an empty handle and error set when it cannot.
Descriptor_handle lock_hive_file(const std::string& path, int& error);

} // namespace velin
