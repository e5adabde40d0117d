// The DER walk that finds a binary envelope's document without copying it: on every kind of
// envelope it must give exactly what the full OpenSSL reader gives, and fall back to it for
// anything it does not handle.
#include "common/owner.h"
#include "common/trace.h"
#include "envelope/der_walk.h"
#include "envelope/pkcs7.h"
#include "envelope_builder.h"
#include "test_folder.h"

#include <gtest/gtest.h>

#include <openssl/bio.h>
#include <openssl/cms.h>

#include <algorithm>
#include <optional>
#include <sstream>

namespace {

using namespace velin;

std::string& hooked_records()
{
    static std::string records;
    return records;
}

const std::vector<uint8_t> document = test::as_bytes("Contratto di prova: CONTENUTO-ORIGINALE.\n");

std::string describe(const Assignable<Signature_integrity>& integrity)
{
    std::ostringstream out;
    out << static_cast<int>(integrity.state()) << '/'
        << (integrity.is_assigned() ? static_cast<int>(integrity.value()) : 0) << '/' << integrity.message();
    return out.str();
}

// Everything the decoder gives the verifier, in a form that compares.
struct Decoded {
    bool parsed = false;
    bool walked = false;
    Pkcs7::Encoding encoding = Pkcs7::Encoding::None;
    Document_bytes content;
    bool signatures_read = false;
    std::vector<std::string> signers; // certificate DER size, signing time and integrity

    friend bool operator==(const Decoded&, const Decoded&) = default;
};

// shared: the bytes as the parser hands a file over (parse_shared).
Decoded decode(std::vector<uint8_t> bytes, Pkcs7::Der_reading reading, bool taking, bool shared = false)
{
    Pkcs7 decoder(nullptr, reading);
    const std::vector<uint8_t> copy = bytes;
    if (shared)
        decoder.parse_shared(Document_bytes(copy));
    else if (taking)
        decoder.parse_taking(bytes);
    else
        decoder.parse(bytes);
    Decoded decoded;
    decoded.parsed = decoder.parsed();
    decoded.walked = decoder.content_walked();
    decoded.encoding = decoder.encoding();
    if (!taking || !decoded.walked) {
        EXPECT_EQ(bytes, copy) << "the input is left untouched unless the walk took it";
    }
    if (!decoded.parsed)
        return decoded;
    decoder.extract_original_document();
    decoded.content = decoder.release_content();
    decoder.read_signatures();
    decoded.signatures_read = decoder.signatures_read();
    if (!decoded.signatures_read)
        return decoded;
    for (size_t i = 0; i < decoder.signatures_count(); ++i) {
        decoder.select_signature(i);
        decoder.read_signer_certificate();
        decoder.read_signing_time();
        std::ostringstream signer;
        signer << (decoder.certificate_read() ? test::common_name(decoder.signer_certificate().x509()) : "-") << '|';
        if (const auto time = decoder.signing_time())
            signer << time->year << '-' << time->month << '-' << time->day << ' ' << time->hour << ':' << time->minute
                   << ':' << time->second;
        signer << '|' << describe(decoder.signature_integrity());
        decoded.signers.push_back(signer.str());
    }
    return decoded;
}

// Decodes with the walk (from a span and taking the buffer) and with OpenSSL alone; all three
// must agree. Returns the OpenSSL result.
Decoded expect_same_results(const std::vector<uint8_t>& bytes, std::optional<bool> expect_walk,
                            const std::string& label)
{
    const Decoded reference = decode(bytes, Pkcs7::Der_reading::Openssl_only, false);
    EXPECT_FALSE(reference.walked) << label;
    for (bool taking : {false, true}) {
        Decoded walked = decode(bytes, Pkcs7::Der_reading::Walk, taking);
        if (expect_walk) {
            EXPECT_EQ(walked.walked, *expect_walk) << label;
        }
        walked.walked = false;
        EXPECT_TRUE(walked == reference) << label << (taking ? " (buffer taken)" : " (from a span)");
    }
    // As a file is handed over: text forms may be streamed, with the same results.
    Decoded shared = decode(bytes, Pkcs7::Der_reading::Walk, false, true);
    shared.walked = false;
    EXPECT_TRUE(shared == reference) << label << " (as a file)";
    return reference;
}

TEST(Envelope_der_walk, every_kind_of_envelope_gives_the_results_of_the_openssl_reader)
{
    struct Case {
        std::vector<uint8_t> bytes;
        bool walk;
        size_t signers;
        const char* label;
    };
    test::Envelope_options no_certificate;
    no_certificate.embed_certificate = false;
    test::Envelope_options bad_signature;
    bad_signature.damage_signature = true;
    test::Envelope_options two;
    two.signers = 2;
    test::Envelope_options no_attributes;
    no_attributes.signed_attributes = false;
    test::Envelope_options detached;
    detached.detached = true;
    test::Envelope_options none;
    none.signers = 0;
    const std::vector<Case> cases = {
        {test::fixture_bytes("document.txt.p7m"), true, 1, "DER fixture"},
        {test::fixture_bytes("document.ber.p7m"), false, 1, "BER, indefinite lengths"},
        {test::fixture_bytes("two-signers.p7m"), true, 2, "two signers fixture"},
        {test::fixture_bytes("tampered.p7m"), true, 1, "tampered content fixture"},
        {test::fixture_bytes("detached.p7m"), false, 1, "detached fixture"},
        {test::fixture_bytes("document.txt.p7m.p7m"), true, 1, "nested fixture"},
        {test::fixture_bytes("enveloped.p7m"), false, 0, "enveloped data"},
        {test::build_envelope(document, no_certificate), true, 1, "no certificate"},
        {test::build_envelope(document, bad_signature), true, 1, "damaged signature"},
        {test::build_envelope(document, two), true, 2, "two signers, RSA and EC"},
        {test::build_envelope(document, no_attributes), true, 1, "no signed attributes"},
        {test::build_envelope(document, detached), false, 1, "detached, built"},
        {test::build_envelope(document, none), true, 0, "no signers"},
        {test::build_envelope(std::vector<uint8_t>(70000, 'x')), true, 1, "long lengths"},
        // Text forms: plain base64 is decoded and walked, anything else is OpenSSL's.
        {test::fixture_bytes("document.base64.p7m"), true, 1, "base64 fixture"},
        {test::fixture_bytes("document.base64-line.p7m"), true, 1, "base64 on one line"},
        {test::as_bytes(test::base64(test::fixture_bytes("tampered.p7m"), true)), true, 1, "base64, tampered"},
        {test::as_bytes(test::base64(test::fixture_bytes("document.ber.p7m"), true)), false, 1, "base64 of BER"},
        {test::as_bytes(" " + test::base64(test::fixture_bytes("document.txt.p7m"), true)), false, 1,
         "base64 after a space"},
        {test::as_bytes(test::base64(test::fixture_bytes("document.txt.p7m"), true) + "=\n"), false, 1,
         "base64 with stray padding"},
        {test::fixture_bytes("document.smime.p7m"), true, 1, "S/MIME fixture"},
    };
    for (const Case& c : cases) {
        const Decoded reference = expect_same_results(c.bytes, c.walk, c.label);
        if (c.walk) {
            EXPECT_EQ(reference.signers.size(), c.signers) << c.label;
        }
    }

    // The fixtures' verdicts, to be sure the comparison compared something.
    const Decoded intact = decode(test::fixture_bytes("document.txt.p7m"), Pkcs7::Der_reading::Walk, true);
    EXPECT_EQ(intact.content, test::fixture_bytes("document.txt"));
    ASSERT_EQ(intact.signers.size(), 1u);
    EXPECT_NE(intact.signers[0].find("Mario Rossi|"), std::string::npos);
    EXPECT_NE(intact.signers[0].find("/1/"), std::string::npos) << intact.signers[0];
    const Decoded tampered = decode(test::fixture_bytes("tampered.p7m"), Pkcs7::Der_reading::Walk, true);
    ASSERT_EQ(tampered.signers.size(), 1u);
    EXPECT_NE(tampered.signers[0].find("/2/"), std::string::npos) << tampered.signers[0];
    const Decoded missing = decode(test::build_envelope(document, no_certificate), Pkcs7::Der_reading::Walk, true);
    ASSERT_EQ(missing.signers.size(), 1u);
    EXPECT_NE(missing.signers[0].find("Il certificato del firmatario non è nella busta."), std::string::npos);
}

TEST(Envelope_der_walk, traces_are_those_of_the_openssl_reader)
{
    const std::vector<uint8_t> bytes = test::fixture_bytes("two-signers.p7m");
    auto run = [&](Pkcs7::Der_reading reading) {
        hooked_records().clear();
        set_trace_hook([](int, int level, const std::string& message) {
            hooked_records() += std::to_string(level) + ' ' + message + '\n';
        });
        decode(bytes, reading, true);
        set_trace_hook(nullptr);
        return hooked_records();
    };
    const std::string walked = run(Pkcs7::Der_reading::Walk);
    EXPECT_NE(walked.find("Verifica della firma 2"), std::string::npos) << walked;
    EXPECT_EQ(walked, run(Pkcs7::Der_reading::Openssl_only));
}

TEST(Envelope_der_walk, hostile_envelopes_are_read_as_the_openssl_reader_reads_them)
{
    const std::vector<uint8_t> good = test::fixture_bytes("document.txt.p7m");
    // Every truncation, and a stray byte after the envelope.
    for (size_t size = 0; size < good.size(); ++size)
        expect_same_results(std::vector<uint8_t>(good.begin(), good.begin() + static_cast<ptrdiff_t>(size)), false,
                            "cut at " + std::to_string(size));
    const std::string text = test::base64(good, true);
    for (size_t size = 0; size < text.size(); size += 3)
        expect_same_results(test::as_bytes(text.substr(0, size)), false, "base64 cut at " + std::to_string(size));
    std::vector<uint8_t> trailing = good;
    trailing.push_back(0x00);
    expect_same_results(trailing, true, "trailing byte");

    // Every byte of the header region corrupted in turn: lengths that overrun, shrink, go
    // indefinite or huge; tags that change.
    const auto split = split_der_signed_data(good);
    ASSERT_TRUE(split.has_value());
    for (size_t at = 0; at < split->content_offset; ++at)
        for (uint8_t value : {uint8_t{0x00}, uint8_t{0x80}, uint8_t{0x88}, uint8_t{0xff}}) {
            std::vector<uint8_t> damaged = good;
            damaged[at] = value;
            const Decoded reference = decode(damaged, Pkcs7::Der_reading::Openssl_only, false);
            Decoded walked = decode(damaged, Pkcs7::Der_reading::Walk, true);
            walked.walked = false;
            EXPECT_TRUE(walked == reference) << "byte " << at << " = " << int(value);
        }

    // A length of eight bytes claiming far more than there is, and one too long to hold.
    for (const std::vector<uint8_t>& header :
         {std::vector<uint8_t>{0x30, 0x88, 0x7f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x06},
          std::vector<uint8_t>{0x30, 0x89, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x05, 0x06}, std::vector<uint8_t>{0x30},
          std::vector<uint8_t>{0x30, 0x80, 0x00, 0x00}, std::vector<uint8_t>{0x3f, 0x01, 0x00}}) {
        EXPECT_FALSE(split_der_signed_data(header).has_value());
        expect_same_results(header, false, "short header");
    }
}

// An S/MIME message built around the base64 of an envelope: header lines, then the body.
std::vector<uint8_t> smime(const std::string& headers, const std::string& body)
{
    return test::as_bytes(headers + body);
}

std::string wrapped(const std::vector<uint8_t>& der, size_t width, const std::string& line_end)
{
    const std::string text = test::base64(der, false);
    std::string out;
    for (size_t at = 0; at < text.size(); at += width)
        out += text.substr(at, width) + line_end;
    return out;
}

TEST(Envelope_der_walk, smime_messages_in_mail_form_are_walked_and_read_as_the_openssl_reader_reads_them)
{
    const std::vector<uint8_t> der = test::fixture_bytes("document.txt.p7m");
    const std::string type = "Content-Type: application/pkcs7-mime; smime-type=signed-data; name=\"smime.p7m\"\n";
    const std::string header = "MIME-Version: 1.0\n" + type + "Content-Transfer-Encoding: base64\n\n";
    const std::string body = wrapped(der, 64, "\n");
    struct Case {
        std::vector<uint8_t> bytes;
        std::optional<bool> walk;
        const char* label;
    };
    std::string crlf_header = header;
    for (size_t at = 0; (at = crlf_header.find('\n', at)) != std::string::npos; at += 2)
        crlf_header.replace(at, 1, "\r\n");
    const std::vector<Case> cases = {
        {smime(header, body), true, "LF lines"},
        {smime(crlf_header, wrapped(der, 76, "\r\n")), true, "CR LF lines of 76"},
        {smime("Content-Type: APPLICATION/X-PKCS7-MIME\n\n", body + "\n\n"), true, "x- type, trailing empty lines"},
        {smime("Content-Type: application/pkcs7-mime\nContent-Transfer-Encoding: binary\n\n", body), true,
         "transfer encoding not base64: the body is still base64 to the reader"},
        {smime("Content-Type: application/pkcs7-mime; smime-type=enveloped-data\n\n", body), true,
         "smime-type not checked by the reader"},
        {smime(crlf_header, wrapped(der, 77, "\r\n")), false, "lines of 77"},
        {smime(header, wrapped(der, 1024, "\n")), false, "lines of 1024, refused by the reader"},
        {smime(header, test::base64(der, false)), false, "one line"},
        {smime(header, "\n" + body), false, "empty line before the body"},
        {smime(header, body.substr(0, 130) + "\n" + body.substr(130)), false, "empty line inside the body"},
        {smime(header, body.substr(0, 64) + "\r" + body.substr(65)), false, "lone CR in the body"},
        {smime(header, " " + body), false, "blank before the body"},
        {smime(header, body + "=\n"), false, "stray padding"},
        {smime(header, body + "Zm9v\n"), std::nullopt, "data after the envelope"},
        {smime("MIME-Version: 1.0\n " + type + "\n", body), false, "content type as a continuation line"},
        {smime("MIME-Version: 1.0\n\f" + type + "\n", body), false, "continuation after a form feed"},
        {smime("MIME-Version: 1.0\n\v" + type + "\n", body), false, "continuation after a vertical tab"},
        {smime(type + type + "\n", body), false, "content type twice"},
        {smime("Content-Type: text/plain\n\n", body), false, "another type"},
        {smime("Content-Type: \"application/pkcs7-mime\"\n\n", body), false, "quoted type"},
        {smime("Content-Type: application/pkcs7-mime (busta)\n\n", body), false, "type with a comment"},
        {smime("Content-Type: multipart/signed; boundary=x\n\n", body), false, "multipart/signed"},
        {smime("MIME-Version 1.0\n" + type + "\n", body), false, "line without a colon"},
        {smime("Content-Type: application/pkcs7-mime\rX: y\n\n", body), false, "lone CR in a header"},
        {smime(std::string("MIME-Version: 1.0\nX-Nota: a\0b\n", 30) + type + "\n", body), false,
         "zero byte in a header, where the readers of whole text stop"},
        {smime(type + "X-Lunga: " + std::string(1100, 'a') + "\n\n", body), false, "header line too long"},
        {smime(header, wrapped(test::fixture_bytes("document.ber.p7m"), 64, "\n")), false, "BER envelope"},
        {smime(header, wrapped(test::fixture_bytes("tampered.p7m"), 64, "\n")), true, "tampered envelope"},
        {smime(header, wrapped(test::fixture_bytes("enveloped.p7m"), 64, "\n")), false, "enveloped data"},
        {smime(header, wrapped(test::fixture_bytes("two-signers.p7m"), 64, "\n")), true, "two signers"},
    };
    for (const Case& c : cases) {
        const Decoded reference = expect_same_results(c.bytes, c.walk, c.label);
        if (c.walk.value_or(false)) {
            EXPECT_EQ(reference.encoding, Pkcs7::Encoding::Smime) << c.label;
            EXPECT_FALSE(reference.signers.empty()) << c.label;
        }
    }

    // Any line width up to the mail limit, in both line end styles, ending with or without one.
    for (size_t width : {1, 2, 3, 5, 17, 61, 63, 65, 75, 76})
        for (const std::string line_end : {"\n", "\r\n"}) {
            const std::string lines = wrapped(der, width, line_end);
            const std::string label = "width " + std::to_string(width);
            expect_same_results(smime(header, lines), true, label);
            expect_same_results(smime(header, lines.substr(0, lines.size() - line_end.size())), true,
                                label + ", last line open");
        }

    // Every cut of a message, and every header byte changed in turn.
    const std::vector<uint8_t> good = smime(header, body);
    for (size_t size = 0; size < good.size(); size += 7)
        expect_same_results(std::vector<uint8_t>(good.begin(), good.begin() + static_cast<ptrdiff_t>(size)),
                            std::nullopt, "S/MIME cut at " + std::to_string(size));
    for (size_t at = 0; at < header.size() + 2; ++at)
        for (uint8_t value : {uint8_t{'\n'}, uint8_t{'\r'}, uint8_t{' '}, uint8_t{':'}, uint8_t{';'}, uint8_t{0}}) {
            std::vector<uint8_t> damaged = good;
            damaged[at] = value;
            expect_same_results(damaged, std::nullopt,
                                "S/MIME byte " + std::to_string(at) + " = " + std::to_string(value));
        }
}

TEST(Envelope_der_walk, the_document_is_found_from_the_head_and_the_split_works_on_two_pieces)
{
    const std::vector<uint8_t> bytes = test::build_envelope(std::vector<uint8_t>(300, 'a'));
    const auto whole = split_der_signed_data(bytes);
    ASSERT_TRUE(whole.has_value());
    const std::span<const uint8_t> all(bytes);
    for (size_t head = 0; head <= whole->content_offset + 3; ++head) {
        const auto offset = der_signed_data_content_offset(all.first(head), bytes.size());
        EXPECT_EQ(offset.has_value(), head >= whole->content_offset) << head;
        if (offset) {
            EXPECT_EQ(*offset, whole->content_offset);
        }
    }
    // The size decides every length: a shorter or longer file is not the same envelope.
    EXPECT_FALSE(der_signed_data_content_offset(all.first(200), bytes.size() - 1).has_value());
    EXPECT_FALSE(der_signed_data_content_offset(all.first(200), 100).has_value());
    EXPECT_TRUE(der_signed_data_content_offset(all.first(200), bytes.size() + 5).has_value());

    // Cut anywhere, the two pieces split as the whole.
    for (size_t at = 0; at <= bytes.size(); ++at) {
        const auto pieces = split_der_signed_data(all.first(at), all.subspan(at));
        ASSERT_TRUE(pieces.has_value()) << at;
        EXPECT_EQ(pieces->content_offset, whole->content_offset);
        EXPECT_EQ(pieces->content_size, whole->content_size);
        EXPECT_EQ(pieces->without_content, whole->without_content) << at;
    }
    EXPECT_FALSE(split_der_signed_data(all.first(100), all.subspan(101)).has_value());
}

TEST(Envelope_der_walk, the_split_points_at_the_document_and_leaves_it_out)
{
    const std::vector<uint8_t> bytes = test::build_envelope(std::vector<uint8_t>(300, 'a'));
    const auto split = split_der_signed_data(bytes);
    ASSERT_TRUE(split.has_value());
    EXPECT_EQ(split->content_size, 300u);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + static_cast<ptrdiff_t>(split->content_offset),
                                   bytes.begin() + static_cast<ptrdiff_t>(split->content_offset + 300)),
              std::vector<uint8_t>(300, 'a'));
    // The rest reads as the same envelope without its document.
    const unsigned char* in = split->without_content.data();
    const Cms_handle reduced(d2i_CMS_ContentInfo(nullptr, &in, static_cast<long>(split->without_content.size())));
    ASSERT_NE(reduced.get(), nullptr);
    EXPECT_EQ(in, split->without_content.data() + split->without_content.size());
    ASSERT_NE(CMS_get0_content(reduced.get()), nullptr);
    EXPECT_EQ(*CMS_get0_content(reduced.get()), nullptr);
    EXPECT_EQ(sk_CMS_SignerInfo_num(CMS_get0_SignerInfos(reduced.get())), 1);
    EXPECT_LT(split->without_content.size(), bytes.size() - 300);
    EXPECT_FALSE(split_der_signed_data(test::build_envelope(std::vector<uint8_t>(300, 'a'),
                                                            [] {
                                                                test::Envelope_options detached;
                                                                detached.detached = true;
                                                                return detached;
                                                            }()))
                     .has_value());
}

// Where the last signer of a binary envelope starts: the signers end the envelope, as they end
// the envelope without its document.
size_t last_signer_offset(const std::vector<uint8_t>& envelope)
{
    const auto reduced = split_der_signed_data(envelope);
    const auto split = reduced ? split_der_signers(reduced->without_content) : std::nullopt;
    if (!split || split->signers.empty())
        return 0;
    return envelope.size() - reduced->without_content.size() + split->signers.back().offset;
}

TEST(Envelope_der_walk, many_signers_decoded_a_few_at_a_time_give_the_results_of_the_openssl_reader)
{
    test::Envelope_options two;
    two.signers = 2;
    test::Envelope_options bad_signature;
    bad_signature.damage_signature = true;
    const std::vector<uint8_t> crowd =
        test::with_signers(test::build_envelope(document, two), 150, 3, test::build_envelope(document, bad_signature));
    std::vector<uint8_t> undecodable = crowd;
    const size_t last = last_signer_offset(undecodable);
    ASSERT_GT(last, 0u);
    // The last signer's version is no INTEGER: still a SEQUENCE to the walk, refused by OpenSSL.
    const size_t header = undecodable[last + 1] < 0x80 ? 2 : 2 + (undecodable[last + 1] & 0x7f);
    ASSERT_EQ(undecodable[last + header], 0x02);
    undecodable[last + header] = 0x05;

    const Decoded mixed = expect_same_results(crowd, true, "301 signers, the last damaged");
    ASSERT_EQ(mixed.signers.size(), 301u);
    const auto named = [&](const std::string& name) {
        return std::count_if(mixed.signers.begin(), mixed.signers.end(),
                             [&](const std::string& signer) { return signer.starts_with(name + "|"); });
    };
    EXPECT_EQ(named("Mario Rossi"), 151);
    EXPECT_EQ(named("Anna Bianchi"), 150);
    EXPECT_NE(mixed.signers[299].find("/1/"), std::string::npos) << mixed.signers[299];
    EXPECT_NE(mixed.signers[300].find("/2/"), std::string::npos) << mixed.signers[300];
    expect_same_results(test::as_bytes(test::base64(crowd, true)), true, "301 signers in base64");
    EXPECT_FALSE(expect_same_results(undecodable, std::nullopt, "an undecodable signer among many").parsed);

    // The signer list set apart: pieces one after the other, the rest an envelope without signers.
    const auto reduced = split_der_signed_data(crowd);
    ASSERT_TRUE(reduced.has_value());
    const auto split = split_der_signers(reduced->without_content);
    ASSERT_TRUE(split.has_value());
    ASSERT_EQ(split->signers.size(), 301u);
    for (size_t i = 1; i < split->signers.size(); ++i)
        EXPECT_EQ(split->signers[i].offset, split->signers[i - 1].offset + split->signers[i - 1].size);
    const auto decoded_signers = [](const std::vector<uint8_t>& der) {
        const unsigned char* in = der.data();
        const Cms_handle cms(d2i_CMS_ContentInfo(nullptr, &in, static_cast<long>(der.size())));
        return cms && in == der.data() + der.size() ? sk_CMS_SignerInfo_num(CMS_get0_SignerInfos(cms.get())) : -1;
    };
    EXPECT_EQ(decoded_signers(split->without_signers), 0);
    const std::span<const uint8_t> bytes(reduced->without_content);
    EXPECT_EQ(
        decoded_signers(der_signed_data_with_signers(
            *split, bytes.subspan(split->signers[10].offset, split->signers[12].offset - split->signers[10].offset))),
        2);
    EXPECT_EQ(decoded_signers(der_signed_data_with_signers(*split, {})), 0);

    // Anything but a SET of SEQUENCEs closing the SignedData is not set apart.
    const auto refused = [&](size_t at, uint8_t value) {
        std::vector<uint8_t> changed = reduced->without_content;
        changed[at] = value;
        return !split_der_signers(changed).has_value();
    };
    EXPECT_TRUE(refused(split->signers[5].offset, 0x31)) << "a signer that is no SEQUENCE";
    const size_t list_size = split->signers.back().offset + split->signers.back().size - split->signers[0].offset;
    ASSERT_GT(list_size, 0xffffu);
    ASSERT_LT(list_size, 0x1000000u);
    EXPECT_TRUE(refused(split->signers[0].offset - 5, 0x30)) << "no SET";
    EXPECT_FALSE(split_der_signers(bytes.first(bytes.size() - 1)).has_value());
    EXPECT_FALSE(split_der_signers(crowd).has_value()) << "an envelope that still holds its document";
    for (size_t size : {0, 1, 2, 10, 100})
        EXPECT_FALSE(split_der_signers(bytes.first(size)).has_value());
}

TEST(Envelope_der_walk, pem_armour_is_streamed_as_its_base64_body_and_gives_the_results_of_the_openssl_reader)
{
    const std::string body = test::base64(test::fixture_bytes("two-signers.p7m"), true);
    const std::string crlf_body = [&] {
        std::string out;
        for (char c : body)
            out += c == '\n' ? std::string("\r\n") : std::string(1, c);
        return out;
    }();
    struct Case {
        std::string text;
        bool streamed;
    };
    const std::vector<Case> cases = {
        {"-----BEGIN CMS-----\n" + body + "-----END CMS-----\n", true},
        {"-----BEGIN PKCS7-----\r\n" + crlf_body + "-----END PKCS7-----\r\n\r\n  ", true},
        {"-----BEGIN PKCS7-----\n" + body + "-----END PKCS7-----", true},
        // Anything else is left to the OpenSSL reader.
        {"-----BEGIN PKCS7-----\n" + body + "-----END CMS-----\n", false},
        {"-----BEGIN CMS-----\nProc-Type: 4,ENCRYPTED\n\n" + body + "-----END CMS-----\n", false},
        {"-----BEGIN CMS-----\n" + body + "-----END CMS-----\ntrailing\n", false},
        {"-----BEGIN CMS----- \n" + body + "-----END CMS-----\n", false},
        {"-----BEGIN CMS-----\n" + body.substr(0, body.size() / 2) + "\n-----END CMS-----\n", false},
    };
    for (const Case& c : cases) {
        const Decoded reference = decode(test::as_bytes(c.text), Pkcs7::Der_reading::Openssl_only, false);
        Decoded shared = decode(test::as_bytes(c.text), Pkcs7::Der_reading::Walk, false, true);
        EXPECT_EQ(shared.walked, c.streamed) << c.text.substr(0, 40);
        shared.walked = false;
        EXPECT_TRUE(shared == reference) << c.text.substr(0, 40);
        if (c.streamed) {
            EXPECT_EQ(reference.encoding, Pkcs7::Encoding::Base64);
            ASSERT_EQ(reference.signers.size(), 2u);
            EXPECT_EQ(reference.content, test::fixture_bytes("document.txt"));
        }
    }
}

// An envelope as a streaming signer writes it: BER of indefinite lengths, the document in pieces.
std::vector<uint8_t> streamed_envelope(const std::vector<uint8_t>& content)
{
    const test::Signing_key signer = test::signing_key(1);
    const Owner<BIO> in(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
    const Cms_handle cms(
        CMS_sign(signer.certificate.get(), signer.key.get(), nullptr, in.get(), CMS_BINARY | CMS_STREAM));
    const Owner<BIO> out(BIO_new(BIO_s_mem()));
    if (!cms || i2d_CMS_bio_stream(out.get(), cms.get(), in.get(), CMS_BINARY | CMS_STREAM) != 1)
        throw std::runtime_error("streaming the test envelope failed");
    const char* data = nullptr;
    const long size = BIO_get_mem_data(out.get(), &data);
    return {reinterpret_cast<const uint8_t*>(data), reinterpret_cast<const uint8_t*>(data) + size};
}

TEST(Envelope_der_walk, a_ber_envelope_s_document_is_read_in_its_pieces_where_the_file_holds_them)
{
    std::vector<uint8_t> large(300000);
    for (size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<uint8_t>(i * 2654435761u >> 24);
    const std::vector<uint8_t> ber = streamed_envelope(large);
    const auto split = split_ber_signed_data(ber);
    ASSERT_TRUE(split.has_value());
    ASSERT_TRUE(split->in_pieces);
    EXPECT_EQ(split->content_size, large.size());
    std::vector<uint8_t> joined;
    size_t slices = 0;
    EXPECT_TRUE(
        read_octet_string_pieces(std::span<const uint8_t>(ber).subspan(split->pieces_offset, split->pieces_size), 1000,
                                 [&](std::span<const uint8_t> slice) {
                                     EXPECT_LE(slice.size(), 1000u);
                                     joined.insert(joined.end(), slice.begin(), slice.end());
                                     return ++slices < 100000;
                                 }));
    EXPECT_EQ(joined, large);

    Pkcs7 decoder;
    decoder.parse_shared(Document_bytes(ber));
    ASSERT_TRUE(decoder.content_walked());
    decoder.extract_original_document();
    const Document_bytes content = decoder.release_content();
    EXPECT_TRUE(content.is_encoded());
    EXPECT_EQ(content.size(), large.size());
    EXPECT_TRUE(content == large);
    EXPECT_EQ(content.range(1000, 5000).to_vector(), std::vector<uint8_t>(large.begin() + 1000, large.begin() + 6000));
    decoder.read_signatures();
    decoder.select_signature(0);
    EXPECT_EQ(describe(decoder.signature_integrity()), "2/1/");

    // Whatever the bytes, the results are those of the OpenSSL reader.
    const auto changed = [&](size_t at, uint8_t value) {
        std::vector<uint8_t> bytes = ber;
        bytes[at] = value;
        return bytes;
    };
    const size_t first_piece = split->pieces_offset;
    EXPECT_EQ(expect_same_results(ber, false, "streamed, 300 kB").signers.size(), 1u);
    EXPECT_EQ(expect_same_results(streamed_envelope({'x'}), false, "streamed, one byte").signers.size(), 1u);
    expect_same_results(changed(ber.size() / 2, ber[ber.size() / 2] ^ 1), std::nullopt, "a byte changed");
    expect_same_results(changed(first_piece, 0x24), std::nullopt, "a piece made constructed");
    expect_same_results(changed(first_piece, 0x05), std::nullopt, "a piece of another type");
    expect_same_results(changed(ber.size() - 1, 1), std::nullopt, "no end of contents");
    expect_same_results(std::vector<uint8_t>(ber.begin(), ber.end() - 3), std::nullopt, "cut short");
    std::vector<uint8_t> trailing = ber;
    trailing.insert(trailing.end(), {0x30, 0x80, 0x00});
    expect_same_results(trailing, std::nullopt, "bytes after the envelope");
    // Pieces of a piece, which OpenSSL reads too, are left to it.
    std::vector<uint8_t> nested = test::fixture_bytes("document.ber.p7m");
    const auto fixture_split = split_ber_signed_data(nested);
    ASSERT_TRUE(fixture_split.has_value());
    nested.insert(nested.begin() + static_cast<ptrdiff_t>(fixture_split->pieces_offset), {0x24, 0x80});
    nested.insert(nested.begin() +
                      static_cast<ptrdiff_t>(fixture_split->pieces_offset + 2 + fixture_split->pieces_size),
                  {0x00, 0x00});
    EXPECT_FALSE(split_ber_signed_data(nested).has_value());
    EXPECT_EQ(expect_same_results(nested, false, "pieces of a piece").content, test::fixture_bytes("document.txt"));
    for (size_t size : {0, 1, 2, 16, 100})
        EXPECT_FALSE(split_ber_signed_data(std::span<const uint8_t>(ber).first(size)).has_value());
}

} // namespace
