// The cache's file names (they must match the names earlier installations wrote) and clearing the
// cache without a shell.
#include "revocation_test_support.h"

#include "VelinVerify/trust/crl_cache.h"
#include "VelinVerify/trust/revocation.h"

#include <algorithm>
#include <cstdlib>

namespace velin::test {
namespace {

using Crl_cache_test = Revocation_test_base;

TEST_F(Crl_cache_test, a_url_becomes_a_file_name_in_the_cache_folder)
{
    EXPECT_EQ(_cache.string() + "/http_3a_2f_2f127.0.0.1_3a8799_2fcrl_2faccredited_2dca.crl.crl",
              cache_file_name("http://127.0.0.1:8799/crl/accredited-ca.crl"));
    EXPECT_EQ(_cache.string() + "/.crl", cache_file_name(""));
    // Letters and digits of both cases and "." stay; "_", "%", blanks and the rest are escaped.
    EXPECT_EQ("AZaz09._5f_25_20_7e", escape_cache_name("AZaz09._% ~"));
}

TEST_F(Crl_cache_test, bytes_below_0x10_are_padded_with_a_blank_and_high_bytes_are_sign_extended)
{
    EXPECT_EQ("_ 0_ 1_ a_ f_10_7f", escape_cache_name(std::string("\x00\x01\x0a\x0f\x10\x7f", 6)));
    EXPECT_EQ("_ffffff80_ffffffc3_ffffffa8_ffffffff", escape_cache_name("\x80\xc3\xa8\xff"));
}

TEST_F(Crl_cache_test, no_byte_can_lead_the_name_out_of_the_cache_folder)
{
    for (int value = 0; value < 256; ++value) {
        const std::string name = escape_cache_name(std::string(1, static_cast<char>(value)) + "x");
        EXPECT_EQ(std::string::npos, name.find('/')) << value;
        EXPECT_EQ(std::string::npos, name.find('\0')) << value;
    }
    const std::string path = cache_file_name("http://host/../../../etc/passwd");
    EXPECT_EQ(_cache, std::filesystem::path(path).parent_path());
}

TEST_F(Crl_cache_test, clearing_deletes_only_the_lists_and_follows_no_link)
{
    const std::filesystem::path outside = std::filesystem::path(common_data_folder()) / "outside.crl";
    write_file(outside, "kept");
    write_file(_cache / "a.crl", "list");
    write_file(_cache / (escape_cache_name("http://x/\"&del *.*") + ".crl"), "list");
    write_file(_cache / "name with \"quotes\" & ampersand.crl", "list");
    write_file(_cache / "note.txt", "kept");
    write_file(_cache / "b.crl.Ab12Cd", "kept"); // a download's temporary file
    std::filesystem::create_directory(_cache / "folder.crl");
    write_file(_cache / "folder.crl" / "inner.crl", "kept");
    std::filesystem::create_symlink(outside, _cache / "link.crl");

    EXPECT_TRUE(clear_crl_cache());

    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(_cache))
        left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ((std::vector<std::string>{"b.crl.Ab12Cd", "folder.crl", "link.crl", "note.txt"}), left);
    EXPECT_EQ("kept", read_file(outside));
    EXPECT_EQ("kept", read_file(_cache / "folder.crl" / "inner.crl"));

    // Nothing left to delete is no failure; a missing cache folder is.
    EXPECT_TRUE(clear_crl_cache());
    std::filesystem::remove_all(_cache);
    EXPECT_FALSE(clear_crl_cache());
}

TEST(Crl_cache, without_a_data_folder_there_is_no_cache_at_all)
{
    // A process of its own, so that no earlier lookup has kept the folder.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            private_environment();
            ::setenv("VELIN_DATA_DIR", "", 1);
            const bool none = cache_file_name("http://host/list.crl").empty() && crl_cache_folder().empty() &&
                              !clear_crl_cache();
            std::exit(none ? 0 : 1); // exit, not _Exit: the private folder is removed on the way out
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
} // namespace velin::test
