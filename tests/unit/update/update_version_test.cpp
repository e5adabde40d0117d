// Published and installed versions of the update run: both forms of a published version, what is
// no version, and the comparisons that decide whether a package is newer.
#include "VelinVerify/update/update_version.h"

#include <gtest/gtest.h>

#include <string>

namespace velin {
namespace {

TEST(Update_version, ReadsBothPublishedForms)
{
    EXPECT_EQ(parse_published_version("0x03010300"), 0x03010300u);
    EXPECT_EQ(parse_published_version("0xFFFFFFFF"), 0xFFFFFFFFu);
    EXPECT_EQ(parse_published_version("0x1"), 1u);
    EXPECT_EQ(parse_published_version("3.1.3"), 0x03010300u);
    EXPECT_EQ(parse_published_version("3.1.3.1"), 0x03010301u);
    // White space around it, as a file saved by an editor has.
    EXPECT_EQ(parse_published_version(" \t4.2.1.5\r\n"), 0x04020105u);
    // Each number modulo 256.
    EXPECT_EQ(parse_published_version("256.257.3"), 0x00010300u);
    EXPECT_EQ(parse_published_version("999999999.0.0"), (999999999u % 256) << 24);
}

TEST(Update_version, RefusesEverythingElse)
{
    for (const char* text : {"",
                             "   ",
                             "3",
                             "3.1",
                             "3.1.3.1.5",
                             "3..1",
                             ".3.1.3",
                             "3.1.3.",
                             "3.1.3a",
                             "-3.1.3",
                             "+3.1.3",
                             "3 .1.3",
                             "0x",
                             "0x123456789",
                             "0xG1",
                             "0x12 34",
                             "0X10",
                             "versione 3.1.3",
                             "1234567890.0.0",
                             "3.1.3\n3.1.4"})
        EXPECT_FALSE(parse_published_version(text).has_value()) << '"' << text << '"';
    EXPECT_FALSE(parse_published_version(std::string("3.1\0.3", 6)).has_value());
    EXPECT_FALSE(parse_published_version(std::string(100000, '9')).has_value());
    EXPECT_FALSE(parse_published_version("0x" + std::string(100000, 'f')).has_value());
}

TEST(Update_version, DecidesNewerAsTheRunDoes)
{
    // The suite: Versione 0x03010300 against what the server publishes.
    const uint32_t installed_suite = 0x03010300;
    EXPECT_FALSE(installed_suite < *parse_published_version("3.1.3"));
    EXPECT_TRUE(installed_suite < *parse_published_version("3.1.3.1"));
    EXPECT_FALSE(installed_suite < *parse_published_version("0x03010300"));
    // Compared as unsigned: a top byte of 0x80 and more is still newer.
    EXPECT_TRUE(installed_suite < *parse_published_version("200.0.0"));
    // Nothing installed: every published version is newer.
    EXPECT_TRUE(0u < *parse_published_version("0.0.0.1"));

    // The workstation: the fourth number of the installed version does not count.
    const uint32_t installed_workstation = pack_file_version(4, 2, 1, 7);
    EXPECT_EQ(installed_workstation, 0x04020100u);
    EXPECT_FALSE(installed_workstation < *parse_published_version("4.2.1.0"));
    EXPECT_TRUE(installed_workstation < *parse_published_version("4.2.1.5"));
    EXPECT_TRUE(installed_workstation < *parse_published_version("4.3.0"));
}

} // namespace
} // namespace velin
