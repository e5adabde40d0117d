// The parser's protocol: file names and kinds, the order of its calls, the cancel flag, the
// decoder of PDF files supplied from above, and the envelope part of a time-stamped file.
#include "envelope/pkcs7.h"
#include "envelope/signed_document_parser.h"
#include "envelope_builder.h"
#include "test_folder.h"
#include "trace_records.h"

#include <gtest/gtest.h>

namespace {

using namespace velin;

std::atomic<bool> cancel{false};

using velin::test::assertion_text;

TEST(Parser_protocol, names_decide_the_kind_and_calls_out_of_order_assert)
{
    auto info = std::make_shared<Signed_document_info>();
    Signed_document_parser parser(info, cancel);
    EXPECT_EQ(parser.status(), Parser_status::Idle);
    EXPECT_EQ(assertion_text([&] { parser.read_file(); }), "Assertion failed: _status eq File_name_set");
    EXPECT_EQ(assertion_text([&] { parser.analyse(); }), "Assertion failed: _status eq File_loaded");

    parser.set_file_name("/archivio/DOC.PDF.P7M");
    EXPECT_EQ(parser.status(), Parser_status::File_name_set);
    EXPECT_EQ(info->_file_type, Document_types::Envelope);
    EXPECT_EQ(info->file_name, "/archivio/DOC.PDF.P7M");

    auto refused_info = std::make_shared<Signed_document_info>();
    Signed_document_parser refused(refused_info, cancel);
    // Neither the extension nor the bytes (there are none: the file does not exist) say what it is.
    refused.decode_file(test::fixture("document.txt.p7m").string() + ".docx");
    EXPECT_EQ(refused.status(), Parser_status::Error);
    EXPECT_EQ(refused.error_message(), "Il file non è un documento firmato.");
    EXPECT_EQ(refused_info->_file_type, Document_types::Unsupported);
    EXPECT_EQ(refused_info->file_data.state(), Assignable_state::Pending);
    EXPECT_TRUE(test::traced(Level_error, {refused.error_message()}));

    // Bytes under a refused name are read for what they are; bytes of no known kind are refused
    // but kept.
    auto inner_info = std::make_shared<Signed_document_info>();
    Signed_document_parser inner(inner_info, cancel);
    inner.load_buffer(test::fixture_bytes("document.txt.p7m"), "document");
    EXPECT_EQ(inner.status(), Parser_status::File_loaded);
    EXPECT_EQ(inner_info->_file_type, Document_types::Envelope);
    auto text_info = std::make_shared<Signed_document_info>();
    Signed_document_parser text(text_info, cancel);
    text.load_buffer(test::fixture_bytes("document.txt"), "document");
    EXPECT_EQ(text.status(), Parser_status::Error);
    EXPECT_TRUE(text_info->file_data.is_assigned());
    EXPECT_EQ(assertion_text([&] { text.analyse(); }), "Assertion failed: _status eq File_loaded");

    auto m7m_info = std::make_shared<Signed_document_info>();
    Signed_document_parser m7m(m7m_info, cancel);
    m7m.set_file_name("atto.M7M");
    EXPECT_EQ(m7m_info->_file_type, Document_types::Multipart);
    EXPECT_TRUE(test::traced(Level_info, {"MIME"}));
}

TEST(Parser_protocol, starting_a_decoding_clears_the_cancel_flag)
{
    cancel = true;
    Signed_document_parser from_file(std::make_shared<Signed_document_info>(), cancel);
    from_file.decode_file(test::fixture("document.txt.p7m").string());
    EXPECT_FALSE(cancel);

    cancel = true;
    Signed_document_parser from_memory(std::make_shared<Signed_document_info>(), cancel);
    from_memory.load_buffer(test::fixture_bytes("document.txt.p7m"), "x.p7m");
    EXPECT_FALSE(cancel);

    // Set while the step runs (here, before it), the flag stops the signature checks.
    cancel = true;
    from_memory.analyse();
    cancel = false;
    const auto& signatures = from_memory.signature_info()->envelope.value().signatures.value();
    ASSERT_EQ(signatures.size(), 1u);
    EXPECT_EQ(signatures[0].integrity.message(), "Verifica annullata.");
    EXPECT_FALSE(signatures[0].signature_matches());
}

TEST(Pkcs7_protocol, decoder_calls_out_of_order_assert)
{
    Pkcs7 decoder;
    EXPECT_EQ(assertion_text([&] { decoder.read_signatures(); }), "Assertion failed: parsed ()");
    EXPECT_EQ(assertion_text([&] { (void)decoder.signatures_count(); }), "Assertion failed: signatures_read ()");
    decoder.parse(test::fixture_bytes("two-signers.p7m"));
    ASSERT_TRUE(decoder.parsed());
    EXPECT_EQ(assertion_text([&] { decoder.read_signer_certificate(); }), "Assertion failed: _signature_info != NULL");
    EXPECT_EQ(assertion_text([&] { decoder.read_signing_time(); }), "Assertion failed: _signature_info != NULL");
    decoder.read_signatures();
    EXPECT_EQ(assertion_text([&] { decoder.read_signatures(); }), "Assertion failed: not signatures_read ()");
    ASSERT_EQ(decoder.signatures_count(), 2u);
    EXPECT_EQ(assertion_text([&] { decoder.select_signature(2); }), "Assertion failed: index < signatures_count ()");
    decoder.select_signature(1);
    EXPECT_EQ(assertion_text([&] { (void)decoder.signer_certificate(); }), "Assertion failed: certificate_read ()");
    // Checked only while the document is extracted.
    EXPECT_EQ(decoder.signature_integrity().state(), Assignable_state::Pending);
    decoder.extract_original_document();
    EXPECT_TRUE(decoder.signature_integrity().is_assigned());
    EXPECT_EQ(decoder.release_content().size(), 41u);
    EXPECT_FALSE(decoder.has_content());

    // A new parse forgets everything of the previous envelope.
    decoder.parse({});
    EXPECT_FALSE(decoder.parsed());
    EXPECT_FALSE(decoder.signatures_read());
}

// A decoder of signed PDF files as the layer above supplies it.
class Fixed_decoder : public Signed_document {
public:
    void parse(std::span<const uint8_t> bytes) override
    {
        _content.assign(bytes.begin(), bytes.end());
        _parsed = !bytes.empty();
    }
    bool parsed() const override { return _parsed; }
    void read_signatures() override {}
    bool signatures_read() const override { return parsed(); }
    std::string file_name() const override { return "modulo.pdf"; }
    void extract_original_document() override {}
    bool has_content() const override { return !_content.empty(); }
    std::span<const uint8_t> content() const override { return _content; }
    Document_bytes release_content() override { return Document_bytes(std::exchange(_content, {})); }
    size_t signatures_count() const override { return 1; }
    void select_signature(size_t) override {}
    void read_signer_certificate() override {}
    bool certificate_read() const override { return false; }
    const Signer_certificate& signer_certificate() const override { return _certificate; }
    void read_signing_time() override {}
    std::shared_ptr<const System_time> signing_time() const override { return {}; }
    Assignable<Signature_integrity> signature_integrity() const override
    {
        Assignable<Signature_integrity> intact;
        intact.assign(Signature_integrity::Intact);
        return intact;
    }

private:
    std::vector<uint8_t> _content;
    bool _parsed = false;
    Signer_certificate _certificate;
};

TEST(Parser_protocol, pdf_files_use_the_decoder_supplied_from_above)
{
    auto info = std::make_shared<Signed_document_info>();
    Signed_document_parser without(info, cancel);
    without.load_buffer(test::as_bytes("%PDF-1.7"), "modulo.pdf");
    without.analyse();
    EXPECT_EQ(without.error_message(), "L'analisi del file è fallita.");

    auto pdf_info = std::make_shared<Signed_document_info>();
    Signed_document_parser with(pdf_info, cancel);
    with.set_pdf_decoder([] { return std::make_shared<Fixed_decoder>(); });
    with.load_buffer(test::as_bytes("%PDF-1.7"), "modulo.pdf");
    with.analyse();
    ASSERT_TRUE(pdf_info->envelope.is_assigned());
    const Envelope_info& envelope = pdf_info->envelope.value();
    EXPECT_EQ(envelope.original_name, "modulo.pdf");
    EXPECT_EQ(envelope.content.value(), test::as_bytes("%PDF-1.7"));
    ASSERT_EQ(envelope.signatures.value().size(), 1u);
    EXPECT_EQ(envelope.signatures.value()[0].signer.message(), "La lettura del certificato del firmatario è fallita.");
    EXPECT_EQ(envelope.signatures.value()[0].signing_time.state(), Assignable_state::Unavailable);
}

std::string multipart(const std::string& pkcs7_base64, const std::string& reply)
{
    std::string message = "Content-Type: multipart/mixed; boundary=\"XYZ\"\r\n\r\n--XYZ\r\n";
    if (!pkcs7_base64.empty())
        message += "Content-Type: application/pkcs7-mime\r\nContent-Transfer-Encoding: base64\r\n\r\n" + pkcs7_base64 +
                   "\r\n--XYZ\r\n";
    message += "Content-Type: application/timestamp-reply\r\nContent-Transfer-Encoding: binary\r\n\r\n" + reply +
               "\r\n--XYZ--\r\n";
    return message;
}

TEST(Parser_protocol, time_stamped_file_decodes_its_envelope_and_keeps_the_reply)
{
    const std::string envelope_text = test::base64(test::fixture_bytes("document.txt.p7m"), true);
    auto info = std::make_shared<Signed_document_info>();
    Signed_document_parser parser(info, cancel);
    parser.load_buffer(test::as_bytes(multipart(envelope_text, "RISPOSTA-TSA")), "contratto.txt.m7m");
    parser.analyse();
    ASSERT_NE(parser.status(), Parser_status::Error) << parser.error_message();
    ASSERT_TRUE(info->envelope.is_assigned());
    EXPECT_TRUE(info->envelope.value().all_signatures_match());
    EXPECT_EQ(info->file_data.value(), test::as_bytes("RISPOSTA-TSA"));

    auto lone_info = std::make_shared<Signed_document_info>();
    Signed_document_parser lone(lone_info, cancel);
    lone.load_buffer(test::as_bytes(multipart("", "RISPOSTA-TSA")), "contratto.txt.m7m");
    lone.analyse();
    EXPECT_EQ(lone.error_message(), "L'analisi del file è fallita.");
    EXPECT_EQ(lone_info->envelope.state(), Assignable_state::Pending);

    auto broken_info = std::make_shared<Signed_document_info>();
    Signed_document_parser broken(broken_info, cancel);
    std::string cut = multipart(envelope_text, "RISPOSTA-TSA");
    cut.resize(cut.size() - 9);
    broken.load_buffer(test::as_bytes(cut), "contratto.txt.m7m");
    broken.analyse();
    EXPECT_EQ(broken.error_message(), "L'analisi del file è fallita.");
    EXPECT_TRUE(test::traced(Level_error, {"end of file"}));
}

} // namespace
