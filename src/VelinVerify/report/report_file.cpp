#include "VelinVerify/report/report_file.h"

#include "common/errno_text.h"

#include <cerrno>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velin {

std::string report_not_written_text(const std::string& path, const std::string& reason)
{
    return "Il rapporto non può essere scritto in " + path + (reason.empty() ? "." : ": " + reason + ".");
}

namespace {

// Closes a descriptor and removes the temporary file unless it was renamed into place.
struct Temporary_file {
    std::string path;
    int descriptor = -1;
    bool kept = false;
    ~Temporary_file()
    {
        if (descriptor >= 0)
            ::close(descriptor);
        if (!kept && !path.empty())
            ::unlink(path.c_str());
    }
};

} // namespace

std::string write_report_file(const std::string& path, const std::string& bytes)
{
    const auto failed = [&path](int error) { return report_not_written_text(path, errno_text(error)); };
    if (path.empty())
        return report_not_written_text(path, "manca il nome del file");
    Temporary_file temporary;
    std::vector<char> name(path.begin(), path.end());
    for (const char c : std::string(".XXXXXX"))
        name.push_back(c);
    name.push_back('\0');
    temporary.descriptor = ::mkstemp(name.data());
    if (temporary.descriptor < 0)
        return failed(errno);
    temporary.path = name.data();
    for (size_t written = 0; written < bytes.size();) {
        const ssize_t done = ::write(temporary.descriptor, bytes.data() + written, bytes.size() - written);
        if (done < 0 && errno == EINTR)
            continue;
        if (done < 0)
            return failed(errno);
        written += static_cast<size_t>(done);
    }
    // Readable by others as any document the user saves; mkstemp made it private.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(temporary.descriptor, 0666 & ~mask) != 0 || ::fsync(temporary.descriptor) != 0)
        return failed(errno);
    const int closing = ::close(temporary.descriptor);
    temporary.descriptor = -1;
    if (closing != 0)
        return failed(errno);
    if (::rename(temporary.path.c_str(), path.c_str()) != 0)
        return failed(errno);
    temporary.kept = true;
    return {};
}

std::string Report_names::take(const std::string& file)
{
    const size_t slash = file.rfind('/');
    const std::string name = slash == std::string::npos ? file : file.substr(slash + 1);
    const std::string base = _folder + (_folder.empty() || _folder.back() == '/' ? "" : "/") + name;
    std::string path = base + _extension;
    for (int n = 2; !_given.insert(path).second; ++n)
        path = base + "-" + std::to_string(n) + _extension;
    return path;
}

} // namespace velin
