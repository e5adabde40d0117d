#include "common/shell_open.h"

#include "common/trace.h"

#include <QDesktopServices>
#include <QProcess>
#include <QUrl>

#include <cstdlib>
#include <string_view>

#include <sys/stat.h>

namespace velin {

namespace {

constexpr unsigned long error_file_not_found = 2;
constexpr unsigned long error_access_denied = 5;
constexpr unsigned long error_no_association = 1155;

bool ends_with_desktop(std::string_view path)
{
    constexpr std::string_view suffix = ".desktop";
    if (path.size() < suffix.size())
        return false;
    for (size_t i = 0; i < suffix.size(); ++i) {
        const char c = path[path.size() - suffix.size() + i];
        if ((c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c) != suffix[i])
            return false;
    }
    return true;
}

} // namespace

unsigned long shell_open(const std::string& path)
{
    struct stat status {};
    if (path.empty() || ::stat(path.c_str(), &status) != 0)
        return error_file_not_found;
    if (S_ISREG(status.st_mode) && ((status.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0 || ends_with_desktop(path))) {
        Trace(Trace_kind, Level_error) << "Apertura rifiutata di un programma: " << path;
        return error_access_denied;
    }
    if (const char* command = std::getenv("VELIN_OPEN_COMMAND"); command && *command) {
        if (!QProcess::startDetached(QString::fromLocal8Bit(command), {QString::fromStdString(path)}))
            return error_no_association;
        return 0;
    }
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(path))))
        return error_no_association;
    return 0;
}

} // namespace velin
