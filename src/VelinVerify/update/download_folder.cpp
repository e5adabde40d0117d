#include "VelinVerify/update/download_folder.h"

#include "common/errno_text.h"
#include "common/file_io.h"

#include <QProcess>
#include <QStandardPaths>

#include <boost/format.hpp>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

namespace velin {

namespace {

namespace fs = std::filesystem;

constexpr int Helper_time_limit_ms = 5000;

std::string home_folder()
{
    if (const char* home = std::getenv("HOME"); home && *home)
        return home;
    if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir)
        return entry->pw_dir;
    return {};
}

// xdg-user-dir prints the folder and a new line; anything that is not one absolute path is
// ignored.
std::string xdg_desktop()
{
    const QString program = QStandardPaths::findExecutable(QStringLiteral("xdg-user-dir"));
    if (program.isEmpty())
        return {};
    QProcess helper;
    helper.setProcessChannelMode(QProcess::SeparateChannels);
    helper.start(program, {QStringLiteral("DESKTOP")}, QIODevice::ReadOnly);
    if (!helper.waitForFinished(Helper_time_limit_ms)) {
        helper.kill();
        helper.waitForFinished();
        return {};
    }
    if (helper.exitStatus() != QProcess::NormalExit || helper.exitCode() != 0)
        return {};
    std::string path = helper.readAllStandardOutput().left(4096).toStdString();
    while (!path.empty() && (path.back() == '\n' || path.back() == '\r'))
        path.pop_back();
    if (path.empty() || path.front() != '/' || path.find('\n') != std::string::npos)
        return {};
    return path;
}

} // namespace

std::string desktop_folder()
{
    if (std::string desktop = xdg_desktop(); !desktop.empty())
        return desktop;
    const std::string home = home_folder();
    return home.empty() ? std::string() : home + "/Desktop";
}

std::string prepare_download_folder(const std::string& desktop, std::time_t now, std::string& error)
{
    if (desktop.empty()) {
        error = "la cartella della scrivania non è nota.";
        return {};
    }
    std::string folder = desktop + "/Aggiornamenti Velin Manager";
    std::error_code code;
    if (fs::exists(fs::symlink_status(folder, code))) {
        std::tm local{};
        localtime_r(&now, &local);
        folder = (boost::format("%s del %02d-%02d-%04d ore %02d.%02d.%02d") % folder % local.tm_mday %
                  (local.tm_mon + 1) % (local.tm_year + 1900) % local.tm_hour % local.tm_min % local.tm_sec)
                     .str();
    }
    fs::create_directories(desktop, code);
    if (code) {
        error = desktop + ": " + errno_text(code);
        return {};
    }
    if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
        error = folder + ": " + errno_text(errno);
        return {};
    }
    // A link planted where the folder should be is no folder of ours.
    if (!fs::is_directory(fs::symlink_status(folder, code))) {
        error = folder + ": " + errno_text(ENOTDIR);
        return {};
    }
    return folder;
}

std::string leggimi_text(const std::vector<std::string>& packages)
{
    std::string text = "============================\nAGGIORNAMENTO DI VELIN MANAGER\n============================\n\n";
    for (const std::string& package : packages)
        text += (boost::format("Installare con privilegi di amministratore il file \"%1%\", ad esempio da un "
                               "terminale aperto in questa cartella con:\n    sudo apt install ./%1%\n") %
                 package)
                    .str();
    return text;
}

bool write_leggimi(const std::string& folder, const std::vector<std::string>& packages)
{
    const std::string path = folder + "/LEGGIMI.txt";
    ::unlink(path.c_str());
    Descriptor_handle file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!file)
        return false;
    return write_all(file.get(), leggimi_text(packages));
}

} // namespace velin
