// Signed files as people receive them: envelopes inside envelopes under one name, files saved
// under the wrong extension.
#include "VelinVerify/worker/cancel_flag.h"
#include "envelope/document_name.h"
#include "pipeline_test_support.h"

#include <openssl/evp.h>

#include <gtest/gtest.h>

namespace velin {
namespace {

using test::eventually;

class Real_world_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        cancel_flag() = false;
        data = test::make_data_folder(folder.path());
        session = std::make_unique<Verification_session>(test::revocation_off(), test::services_for(data));
    }

    std::vector<uint8_t> inner_envelope() const
    {
        const std::string text = test::read_file(test::pki_document("signer-legal"));
        return {text.begin(), text.end()};
    }

    std::string write(const std::string& name, const std::vector<uint8_t>& bytes) const
    {
        const auto path = folder / name;
        test::write_file(path, std::string(bytes.begin(), bytes.end()));
        return path.string();
    }

    void verify(const std::string& path)
    {
        session->open(path);
        ASSERT_TRUE(eventually([&] { return session->finished(); }));
    }

    test::Test_folder folder;
    std::filesystem::path data;
    std::unique_ptr<Verification_session> session;
};

TEST_F(Real_world_test, an_envelope_inside_an_envelope_is_a_layer_whatever_the_names_say)
{
    const auto nested = test::sign_envelope(inner_envelope(), "signer-legal");
    // One ".p7m" only, and the same file saved as a PDF.
    for (const std::string name : {"delibera.pdf.p7m", "delibera.pdf"}) {
        verify(write(name, nested));
        ASSERT_EQ(session->layers().size(), 2u) << name;
        const std::string inner_name = "delibera.pdf.p7m";
        // The outer layer offers the inner envelope under a name that says it is one.
        EXPECT_EQ(session->layers()[0]->document_name(), inner_name);
        EXPECT_EQ(file_name_part(session->layers()[1]->file_name()), inner_name);
        EXPECT_EQ(session->layers()[1]->document_name(), "delibera.pdf");
        EXPECT_EQ(session->layers()[1]->shown_signature().kind, "Firma digitale (con validità legale)");
        EXPECT_EQ(session->combined_box()->icon, Icon_warning); // revocation checking is off
    }

    // Base64 of the inner envelope inside a DER one.
    const auto text = inner_envelope();
    std::string base64(((text.size() + 2) / 3) * 4 + 1, '\0');
    base64.resize(
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(base64.data()), text.data(), static_cast<int>(text.size())));
    verify(write("atto.p7m", test::sign_envelope({base64.begin(), base64.end()}, "signer-legal")));
    ASSERT_EQ(session->layers().size(), 2u);
    EXPECT_EQ(session->layers()[1]->outcome(), Layer_outcome::Warnings);
}

TEST_F(Real_world_test, a_broken_inner_envelope_is_an_error_never_an_intact_document)
{
    auto inner = inner_envelope();
    inner.resize(inner.size() / 2);
    verify(write("delibera.pdf.p7m", test::sign_envelope(inner, "signer-legal")));
    ASSERT_EQ(session->layers().size(), 2u);
    EXPECT_EQ(session->layers()[1]->outcome(), Layer_outcome::Errors);
    EXPECT_TRUE(test::has_line(session->layers()[1]->activity(), Line_severity::Error,
                               "Il file è corrotto o non è un documento firmato."));
    ASSERT_TRUE(session->combined_box());
    EXPECT_EQ(session->combined_box()->text, "Analisi del file completata con errori.");
}

TEST_F(Real_world_test, a_file_is_read_for_what_it_is_and_refused_only_when_it_is_nothing_we_read)
{
    // An envelope without extension, or named like its document.
    for (const std::string name : {"delibera", "delibera.txt"}) {
        verify(write(name, inner_envelope()));
        ASSERT_EQ(session->layers().size(), 1u);
        EXPECT_EQ(session->layers()[0]->outcome(), Layer_outcome::Warnings) << name;
        EXPECT_EQ(session->layers()[0]->signature_count(), 1u);
    }
    // PEM armour, and bytes after the envelope (padding, a line end): the same envelope.
    const auto envelope = inner_envelope();
    std::string base64(((envelope.size() + 2) / 3) * 4 + 1, '\0');
    base64.resize(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(base64.data()), envelope.data(),
                                  static_cast<int>(envelope.size())));
    std::string pem = "-----BEGIN PKCS7-----\r\n";
    for (size_t at = 0; at < base64.size(); at += 64)
        pem += base64.substr(at, 64) + "\r\n";
    pem += "-----END PKCS7-----\r\n";
    auto trailing = envelope;
    trailing.insert(trailing.end(), {'\r', '\n', 0, 0, 'x'});
    for (const auto& [name, bytes] :
         {std::pair<std::string, std::vector<uint8_t>>{"armatura.pem", {pem.begin(), pem.end()}},
          {"coda.p7m", trailing}}) {
        verify(write(name, bytes));
        EXPECT_TRUE(
            test::has_line(session->layers()[0]->activity(), Line_severity::Information, signatures_intact_text))
            << name;
    }

    // A plain document keeps the refusal.
    verify(write("lettera.txt", {'c', 'i', 'a', 'o'}));
    EXPECT_EQ(session->layers()[0]->state(), Layer_state::Refused);
}

TEST_F(Real_world_test, a_detached_signature_is_checked_against_the_document_beside_it_or_the_one_named)
{
    const std::filesystem::path envelopes(ENVELOPE_FIXTURES);
    const std::string signature = test::read_file(envelopes / "detached.p7m");
    const std::string document = test::read_file(envelopes / "document.txt");

    // Beside it, as a .p7s or as a .p7m with no content.
    for (const std::string name : {"lettera.txt.p7s", "lettera.txt.p7m"}) {
        test::write_file(folder / "lettera.txt", document);
        verify(write(name, {signature.begin(), signature.end()}));
        ASSERT_EQ(session->layers().size(), 1u);
        const Layer_analysis& layer = *session->layers()[0];
        EXPECT_TRUE(test::has_line(layer.activity(), Line_severity::Information, signatures_intact_text)) << name;
        EXPECT_EQ(layer.document_name(), "lettera.txt");
        ASSERT_TRUE(layer.content());
        EXPECT_EQ(std::string(layer.content()->begin(), layer.content()->end()), document);
    }

    // Without a document: said plainly, never "does not match".
    std::filesystem::remove(folder / "lettera.txt");
    const std::string alone = write("lettera.txt.p7s", {signature.begin(), signature.end()});
    verify(alone);
    const Layer_analysis& layer = *session->layers()[0];
    EXPECT_EQ(layer.outcome(), Layer_outcome::Errors);
    EXPECT_TRUE(test::has_line(layer.activity(), Line_severity::Error, detached_document_missing_text));
    EXPECT_FALSE(test::has_line(layer.activity(), Line_severity::Error, signature_mismatch_text));
    EXPECT_TRUE(test::has_line(layer.shown_signature().status, Line_severity::Error, detached_document_missing_text));

    // The document named by the user, and one that is not the signed one.
    const auto named = folder / "altrove.txt";
    test::write_file(named, document);
    session->open(alone, named.string());
    ASSERT_TRUE(eventually([&] { return session->finished(); }));
    EXPECT_TRUE(test::has_line(session->layers()[0]->activity(), Line_severity::Information, signatures_intact_text));
    EXPECT_EQ(session->layers()[0]->document_name(), "altrove.txt");
    test::write_file(named, document + "modificato");
    session->open(alone, named.string());
    ASSERT_TRUE(eventually([&] { return session->finished(); }));
    EXPECT_TRUE(test::has_line(session->layers()[0]->activity(), Line_severity::Error, signature_mismatch_text));
}

TEST_F(Real_world_test, signed_mail_is_a_document_and_a_clear_signed_message_is_verified)
{
    // An envelope around an e-mail (a certified mail's smime.p7m): the mail is the document.
    const std::string mail = "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n"
                             "Content-Type: text/plain\r\n\r\nMessaggio di posta certificata.\r\n--b--\r\n";
    verify(write("smime.p7m", test::sign_envelope({mail.begin(), mail.end()}, "signer-legal")));
    ASSERT_EQ(session->layers().size(), 1u);
    EXPECT_EQ(session->layers()[0]->outcome(), Layer_outcome::Warnings); // revocation checking is off

    // A clear-signed message, whatever it is called.
    const std::string message = test::read_file(std::filesystem::path(ENVELOPE_FIXTURES) / "detached.smime.p7m");
    verify(write("messaggio.eml", {message.begin(), message.end()}));
    ASSERT_EQ(session->layers().size(), 1u);
    EXPECT_TRUE(test::has_line(session->layers()[0]->activity(), Line_severity::Information, signatures_intact_text));
}

} // namespace
} // namespace velin
