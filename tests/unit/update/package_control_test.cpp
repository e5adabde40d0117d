// What a downloaded package says it is: dpkg-deb's answer read strictly, package versions turned
// into the published numbers, and hostile files refused with a text of ours.
#include "VelinVerify/update/package_control.h"

#include "test_folder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace velin {
namespace {

using test::Test_folder;

TEST(Package_control, DpkgDebAnswerIsReadStrictly)
{
    const auto read = parse_package_fields("Version: 3.1.3.1-1\nPackage: velin-manager\n");
    ASSERT_TRUE(read);
    EXPECT_EQ(read->package, "velin-manager");
    EXPECT_EQ(read->version, "3.1.3.1-1");
    for (const char* wrong : {"", "Package: velin-manager\n", "Package: a\nPackage: b\nVersion: 1.2.3\n",
                              "Package: a\nVersion: 1.2.3\n continued\n", "Package: a\nVersion:\n",
                              "Package: a\x1b[2J\nVersion: 1.2.3\n", "Package: a\nVersion: 1.2.3\nDepends: b\n"})
        EXPECT_FALSE(parse_package_fields(wrong)) << wrong;
}

TEST(Package_control, VersionsAreComparedAsPublishedNumbers)
{
    EXPECT_EQ(package_version_number("3.1.3.1"), 0x03010301u);
    EXPECT_EQ(package_version_number("2:4.3.0-7"), 0x04030000u);
    for (const char* wrong : {"3.1", "0x03010301", "3.1.3~rc1", "a:3.1.3", ":3.1.3", "3.1.3.1.2", "-1", ""})
        EXPECT_FALSE(package_version_number(wrong)) << wrong;

    EXPECT_EQ(package_control_refusal({"velin-manager", "3.1.3.1"}, "velin-manager", 0x03010301), "");
    EXPECT_EQ(package_control_refusal({"velin-manager", "3.1.3"}, "velin-manager", 0x03010301),
              "il pacchetto è della versione 3.1.3, non di quella pubblicata (3.1.3.1).");
    EXPECT_EQ(package_control_refusal({"aurea-desk", "3.1.3.1"}, "velin-manager", 0x03010301),
              "il file contiene il pacchetto \"aurea-desk\" invece di \"velin-manager\".");
}

TEST(Package_control, FilesThatAreNoPackageAreRefusedInOurWords)
{
    Test_folder folder;
    const std::string made = (folder / "velin-manager.deb").string();
    ASSERT_EQ(std::system((std::string("'") + VELIN_SOURCE_DIR +
                           "/tools/make-update-authority' package velin-manager 3.3.0 '" + made + "'")
                              .c_str()),
              0);
    std::string failure;
    const auto control = read_package_control(made, failure);
    ASSERT_TRUE(control) << failure;
    EXPECT_EQ(control->package, "velin-manager");
    EXPECT_EQ(control->version, "3.3.0");

    // Garbage, an archive cut short, a name that begins like a switch, nothing at all.
    std::string deb = test::read_file(made);
    test::write_file(folder / "garbage.deb", "!<arch>\ngarbage");
    test::write_file(folder / "short.deb", deb.substr(0, deb.size() / 2));
    test::write_file(folder / "--version", deb);
    for (const std::string& path : {(folder / "garbage.deb").string(), (folder / "short.deb").string(),
                                    std::string("--version"), (folder / "missing.deb").string()}) {
        failure.clear();
        EXPECT_FALSE(read_package_control(path, failure)) << path;
        EXPECT_EQ(failure, "il file non è un pacchetto leggibile.") << path;
    }
}

} // namespace
} // namespace velin
