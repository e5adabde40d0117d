// Decoding of signed envelopes from outside bytes, through the parser as the pipeline drives it:
// every form of .p7m, the signature check of every signer, and hostile or damaged input.
#include "envelope/binary_file.h"
#include "envelope/mime_envelope_split.h"
#include "envelope/pkcs7.h"
#include "envelope/signed_document_parser.h"
#include "envelope_builder.h"
#include "test_folder.h"
#include "trace_records.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <set>

namespace {

using namespace velin;

std::atomic<bool> never_cancelled{false};

const std::string document_text = "Contratto di prova: CONTENUTO-ORIGINALE.\n";

struct Analysis {
    std::shared_ptr<Signed_document_info> info = std::make_shared<Signed_document_info>();
    std::shared_ptr<Signed_document_parser> parser = std::make_shared<Signed_document_parser>(info, never_cancelled);

    Pkcs7::Encoding encoding() const
    {
        const auto pkcs7 = std::dynamic_pointer_cast<Pkcs7>(parser->document());
        return pkcs7 ? pkcs7->encoding() : Pkcs7::Encoding::None;
    }
    const Envelope_info& envelope() const { return info->envelope.value(); }
    const std::vector<Signature_info>& signatures() const { return envelope().signatures.value(); }
};

Analysis analyse_bytes(std::vector<uint8_t> bytes, const std::string& name = "contratto.txt.p7m")
{
    Analysis analysis;
    analysis.parser->load_buffer(std::move(bytes), name);
    if (analysis.parser->status() == Parser_status::File_loaded)
        analysis.parser->analyse();
    return analysis;
}

Analysis analyse_file(const std::string& path)
{
    Analysis analysis;
    analysis.parser->decode_file(path);
    if (analysis.parser->status() == Parser_status::File_loaded)
        analysis.parser->analyse();
    return analysis;
}

// The extracted document lies inside the mapped file's bytes.
bool is_range_of_file(const Analysis& analysis)
{
    const Document_bytes& file = analysis.info->file_data.value();
    const Document_bytes& content = analysis.envelope().content.value();
    return file.mapped() && content.mapped() && content.data() >= file.data() && content.end() <= file.end();
}

std::string text_of(std::span<const uint8_t> bytes)
{
    return {bytes.begin(), bytes.end()};
}

std::string signer_name(const Signature_info& signature)
{
    return test::common_name(signature.signer.value().x509());
}

// The envelope of the fixtures: the document, one signer Mario Rossi with a signing time, intact.
void expect_document_signed_by_mario(const Analysis& analysis)
{
    ASSERT_NE(analysis.parser->status(), Parser_status::Error) << analysis.parser->error_message();
    ASSERT_TRUE(analysis.info->envelope.is_assigned());
    EXPECT_EQ(analysis.envelope().original_name, "");
    ASSERT_TRUE(analysis.envelope().content.is_assigned());
    EXPECT_EQ(text_of(analysis.envelope().content.value()), document_text);
    ASSERT_TRUE(analysis.envelope().signatures.is_assigned());
    ASSERT_EQ(analysis.signatures().size(), 1u);
    const Signature_info& signature = analysis.signatures()[0];
    ASSERT_TRUE(signature.signer.is_assigned());
    EXPECT_EQ(signer_name(signature), "Mario Rossi");
    EXPECT_FALSE(signature.signer.value().der().empty());
    EXPECT_TRUE(signature.signing_time.is_assigned());
    EXPECT_TRUE(signature.signature_matches());
    EXPECT_TRUE(analysis.envelope().all_signatures_match());
}

TEST(Envelope_forms, der_base64_and_smime_forms_decode_to_the_same_document)
{
    // The fixture is small enough to be read whole: mapped here, so that the mapped path is the one
    // tested.
    std::size_t mark = test::trace_mark();
    const uint64_t threshold = Binary_file_read::mapping_threshold();
    Binary_file_read::set_mapping_threshold(0);
    const Analysis der = analyse_file(test::fixture("document.txt.p7m").string());
    Binary_file_read::set_mapping_threshold(threshold);
    expect_document_signed_by_mario(der);
    EXPECT_EQ(der.encoding(), Pkcs7::Encoding::Der);
    // The binary envelope's document is read where the mapped file holds it, not copied.
    EXPECT_TRUE(is_range_of_file(der));
    // The binary form is tried first and taken: no other form is tried.
    EXPECT_TRUE(test::traced(Level_info, {"PKCS#7"}, mark));
    EXPECT_TRUE(test::traced(Level_trace, {"binaria"}, mark));
    EXPECT_FALSE(test::traced(Level_trace, {"base64"}, mark));
    EXPECT_FALSE(test::traced(Level_trace, {"MIME"}, mark));
    mark = test::trace_mark();

    const Analysis ber = analyse_file(test::fixture("document.ber.p7m").string());
    expect_document_signed_by_mario(ber);
    EXPECT_EQ(ber.encoding(), Pkcs7::Encoding::Der);

    for (const char* name : {"document.base64.p7m", "document.base64-line.p7m"}) {
        const Analysis base64 = analyse_file(test::fixture(name).string());
        expect_document_signed_by_mario(base64);
        EXPECT_EQ(base64.encoding(), Pkcs7::Encoding::Base64) << name;
    }
    // Text forms: the binary attempt fails, then the MIME reader decodes the base64.
    EXPECT_TRUE(test::traced(Level_trace, {"binario"}, mark));
    EXPECT_TRUE(test::traced(Level_trace, {"base64"}, mark));
    EXPECT_TRUE(test::traced(Level_trace, {"MIME"}, mark));

    const Analysis smime = analyse_file(test::fixture("document.smime.p7m").string());
    expect_document_signed_by_mario(smime);
    EXPECT_EQ(smime.encoding(), Pkcs7::Encoding::Smime);
}

TEST(Envelope_forms, text_is_cut_at_a_zero_byte_and_a_byte_order_mark_is_not_binary)
{
    const std::vector<uint8_t> der = test::fixture_bytes("document.txt.p7m");
    const std::string text = test::base64(der, true);

    // A byte-order mark is not base64: the text skips the binary attempt and is then refused.
    const std::size_t mark = test::trace_mark();
    const Analysis with_mark = analyse_bytes(test::as_bytes("\xEF\xBB\xBF" + text));
    EXPECT_TRUE(test::traced(Level_trace, {"binario"}, mark));
    EXPECT_EQ(with_mark.parser->error_message(), "L'analisi del file è fallita.");

    // Whatever follows a zero byte is not part of the text.
    const Analysis trailing = analyse_bytes(test::as_bytes(text + std::string("\0\x30\x80 rumore", 10)));
    expect_document_signed_by_mario(trailing);

    const Analysis cut = analyse_bytes(test::as_bytes(text.substr(0, 200) + std::string(1, '\0') + text.substr(200)));
    EXPECT_EQ(cut.parser->status(), Parser_status::Error);
    EXPECT_EQ(cut.parser->error_message(), "L'analisi del file è fallita.");
    EXPECT_EQ(cut.info->envelope.state(), Assignable_state::Pending);
}

TEST(Envelope_layers, nested_envelope_hands_over_the_inner_one_intact)
{
    const Analysis outer = analyse_file(test::fixture("document.txt.p7m.p7m").string());
    ASSERT_TRUE(outer.info->envelope.is_assigned());
    ASSERT_EQ(outer.signatures().size(), 1u);
    EXPECT_EQ(signer_name(outer.signatures()[0]), "Anna Bianchi");
    EXPECT_TRUE(outer.envelope().all_signatures_match());
    const std::vector<uint8_t> inner_bytes = outer.envelope().content.value().to_vector();
    EXPECT_EQ(inner_bytes, test::fixture_bytes("document.txt.p7m"));

    const Analysis inner = analyse_bytes(inner_bytes, "document.txt.p7m");
    expect_document_signed_by_mario(inner);
}

TEST(Envelope_signatures, every_signer_is_listed_and_checked)
{
    // The signer list is a DER SET, kept in the order of its encoding, not of the signing.
    const Analysis both = analyse_file(test::fixture("two-signers.p7m").string());
    ASSERT_EQ(both.signatures().size(), 2u);
    std::set<std::string> names{signer_name(both.signatures()[0]), signer_name(both.signatures()[1])};
    EXPECT_EQ(names, (std::set<std::string>{"Mario Rossi", "Anna Bianchi"}));
    EXPECT_TRUE(both.signatures()[0].signature_matches());
    EXPECT_TRUE(both.signatures()[1].signature_matches());
    EXPECT_TRUE(both.envelope().all_signatures_match());
    EXPECT_NE(both.signatures()[0].signer.value().der(), both.signatures()[1].signer.value().der());
}

TEST(Envelope_signatures, altered_document_or_signature_does_not_match)
{
    // One byte of the document changed after signing: it still extracts, but its digest differs.
    const Analysis tampered = analyse_file(test::fixture("tampered.p7m").string());
    ASSERT_TRUE(tampered.envelope().content.is_assigned());
    EXPECT_EQ(text_of(tampered.envelope().content.value()), "Contratto di prova: CONTENUTO-ORIGINALX.\n");
    ASSERT_EQ(tampered.signatures().size(), 1u);
    EXPECT_EQ(tampered.signatures()[0].integrity.state(), Assignable_state::Assigned);
    EXPECT_EQ(tampered.signatures()[0].integrity.value(), Signature_integrity::Not_intact);
    EXPECT_FALSE(tampered.signatures()[0].signature_matches());
    EXPECT_FALSE(tampered.envelope().all_signatures_match());
    EXPECT_TRUE(test::traced(Level_error, {"La firma non corrisponde al documento."}));

    const auto document = test::as_bytes(document_text);
    test::Envelope_options damaged;
    damaged.damage_signature = true;
    const Analysis bad_value = analyse_bytes(test::build_envelope(document, damaged));
    ASSERT_EQ(bad_value.signatures().size(), 1u);
    EXPECT_EQ(bad_value.signatures()[0].integrity.value(), Signature_integrity::Not_intact);

    // Only one of two signers altered: the envelope as a whole does not match.
    damaged.signers = 2;
    const Analysis one_of_two = analyse_bytes(test::build_envelope(document, damaged));
    ASSERT_EQ(one_of_two.signatures().size(), 2u);
    EXPECT_NE(one_of_two.signatures()[0].signature_matches(), one_of_two.signatures()[1].signature_matches());
    EXPECT_FALSE(one_of_two.envelope().all_signatures_match());

    // Without signed attributes the key signs the document's digest itself.
    test::Envelope_options bare;
    bare.signed_attributes = false;
    std::vector<uint8_t> envelope = test::build_envelope(document, bare);
    const Analysis plain = analyse_bytes(envelope);
    EXPECT_TRUE(plain.envelope().all_signatures_match());
    EXPECT_EQ(plain.signatures()[0].signing_time.state(), Assignable_state::Unavailable);
    const auto at = std::search(envelope.begin(), envelope.end(), document.begin(), document.end());
    ASSERT_NE(at, envelope.end());
    *at ^= 0x20;
    const Analysis plain_tampered = analyse_bytes(envelope);
    ASSERT_EQ(plain_tampered.signatures().size(), 1u);
    EXPECT_FALSE(plain_tampered.signatures()[0].signature_matches());
}

TEST(Envelope_signatures, signed_attributes_must_state_this_content_once)
{
    const auto document = test::as_bytes(document_text);
    // The same attributes signed again by the builder: the control that its signatures are good.
    test::Envelope_options resigned;
    resigned.signed_content_type = NID_pkcs7_data;
    const Analysis control = analyse_bytes(test::build_envelope(document, resigned));
    ASSERT_EQ(control.signatures().size(), 1u);
    EXPECT_TRUE(control.signatures()[0].signature_matches());

    // A valid signature whose attributes name another content type, or state the digest twice.
    test::Envelope_options other_type;
    other_type.signed_content_type = NID_pkcs7_signed;
    test::Envelope_options two_digests;
    two_digests.repeated_message_digest = true;
    for (const auto& options : {other_type, two_digests}) {
        const Analysis analysis = analyse_bytes(test::build_envelope(document, options));
        ASSERT_EQ(analysis.signatures().size(), 1u);
        EXPECT_EQ(analysis.signatures()[0].integrity.state(), Assignable_state::Assigned);
        EXPECT_EQ(analysis.signatures()[0].integrity.value(), Signature_integrity::Not_intact);
        EXPECT_FALSE(analysis.envelope().all_signatures_match());
    }
}

TEST(Envelope_signatures, what_cannot_be_checked_never_counts_as_matching)
{
    // A clear-signed message carries its document beside the signature: it is checked against it.
    const Analysis clear_signed = analyse_file(test::fixture("detached.smime.p7m").string());
    ASSERT_TRUE(clear_signed.envelope().content.is_assigned());
    const std::string document = test::read_file(test::fixture("document.txt"));
    EXPECT_EQ(
        std::string(clear_signed.envelope().content.value().begin(), clear_signed.envelope().content.value().end()),
        document);
    EXPECT_TRUE(clear_signed.envelope().all_signatures_match());
    EXPECT_FALSE(clear_signed.envelope().detached);

    for (const char* name : {"detached.p7m"}) {
        const Analysis detached = analyse_file(test::fixture(name).string());
        ASSERT_TRUE(detached.info->envelope.is_assigned()) << name;
        EXPECT_EQ(detached.envelope().content.state(), Assignable_state::Failed) << name;
        EXPECT_EQ(detached.envelope().content.message(),
                  "L'estrazione del documento originale contenuto nella busta PKCS#7 è fallita.");
        ASSERT_EQ(detached.signatures().size(), 1u) << name;
        EXPECT_EQ(signer_name(detached.signatures()[0]), "Mario Rossi");
        EXPECT_EQ(detached.signatures()[0].integrity.state(), Assignable_state::Failed) << name;
        EXPECT_FALSE(detached.envelope().all_signatures_match()) << name;
    }

    test::Envelope_options no_certificate;
    no_certificate.embed_certificate = false;
    const Analysis anonymous = analyse_bytes(test::build_envelope(test::as_bytes(document_text), no_certificate));
    ASSERT_EQ(anonymous.signatures().size(), 1u);
    EXPECT_EQ(anonymous.signatures()[0].signer.state(), Assignable_state::Failed);
    EXPECT_EQ(anonymous.signatures()[0].signer.message(), "La lettura del certificato del firmatario è fallita.");
    EXPECT_EQ(anonymous.signatures()[0].integrity.state(), Assignable_state::Failed);
    EXPECT_FALSE(anonymous.envelope().all_signatures_match());

    // No signer at all: an assigned, empty list, which is never "firmato correttamente".
    test::Envelope_options unsigned_data;
    unsigned_data.signers = 0;
    const Analysis nobody = analyse_bytes(test::build_envelope(test::as_bytes(document_text), unsigned_data));
    ASSERT_TRUE(nobody.envelope().signatures.is_assigned());
    EXPECT_TRUE(nobody.signatures().empty());
    EXPECT_FALSE(nobody.envelope().all_signatures_match());
}

TEST(Envelope_signing_time, only_a_well_formed_utctime_is_shown)
{
    struct Case {
        int type;
        const char* text;
        bool shown;
    };
    const Case cases[] = {
        {V_ASN1_UTCTIME, "491231235959Z", true},
        {V_ASN1_GENERALIZEDTIME, "20491231235959Z", false},
        {V_ASN1_UTCTIME, "491231235959+0100", false},
        {V_ASN1_UTCTIME, "4912312359Z", false},
    };
    for (const auto& c : cases) {
        test::Envelope_options options;
        options.signing_time_type = c.type;
        options.signing_time = c.text;
        const Analysis analysis = analyse_bytes(test::build_envelope(test::as_bytes(document_text), options));
        ASSERT_EQ(analysis.signatures().size(), 1u) << c.text;
        const auto& time = analysis.signatures()[0].signing_time;
        EXPECT_EQ(time.is_assigned(), c.shown) << c.text;
        if (c.shown) {
            EXPECT_EQ(time.value(), (System_time{2049, 12, 0, 31, 23, 59, 59, 0}));
        } else {
            EXPECT_EQ(time.state(), Assignable_state::Unavailable) << c.text;
        }
        EXPECT_TRUE(analysis.signatures()[0].signature_matches()) << c.text;
    }
}

TEST(Envelope_bad_input, other_content_types_and_damaged_files_end_in_their_messages)
{
    // An encrypted PKCS#7 parses but carries neither a readable document nor signers.
    const Analysis enveloped = analyse_file(test::fixture("enveloped.p7m").string());
    ASSERT_TRUE(enveloped.info->envelope.is_assigned());
    EXPECT_EQ(enveloped.envelope().content.state(), Assignable_state::Failed);
    EXPECT_EQ(enveloped.envelope().signatures.state(), Assignable_state::Failed);
    EXPECT_EQ(enveloped.envelope().signatures.message(), "La lettura delle firme è fallita.");

    test::Test_folder folder;
    test::write_file(folder / "vuoto.p7m", "");
    const Analysis empty_file = analyse_file((folder / "vuoto.p7m").string());
    EXPECT_EQ(empty_file.parser->status(), Parser_status::Error);
    EXPECT_EQ(empty_file.parser->error_message(), "La lettura del file specificato è fallita.");
    EXPECT_EQ(empty_file.info->file_data.message(), "Il file è vuoto.");
    EXPECT_TRUE(test::traced(Level_error, {empty_file.parser->error_message()}));

    const Analysis missing = analyse_file((folder / "manca.p7m").string());
    EXPECT_EQ(missing.parser->error_message(), "La lettura del file specificato è fallita.");

    const Analysis empty_buffer = analyse_bytes({});
    EXPECT_EQ(empty_buffer.parser->error_message(), "Il file è vuoto.");

    std::mt19937 random(7);
    std::vector<uint8_t> noise(5000);
    for (auto& b : noise)
        b = static_cast<uint8_t>(random());
    for (std::vector<uint8_t> garbage : {noise, test::as_bytes("Questo non è un documento firmato."),
                                         std::vector<uint8_t>{0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xF0, 0x06},
                                         test::as_bytes("Content-Type: application/pkcs7-mime\n\n!!!!\n")}) {
        const Analysis analysis = analyse_bytes(garbage);
        EXPECT_EQ(analysis.parser->status(), Parser_status::Error);
        EXPECT_EQ(analysis.parser->error_message(), "L'analisi del file è fallita.");
        EXPECT_EQ(analysis.info->envelope.state(), Assignable_state::Pending);
    }

    // Every truncation of each form fails with the parser's message; one that still decodes (only
    // trailing line ends were cut) must be the whole, matching envelope.
    for (const char* name : {"document.txt.p7m", "document.base64.p7m", "document.smime.p7m", "two-signers.p7m"}) {
        const std::vector<uint8_t> whole = test::fixture_bytes(name);
        for (size_t cut = 1; cut < whole.size(); cut += 7) {
            const Analysis analysis =
                analyse_bytes(std::vector<uint8_t>(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut)));
            if (analysis.parser->status() == Parser_status::Error)
                EXPECT_EQ(analysis.parser->error_message(), "L'analisi del file è fallita.") << name << " " << cut;
            else
                EXPECT_TRUE(analysis.envelope().all_signatures_match()) << name << " " << cut;
        }
    }
}

TEST(Envelope_large, many_signers_naming_one_of_many_certificates_are_all_paired_and_checked)
{
    const auto envelope = test::with_repeated_signers(test::build_envelope(test::as_bytes(document_text)), 2000, 2000);
    const Analysis crowd = analyse_bytes(envelope);
    ASSERT_EQ(crowd.signatures().size(), 2000u);
    EXPECT_TRUE(crowd.envelope().all_signatures_match());
    EXPECT_EQ(signer_name(crowd.signatures()[1999]), "Mario Rossi");

    // Closing the layer stops the checks; what was not checked does not match.
    std::atomic<bool> closed{true};
    Pkcs7 decoder(&closed);
    decoder.parse(envelope);
    decoder.extract_original_document();
    decoder.read_signatures();
    decoder.select_signature(1999);
    EXPECT_EQ(decoder.signature_integrity().state(), Assignable_state::Failed);
    EXPECT_EQ(decoder.signature_integrity().message(), "Verifica annullata.");
}

TEST(Envelope_large, a_repeated_signer_is_checked_once_but_a_copy_with_another_signature_on_its_own)
{
    // Equal signed attributes (one signing time written by hand): the copies differ only in the
    // last one's signature value.
    test::Envelope_options fixed;
    fixed.signing_time_type = V_ASN1_UTCTIME;
    fixed.signing_time = "261208120000Z";
    test::Envelope_options damaged = fixed;
    damaged.damage_signature = true;
    const auto document = test::as_bytes(document_text);
    const auto envelope =
        test::with_signers(test::build_envelope(document, fixed), 500, 1, test::build_envelope(document, damaged));
    const Analysis crowd = analyse_bytes(envelope);
    ASSERT_EQ(crowd.signatures().size(), 501u);
    EXPECT_TRUE(crowd.signatures()[499].signature_matches());
    EXPECT_FALSE(crowd.signatures()[500].signature_matches());
    EXPECT_FALSE(crowd.envelope().all_signatures_match());
}

TEST(Envelope_large, hundred_megabyte_document_decodes_and_checks)
{
    std::vector<uint8_t> document(100u * 1024 * 1024);
    for (size_t i = 0; i < document.size(); ++i)
        document[i] = static_cast<uint8_t>(i * 2654435761u >> 24);
    test::Test_folder folder;
    const auto path = folder / "grande.bin.p7m";
    {
        const std::vector<uint8_t> envelope = test::build_envelope(document);
        std::FILE* out = std::fopen(path.c_str(), "wb");
        ASSERT_NE(out, nullptr);
        ASSERT_EQ(std::fwrite(envelope.data(), 1, envelope.size(), out), envelope.size());
        std::fclose(out);
    }
    const auto start = std::chrono::steady_clock::now();
    const Analysis large = analyse_file(path.string());
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    std::printf("100 MB envelope read and decoded in %lld ms\n", static_cast<long long>(elapsed.count()));
    ASSERT_TRUE(large.envelope().content.is_assigned());
    EXPECT_TRUE(large.envelope().content.value() == document);
    EXPECT_TRUE(large.envelope().all_signatures_match());

    // A long base64 text without a single line break.
    document.resize(8u * 1024 * 1024);
    const Analysis one_line = analyse_bytes(test::as_bytes(test::base64(test::build_envelope(document), false)));
    EXPECT_EQ(one_line.encoding(), Pkcs7::Encoding::Base64);
    ASSERT_TRUE(one_line.envelope().content.is_assigned());
    EXPECT_TRUE(one_line.envelope().content.value() == document);
    EXPECT_TRUE(one_line.envelope().all_signatures_match());
}

// What the verifier learns from an analysis, in a form that compares.
std::string outcome_of(const Analysis& analysis)
{
    std::string out = std::to_string(static_cast<int>(analysis.parser->status())) + "|" +
                      analysis.parser->error_message() + "|" + std::to_string(static_cast<int>(analysis.encoding()));
    if (!analysis.info->envelope.is_assigned())
        return out;
    const auto& content = analysis.envelope().content;
    out += "|content " + std::to_string(static_cast<int>(content.state())) + " " +
           (content.is_assigned() ? std::to_string(std::hash<std::string>{}(text_of(content.value())))
                                  : content.message());
    if (!analysis.envelope().signatures.is_assigned())
        return out + "|signatures " + analysis.envelope().signatures.message();
    for (const Signature_info& signature : analysis.signatures())
        out += "|" + std::to_string(static_cast<int>(signature.integrity.state())) + "/" +
               (signature.integrity.is_assigned() ? std::to_string(static_cast<int>(signature.integrity.value()))
                                                  : signature.integrity.message()) +
               "/" + (signature.signer.is_assigned() ? signer_name(signature) : "-");
    return out + (analysis.envelope().all_signatures_match() ? "|intact" : "|not intact");
}

TEST(Envelope_large, a_large_binary_file_gives_what_its_bytes_give_from_memory)
{
    // From a megabyte on, the file is read in two pieces split at the document; whatever the
    // envelope holds, the outcome is that of the same bytes decoded from one buffer.
    std::vector<uint8_t> document(2u * 1024 * 1024 + 7);
    for (size_t i = 0; i < document.size(); ++i)
        document[i] = static_cast<uint8_t>(i * 2654435761u >> 24);
    test::Envelope_options two;
    two.signers = 2;
    test::Envelope_options bad_signature;
    bad_signature.damage_signature = true;
    const std::vector<uint8_t> intact = test::build_envelope(document);
    const std::vector<uint8_t> two_signers = test::build_envelope(document, two);
    // Flipped bits, not a value written: the byte may already hold any value (the signature
    // changes with the signing time).
    auto changed = [&](size_t from_end, uint8_t flipped) {
        std::vector<uint8_t> bytes = intact;
        bytes[bytes.size() - from_end] ^= flipped;
        return bytes;
    };
    std::vector<uint8_t> tampered = intact;
    tampered[tampered.size() / 2] ^= 0x01;
    std::vector<uint8_t> trailing = intact;
    trailing.insert(trailing.end(), {0x00, 0x30, 0x80});
    const std::vector<uint8_t> cut(intact.begin(), intact.end() - 10);
    struct Case {
        std::vector<uint8_t> bytes;
        const char* label;
        bool matches;
    };
    const std::vector<Case> cases = {
        {intact, "intact", true},
        {two_signers, "two signers", true},
        {tampered, "document changed", false},
        {test::build_envelope(document, bad_signature), "signature damaged", false},
        {trailing, "bytes after the envelope", true},
        {cut, "cut short", false},
        {changed(40, 0xff), "signer information damaged", false},
        {changed(1, 0x01), "last byte changed", false},
        {std::vector<uint8_t>(intact.begin(), intact.begin() + 70000), "only the head", false},
    };
    test::Test_folder folder;
    for (const Case& c : cases) {
        const auto path = folder / "grande.bin.p7m";
        {
            std::FILE* out = std::fopen(path.c_str(), "wb");
            ASSERT_NE(out, nullptr);
            ASSERT_EQ(std::fwrite(c.bytes.data(), 1, c.bytes.size(), out), c.bytes.size());
            std::fclose(out);
        }
        const Analysis from_file = analyse_file(path.string());
        const Analysis from_memory = analyse_bytes(c.bytes);
        EXPECT_EQ(outcome_of(from_file), outcome_of(from_memory)) << c.label;
        EXPECT_EQ(from_file.info->envelope.is_assigned() && from_file.envelope().all_signatures_match(), c.matches)
            << c.label << ": " << outcome_of(from_file);
        if (c.matches) {
            EXPECT_TRUE(from_file.envelope().content.value() == document) << c.label;
            EXPECT_TRUE(is_range_of_file(from_file)) << c.label;
        }
    }
}

// A time-stamped file around an envelope: its part in base64 wrapped at `width` with `line_end`
// (width 0: binary), then the reply.
std::string time_stamped(const std::vector<uint8_t>& envelope, size_t width, const std::string& line_end)
{
    std::string part;
    if (width == 0) {
        part.assign(envelope.begin(), envelope.end());
    } else {
        const std::string text = test::base64(envelope, false);
        for (size_t at = 0; at < text.size(); at += width)
            part += text.substr(at, width) + line_end;
    }
    return "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"XYZ\"\r\n\r\n--XYZ\r\n"
           "Content-Type: application/pkcs7-mime\r\nContent-Transfer-Encoding: " +
           std::string(width == 0 ? "binary" : "base64") + "\r\n\r\n" + part +
           "\r\n--XYZ\r\nContent-Type: application/timestamp-reply\r\nContent-Transfer-Encoding: binary\r\n\r\n"
           "RISPOSTA\r\n--XYZ--\r\n";
}

TEST(Envelope_large, a_large_time_stamped_file_gives_what_its_envelope_gives)
{
    // The envelope part is decoded over the file's buffer with its head kept apart, in every
    // transfer encoding and wrapping; the outcome is the envelope's own, damaged or not.
    std::vector<uint8_t> document(1536u * 1024 + 1);
    for (size_t i = 0; i < document.size(); ++i)
        document[i] = static_cast<uint8_t>(i * 2654435761u >> 24);
    const std::vector<uint8_t> intact = test::build_envelope(document);
    std::vector<uint8_t> tampered = intact;
    tampered[tampered.size() / 3] ^= 0x40;
    std::vector<uint8_t> signer_damaged = intact;
    signer_damaged[signer_damaged.size() - 30] ^= 0xff;
    std::vector<uint8_t> not_der(intact.size(), 'z');
    const std::vector<uint8_t> cut(intact.begin(), intact.end() - 10);
    for (const auto& [envelope, label] :
         std::vector<std::pair<std::vector<uint8_t>, std::string>>{{intact, "intact"},
                                                                   {tampered, "document changed"},
                                                                   {signer_damaged, "signer damaged"},
                                                                   {not_der, "not an envelope"},
                                                                   {cut, "cut short"}})
        for (const auto& [width, line_end] : std::vector<std::pair<size_t, std::string>>{
                 {0, ""}, {76, "\r\n"}, {64, "\n"}, {61, "\r\n"}, {1, "\n"}, {100000, "\r\n"}}) {
            const std::string what = label + ", width " + std::to_string(width);
            const std::string message = time_stamped(envelope, width, line_end);
            const Analysis stamped = analyse_bytes(test::as_bytes(message), "contratto.txt.m7m");
            const Analysis alone = analyse_bytes(envelope);
            EXPECT_EQ(outcome_of(stamped), outcome_of(alone)) << what;
            if (label == "intact") {
                EXPECT_TRUE(stamped.envelope().all_signatures_match()) << what;
                EXPECT_EQ(stamped.info->file_data.value(), test::as_bytes("RISPOSTA")) << what;
                // The head was kept apart: the envelope's document starts the file's buffer.
                std::vector<uint8_t> buffer = test::as_bytes(message);
                Mime_envelope_split split;
                ASSERT_TRUE(split.split_taking(buffer)) << what;
                EXPECT_FALSE(split.value().envelope_prefix.empty()) << what;
                std::vector<uint8_t> joined = split.value().envelope_prefix;
                joined.insert(joined.end(), split.value().envelope.begin(), split.value().envelope.end());
                EXPECT_TRUE(joined == envelope) << what;
            }
        }
}

} // namespace
