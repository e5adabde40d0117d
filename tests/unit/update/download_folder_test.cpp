// The folder the update run leaves packages in, its LEGGIMI.txt, the desktop folder of XDG and
// the lock that keeps two runs apart.
#include "VelinVerify/update/download_folder.h"
#include "VelinVerify/update/update_lock.h"
#include "common/errno_text.h"

#include "test_folder.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>

namespace velin {
namespace {

namespace fs = std::filesystem;
using test::Test_folder;

std::time_t local_time(int year, int month, int day, int hour, int minute, int second)
{
    std::tm when{};
    when.tm_year = year - 1900;
    when.tm_mon = month - 1;
    when.tm_mday = day;
    when.tm_hour = hour;
    when.tm_min = minute;
    when.tm_sec = second;
    when.tm_isdst = -1;
    return std::mktime(&when);
}

TEST(Download_folder, IsDatedWhenTheFolderExistsAlready)
{
    Test_folder home;
    const std::string desktop = (home / "Scrivania").string();
    const std::time_t now = local_time(2026, 3, 7, 9, 5, 4);
    std::string error;
    // The desktop folder itself is made when missing.
    EXPECT_EQ(prepare_download_folder(desktop, now, error), desktop + "/Aggiornamenti Velin Manager");
    EXPECT_TRUE(fs::is_directory(desktop + "/Aggiornamenti Velin Manager"));
    EXPECT_EQ(prepare_download_folder(desktop, now, error),
              desktop + "/Aggiornamenti Velin Manager del 07-03-2026 ore 09.05.04");
    EXPECT_TRUE(fs::is_directory(desktop + "/Aggiornamenti Velin Manager del 07-03-2026 ore 09.05.04"));
    // The same second twice: the dated folder is used again.
    EXPECT_EQ(prepare_download_folder(desktop, now, error),
              desktop + "/Aggiornamenti Velin Manager del 07-03-2026 ore 09.05.04");
}

TEST(Download_folder, IsNeverALinkOrAFileInItsPlace)
{
    Test_folder home;
    const std::time_t now = local_time(2026, 3, 7, 9, 5, 4);
    std::string error;
    // A link where the dated folder should be: refused, nothing is written through it.
    fs::create_directories(home / "altrove");
    fs::create_directories(home / "Desktop/Aggiornamenti Velin Manager");
    fs::create_directory_symlink(home / "altrove",
                                 home / "Desktop/Aggiornamenti Velin Manager del 07-03-2026 ore 09.05.04");
    EXPECT_EQ(prepare_download_folder((home / "Desktop").string(), now, error), "");
    EXPECT_NE(error.find("Aggiornamenti Velin Manager del 07-03-2026"), std::string::npos) << error;
    EXPECT_NE(error.find(": " + errno_text(ENOTDIR)), std::string::npos) << error;
    // A desktop that cannot be made: the system's reason in Italian.
    EXPECT_EQ(prepare_download_folder("/dev/null/Desktop", now, error), "");
    EXPECT_EQ(error, "/dev/null/Desktop: " + errno_text(ENOTDIR));
    EXPECT_EQ(prepare_download_folder("", now, error), "");
    EXPECT_EQ(error, "la cartella della scrivania non è nota.");
}

TEST(Download_folder, LeggimiNamesEachPackageToInstall)
{
    EXPECT_EQ(leggimi_text({}), "============================\nAGGIORNAMENTO DI VELIN MANAGER\n"
                                "============================\n\n");
    const std::string both = leggimi_text({"aurea-desk.deb", "velin-manager.deb"});
    const size_t workstation = both.find("Installare con privilegi di amministratore il file \"aurea-desk.deb\"");
    const size_t suite = both.find("Installare con privilegi di amministratore il file \"velin-manager.deb\"");
    ASSERT_NE(workstation, std::string::npos) << both;
    ASSERT_NE(suite, std::string::npos) << both;
    EXPECT_LT(workstation, suite);
    EXPECT_NE(both.find("    sudo apt install ./velin-manager.deb\n"), std::string::npos);

    Test_folder folder;
    test::write_file(folder / "LEGGIMI.txt", "vecchio testo più lungo di quello nuovo, molto più lungo ...........");
    ASSERT_TRUE(write_leggimi(folder.path().string(), {"velin-manager.deb"}));
    EXPECT_EQ(test::read_file(folder / "LEGGIMI.txt"), leggimi_text({"velin-manager.deb"}));
    EXPECT_FALSE(write_leggimi("/dev/null/cartella", {"velin-manager.deb"}));
}

TEST(Download_folder, DesktopComesFromXdgElseHome)
{
    Test_folder home;
    const char* saved_home = std::getenv("HOME");
    const std::string old_home = saved_home ? saved_home : "";
    ::setenv("HOME", home.path().c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
    EXPECT_EQ(desktop_folder(), (home / "Desktop").string());
    fs::create_directories(home / "config");
    test::write_file(home / "config/user-dirs.dirs", "XDG_DESKTOP_DIR=\"$HOME/Scrivania\"\n");
    EXPECT_EQ(desktop_folder(), (home / "Scrivania").string());
    ::unsetenv("XDG_CONFIG_HOME");
    ::setenv("HOME", old_home.c_str(), 1);
}

TEST(Update_lock, KeepsASecondRunOut)
{
    Test_folder folder;
    {
        Update_lock first(folder.path().string());
        ASSERT_TRUE(first.held());
        // flock belongs to the open file: a second open, even in this process, is kept out.
        EXPECT_FALSE(Update_lock(folder.path().string()).held());
    }
    EXPECT_TRUE(Update_lock(folder.path().string()).held());
    EXPECT_FALSE(Update_lock("/dev/null/cartella").held());
}

} // namespace
} // namespace velin

int main(int argc, char** argv)
{
    velin::test::private_environment();
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
