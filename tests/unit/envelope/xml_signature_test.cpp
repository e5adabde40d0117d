// The reading of signed XML before any signature is checked: what is refused outright, and why.
// The signatures themselves are checked against files xmlsec1 makes (integration tests).
#include "envelope/xml_signature.h"

#include <gtest/gtest.h>

#include <string>

namespace velin {
namespace {

// A signature whose one reference has the given URI.
std::string by_id(const std::string& id)
{
    return "<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"><ds:SignedInfo>"
           "<ds:SignatureMethod Algorithm=\"http://www.w3.org/2001/04/xmldsig-more#rsa-sha256\"/>"
           "<ds:Reference URI=\"" +
           (id.empty() ? "" : "#" + id) + "\"/></ds:SignedInfo></ds:Signature>";
}

TEST(Xml_signature, hostile_and_broken_xml_is_refused_with_its_reason)
{
    const std::string signature = "<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"/>";
    const struct {
        std::string text;
        std::string failure;
    } cases[] = {
        // Entities expanding without end, and a DTD that would fetch one.
        {"<!DOCTYPE a [<!ENTITY x \"xxxxxxxx\"><!ENTITY y \"&x;&x;&x;&x;&x;&x;\">]><a>&y;" + signature + "</a>",
         Xml_text_dtd},
        {"<!DOCTYPE a SYSTEM \"http://127.0.0.1:9/a.dtd\"><a>" + signature + "</a>", Xml_text_dtd},
        {"<a>" + signature, Xml_text_unreadable},
        {"", Xml_text_unreadable},
        {"<a><b Id=\"x\"/><c ID=\"x\"/>" + signature + "</a>", Xml_text_duplicate_id},
        {"<a><b xml:id=\"x\"/><c id=\"x\"/>" + signature + "</a>", Xml_text_duplicate_id},
        // One value in any namespace: xmlsec would once have taken the first of them.
        {"<a xmlns:p=\"urn:p\"><b p:Id=\"x\"/><c Id=\"x\"/>" + signature + "</a>", Xml_text_duplicate_id},
        {"<a xmlns:p=\"urn:p\"><b p:ID=\"x\"/><c Id=\"x\"/>" + signature + "</a>", Xml_text_duplicate_id},
        {"<a xmlns:p=\"urn:p\"><b p:id=\"x\"/><c Id=\"x\"/>" + signature + "</a>", Xml_text_duplicate_id},
        {"<a xmlns:p=\"urn:p\" xmlns:q=\"urn:q\"><b p:Id=\"x\"/><c q:Id=\"x\"/>" + signature + "</a>",
         Xml_text_duplicate_id},
        // A reference attribute given twice: xmlsec would read the namespaced one.
        {"<a xmlns:p=\"urn:p\" xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"><ds:Signature><ds:SignedInfo>"
         "<ds:Reference p:URI=\"#x\" URI=\"\"/></ds:SignedInfo></ds:Signature></a>",
         Xml_text_ambiguous_attribute},
        // A signature deep inside the document, where no signature belongs.
        {"<a><b>" + signature + "</b></a>", Xml_text_misplaced},
        // Signing an element by Id, inside that element; beside a signature of the whole document,
        // which would leave it out.
        {"<a><b Id=\"x\">" + by_id("x") + "</b></a>", Xml_text_misplaced},
        {"<a><b Id=\"x\"/><c>" + by_id("x") + "</c>" + by_id("") + "</a>", Xml_text_misplaced},
    };
    for (const auto& sample : cases) {
        Xml_signature reading;
        reading.parse(std::span(reinterpret_cast<const uint8_t*>(sample.text.data()), sample.text.size()));
        EXPECT_FALSE(reading.parsed()) << sample.text;
        EXPECT_EQ(reading.failure_text(), sample.failure) << sample.text;
    }
}

TEST(Xml_signature, an_empty_signature_is_read_and_never_intact)
{
    const std::string text = "<a xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"><b>1</b><ds:Signature/></a>";
    Xml_signature reading;
    reading.parse(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    ASSERT_TRUE(reading.parsed());
    reading.extract_original_document();
    reading.read_signatures();
    ASSERT_EQ(reading.signatures_count(), 1u);
    reading.select_signature(0);
    EXPECT_FALSE(reading.signature_integrity().is_assigned() &&
                 reading.signature_integrity().value() == Signature_integrity::Intact);
    EXPECT_EQ(reading.unchecked_text(), Xml_text_not_whole);
    EXPECT_FALSE(reading.certificate_read());
}

// Why a signature is left unchecked, read before any cryptography: with no certificate carried,
// a signature whose references pass reaches Xml_text_no_certificate.
std::string unchecked(const std::string& text)
{
    Xml_signature reading;
    reading.parse(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    if (!reading.parsed())
        return reading.failure_text();
    reading.extract_original_document();
    reading.read_signatures();
    if (reading.signatures_count() == 0)
        return "no signature";
    reading.select_signature(0);
    return reading.unchecked_text();
}

std::string enveloped_with_transform(const std::string& transform)
{
    return "<a xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"><b>1</b><ds:Signature><ds:SignedInfo>"
           "<ds:SignatureMethod Algorithm=\"http://www.w3.org/2001/04/xmldsig-more#rsa-sha256\"/>"
           "<ds:Reference URI=\"\"><ds:Transforms>" +
           transform + "</ds:Transforms></ds:Reference></ds:SignedInfo></ds:Signature></a>";
}

TEST(Xml_signature, only_the_exact_filters_that_leave_out_signatures_are_accepted)
{
    const auto xpath = [](const std::string& expression, const std::string& declarations = "") {
        return enveloped_with_transform("<ds:Transform Algorithm=\"http://www.w3.org/TR/1999/REC-xpath-19991116\">"
                                        "<ds:XPath" +
                                        declarations + ">" + expression + "</ds:XPath></ds:Transform>");
    };
    const auto filter = [](const std::string& expression, const std::string& kind = "subtract") {
        return enveloped_with_transform(
            "<ds:Transform Algorithm=\"http://www.w3.org/2002/06/xmldsig-filter2\"><f:XPath "
            "xmlns:f=\"http://www.w3.org/2002/06/xmldsig-filter2\" Filter=\"" +
            kind + "\">" + expression + "</f:XPath></ds:Transform>");
    };
    const std::string dsig = " xmlns:s=\"http://www.w3.org/2000/09/xmldsig#\"";
    for (const std::string& accepted : {
             xpath("not(ancestor-or-self::ds:Signature)"),
             xpath(" not (\n ancestor-or-self :: ds:Signature\t) "),
             xpath("not(ancestor-or-self::s:Signature)", dsig),
             filter("/descendant::ds:Signature"),
             filter(" / descendant :: ds:Signature "),
         })
        EXPECT_EQ(unchecked(accepted), Xml_text_no_certificate) << accepted;
    for (const std::string& refused : {
             // The spaces taken out, the middle would read as a declared prefix.
             xpath("not(ancestor-or-self::ImportoTotaleDocumento or ds:Signature)",
                   " xmlns:ImportoTotaleDocumentoords=\"http://www.w3.org/2000/09/xmldsig#\""),
             xpath("not(ancestor-or-self::ds :Signature)"),
             xpath("not(ancestor-or-self::ds: Signature)"),
             xpath("not(ancestor-or-self::ds:Signature) or self::b"),
             xpath("not(ancestor-or-self::ds:Signature or self::b)"),
             xpath("not(ancestor-or-self::Signature)"),
             xpath("not(ancestor-or-self::s:Signature)", " xmlns:s=\"urn:other\""),
             xpath("not(ancestor::ds:Signature)"),
             xpath("not(ancestor-or-self::ds:Signature)<!-- -->"),
             xpath(""),
             filter("/descendant::ds:Signature | /descendant::b"),
             filter("/descendant::ds:Signature", "intersect"),
             filter("//ds:Signature"),
         })
        EXPECT_EQ(unchecked(refused), Xml_text_transform) << refused;
}

TEST(Xml_signature, signatures_of_elements_by_id_stand_anywhere_and_sign_the_same_elements)
{
    const std::string text = "<a><b Id=\"x\"/><d Id=\"y\"/><c><e>" + by_id("x") + by_id("y") + "</e></c></a>";
    Xml_signature reading;
    reading.parse(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    ASSERT_TRUE(reading.parsed()) << reading.failure_text();
    reading.extract_original_document();
    reading.read_signatures();
    ASSERT_EQ(reading.signatures_count(), 2u);
    reading.select_signature(0);
    EXPECT_EQ(reading.unchecked_text(), Xml_text_no_certificate);
    reading.select_signature(1);
    EXPECT_EQ(reading.unchecked_text(), Xml_text_other_elements);
}

TEST(Xml_signature, a_reference_names_a_plain_identifier_only)
{
    // xmlsec reads "#name" inside an XPointer expression: a quote in the name would become XPath.
    const std::string object = "o')|//*|id('p";
    const std::string text = "<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"><ds:SignedInfo>"
                             "<ds:SignatureMethod Algorithm=\"http://www.w3.org/2001/04/xmldsig-more#rsa-sha256\"/>"
                             "<ds:Reference URI=\"#" +
                             object + "\"/></ds:SignedInfo><ds:Object Id=\"" + object +
                             "\">x</ds:Object></ds:Signature>";
    EXPECT_EQ(unchecked(text), Xml_text_reference);
    std::string plain = text;
    while (plain.find(object) != std::string::npos)
        plain.replace(plain.find(object), object.size(), "o-1.b");
    EXPECT_EQ(unchecked(plain), Xml_text_no_certificate);
}

} // namespace
} // namespace velin
