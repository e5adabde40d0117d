// Reports written whole or not at all, and their names in a folder.
#include "VelinVerify/report/report_file.h"
#include "test_folder.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <sys/stat.h>
#include <unistd.h>

namespace velin {
namespace {

TEST(Report_file, AReportReplacesAnEarlierOneOnlyOnceItIsWhole)
{
    test::Test_folder folder;
    const std::filesystem::path path = folder / "rapporto.xml";
    test::write_file(path, "vecchio");
    EXPECT_EQ(write_report_file(path.string(), "nuovo"), "");
    EXPECT_EQ(test::read_file(path), "nuovo");
    // Nothing else is left beside it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), {}), 1);
    // Readable as any document the user saves, not private like the temporary file it was.
    struct stat status {};
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(status.st_mode & 0777, 0666 & ~mask);
}

TEST(Report_file, AReportThatCannotBeWrittenSaysWhereAndWhyInItalian)
{
    test::Test_folder folder;
    const std::string missing = (folder / "manca" / "rapporto.pdf").string();
    EXPECT_EQ(write_report_file(missing, "x"),
              "Il rapporto non può essere scritto in " + missing + ": File o directory non esistente.");

    // A folder where the report should be: the folder is left as it was.
    std::filesystem::create_directories(folder / "cartella" / "dentro");
    const std::string taken = (folder / "cartella").string();
    const std::string problem = write_report_file(taken, "x");
    EXPECT_EQ(problem.rfind("Il rapporto non può essere scritto in " + taken + ": ", 0), 0u) << problem;
    EXPECT_TRUE(std::filesystem::is_directory(folder / "cartella" / "dentro"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), {}), 1);

    EXPECT_EQ(write_report_file("", "x"), "Il rapporto non può essere scritto in : manca il nome del file.");
}

TEST(Report_names, EachFileGetsAReportOfItsOwnInTheFolder)
{
    Report_names names("/rapporti", ".pdf");
    EXPECT_EQ(names.take("/a/contratto.p7m"), "/rapporti/contratto.p7m.pdf");
    EXPECT_EQ(names.take("fattura.xml"), "/rapporti/fattura.xml.pdf");
    // The same name from another folder, or the same file twice: no report overwrites another.
    EXPECT_EQ(names.take("/b/contratto.p7m"), "/rapporti/contratto.p7m-2.pdf");
    EXPECT_EQ(names.take("/a/contratto.p7m"), "/rapporti/contratto.p7m-3.pdf");

    Report_names slash("/rapporti/", ".xml");
    EXPECT_EQ(slash.take("contratto.p7m"), "/rapporti/contratto.p7m.xml");
}

} // namespace
} // namespace velin
