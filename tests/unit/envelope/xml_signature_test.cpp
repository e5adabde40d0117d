// The reading of signed XML before any signature is checked: what is refused outright, and why.
// The signatures themselves are checked against files xmlsec1 makes (integration tests).
#include "envelope/xml_signature.h"

#include <gtest/gtest.h>

#include <string>

namespace velin {
namespace {

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
        // A signature deep inside the document, where no signature belongs.
        {"<a><b>" + signature + "</b></a>", Xml_text_misplaced},
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

} // namespace
} // namespace velin
