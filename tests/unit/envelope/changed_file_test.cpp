// A signed file that another program cuts short or writes over while it is being verified: the
// analysis ends in the reading failure, never in a crash and never in a verdict on bytes that are
// partly the old file's and partly the new one's.
#include "common/mapped_file.h"
#include "envelope/document_bytes.h"
#include "envelope/signed_document_parser.h"
#include "envelope_builder.h"
#include "test_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <numeric>
#include <unistd.h>

namespace velin {
namespace {

std::atomic<bool> cancel{false};

void write_bytes(const std::filesystem::path& path, std::span<const uint8_t> bytes)
{
    std::FILE* out = std::fopen(path.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    if (!bytes.empty()) {
        ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), out), bytes.size());
    }
    std::fclose(out);
}

std::shared_ptr<const Mapped_file> map_file(const std::filesystem::path& path)
{
    Opened_file opened = open_for_reading(path.string());
    return opened.descriptor ? Mapped_file::map(opened.descriptor, opened.status) : nullptr;
}

// Sums the bytes the way a hash reads them: every page is touched.
uint64_t sum_of(std::span<const uint8_t> bytes)
{
    return std::accumulate(bytes.begin(), bytes.end(), uint64_t{0});
}

TEST(Mapped_file, a_cut_file_reads_as_zeros_where_it_was_cut_and_says_it_changed)
{
    test::Test_folder folder;
    const auto path = folder / "file.bin";
    write_bytes(path, std::vector<uint8_t>(1024 * 1024, 1));
    const auto mapped = map_file(path);
    const auto copied = map_file(path);
    ASSERT_NE(mapped, nullptr);
    ASSERT_NE(copied, nullptr);
    EXPECT_TRUE(mapped->unchanged());
    EXPECT_EQ(sum_of(mapped->bytes()), 1024u * 1024u);

    ASSERT_EQ(::truncate(path.c_str(), 100 * 1000), 0);
    // Before, the first read past the new end stopped the process.
    EXPECT_LT(sum_of(mapped->bytes()), 1024u * 1024u);
    EXPECT_FALSE(mapped->unchanged());
    // Copied through the descriptor instead, the same: zeros past the cut, and the file changed.
    std::vector<uint8_t> read(1024 * 1024, 7);
    copied->read(0, read);
    EXPECT_EQ(sum_of(read), 100u * 1000u);
    EXPECT_FALSE(copied->unchanged());
    // Another mapping is not affected.
    const auto other = map_file(path);
    ASSERT_NE(other, nullptr);
    EXPECT_TRUE(other->unchanged());
    EXPECT_EQ(sum_of(other->bytes()), 100u * 1000u);
}

// Ranges of a mapped file large enough to be copied through the descriptor give the bytes the
// mapping gives, whatever their start and however their end falls among the slices.
TEST(Mapped_file, a_range_copied_through_the_descriptor_gives_the_mapped_bytes)
{
    test::Test_folder folder;
    const auto path = folder / "file.bin";
    std::vector<uint8_t> content(3 * 1024 * 1024 + 13);
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
    write_bytes(path, content);
    const Document_bytes whole(map_file(path));
    ASSERT_TRUE(whole.mapped());
    for (const auto& [offset, size] : {std::pair<size_t, size_t>{0, content.size()},
                                       {4097, 256 * 1024},
                                       {1000, 2 * 1024 * 1024 + 5},
                                       {content.size() - 300000, 300000}}) {
        const Document_bytes range = whole.range(offset, size);
        std::vector<uint8_t> read;
        EXPECT_TRUE(range.read_slices([&read](std::span<const uint8_t> slice) {
            read.insert(read.end(), slice.begin(), slice.end());
            return true;
        }));
        EXPECT_TRUE(std::equal(read.begin(), read.end(), content.begin() + static_cast<ptrdiff_t>(offset),
                               content.begin() + static_cast<ptrdiff_t>(offset + size)))
            << offset << " " << size;
        std::vector<uint8_t> copied(100);
        EXPECT_TRUE(range.copy(size - 100, copied));
        EXPECT_TRUE(
            std::equal(copied.begin(), copied.end(), content.begin() + static_cast<ptrdiff_t>(offset + size - 100)));
        EXPECT_FALSE(range.copy(size - 99, copied));
    }
    EXPECT_TRUE(whole.intact());
}

TEST(Mapped_file, a_file_written_over_in_place_says_it_changed)
{
    test::Test_folder folder;
    const auto path = folder / "file.bin";
    write_bytes(path, std::vector<uint8_t>(10000, 1));
    const auto mapped = map_file(path);
    ASSERT_NE(mapped, nullptr);
    // Written a while after the file was made, as another program would.
    usleep(20 * 1000);
    const int descriptor = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(descriptor, 0);
    ASSERT_EQ(::pwrite(descriptor, "x", 1, 5000), 1);
    ::close(descriptor);
    EXPECT_FALSE(mapped->unchanged());
}

TEST(Mapped_file, what_cannot_be_mapped_is_refused_to_the_caller)
{
    test::Test_folder folder;
    write_bytes(folder / "empty.bin", {});
    EXPECT_EQ(map_file(folder / "empty.bin"), nullptr);
    EXPECT_EQ(map_file(folder.path()), nullptr);
}

class Changed_during_analysis : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::vector<uint8_t> document(8u * 1024 * 1024);
        for (size_t i = 0; i < document.size(); ++i)
            document[i] = static_cast<uint8_t>(i * 2654435761u >> 24);
        envelope = test::build_envelope(document);
        write_bytes(path, envelope);
    }

    // Reads the file as the verification window does, lets change act on it, then decodes.
    std::shared_ptr<Signed_document_info> analyse(const std::function<void()>& change)
    {
        auto info = std::make_shared<Signed_document_info>();
        Signed_document_parser parser(info, cancel);
        parser.decode_file(path.string());
        EXPECT_EQ(parser.status(), Parser_status::File_loaded);
        change();
        parser.analyse();
        status = parser.status();
        message = parser.error_message();
        return info;
    }

    test::Test_folder folder;
    std::filesystem::path path = folder / "contratto.pdf.p7m";
    std::vector<uint8_t> envelope;
    Parser_status status = Parser_status::Idle;
    std::string message;
};

TEST_F(Changed_during_analysis, an_untouched_file_is_judged)
{
    const auto info = analyse([] {});
    EXPECT_EQ(status, Parser_status::File_loaded);
    ASSERT_TRUE(info->envelope.is_assigned());
    EXPECT_TRUE(info->envelope.value().all_signatures_match());
}

TEST_F(Changed_during_analysis, a_file_cut_short_ends_in_the_reading_failure)
{
    for (const off_t kept :
         {off_t{4096}, static_cast<off_t>(envelope.size() / 2), static_cast<off_t>(envelope.size() - 1)}) {
        write_bytes(path, envelope);
        const auto info = analyse([&] { ASSERT_EQ(::truncate(path.c_str(), kept), 0); });
        EXPECT_EQ(status, Parser_status::Error) << kept;
        EXPECT_EQ(message, "La lettura del file specificato è fallita.") << kept;
        EXPECT_EQ(info->file_data.state(), Assignable_state::Failed) << kept;
    }
}

TEST_F(Changed_during_analysis, a_file_written_over_ends_in_the_reading_failure)
{
    // The document changed in place, then back: the verdict would be "intact" on bytes that were
    // not the file's all along.
    usleep(20 * 1000);
    const auto info = analyse([&] {
        const int descriptor = ::open(path.c_str(), O_WRONLY);
        ASSERT_GE(descriptor, 0);
        const uint8_t same = envelope[envelope.size() / 2];
        ASSERT_EQ(::pwrite(descriptor, &same, 1, static_cast<off_t>(envelope.size() / 2)), 1);
        ::close(descriptor);
    });
    EXPECT_EQ(status, Parser_status::Error);
    EXPECT_EQ(message, "La lettura del file specificato è fallita.");
}

TEST_F(Changed_during_analysis, the_document_of_a_checked_file_tells_when_the_file_changed_later)
{
    const auto info = analyse([] {});
    ASSERT_TRUE(info->envelope.is_assigned() && info->envelope.value().content.is_assigned());
    const Document_bytes document = info->envelope.value().content.value();
    EXPECT_TRUE(document.mapped());
    EXPECT_TRUE(document.intact());
    ASSERT_EQ(::truncate(path.c_str(), 100), 0);
    EXPECT_FALSE(document.intact());
}

} // namespace
} // namespace velin
