// The cache's file names (they must match the names earlier installations wrote), where the user's
// own cache lives, which cached files are read at all, and clearing the cache without a shell.
#include "revocation_pki.h"
#include "revocation_test_support.h"

#include "trust/crl_cache.h"
#include "trust/revocation.h"

#include <algorithm>
#include <cstdlib>
#include <optional>

#include <sys/stat.h>
#include <unistd.h>

namespace velin::test {
namespace {

using Crl_cache_test = Revocation_test_base;

std::filesystem::perms permissions(const std::filesystem::path& path)
{
    return std::filesystem::symlink_status(path).permissions() & std::filesystem::perms::all;
}

// Restores an environment variable when the test ends.
class Variable {
public:
    Variable(const char* name, const char* value) : _name(name)
    {
        if (const char* old = std::getenv(name))
            _old = old;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~Variable()
    {
        if (_old)
            ::setenv(_name, _old->c_str(), 1);
        else
            ::unsetenv(_name);
    }

private:
    const char* _name;
    std::optional<std::string> _old;
};

TEST_F(Crl_cache_test, each_user_has_a_private_cache_of_their_own)
{
    const std::filesystem::path base = private_environment() / "user-cache";
    EXPECT_EQ(base / "velin-manager" / "crl", _cache);
    EXPECT_EQ(std::filesystem::perms(0700), permissions(_cache));
    EXPECT_EQ(std::filesystem::perms(0700), permissions(_cache.parent_path()));
    EXPECT_EQ(_seed, std::filesystem::path(crl_seed_folder()));

    // A folder left too open is closed again.
    ::chmod(_cache.c_str(), 0755);
    EXPECT_EQ(_cache, std::filesystem::path(crl_cache_folder()));
    EXPECT_EQ(std::filesystem::perms(0700), permissions(_cache));

    // Without XDG_CACHE_HOME (or with a relative one) the cache is below ~/.cache, made private.
    const std::filesystem::path home = private_environment() / "home";
    {
        const Variable home_variable("HOME", home.c_str());
        const Variable unset("XDG_CACHE_HOME", nullptr);
        EXPECT_EQ(home / ".cache" / "velin-manager" / "crl", std::filesystem::path(crl_cache_folder()));
        EXPECT_EQ(std::filesystem::perms(0700), permissions(home / ".cache"));
        const Variable relative("XDG_CACHE_HOME", "relativa");
        EXPECT_EQ(home / ".cache" / "velin-manager" / "crl", std::filesystem::path(crl_cache_folder()));
    }

    // A link or a file planted where the folder goes, or a folder of another user, is no cache.
    const std::filesystem::path planted = private_environment() / "planted";
    for (int kind = 0; kind < 3; ++kind) {
        std::filesystem::remove_all(planted);
        std::filesystem::create_directories(planted / "velin-manager");
        const std::filesystem::path crl = planted / "velin-manager" / "crl";
        if (kind == 0)
            std::filesystem::create_directory_symlink(_seed, crl);
        else if (kind == 1)
            write_file(crl, "");
        else {
            std::filesystem::create_directory(crl);
            ASSERT_EQ(0, ::chown(crl.c_str(), 65534, 65534)) << "the test runs as root";
        }
        const Variable variable("XDG_CACHE_HOME", planted.c_str());
        EXPECT_EQ("", crl_cache_folder()) << kind;
        EXPECT_EQ("", cache_file_name("http://host/list.crl")) << kind;
        EXPECT_FALSE(clear_crl_cache()) << kind;
    }
    const Variable impossible("XDG_CACHE_HOME", "/dev/null/cache");
    EXPECT_EQ("", crl_cache_folder());
}

TEST_F(Crl_cache_test, only_regular_files_of_a_trusted_owner_and_of_bounded_size_are_read)
{
    const std::string list = "contenuto della lista";
    const std::filesystem::path own = _cache / "own.crl";
    const std::filesystem::path seeded = _seed / "seeded.crl";
    write_file(own, list);
    write_file(seeded, list);
    EXPECT_EQ(list, string_of(read_cached_crl_file(own, Crl_file_origin::Own_cache).value()));
    EXPECT_EQ(list, string_of(read_cached_crl_file(seeded, Crl_file_origin::Seed).value()));
    EXPECT_FALSE(read_cached_crl_file(_seed / "missing.crl", Crl_file_origin::Seed));
    EXPECT_FALSE(read_cached_crl_file("", Crl_file_origin::Seed));

    // Another user's file: never, neither in the seed nor in the user's own cache.
    ASSERT_EQ(0, ::chown(seeded.c_str(), 65534, 65534)) << "the test runs as root";
    ASSERT_EQ(0, ::chown(own.c_str(), 65534, 65534));
    EXPECT_FALSE(read_cached_crl_file(seeded, Crl_file_origin::Seed));
    EXPECT_FALSE(read_cached_crl_file(own, Crl_file_origin::Own_cache));

    // A link (even to a good file), a folder or a FIFO is not read, and the FIFO is not waited on.
    write_file(_seed / "good.crl", list);
    std::filesystem::create_symlink(_seed / "good.crl", _seed / "link.crl");
    std::filesystem::create_directory(_seed / "folder.crl");
    ASSERT_EQ(0, ::mkfifo((_seed / "fifo.crl").c_str(), 0644));
    for (const char* name : {"link.crl", "folder.crl", "fifo.crl"})
        EXPECT_FALSE(read_cached_crl_file(_seed / name, Crl_file_origin::Seed)) << name;

    // A file beyond the limit is refused without being read (sparse: nothing to read anyway, but
    // its size alone would cost gigabytes of memory); one at the limit is read.
    const std::filesystem::path huge = _seed / "huge.crl";
    write_file(huge, list);
    std::filesystem::resize_file(huge, 3'900'000'000ull);
    EXPECT_FALSE(read_cached_crl_file(huge, Crl_file_origin::Seed));
    std::filesystem::resize_file(huge, Crl_file_limit + 1);
    EXPECT_FALSE(read_cached_crl_file(huge, Crl_file_origin::Seed));
    std::filesystem::resize_file(huge, Crl_file_limit);
    EXPECT_EQ(Crl_file_limit, read_cached_crl_file(huge, Crl_file_origin::Seed).value().size());

    // Each file passed over is traced with its path, each time.
    const std::pair<std::filesystem::path, std::size_t> passed_over[] = {
        {seeded, 1}, {own, 1}, {_seed / "link.crl", 1}, {_seed / "folder.crl", 1}, {_seed / "fifo.crl", 1}, {huge, 2}};
    for (const auto& [path, times] : passed_over)
        EXPECT_EQ(times, traced_since_start(Level_info, {path.string()})) << path;
}

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

TEST_F(Crl_cache_test, clearing_deletes_only_the_users_own_lists_and_follows_no_link)
{
    const std::filesystem::path outside = std::filesystem::path(common_data_folder()) / "outside.crl";
    write_file(_seed / "a.crl", "seed");
    write_file(outside, "kept");
    write_file(_cache / "a.crl", "list");
    write_file(_cache / (escape_cache_name("http://x/\"&del *.*") + ".crl"), "list");
    write_file(_cache / "name with \"quotes\" & ampersand.crl", "list");
    write_file(_cache / "note.txt", "kept");
    write_file(_cache / "b.crl.Ab12Cd", "kept"); // a download's temporary file
    std::filesystem::create_directory(_cache / "folder.crl");
    write_file(_cache / "folder.crl" / "inner.crl", "kept");
    std::filesystem::create_symlink(outside, _cache / "link.crl");
    const std::filesystem::path answers = std::filesystem::path(own_cache_folder("ocsp"));
    write_file(answers / "0a1b.ocsp", "answer");

    EXPECT_TRUE(clear_crl_cache());
    EXPECT_FALSE(std::filesystem::exists(answers / "0a1b.ocsp"));

    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(_cache))
        left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ((std::vector<std::string>{"b.crl.Ab12Cd", "folder.crl", "link.crl", "note.txt"}), left);
    EXPECT_EQ("kept", read_file(outside));
    EXPECT_EQ("kept", read_file(_cache / "folder.crl" / "inner.crl"));
    EXPECT_EQ("seed", read_file(_seed / "a.crl"));

    // Nothing left to delete is no failure, nor is a cache not made yet; a cache that cannot be
    // had is.
    EXPECT_TRUE(clear_crl_cache());
    std::filesystem::remove_all(_cache);
    EXPECT_TRUE(clear_crl_cache());
    const Variable impossible("XDG_CACHE_HOME", "/dev/null/cache");
    EXPECT_FALSE(clear_crl_cache());
}

TEST(Crl_cache, without_a_data_folder_there_is_no_seed_but_the_users_own_cache)
{
    // A process of its own, so that no earlier lookup has kept the folder.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            private_environment();
            ::setenv("VELIN_DATA_DIR", "", 1);
            const bool none = seed_file_name("http://host/list.crl").empty() && crl_seed_folder().empty() &&
                              !cache_file_name("http://host/list.crl").empty() && clear_crl_cache();
            std::exit(none ? 0 : 1); // exit, not _Exit: the private folder is removed on the way out
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
} // namespace velin::test
