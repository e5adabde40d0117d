// Documents that cannot be signed are refused before the card and the PIN are asked for, each
// with what is wrong with it.
#include "norax_sign/sign_batch.h"
#include "norax_sign/xades_signature.h"
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

// For XAdES, the document is read and checked as XML before anything is asked; only .xml
// documents, and only the time stamp on the signature.
TEST(Sign_inputs, xml_documents_that_cannot_be_signed_as_xades_are_refused_before_the_pin)
{
    test::Test_folder folder;
    const fs::path broken = folder / "IT01234567890_00043.xml";
    test::write_file(broken, "<p:FatturaElettronica><a>");
    const fs::path with_dtd = folder / "IT01234567890_00044.xml";
    test::write_file(with_dtd, "<!DOCTYPE a SYSTEM \"a.dtd\"><a>x</a>");
    const fs::path text = folder / "nota.txt";
    test::write_file(text, "<a>x</a>");
    const fs::path good = folder / "IT01234567890_00045.XML";
    test::write_file(good, "<?xml version=\"1.0\"?>\n<a>x</a>\n");
    EXPECT_EQ(xades_input_refusal(broken.string()), Text_xml_not_well_formed);
    EXPECT_EQ(xades_input_refusal(with_dtd.string()), Text_xml_dtd);
    EXPECT_EQ(xades_input_refusal(text.string()), Text_xades_only_xml);
    EXPECT_EQ(xades_input_refusal((folder / "assente.xml").string()), Text_input_missing);
    EXPECT_EQ(xades_input_refusal(good.string()), "");
    // Larger than any document the verifier reads: refused from its size, without reading it.
    const fs::path huge = folder / "IT01234567890_00046.xml";
    test::write_file(huge, "<a>");
    fs::resize_file(huge, Xades_max_document_size + 1);
    EXPECT_EQ(xades_input_refusal(huge.string()), Text_xml_too_large);

    Recording_ui ui;
    size_t failed = 0;
    EXPECT_EQ(sign_batch(ui, {broken.string(), with_dtd.string(), text.string()}, Flag_xades, {}, {}, &failed),
              Result_failed);
    EXPECT_EQ(ui.asked, 0);
    EXPECT_EQ(failed, 3u);
    // A time stamp in another form than on the signature: refused before anything is asked.
    Sign_batch_options options;
    options.timestamp_form = Timestamp_form::M7m;
    EXPECT_EQ(sign_batch(ui, {good.string()}, Flag_xades, {}, options, &failed), Result_failed);
    EXPECT_EQ(ui.asked, 0);
    // The document that can be signed goes on to the card.
    EXPECT_EQ(sign_batch(ui, {broken.string(), good.string()}, Flag_xades, {}, {}, &failed), Result_cancelled);
    EXPECT_EQ(ui.asked, 1);
    // The signed document keeps its name.
    EXPECT_EQ(signed_document_path(good.string(), Flag_xades, "/uscita"), "/uscita/IT01234567890_00045.XML");
    EXPECT_EQ(signed_document_path(good.string(), Flag_xades, ""), good.string());
}

TEST(Sign_inputs, xades_switches_on_the_command_line)
{
    const char* plain[] = {"velin-sign", "/XADES", "/dir=/tmp/uscita", "IT01234567890_00042.xml"};
    Sign_command_line command = parse_sign_command_line(4, plain);
    EXPECT_EQ(command.flags, Flag_xades);
    EXPECT_EQ(command.timestamp_form, Timestamp_form::None);
    EXPECT_EQ(command.documents, std::vector<std::string>{"IT01234567890_00042.xml"});
    EXPECT_EQ(command.invalid_switch, "");
    const char* stamped[] = {"velin-sign", "/marca=XAdES-T", "a.xml"};
    command = parse_sign_command_line(3, stamped);
    EXPECT_EQ(command.flags, Flag_xades);
    EXPECT_EQ(command.timestamp_form, Timestamp_form::Signature);
    const char* near[] = {"velin-sign", "/xadesx", "/marca=xades-tt"};
    command = parse_sign_command_line(3, near);
    EXPECT_EQ(command.flags, 0u);
    EXPECT_EQ(command.documents, std::vector<std::string>{"/xadesx"});
    EXPECT_EQ(command.invalid_switch, "/marca=xades-tt");
    const char* clash[] = {"velin-sign", "/xades", "/pdf", "a.xml"};
    EXPECT_EQ(parse_sign_command_line(4, clash).invalid_switch, "/pdf con /xades");
    const char* alone[] = {"velin-sign", "/marca=xades-t", "/solomarca", "a.xml"};
    EXPECT_EQ(parse_sign_command_line(4, alone).invalid_switch, "/solomarca con /xades");
}

} // namespace
} // namespace velin
