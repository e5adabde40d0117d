#include "VelinVerify/update/update_lock.h"

#include "common/trace.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>

namespace velin {

Update_lock::Update_lock(const std::string& folder)
{
    const std::string base = folder.empty() ? private_runtime_folder() : folder;
    if (base.empty()) {
        Trace(Trace_kind, Level_error) << "Cartella privata non disponibile per il blocco dell'aggiornamento.";
        return;
    }
    const std::string path = base + "/Velin Manager - Aggiornamento.lock";
    // Close-on-exec: a program this run opens must not keep the lock after the run has ended.
    Descriptor_handle file(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file) {
        Trace(Trace_kind, Level_error) << "Apertura del blocco dell'aggiornamento fallita: " << path << ": "
                                       << std::strerror(errno);
        return;
    }
    int locked;
    do
        locked = ::flock(file.get(), LOCK_EX | LOCK_NB);
    while (locked != 0 && errno == EINTR);
    if (locked != 0) {
        Trace(Trace_kind, Level_info) << "Un altro aggiornamento è in corso.";
        return;
    }
    _file = std::move(file);
}

} // namespace velin
