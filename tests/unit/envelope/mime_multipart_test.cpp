#include "envelope/mime_envelope_split.h"
#include "envelope/mime_multipart_reader.h"
#include "envelope/mime_multipart_stream.h"
#include "envelope/vector_stream.h"

#include "test_folder.h"
#include "trace_records.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <string>

namespace velin {
namespace {

const std::filesystem::path Fixtures = M7M_FIXTURES;

std::span<const byte> multipart_bytes(const std::string& text)
{
    return {reinterpret_cast<const byte*>(text.data()), text.size()};
}

std::string text(const std::vector<byte>& data)
{
    return {data.begin(), data.end()};
}

std::string fixture(const std::string& name)
{
    const std::string content = test::read_file(Fixtures / name);
    if (content.empty())
        throw std::runtime_error("missing fixture " + (Fixtures / name).string() + ": run make-fixtures.sh");
    return content;
}

// The split over the file's own buffer, as the verifier runs it, must give what the split of the
// same bytes held elsewhere gives, and leave the buffer whole or empty.
void expect_same_split_in_place(const std::string& file, const Mime_envelope_split& split)
{
    std::vector<byte> buffer(file.begin(), file.end());
    Mime_envelope_split taking;
    EXPECT_EQ(taking.split_taking(buffer), split.succeeded());
    EXPECT_EQ(taking.result(), split.result());
    EXPECT_EQ(taking.message(), split.message());
    EXPECT_TRUE(buffer.empty() || text(buffer) == file);
    if (split.succeeded() && taking.succeeded()) {
        EXPECT_TRUE(split.value().envelope_prefix.empty());
        std::vector<byte> envelope = taking.value().envelope_prefix;
        envelope.insert(envelope.end(), taking.value().envelope.begin(), taking.value().envelope.end());
        EXPECT_EQ(envelope, split.value().envelope);
        EXPECT_FALSE(taking.value().envelope.empty());
        EXPECT_EQ(taking.value().timestamp_reply, split.value().timestamp_reply);
    }
}

// "ok" on success, otherwise the result code and the message.
std::string split_outcome(const std::string& file)
{
    Mime_envelope_split split;
    const bool ok = split.split(multipart_bytes(file));
    expect_same_split_in_place(file, split);
    if (ok)
        return "ok";
    return std::to_string(split.result()) + ": " + split.message();
}

const std::string Head = "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"XYZ\"\r\n\r\n";
const std::string Envelope_part = "--XYZ\r\nContent-Type: application/pkcs7-mime\r\n"
                                  "Content-Transfer-Encoding: binary\r\n\r\nENVELOPE";
const std::string Reply_part = "\r\n--XYZ\r\nContent-Type: application/timestamp-reply\r\n"
                               "Content-Transfer-Encoding: base64\r\n\r\nUkVQTFk=";
const std::string Close = "\r\n--XYZ--\r\n";

TEST(Mime_envelope_split, SamplesGiveBackTheEnvelopeAndTheReply)
{
    test::private_environment();
    const std::string envelope = fixture("document.txt.p7m");
    const std::string reply = fixture("document.txt.tsr");
    int samples = 0;
    for (const auto& entry : std::filesystem::directory_iterator(Fixtures / "samples")) {
        SCOPED_TRACE(entry.path().filename().string());
        ++samples;
        Mime_envelope_split split;
        const std::string sample = test::read_file(entry.path());
        ASSERT_TRUE(split.split(multipart_bytes(sample))) << split.message();
        expect_same_split_in_place(sample, split);
        EXPECT_EQ(text(split.value().envelope), envelope);
        EXPECT_EQ(text(split.value().timestamp_reply), reply);
    }
    EXPECT_EQ(samples, 5);

    // What comes out is what the decoders downstream take: a SignedData and a granted reply.
    const auto* p = reinterpret_cast<const unsigned char*>(envelope.data());
    PKCS7* pkcs7 = d2i_PKCS7(nullptr, &p, static_cast<long>(envelope.size()));
    ASSERT_NE(pkcs7, nullptr);
    EXPECT_TRUE(PKCS7_type_is_signed(pkcs7));
    PKCS7_free(pkcs7);
    p = reinterpret_cast<const unsigned char*>(reply.data());
    TS_RESP* response = d2i_TS_RESP(nullptr, &p, static_cast<long>(reply.size()));
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(ASN1_INTEGER_get(TS_STATUS_INFO_get0_status(TS_RESP_get_status_info(response))), 0);
    TS_RESP_free(response);

    EXPECT_TRUE(test::traced(Level_trace, {"base64"}));
    EXPECT_TRUE(test::traced(Level_trace, {"binary"}));
}

TEST(Mime_envelope_split, PartRules)
{
    const std::string message = Head + Envelope_part + Reply_part + Close;
    EXPECT_EQ(split_outcome(message), "ok");
    Mime_envelope_split split;
    ASSERT_TRUE(split.split(multipart_bytes(message)));
    EXPECT_EQ(text(split.value().envelope), "ENVELOPE");
    EXPECT_EQ(text(split.value().timestamp_reply), "REPLY");

    // Leading line ends and a byte-order mark; the reply first; types in any case.
    std::string swapped = "\r\n\xEF\xBB\xBF" + Head + Reply_part.substr(2) + "\r\n" + Envelope_part + Close;
    swapped.replace(swapped.find("application/pkcs7-mime"), 22, "Application/PKCS7-MIME");
    EXPECT_EQ(split_outcome(swapped), "ok");

    // A second part of a type replaces the first; a part without a type is ignored.
    const std::string twice = Head +
                              "--XYZ\r\nContent-Type: application/pkcs7-mime\r\n"
                              "Content-Transfer-Encoding: binary\r\n\r\nFIRST" +
                              "\r\n--XYZ\r\nX-Note: nothing\r\n\r\ntext" + "\r\n" + Envelope_part + Reply_part + Close;
    ASSERT_TRUE(split.split(multipart_bytes(twice)));
    EXPECT_EQ(text(split.value().envelope), "ENVELOPE");

    // The content ends before the delimiter's line end, whatever bytes it holds.
    const char raw[] = "\r\n--XY\r\n--XYZZ\r\n--XYZ-\r\n-XYZ\r\n--XYZ--x\r\n\n--XYZ \r\n\0\r";
    const std::string binary(raw, sizeof raw - 1);
    const std::string tricky = Head + Envelope_part + binary + Reply_part + Close;
    ASSERT_TRUE(split.split(multipart_bytes(tricky)));
    EXPECT_EQ(text(split.value().envelope), "ENVELOPE" + binary);

    // With LF line ends a CR ending the binary content is content; with CR LF it is the line end.
    const std::string lf =
        "Content-Type: multipart/mixed; boundary=XYZ\n\n--XYZ\nContent-Type: application/pkcs7-mime\n"
        "Content-Transfer-Encoding: binary\n\nENVELOPE\r\n--XYZ\n"
        "Content-Type: application/timestamp-reply\nContent-Transfer-Encoding: binary\n\n"
        "REPLY\r\n--XYZ--\n";
    ASSERT_TRUE(split.split(multipart_bytes(lf)));
    EXPECT_EQ(text(split.value().envelope), "ENVELOPE\r");
    EXPECT_EQ(text(split.value().timestamp_reply), "REPLY\r");
}

TEST(Mime_envelope_split, MessageErrors)
{
    const std::string body = Envelope_part + Reply_part + Close;
    EXPECT_EQ(split_outcome("Content-Type: Multipart/Mixed; boundary=XYZ\r\n\r\n" + body),
              "1: Il documento non è di tipo MIME composito.");
    EXPECT_EQ(split_outcome("Content-Type: multipart/mixed\r\n\r\n" + body), "1: Missing 'boundary' parameter.");
    EXPECT_EQ(split_outcome("Content-Type: multipart/mixed; charset=x\r\n\r\n" + body),
              "1: Missing 'boundary' parameter.");
    EXPECT_EQ(split_outcome("MIME-Version: 1.0\r\n\r\n" + body), "1: Missing 'content-type' header.");
    EXPECT_EQ(split_outcome("\x01\x02\xff\xfe"), "1: Missing 'content-type' header.");
    EXPECT_EQ(split_outcome(std::string(1000, '\0')), "1: Missing 'content-type' header.");
    EXPECT_EQ(split_outcome(Head +
                            "--XYZ\r\nContent-Type: text/plain\r\n\r\nhello\r\n--XYZ\r\n"
                            "Content-Type: text/html\r\n\r\n<p>" +
                            Reply_part + Close),
              "1: Unexpected 'content-type' : text/html, Expected application/pkcs7-mime or "
              "application/timestamp-reply.");
    EXPECT_EQ(split_outcome(Head + "--XYZ\r\nContent-Type application/pkcs7-mime\r\n\r\n" + Reply_part + Close),
              "1: Line does not match header format");

    // No closing delimiter, or one without its line end.
    EXPECT_EQ(split_outcome(Head + Envelope_part + Reply_part), "1: end of file");
    EXPECT_EQ(split_outcome(Head + Envelope_part + Reply_part + "\r\n--XYZ--"), "1: end of file");
    EXPECT_EQ(split_outcome(Head + Envelope_part + Reply_part + "\r\n--XYZ--\r"), "1: end of file");
    EXPECT_EQ(split_outcome(Head), "1: end of file");

    // Floods that would each cost a trace record per line or part.
    std::string parts = Head + "--XYZ\r\n";
    for (int i = 0; i < 100000; ++i)
        parts += "\r\n--XYZ\r\n";
    EXPECT_EQ(split_outcome(parts), "1: Too many parts.");
    std::string lines = Head.substr(0, Head.size() - 2);
    for (int i = 0; i < 100000; ++i)
        lines += "X-" + std::to_string(i) + ": v\r\n";
    EXPECT_EQ(split_outcome(lines), "1: Too many header lines.");

    EXPECT_THROW(split_outcome(""), std::logic_error);
}

TEST(Mime_envelope_split, MissingOrUnreadablePartsFailTheAnalysis)
{
    const std::string missing = "2: L'analisi del file è fallita.";
    EXPECT_EQ(split_outcome(Head + Envelope_part + Close), missing);
    EXPECT_EQ(split_outcome(Head + Reply_part.substr(2) + Close), missing);
    std::string bad_base64 = Head + Envelope_part + Reply_part + Close;
    bad_base64.replace(bad_base64.find("UkVQTFk="), 8, "UkVQ*Fk=");
    EXPECT_EQ(split_outcome(bad_base64), missing);
    std::string empty = Head + Envelope_part + Reply_part + Close;
    empty.replace(empty.find("ENVELOPE"), 8, "");
    EXPECT_EQ(split_outcome(empty), missing);
    // An unknown transfer encoding: the content is skipped, never read as headers.
    std::string unknown = Head + Envelope_part + Reply_part + Close;
    unknown.replace(unknown.find("binary"), 6, "x-uuencode");
    unknown.replace(unknown.find("ENVELOPE"), 8, "not: a\r\nheader block at all");
    EXPECT_EQ(split_outcome(unknown), missing);
}

TEST(Mime_envelope_split, VariantsOfRealFilesAreRead)
{
    // 7bit, 8bit or no transfer encoding: the bytes as they are.
    for (const std::string encoding : {"7bit", "8bit", ""}) {
        std::string file = Head + Envelope_part + Reply_part + Close;
        file.replace(file.find("Content-Transfer-Encoding: binary\r\n"), 35,
                     encoding.empty() ? "" : "Content-Transfer-Encoding: " + encoding + "\r\n");
        Mime_envelope_split split;
        ASSERT_TRUE(split.split(multipart_bytes(file))) << encoding << split.message();
        EXPECT_EQ(text(split.value().envelope), "ENVELOPE");
    }
    // The time stamp declared application/timestamp, the parts in the other order, the top header
    // folded over two lines.
    std::string reply = Reply_part;
    reply.replace(reply.find("timestamp-reply"), 15, "timestamp");
    const std::string folded = "MIME-Version: 1.0\r\nContent-Type: multipart/mixed;\r\n\tboundary=\"XYZ\"\r\n\r\n";
    Mime_envelope_split split;
    ASSERT_TRUE(split.split(multipart_bytes(folded + reply.substr(2) + "\r\n" + Envelope_part + Close)))
        << split.message();
    EXPECT_EQ(text(split.value().envelope), "ENVELOPE");
    EXPECT_EQ(text(split.value().timestamp_reply), "REPLY");
    EXPECT_FALSE(split.value().unsigned_document);

    // A time-stamped PDF with no envelope part: the document, marked unsigned.
    Mime_envelope_split pdf;
    ASSERT_TRUE(
        pdf.split(multipart_bytes(Head +
                                  "--XYZ\r\nContent-Type: application/pdf\r\nContent-Transfer-Encoding: binary\r\n\r\n"
                                  "%PDF-1.4 documento" +
                                  Reply_part + Close)));
    EXPECT_EQ(text(pdf.value().envelope), "%PDF-1.4 documento");
    EXPECT_TRUE(pdf.value().unsigned_document);
}

TEST(Mime_envelope_split, EveryTruncationOfASampleFailsCleanly)
{
    const std::string sample = fixture("samples/crlf-binary.m7m");
    for (size_t size = 1; size < sample.size(); ++size) {
        Mime_envelope_split split;
        EXPECT_FALSE(split.split(multipart_bytes(sample.substr(0, size)))) << size;
        expect_same_split_in_place(sample.substr(0, size), split);
    }
}

TEST(Mime_envelope_split, InPlaceDecodingGivesWhatACopyGives)
{
    // Base64 envelope parts, the second replacing the first, a damaged one after a good one, the
    // reply before or after: decoded over the file's buffer, each gives the split of a copy.
    const std::string base64_part = "--XYZ\r\nContent-Type: application/pkcs7-mime\r\n"
                                    "Content-Transfer-Encoding: base64\r\n\r\n";
    const std::string first = base64_part + "Rklyc3QgZW52ZWxvcGU=";
    const std::string second = base64_part + "U0VDT05E\r\nRU5WRUxPUEU=\r\n";
    const std::string damaged = base64_part + "U0VDT05E\r\n*";
    EXPECT_EQ(split_outcome(Head + first + Reply_part + Close), "ok");
    EXPECT_EQ(split_outcome(Head + Reply_part.substr(2) + "\r\n" + first + Close), "ok");
    EXPECT_EQ(split_outcome(Head + first + "\r\n" + second + Reply_part + Close), "ok");
    EXPECT_EQ(split_outcome(Head + first + "\r\n" + damaged + Reply_part + Close), "2: L'analisi del file è fallita.");
    EXPECT_EQ(split_outcome(Head + first + Reply_part + "\r\n--XYZ\r\nX: y\r\n\r\nunclosed"), "1: end of file");

    const std::string message = Head + first + "\r\n" + second + Reply_part + Close;
    std::vector<byte> buffer(message.begin(), message.end());
    Mime_envelope_split split;
    ASSERT_TRUE(split.split_taking(buffer));
    EXPECT_TRUE(buffer.empty());
    EXPECT_EQ(text(split.value().envelope), "SECONDENVELOPE");
    EXPECT_EQ(text(split.value().timestamp_reply), "REPLY");

    // Every cut of a base64 sample.
    const std::string sample = fixture("samples/lf-base64.m7m");
    for (size_t size = 1; size < sample.size(); size += 5)
        EXPECT_NE(split_outcome(sample.substr(0, size)), "ok") << size;
}

// A SignedData shell the DER walk takes: four-byte lengths all along, `content` as the document,
// an empty signer set after it.
std::string signed_data_shell(const std::string& content)
{
    auto element = [](unsigned char tag, const std::string& body) {
        const size_t n = body.size();
        std::string out{static_cast<char>(tag),     static_cast<char>(0x84),   static_cast<char>(n >> 24),
                        static_cast<char>(n >> 16), static_cast<char>(n >> 8), static_cast<char>(n)};
        return out + body;
    };
    const std::string signed_data_oid("\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x07\x02", 11);
    const std::string data_oid("\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x07\x01", 11);
    const std::string encapsulated = element(0x30, data_oid + element(0xa0, element(0x04, content)));
    const std::string signed_data =
        element(0x30, std::string("\x02\x01\x01", 3) + element(0x31, "") + encapsulated + element(0x31, ""));
    return element(0x30, signed_data_oid + element(0xa0, signed_data));
}

std::string wrapped_base64(const std::string& bytes, size_t width, const std::string& line_end)
{
    std::string encoded(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    encoded.resize(static_cast<size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                                       reinterpret_cast<const unsigned char*>(bytes.data()),
                                                       static_cast<int>(bytes.size()))));
    std::string out;
    for (size_t at = 0; at < encoded.size(); at += width)
        out += encoded.substr(at, width) + line_end;
    return out;
}

TEST(Mime_envelope_split, LargeEnvelopePartsKeepTheirHeadApartAndStillGiveWhatACopyGives)
{
    std::string content(1200 * 1024, '\0');
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>(i * 2654435761u >> 24);
    const std::string envelope = signed_data_shell(content);
    const std::string base64_part = "--XYZ\r\nContent-Type: application/pkcs7-mime\r\n"
                                    "Content-Transfer-Encoding: base64\r\n\r\n";
    const std::string binary_part = "--XYZ\r\nContent-Type: application/pkcs7-mime\r\n"
                                    "Content-Transfer-Encoding: binary\r\n\r\n";
    const std::string lines = wrapped_base64(envelope, 76, "\r\n");
    struct Case {
        std::string message;
        std::string outcome;
        bool prefix;
        const char* label;
    };
    auto with = [&](std::string body, size_t at, const std::string& replacement) {
        return body.replace(at, replacement.size(), replacement);
    };
    const std::string missing = "2: L'analisi del file è fallita.";
    const std::vector<Case> cases = {
        {Head + base64_part + lines + Reply_part + Close, "ok", true, "base64, CR LF lines of 76"},
        {Head + base64_part + wrapped_base64(envelope, 61, "\n") + Reply_part + Close, "ok", true, "LF lines of 61"},
        {Head + base64_part + wrapped_base64(envelope, 1, "\r\n") + Reply_part + Close, "ok", true, "lines of 1"},
        {Head + base64_part + " \t" + lines + Reply_part + Close, "ok", true, "blanks in front"},
        {Head + binary_part + envelope + Reply_part + Close, "ok", true, "binary"},
        {Head + base64_part + wrapped_base64(content, 76, "\r\n") + Reply_part + Close, "ok", false, "not an envelope"},
        {Head + base64_part + with(lines, 100, "*") + Reply_part + Close, missing, false, "damage in the head"},
        {Head + base64_part + with(lines, lines.size() / 2, "*") + Reply_part + Close, missing, false,
         "damage further on"},
        {Head + base64_part + with(lines, 40, "=") + Reply_part + Close, missing, false, "padding in the head"},
        {Head + base64_part + lines.substr(0, 295) + Reply_part + Close, missing, false,
         "short, ending in a lone character"},
        {Head + base64_part + lines + Reply_part, "1: end of file", false, "no end"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(split_outcome(c.message), c.outcome) << c.label;
        std::vector<byte> buffer(c.message.begin(), c.message.end());
        Mime_envelope_split split;
        if (split.split_taking(buffer)) {
            EXPECT_EQ(!split.value().envelope_prefix.empty(), c.prefix) << c.label;
            if (c.prefix) {
                // The document starts the buffer; the prefix is what comes before it.
                const std::string rest = text(split.value().envelope);
                EXPECT_TRUE(rest.compare(0, content.size(), content) == 0) << c.label;
                EXPECT_TRUE(text(split.value().envelope_prefix) + rest == envelope) << c.label;
            }
        }
    }
}

TEST(Mime_multipart_stream, BytewiseAndBulkReadsAgree)
{
    const std::string data = "one\r\n--b\r\ntwo\n--b\nthree\r\n--bb\r\n\r\n--b--\r\nafter";
    Vector_stream<byte> underlying(multipart_bytes(data));
    Mime_multipart_stream stream(underlying, "b");
    std::vector<std::string> parts;
    std::vector<int> ends;
    for (;;) {
        std::string part;
        stream.mark();
        while (stream.exists()) {
            EXPECT_EQ(stream.peek(), stream.current());
            part += static_cast<char>(stream.current());
            stream.next();
        }
        // Going back and reading in bulk gives the same bytes.
        stream.reset();
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(stream.remaining().data()), stream.remaining().size()),
                  part);
        stream.skip_content();
        parts.push_back(part);
        ends.push_back(stream.status());
        if (stream.status() != Mime_multipart_stream::Status_boundary)
            break;
        stream.skip_delimiter();
    }
    EXPECT_EQ(parts, (std::vector<std::string>{"one", "two", "three\r\n--bb\r\n"}));
    EXPECT_EQ(ends, (std::vector<int>{2, 2, 3}));
    stream.skip_delimiter();
    EXPECT_EQ(stream.status(), Mime_multipart_stream::Status_content);
    stream.skip_content();
    EXPECT_EQ(stream.status(), Mime_multipart_stream::Status_end_of_data);
    EXPECT_THROW(stream.next(), std::logic_error);
    EXPECT_THROW(stream.skip_delimiter(), std::logic_error);
    EXPECT_THROW(Mime_multipart_stream(underlying, ""), std::logic_error);
    EXPECT_THROW(underlying.next(), std::logic_error);
}

// A part of 100 MB, with near-boundaries sprinkled in, read through the whole split.
TEST(Mime_envelope_split, HundredMegabytePart)
{
    std::string content(100u * 1024 * 1024, '\0');
    std::mt19937_64 random(3);
    for (size_t i = 0; i + 8 <= content.size(); i += 8) {
        const uint64_t value = random();
        std::memcpy(content.data() + i, &value, 8);
    }
    for (size_t i = 4096; i + 16 < content.size(); i += 1024 * 1024)
        content.replace(i, 8, "\r\n--XYZ-");

    std::string message = Head + "--XYZ\r\nContent-Type: application/pkcs7-mime\r\n"
                                 "Content-Transfer-Encoding: binary\r\n\r\n";
    message += content;
    message += Reply_part + Close;
    {
        Mime_envelope_split split;
        ASSERT_TRUE(split.split(multipart_bytes(message))) << split.message();
        EXPECT_TRUE(split.value().envelope.size() == content.size() &&
                    std::memcmp(split.value().envelope.data(), content.data(), content.size()) == 0);
    }
    std::string().swap(message);

    // The same content as 76-column base64.
    std::string encoded(4 * ((content.size() + 2) / 3) + 1, '\0');
    encoded.resize(static_cast<size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                                       reinterpret_cast<const unsigned char*>(content.data()),
                                                       static_cast<int>(content.size()))));
    message = Head + "--XYZ\r\nContent-Type: application/pkcs7-mime\r\nContent-Transfer-Encoding: base64\r\n\r\n";
    message.reserve(message.size() + encoded.size() * 78 / 76 + 1000);
    for (size_t i = 0; i < encoded.size(); i += 76)
        message.append(encoded, i, 76).append("\r\n");
    std::string().swap(encoded);
    message += Reply_part.substr(2) + Close;
    Mime_envelope_split split;
    ASSERT_TRUE(split.split(multipart_bytes(message))) << split.message();
    EXPECT_TRUE(split.value().envelope.size() == content.size() &&
                std::memcmp(split.value().envelope.data(), content.data(), content.size()) == 0);
}

} // namespace
} // namespace velin
