// Containers whose XML signatures ("META-INF/signatures*.xml") sign several of their files, made by
// tools/make-asic-fixtures with xmlsec1 and the test PKI, verified by the program in batch mode:
// what each signature covers, the files none covers, several signatures in one file and in
// several files, a counter-signature; and the references that must never reach past the container.
#include "VelinVerify/app/batch_report.h"
#include "batch_verifier.h"
#include "envelope/asic_container.h"
#include "envelope/xml_signature.h"
#include "generated_files_suite.h"

namespace velin {
namespace {

using test::has_line;
using test::Verdict;

const std::string Verified_line = "info: Il documento è firmato correttamente e integro.";
const std::string Mismatch_line = "error: La firma non corrisponde al documento.";

class Asic_xades_files_test : public test::Generated_files_suite<test::Asic_fixtures> {
protected:
    const QStringList both{"contratto.txt", "allegati/allegato tecnico.txt"};
};

TEST_F(Asic_xades_files_test, one_signature_covers_every_file_its_references_name)
{
    // Laid out as other tools do: the OpenDocument manifest beside the signatures is no document.
    const Verdict verdict = verify("pratica-xades.asice");
    EXPECT_EQ(verdict.exit_code, Exit_success) << verdict.text;
    EXPECT_TRUE(has_line(verdict.lines(0), Verified_line)) << verdict.text;
    ASSERT_EQ(verdict.layer(0)["signatures"].toArray().size(), 1) << verdict.text;
    EXPECT_EQ(names(signature(verdict, 0)["covers"]), both);
    EXPECT_EQ(names(verdict.layer(0)["container_files"]), both);
    EXPECT_TRUE(verdict.layer(0)["uncovered"].toArray().isEmpty()) << verdict.text;
    EXPECT_EQ(verdict.text.find("manifest.xml"), std::string::npos) << verdict.text;

    // A file no signature covers: listed, with a warning.
    const Verdict extra = verify("pratica-xades-file-in-piu.asice");
    EXPECT_EQ(extra.exit_code, Exit_warnings) << extra.text;
    EXPECT_EQ(names(signature(extra, 0)["covers"]), both);
    EXPECT_EQ(names(extra.layer(0)["uncovered"]), QStringList{"nota.txt"});
    EXPECT_TRUE(
        has_line(extra.lines(0), "warning: Il file \"nota.txt\" del contenitore non è coperto da alcuna firma."))
        << extra.text;
}

TEST_F(Asic_xades_files_test, several_signatures_in_one_file_or_in_several_each_cover_their_own_files)
{
    for (const std::string name : {"pratica-xades-due-firme.asice", "pratica-xades-due-file.asice"}) {
        const Verdict verdict = verify(name);
        EXPECT_EQ(verdict.exit_code, Exit_success) << name << "\n" << verdict.text;
        ASSERT_EQ(verdict.layer(0)["signatures"].toArray().size(), 2) << name << "\n" << verdict.text;
        // In the order of the signatures files' names: signatures0.xml before signatures1.xml.
        EXPECT_EQ(names(signature(verdict, 0)["covers"]), both) << name;
        EXPECT_EQ(names(signature(verdict, 1)["covers"]), QStringList{"allegati/allegato tecnico.txt"}) << name;
        EXPECT_NE(signature(verdict, 0)["signer"].toString(), signature(verdict, 1)["signer"].toString()) << name;
        EXPECT_TRUE(verdict.layer(0)["uncovered"].toArray().isEmpty()) << name;
    }
    // The time stamp of the second file's signature is the second signer's (counted from 1), not the
    // first's.
    const Verdict stamped = verify("pratica-xades-due-file.asice");
    ASSERT_EQ(stamped.layer(0)["timestamps"].toArray().size(), 1) << stamped.text;
    EXPECT_EQ(stamped.timestamp(0)["signer"].toInt(), 2) << stamped.text;
    EXPECT_EQ(signature(stamped, 1)["proven_by"].toObject()["kind"].toString(), "signature") << stamped.text;
    EXPECT_TRUE(signature(stamped, 0)["proven_by"].isNull()) << stamped.text;
    EXPECT_TRUE(stamped.timestamp(0)["verified"].toBool()) << stamped.text;
}

TEST_F(Asic_xades_files_test, a_counter_signature_is_checked_over_the_signature_it_signs)
{
    const Verdict verdict = verify("pratica-xades-controfirmata.asice");
    EXPECT_EQ(verdict.exit_code, Exit_success) << verdict.text;
    EXPECT_EQ(names(signature(verdict, 0)["covers"]), both);
    const QJsonArray counters = signature(verdict, 0)["countersignatures"].toArray();
    ASSERT_EQ(counters.size(), 1) << verdict.text;
    EXPECT_TRUE(counters[0].toObject()["matches"].toBool()) << verdict.text;
}

TEST_F(Asic_xades_files_test, a_changed_swapped_or_missing_file_is_an_error_of_the_signature)
{
    for (const std::string name : {"pratica-xades-file-cambiato.asice", "pratica-xades-file-scambiati.asice"}) {
        const Verdict verdict = verify(name);
        EXPECT_EQ(verdict.exit_code, Exit_errors) << name << "\n" << verdict.text;
        EXPECT_TRUE(has_line(verdict.lines(0), Mismatch_line)) << name << "\n" << verdict.text;
        EXPECT_FALSE(has_line(verdict.lines(0), Verified_line)) << name;
        EXPECT_TRUE(signature(verdict, 0)["covers"].toArray().isEmpty()) << name;
        EXPECT_EQ(names(verdict.layer(0)["uncovered"]), both) << name;
    }
    const Verdict missing = verify("pratica-xades-file-mancante.asice");
    EXPECT_EQ(missing.exit_code, Exit_errors) << missing.text;
    EXPECT_TRUE(has_line(missing.lines(0), "error: Il file \"allegati/allegato%20tecnico.txt\" indicato dalla firma "
                                           "non è presente nel contenitore."))
        << missing.text;
    EXPECT_TRUE(signature(missing, 0)["covers"].toArray().isEmpty());
    EXPECT_EQ(names(missing.layer(0)["uncovered"]), QStringList{"contratto.txt"});
}

TEST_F(Asic_xades_files_test, references_past_the_container_or_into_the_signatures_file_are_refused)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"attacco-xades-risale.asice", Xml_text_external},
        {"attacco-xades-assoluto.asice", Xml_text_external},
        {"attacco-xades-url.asice", Xml_text_external},
        // Sound for xmlsec, over a copy of the contract inside the signatures file.
        {"attacco-xades-id.asice", Xml_text_reference},
    };
    for (const auto& [name, text] : cases) {
        const Verdict verdict = verify(name);
        EXPECT_EQ(verdict.exit_code, Exit_errors) << name << "\n" << verdict.text;
        EXPECT_TRUE(has_line(verdict.lines(0), "error: " + text)) << name << "\n" << verdict.text;
        EXPECT_FALSE(has_line(verdict.lines(0), Verified_line)) << name;
        EXPECT_TRUE(signature(verdict, 0)["covers"].toArray().isEmpty()) << name;
        EXPECT_EQ(names(verdict.layer(0)["uncovered"]), both) << name;
    }
}

TEST_F(Asic_xades_files_test, manifests_and_xml_signatures_are_read_together_and_a_bad_file_fails_alone)
{
    // Signed both ways: the CAdES manifest's signer first, then the XML signature's.
    const Verdict mixed = verify("pratica-mista.asice");
    EXPECT_EQ(mixed.exit_code, Exit_success) << mixed.text;
    ASSERT_EQ(mixed.layer(0)["signatures"].toArray().size(), 2) << mixed.text;
    EXPECT_EQ(names(signature(mixed, 0)["covers"]), QStringList{"allegati/allegato tecnico.txt"});
    EXPECT_EQ(names(signature(mixed, 1)["covers"]), both);
    EXPECT_EQ(mixed.text.find("non è stato verificato"), std::string::npos) << mixed.text;

    // A signatures file that is no XML is an error of its own; the sound one still covers its files.
    const Verdict broken = verify("pratica-xades-firme-illeggibili.asice");
    EXPECT_EQ(broken.exit_code, Exit_errors) << broken.text;
    ASSERT_EQ(broken.layer(0)["signatures"].toArray().size(), 2) << broken.text;
    EXPECT_EQ(names(signature(broken, 0)["covers"]), both);
    EXPECT_TRUE(signature(broken, 1)["covers"].toArray().isEmpty());
    EXPECT_NE(broken.text.find("La firma \\\"META-INF/signatures1.xml\\\" del contenitore non è leggibile."),
              std::string::npos)
        << broken.text;
}

} // namespace
} // namespace velin
