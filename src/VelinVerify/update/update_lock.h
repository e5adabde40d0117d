// Keeps two update runs of one user apart: a lock file in the private runtime folder, held with
// flock for the life of the process (the kernel lets go of it when the process ends, however it
// ends).
#pragma once

#include "common/failure.h"

#include <string>

namespace velin {

class Update_lock {
public:
    // Takes the lock of the folder (the private runtime folder when empty).
    explicit Update_lock(const std::string& folder = {});

    // This process holds the lock; false when another run holds it or the file cannot be had.
    bool held() const { return static_cast<bool>(_file); }

private:
    Descriptor_handle _file;
};

} // namespace velin
