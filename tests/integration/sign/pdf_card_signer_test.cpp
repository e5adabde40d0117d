// The PDF signer with the legal test signer's key on a SoftHSM token, without a card reader: a
// document handed over is freed once the Java machine has its copy, the signed document is
// written to its file straight from the machine, and what is written is the document byte for
// byte plus a signed update that our verifier and pdfsig accept. Damaged, refused and cancelled
// documents leave nothing to write.
#include "common/failure.h"
#include "common/message_box.h"
#include "java_bridge/java_vm.h"
#include "java_bridge/pdf_verify.h"
#include "norax_sign/pdf_card_signer.h"
#include "norax_sign/sign_batch.h"
#include "softhsm_token.h"
#include "test_folder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

namespace velin {
namespace {

namespace fs = std::filesystem;

size_t occurrences(const std::string& text, const std::string& what)
{
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

class Signed_pdf : public testing::Test {
protected:
    // One token per process: the module reads its configuration once.
    static void SetUpTestSuite()
    {
        test::private_environment();
        ASSERT_TRUE(fs::exists(test::Softhsm_token::Module)) << "SoftHSM is missing (Debian package softhsm2)";
        token = new test::Softhsm_token();
        token->key_pair_from(VELIN_PKI_FIXTURES, "signer-legal", "01");
        folder = new test::Test_folder();
        const std::string make = std::string(VELIN_MAKE_PDFS) + " " + folder->path().string() + " " +
                                 VELIN_PKI_FIXTURES + " >/dev/null 2>&1";
        ASSERT_EQ(std::system(make.c_str()), 0) << make;
        // Three megabytes in one page's content: the stream PDFBox copies while it reads.
        const std::string big = std::string(VELIN_MAKE_PDFS) + " " + (folder->path() / "big").string() + " " +
                                VELIN_PKI_FIXTURES + " 3 >/dev/null 2>&1";
        ASSERT_EQ(std::system(big.c_str()), 0) << big;
    }
    static void TearDownTestSuite()
    {
        delete folder;
        delete token;
    }

    void SetUp() override { Java_vm::instance().set_sources_for_tests(Runtime_root, std::string(), VELIN_JAVA_FOLDER); }

    std::unique_ptr<Pdf_card_signer> make_signer()
    {
        return std::make_unique<Pdf_card_signer>(
            0, test::Softhsm_token::Label,
            [this](const std::string& text, unsigned) {
                asked.push_back(text);
                return answer;
            },
            test::Softhsm_token::Module);
    }

    // Our verifier's and pdfsig's word on a signed file: every signature intact and valid.
    void expect_valid(const fs::path& path, size_t signatures)
    {
        Pdf_verify verified;
        verified.parse(test::read_bytes(path));
        ASSERT_EQ(verified.outcome(), Pdf_outcome::Verified) << path;
        ASSERT_EQ(verified.signatures_count(), signatures) << path;
        EXPECT_FALSE(verified.bytes_after_signatures()) << path;
        for (size_t i = 0; i < signatures; ++i) {
            verified.select_signature(i);
            EXPECT_TRUE(verified.signature_integrity().is_assigned() &&
                        verified.signature_integrity().value() == Signature_integrity::Intact)
                << path << " signature " << i;
        }
        const fs::path report = folder->path() / "pdfsig.txt";
        std::system(("pdfsig '" + path.string() + "' > '" + report.string() + "' 2>&1").c_str());
        const std::string checked = test::read_file(report);
        EXPECT_EQ(occurrences(checked, "Signature Validation: Signature is Valid."), signatures) << checked;
    }

    static inline test::Softhsm_token* token = nullptr;
    static inline test::Test_folder* folder = nullptr;
    // Our fault handlers are in place before the machine starts, as in the programs.
    SEH_translation translation;
    std::vector<std::string> asked;
    int answer = IDYES;
};

TEST_F(Signed_pdf, a_document_handed_over_is_signed_in_the_machine_and_written_from_it)
{
    const auto signer = make_signer();
    struct Case {
        fs::path source;
        size_t signatures_after;
    };
    for (const Case& one : {Case{folder->path() / "big" / "big-plain.pdf", 1}, Case{folder->path() / "signed.pdf", 2},
                            Case{folder->path() / "signed-twice.pdf", 3}}) {
        SCOPED_TRACE(one.source);
        const std::vector<uint8_t> original = test::read_bytes(one.source);
        std::vector<uint8_t> document = original;
        asked.clear();
        signer->sign_releasing(test::Softhsm_token::Pin, document, Flag_pdf);
        ASSERT_TRUE(signer->succeeded());
        EXPECT_EQ(document.capacity(), 0u) << "the process's copy is freed once the machine has the document";
        EXPECT_EQ(asked.size(), one.signatures_after > 1 ? 1u : 0u) << "asked before a signature is added to others";

        const Signed_output& result = signer->result();
        ASSERT_TRUE(result.held);
        EXPECT_GT(result.size(), original.size());
        const fs::path written = folder->path() / ("firmato-" + one.source.filename().string());
        ASSERT_EQ(write_signed_document(written.string(), result), 0);
        const std::vector<uint8_t> signed_bytes = test::read_bytes(written);
        ASSERT_EQ(signed_bytes.size(), result.size());
        EXPECT_TRUE(std::equal(original.begin(), original.end(), signed_bytes.begin()))
            << "an incremental update leaves the document and its earlier signatures byte for byte";
        expect_valid(written, one.signatures_after);
    }

    // Bytes lent rather than handed over are left to their owner and signed the same way.
    const std::vector<uint8_t> plain = test::read_bytes(folder->path() / "plain.pdf");
    signer->sign(test::Softhsm_token::Pin, plain, Flag_pdf);
    ASSERT_TRUE(signer->succeeded());
    EXPECT_EQ(plain, test::read_bytes(folder->path() / "plain.pdf"));
    ASSERT_EQ(write_signed_document((folder->path() / "firmato-plain.pdf").string(), signer->result()), 0);
    expect_valid(folder->path() / "firmato-plain.pdf", 1);
}

TEST_F(Signed_pdf, damaged_refused_and_cancelled_documents_leave_nothing_to_write)
{
    const auto signer = make_signer();
    // Each failure drops the result before it, so nothing stale can be written in its place.
    const std::vector<uint8_t> whole = test::read_bytes(folder->path() / "plain.pdf");
    const std::string not_a_pdf = "Questo non è un documento PDF.\n";
    // (PDFBox rebuilds a document cut after its page, so the cut here leaves only the header.)
    for (const std::vector<uint8_t>& damaged :
         {std::vector<uint8_t>(whole.begin(), whole.begin() + 16),
          std::vector<uint8_t>(not_a_pdf.begin(), not_a_pdf.end()), std::vector<uint8_t>{}}) {
        std::vector<uint8_t> good = whole;
        signer->sign_releasing(test::Softhsm_token::Pin, good, Flag_pdf);
        ASSERT_TRUE(signer->succeeded());
        std::vector<uint8_t> document = damaged;
        signer->sign_releasing(test::Softhsm_token::Pin, document, Flag_pdf);
        EXPECT_FALSE(signer->succeeded()) << damaged.size() << " bytes";
        EXPECT_EQ(signer->error_code(), Result_failed);
        EXPECT_FALSE(signer->result().held);
        EXPECT_EQ(signer->result().size(), 0u);
    }

    // "No" to a second signature: cancelled, and nothing held.
    std::vector<uint8_t> signed_pdf = test::read_bytes(folder->path() / "signed.pdf");
    answer = IDNO;
    asked.clear();
    signer->sign_releasing(test::Softhsm_token::Pin, signed_pdf, Flag_pdf);
    EXPECT_EQ(asked, std::vector<std::string>{Text_already_signed_question});
    EXPECT_FALSE(signer->succeeded());
    EXPECT_EQ(signer->error_code(), Result_cancelled);
    EXPECT_FALSE(signer->result().held);
}

} // namespace
} // namespace velin
