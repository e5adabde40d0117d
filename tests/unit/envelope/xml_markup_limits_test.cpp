// XML that libxml2 could only read at a cost out of proportion to its size is refused before it is
// parsed; documents of real shapes, however large, are not.
#include "envelope/xml_signature.h"

#include <gtest/gtest.h>

#include <string>

namespace velin {
namespace {

// The reader's refusal, empty when the document was read.
std::string failure(const std::string& text)
{
    Xml_signature reading;
    reading.parse(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    return reading.parsed() ? std::string() : reading.failure_text();
}

const std::string signature = "<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"/>";

std::string attributes(int count, const std::string& value = "v")
{
    std::string text;
    for (int i = 0; i < count; ++i)
        text += " a" + std::to_string(i) + "=\"" + value + "\"";
    return text;
}

std::string namespaces(int count, const std::string& prefix)
{
    std::string text;
    for (int i = 0; i < count; ++i)
        text += " xmlns:" + prefix + std::to_string(i) + "=\"urn:" + std::to_string(i) + "\"";
    return text;
}

std::string repeated(const std::string& text, size_t times)
{
    std::string all;
    all.reserve(text.size() * times);
    for (size_t i = 0; i < times; ++i)
        all += text;
    return all;
}

TEST(Xml_markup_limits, markup_the_parser_reads_slowly_is_refused_before_parsing)
{
    const struct {
        const char* what;
        std::string text;
    } cases[] = {
        {"attributes on one element", "<r" + attributes(257) + ">" + signature + "</r>"},
        // The quoted '>' and '=' do not hide attributes from the count.
        {"quoted markup characters", "<r" + attributes(300, "x>y=z") + ">" + signature + "</r>"},
        {"namespace declarations in scope",
         "<r" + namespaces(100, "p") + "><s" + namespaces(40, "q") + "><t/></s>" + signature + "</r>"},
        {"elements", "<r>" + repeated("<a/>", 4'000'001) + signature + "</r>"},
        {"comments", "<r>" + repeated("<!---->", 4'000'001) + signature + "</r>"},
        {"nesting", repeated("<a>", 300) + repeated("</a>", 300)},
    };
    for (const auto& sample : cases)
        EXPECT_EQ(failure(sample.text), Xml_text_too_complex) << sample.what;

    // A DOCTYPE is refused as a DTD before the parser reads its declarations.
    EXPECT_EQ(failure("<!DOCTYPE r [<!ENTITY e \"x\">]><r>&e;" + signature + "</r>"), Xml_text_dtd);
}

TEST(Xml_markup_limits, real_shapes_at_the_limits_are_parsed)
{
    const struct {
        const char* what;
        std::string text;
    } cases[] = {
        {"attributes on one element", "<r" + attributes(256) + ">" + signature + "</r>"},
        // Declarations of siblings are never in scope together.
        {"namespaces of siblings",
         "<r>" + repeated("<s" + namespaces(128, "p") + "><t/></s>", 50) + signature + "</r>"},
        {"namespaces in scope", "<r" + namespaces(64, "p") + "><s" + namespaces(64, "q") + "/>" + signature + "</r>"},
        // '<' inside comments, character data and instructions opens no element.
        {"markup characters where they are text", "<?pi <a b=c>?><r><!-- <a " + attributes(300) + "> --><![CDATA[" +
                                                      repeated("<a>", 400) + "]]><s a=\"&gt;\">x &lt; y</s>" +
                                                      signature + "</r>"},
        {"nesting", "<r>" + repeated("<a>", 200) + repeated("</a>", 200) + signature + "</r>"},
        {"elements", "<r>" + repeated("<a>x</a>", 100'000) + signature + "</r>"},
    };
    for (const auto& sample : cases)
        EXPECT_EQ(failure(sample.text), "") << sample.what;
}

} // namespace
} // namespace velin
