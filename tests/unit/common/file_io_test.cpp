// The shared file helpers: reading within a limit, and replacing a file without leaving a
// half-written one or a stray temporary behind.
#include "common/file_io.h"
#include "test_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <stdexcept>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using velin::Read_end;
using velin::test::read_file;
using velin::test::Test_folder;
using velin::test::write_file;

Read_end read_with_limit(const std::filesystem::path& path, std::size_t limit, std::vector<uint8_t>& bytes)
{
    velin::Opened_file file = velin::open_for_reading(path.string());
    EXPECT_TRUE(file.descriptor) << path;
    return velin::read_to_end(file.descriptor.get(), limit, bytes);
}

std::vector<std::string> names_in(const std::filesystem::path& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(File_io, reading_stops_one_byte_past_the_limit_and_keeps_what_fits)
{
    const Test_folder folder;
    const std::string content(200 * 1024, 'x');
    write_file(folder / "f", content);

    std::vector<uint8_t> bytes = {'a'};
    EXPECT_EQ(read_with_limit(folder / "f", content.size(), bytes), Read_end::Complete) << "a file that just fits";
    EXPECT_EQ(bytes.size(), content.size() + 1) << "appended after what was there";
    EXPECT_EQ(bytes.front(), 'a');

    bytes.clear();
    EXPECT_EQ(read_with_limit(folder / "f", content.size() - 1, bytes), Read_end::Too_large);
    EXPECT_EQ(bytes.size(), content.size() - 1);

    write_file(folder / "empty", "");
    bytes.clear();
    EXPECT_EQ(read_with_limit(folder / "empty", 0, bytes), Read_end::Complete);
    EXPECT_TRUE(bytes.empty());

    // A FIFO named by mistake is opened without waiting for a writer.
    ASSERT_EQ(::mkfifo((folder / "pipe").c_str(), 0600), 0);
    const velin::Opened_file pipe = velin::open_for_reading((folder / "pipe").string());
    ASSERT_TRUE(pipe.descriptor);
    EXPECT_TRUE(S_ISFIFO(pipe.status.st_mode));

    const velin::Opened_file missing = velin::open_for_reading((folder / "missing").string());
    EXPECT_FALSE(missing.descriptor);
    EXPECT_EQ(missing.error, ENOENT);
}

TEST(File_io, replacing_a_file_sets_its_mode_and_leaves_nothing_else)
{
    const Test_folder folder;
    const std::filesystem::path target = folder / "hive.reg";
    write_file(target, "old");
    ASSERT_EQ(::chmod(target.c_str(), 0644), 0);

    const mode_t mask = ::umask(077);
    const int error = velin::replace_file(target.string(), std::string_view("new text"), 0640);
    ::umask(mask);
    ASSERT_EQ(error, 0);
    EXPECT_EQ(read_file(target), "new text");
    struct stat status {};
    ASSERT_EQ(::stat(target.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u) << "the mode asked for, whatever the umask";
    EXPECT_EQ(names_in(folder.path()), std::vector<std::string>{"hive.reg"});

    // A file whose rename fails (a folder in its place) is reported, and its temporary removed.
    std::filesystem::create_directory(folder / "taken");
    write_file(folder / "taken" / "inside", "");
    EXPECT_NE(velin::replace_file((folder / "taken").string(), std::string_view("x"), 0600), 0);
    EXPECT_EQ(names_in(folder.path()), (std::vector<std::string>{"hive.reg", "taken"}));

    EXPECT_EQ(velin::replace_file((folder / "no-folder" / "f").string(), std::string_view("x"), 0600), ENOENT);
}

TEST(File_io, a_file_written_in_pieces_replaces_the_old_one_only_when_every_piece_was_written)
{
    const Test_folder folder;
    const std::filesystem::path target = folder / "firmato.pdf";
    write_file(target, "originale");

    // Pieces as a signed document held elsewhere is copied out.
    const std::string piece(70 * 1024, 'p');
    auto pieces = [&](int count) {
        return [&piece, count](int descriptor) {
            for (int i = 0; i < count; ++i)
                if (!velin::write_all(descriptor, piece))
                    return false;
            return true;
        };
    };
    ASSERT_EQ(velin::replace_file(target.string(), pieces(3), 0600), 0);
    EXPECT_EQ(read_file(target), piece + piece + piece);

    // A writer that stops half-way, with or without saying why, or throws: the file is as it was
    // and no temporary stays behind.
    write_file(target, "originale");
    auto half_then = [&](int error) {
        return [&piece, error](int descriptor) {
            velin::write_all(descriptor, piece);
            errno = error;
            return false;
        };
    };
    EXPECT_EQ(velin::replace_file(target.string(), half_then(ENOSPC), 0600), ENOSPC);
    EXPECT_EQ(velin::replace_file(target.string(), half_then(0), 0600), EIO);
    EXPECT_EQ(
        velin::replace_file(
            target.string(), [](int) -> bool { throw std::runtime_error("la macchina Java non risponde"); }, 0600),
        EIO);
    EXPECT_EQ(read_file(target), "originale");
    EXPECT_EQ(names_in(folder.path()), std::vector<std::string>{"firmato.pdf"});
}

} // namespace
