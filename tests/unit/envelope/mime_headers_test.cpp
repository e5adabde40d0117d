#include "envelope/mime_headers.h"
#include "envelope/vector_stream.h"

#include "test_folder.h"
#include "trace_records.h"

#include <gtest/gtest.h>

#include <string>

namespace velin {
namespace {

std::span<const byte> bytes(const std::string& text)
{
    return {reinterpret_cast<const byte*>(text.data()), text.size()};
}

// The error text of reading `block`, or "" when it reads.
std::string read_error(const std::string& block)
{
    Mime_headers headers;
    Vector_stream<byte> stream(bytes(block));
    try {
        headers.read(stream);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "";
}

TEST(Mime_headers, AFoldedHeaderIsJoinedAndKeepsEveryParameter)
{
    test::private_environment();
    const std::string block = "Content-Type: multipart/mixed;\r\n"
                              "\tboundary=\"----=_Part_1\";\r\n"
                              " type=\"application/pkcs7-mime\"\r\n"
                              "MIME-Version: 1.0\r\n\r\n";
    Mime_headers headers;
    Vector_stream<byte> stream(bytes(block));
    headers.read(stream);
    const Mime_header& type = headers.header("content-type");
    EXPECT_EQ(type.value, "multipart/mixed");
    EXPECT_EQ(type.parameter("boundary"), "----=_Part_1");
    EXPECT_EQ(type.parameter("type"), "application/pkcs7-mime");
    EXPECT_EQ(headers.header("mime-version").value, "1.0");
}

TEST(Mime_headers, ReadsNamesValuesAndTheLastParameter)
{
    test::private_environment();
    const std::string block = "CONTENT-Type:  multipart/mixed ; Boundary=\" XYZ\"\r\n"
                              "MIME-Version: 1.0\r\n"
                              "Content-Type2: Application/PKCS7-mime; smime-type=signed-data; name=x.p7m\r\n"
                              "\r\n"
                              "body";
    Mime_headers headers;
    Vector_stream<byte> stream(bytes(block));
    headers.read(stream);

    ASSERT_EQ(headers.size(), 3u);
    const Mime_header& type = headers.header("content-type");
    EXPECT_EQ(type.value, "multipart/mixed");
    EXPECT_EQ(type.parameter("BOUNDARY"), " XYZ"); // trimmed first, then the quotes go
    EXPECT_EQ(headers.header("Mime-Version").value, "1.0");
    const Mime_header& second = headers.header("content-type2");
    EXPECT_EQ(second.value, "Application/PKCS7-mime");
    ASSERT_EQ(second.parameters.size(), 1u);
    EXPECT_EQ(second.parameter("name"), "x.p7m");
    EXPECT_EQ(stream.position(), block.size() - 4); // left at the body

    EXPECT_THROW(
        {
            try {
                headers.header("content-disposition");
            } catch (const std::runtime_error& error) {
                EXPECT_STREQ(error.what(), "Missing 'content-disposition' header.");
                throw;
            }
        },
        std::runtime_error);
    EXPECT_THROW(
        {
            try {
                type.parameter("charset");
            } catch (const std::runtime_error& error) {
                EXPECT_STREQ(error.what(), "Missing 'charset' parameter.");
                throw;
            }
        },
        std::runtime_error);

    // Each line read is traced with its text, each parameter, and the blank line ending the headers.
    EXPECT_TRUE(test::traced(Level_trace, {"<MIME-Version: 1.0>"}));
    EXPECT_TRUE(test::traced(Level_trace, {"<>"}));
    EXPECT_TRUE(test::traced(Level_trace, {"parameter"}));
    EXPECT_TRUE(test::traced(Level_trace, {"End of headers"}));
}

TEST(Mime_headers, AcceptsEveryLineEndAndStopsAtTheStreamEnd)
{
    Mime_headers headers;
    const std::string block = "A: 1\nB: 2\rC: 3\r\nD: 4\f 5 ";
    Vector_stream<byte> stream(bytes(block));
    headers.read(stream);
    EXPECT_EQ(headers.size(), 4u);
    EXPECT_EQ(headers.header("b").value, "2"); // the byte after a lone LF is not eaten
    EXPECT_EQ(headers.header("d").value, "4\f 5"); // only the ends are trimmed
    EXPECT_FALSE(stream.exists());

    Vector_stream<byte> empty(bytes(""));
    headers.read(empty);
    EXPECT_TRUE(headers.empty());
}

TEST(Mime_headers, FormatErrors)
{
    EXPECT_EQ(read_error("no colon here\r\n\r\n"), "Line does not match header format");
    // A folded line joins the one before.
    EXPECT_EQ(read_error("A: b;\r\n\tboundary=x\r\n\r\n"), "");
    EXPECT_EQ(read_error("A: b; c\r\n\r\n"), "Line does not match header format");
    EXPECT_EQ(read_error("A:; c=d\r\n\r\n"), "Line does not match header format");
    EXPECT_EQ(read_error("  : value\r\n\r\n"), "No header tag found");
    EXPECT_EQ(read_error("Name:   \r\n\r\n"), "No tag value found");
    EXPECT_EQ(read_error("A: b\r\na : c\r\n\r\n"), "Duplicated header.");
    EXPECT_EQ(read_error("A: b\r\nA: c; p=\r\n\r\n"), "Line does not match header format");
    EXPECT_EQ(read_error("A: b; p=\"\"\r\n\r\n"), "No parameter value found");
    EXPECT_EQ(read_error("A: b; p=  \r\n\r\n"), "No parameter value found");
    EXPECT_EQ(read_error("A: b; p=\"\r\n\r\n"), "No parameter value found");
    EXPECT_EQ(read_error("A: b\r\nB: c\r\n\r\nno colon here"), "");
}

TEST(Mime_headers, HugeAndPathologicalLinesAreRefusedQuickly)
{
    EXPECT_EQ(read_error("A: " + std::string(100 * 1024 * 1024, 'x')), "Line does not match header format");
    EXPECT_EQ(read_error("A: " + std::string(Line_length_limit - 3, 'x') + "\r\n\r\n"), "");
    EXPECT_EQ(read_error("A: " + std::string(Line_length_limit - 2, 'x') + "\r\n\r\n"),
              "Line does not match header format");
    // Lines that make a backtracking matcher work hard.
    EXPECT_EQ(read_error("a:b;" + std::string(Line_length_limit - 4, 'x') + "\r\n\r\n"),
              "Line does not match header format");
    std::string many = "a:b";
    while (many.size() + 4 < Line_length_limit)
        many += ";x=y";
    EXPECT_EQ(read_error(many + ";\r\n\r\n"), "Line does not match header format");
}

} // namespace
} // namespace velin
