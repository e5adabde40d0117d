// Documents that cannot be signed are refused before the card and the PIN are asked for, each
// with what is wrong with it.
#include "norax_sign/sign_batch.h"
#include "test_folder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace velin {
namespace {

namespace fs = std::filesystem;

// The refusals go to the trace log: a private one.
const bool environment_ready = (test::private_environment(), true);

class Recording_ui : public Sign_batch_ui {
public:
    std::optional<std::string> choose_output_folder() override
    {
        ++asked;
        return std::nullopt;
    }
    std::optional<Found_card> find_card() override
    {
        ++asked;
        return std::nullopt;
    }
    std::optional<Pin_text> enter_pin(const Found_card&) override
    {
        ++asked;
        return std::nullopt;
    }
    int ask(const std::string&, unsigned) override
    {
        ++asked;
        return 2; // IDCANCEL
    }
    std::optional<std::string> save_as(const std::string&, bool) override { return std::nullopt; }
    void progress(size_t, size_t, const std::string&) override {}
    void show_pending_errors() override {}

    int asked = 0;
};

TEST(Sign_inputs, what_cannot_be_signed_is_refused_before_the_pin_each_with_its_reason)
{
    test::Test_folder folder;
    const fs::path empty = folder / "vuoto.txt";
    test::write_file(empty, "");
    const fs::path pipe = folder / "pipe";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    const fs::path document = folder / "documento.txt";
    test::write_file(document, "Delibera.\n");

    const struct {
        std::string path;
        const char* refusal;
    } cases[] = {
        {(folder / "assente.txt").string(), Text_input_missing},
        {folder.path().string(), Text_input_folder},
        {pipe.string(), Text_input_not_regular},
        {"/dev/zero", Text_input_not_regular},
        {empty.string(), Text_input_empty},
    };
    std::vector<std::string> paths;
    for (const auto& sample : cases) {
        EXPECT_STREQ(input_refusal(sample.path), sample.refusal) << sample.path;
        paths.push_back(sample.path);
    }
    EXPECT_EQ(input_refusal(document.string()), nullptr);
    if (::geteuid() != 0) {
        fs::permissions(document, fs::perms::none);
        EXPECT_STREQ(input_refusal(document.string()), Text_input_unreadable);
        fs::permissions(document, fs::perms::owner_read | fs::perms::owner_write);
    }

    // Nothing is asked, the PIN least of all, when no document can be signed; every one counts
    // as not signed. The pipe is never opened (it would block).
    Recording_ui ui;
    size_t failed = 0;
    EXPECT_EQ(sign_batch(ui, paths, 0, {}, {}, &failed), Result_failed);
    EXPECT_EQ(ui.asked, 0);
    EXPECT_EQ(failed, paths.size());

    // With one document that can be signed, the batch goes on to the card with it alone.
    paths.push_back(document.string());
    EXPECT_EQ(sign_batch(ui, paths, 0, {}, {}, &failed), Result_cancelled);
    EXPECT_EQ(ui.asked, 1); // the card search, cancelled
}

} // namespace
} // namespace velin
