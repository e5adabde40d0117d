// Signature containers as the verifier meets them, made by tools/make-asic-fixtures with Python's
// zipfile, the OpenSSL command line and the test PKI, and verified by the program in batch mode:
// one document with a CAdES signature, an XAdES signature or a time stamp; several documents
// listed by manifests, each manifest signed; the files a signature covers and those none covers;
// and the broken and hostile containers, refused in words of ours.
#include "VelinVerify/app/batch_report.h"
#include "batch_verifier.h"
#include "envelope/asic_container.h"
#include "generated_files_suite.h"

namespace velin {
namespace {

using test::has_line;
using test::Verdict;

class Asic_files_test : public test::Generated_files_suite<test::Asic_fixtures> {};

TEST_F(Asic_files_test, one_document_with_its_signature_verifies_whatever_the_name)
{
    for (const std::string name :
         {"contratto-cades.asics", "contratto-cades.zip", "contratto-xades.asics", "contratto-xades.asice"}) {
        const Verdict verdict = verify(name);
        EXPECT_EQ(verdict.exit_code, Exit_success) << name << "\n" << verdict.text;
        EXPECT_TRUE(has_line(verdict.lines(0), "info: Il documento è firmato correttamente e integro.")) << name;
        EXPECT_EQ(verdict.layer(0)["document"].toString(), "contratto.txt") << name;
        EXPECT_EQ(names(signature(verdict, 0)["covers"]), QStringList{"contratto.txt"}) << name;
        EXPECT_EQ(names(verdict.layer(0)["container_files"]), QStringList{"contratto.txt"}) << name;
        EXPECT_TRUE(verdict.layer(0)["uncovered"].toArray().isEmpty()) << name;
    }
    const Verdict changed = verify("contratto-cambiato.asics");
    EXPECT_EQ(changed.exit_code, Exit_errors) << changed.text;
    EXPECT_TRUE(has_line(changed.lines(0), "error: La firma non corrisponde al documento.")) << changed.text;
    EXPECT_TRUE(signature(changed, 0)["covers"].toArray().isEmpty());
    EXPECT_TRUE(has_line(changed.lines(0),
                         "warning: Il file \"contratto.txt\" del contenitore non è coperto da alcuna firma."));

    // A "mimetype" out of its place is read, with a warning.
    const Verdict late = verify("mimetype-in-fondo.asics");
    EXPECT_EQ(late.exit_code, Exit_warnings) << late.text;
    EXPECT_TRUE(has_line(late.lines(0), std::string("warning: ") + Asic_text_mimetype_placement)) << late.text;
}

TEST_F(Asic_files_test, a_signed_document_inside_opens_as_the_next_layer)
{
    const Verdict verdict = verify("contratto-busta.asics");
    EXPECT_EQ(verdict.exit_code, Exit_success) << verdict.text;
    ASSERT_EQ(verdict.layers().size(), 2) << verdict.text;
    EXPECT_EQ(names(signature(verdict, 0)["covers"]), QStringList{"contratto.txt.p7m"});
    EXPECT_TRUE(has_line(verdict.lines(1), "info: Il documento è firmato correttamente e integro.")) << verdict.text;
    EXPECT_EQ(verdict.layer(1)["document"].toString(), "contratto.txt");
    // The inner layer is no container.
    EXPECT_TRUE(verdict.layer(1)["container_files"].isNull());
    EXPECT_TRUE(signature(verdict, 0, 1)["covers"].isNull());
}

TEST_F(Asic_files_test, signed_files_among_several_open_as_further_layers)
{
    const Verdict verdict = verify("pratica-con-busta.asice");
    EXPECT_EQ(verdict.exit_code, Exit_success) << verdict.text;
    ASSERT_EQ(verdict.layers().size(), 2) << verdict.text;
    EXPECT_EQ(names(signature(verdict, 0)["covers"]), (QStringList{"contratto.txt", "allegati/allegato.txt.p7m"}));
    EXPECT_EQ(verdict.layer(1)["file"].toString(), "allegato.txt.p7m");
    EXPECT_EQ(verdict.layer(1)["document"].toString(), "allegato.txt");
    EXPECT_TRUE(has_line(verdict.lines(1), "info: Il documento è firmato correttamente e integro.")) << verdict.text;
    // None of the container's time stamps or signatures is handed to the inner layer as its proof.
    EXPECT_TRUE(verdict.layer(1)["timestamps"].toArray().isEmpty());
}

TEST_F(Asic_files_test, a_time_stamped_document_is_time_stamped_only)
{
    const Verdict verdict = verify("contratto-marcato.asics");
    EXPECT_EQ(verdict.exit_code, Exit_warnings) << verdict.text;
    EXPECT_TRUE(has_line(verdict.lines(0), "warning: Il documento non è firmato: ha soltanto la marca temporale."));
    EXPECT_TRUE(verdict.timestamp(0)["verified"].toBool()) << verdict.text;
    EXPECT_TRUE(verdict.timestamp(0)["trusted"].toBool()) << verdict.text;
    EXPECT_EQ(verdict.layer(0)["document"].toString(), "contratto.txt");
    EXPECT_TRUE(verdict.layer(0)["uncovered"].toArray().isEmpty()) << verdict.text;
}

TEST_F(Asic_files_test, manifests_cover_the_files_whose_digests_hold)
{
    const Verdict verdict = verify("pratica.asice");
    EXPECT_EQ(verdict.exit_code, Exit_success) << verdict.text;
    EXPECT_TRUE(has_line(verdict.lines(0), "info: Il documento è firmato correttamente e integro.")) << verdict.text;
    const QStringList both{"contratto.txt", "allegati/allegato tecnico.txt"};
    EXPECT_EQ(names(signature(verdict, 0)["covers"]), both);
    EXPECT_EQ(names(verdict.layer(0)["container_files"]), both);
    EXPECT_TRUE(verdict.layer(0)["uncovered"].toArray().isEmpty());

    // Two manifests, two signers: the second covers the attachment only.
    const Verdict two = verify("pratica-due-firme.bdoc");
    EXPECT_EQ(two.exit_code, Exit_success) << two.text;
    ASSERT_EQ(two.layer(0)["signatures"].toArray().size(), 2) << two.text;
    EXPECT_EQ(names(signature(two, 0)["covers"]), both);
    EXPECT_EQ(names(signature(two, 1)["covers"]), QStringList{"allegati/allegato tecnico.txt"});

    // A manifest under a time stamp: the files are time-stamped, not signed.
    const Verdict stamped = verify("pratica-manifesto-marcato.asice");
    EXPECT_EQ(stamped.exit_code, Exit_warnings) << stamped.text;
    EXPECT_TRUE(has_line(stamped.lines(0), "warning: Il documento non è firmato: ha soltanto la marca temporale."))
        << stamped.text;
    EXPECT_TRUE(stamped.timestamp(0)["verified"].toBool()) << stamped.text;
    EXPECT_TRUE(stamped.timestamp(0)["trusted"].toBool()) << stamped.text;
    EXPECT_TRUE(stamped.layer(0)["uncovered"].toArray().isEmpty()) << stamped.text;
    // A file changed under it: the time stamp is no proof.
    const Verdict stamped_changed = verify("pratica-marcata-file-cambiato.asice");
    EXPECT_EQ(stamped_changed.exit_code, Exit_errors) << stamped_changed.text;
    EXPECT_TRUE(has_line(stamped_changed.lines(0), "error: Un file elencato dal manifesto della marca temporale non "
                                                   "corrisponde al suo hash."))
        << stamped_changed.text;
    EXPECT_FALSE(stamped_changed.timestamp(0)["verified"].toBool());
    EXPECT_EQ(stamped_changed.layer(0)["uncovered"].toArray().size(), 2) << stamped_changed.text;

    // A file no signature covers: listed, with a warning.
    const Verdict extra = verify("pratica-file-in-piu.asice");
    EXPECT_EQ(extra.exit_code, Exit_warnings) << extra.text;
    EXPECT_EQ(names(extra.layer(0)["uncovered"]), QStringList{"nota.txt"});
    EXPECT_TRUE(
        has_line(extra.lines(0), "warning: Il file \"nota.txt\" del contenitore non è coperto da alcuna firma."))
        << extra.text;
    // The same in the text report.
    const Verdict text = verifier.verify(fixtures / "pratica-file-in-piu.asice", {}, false);
    EXPECT_EQ(text.exit_code, Exit_warnings) << text.text;
    EXPECT_NE(text.text.find("    File coperti: contratto.txt, allegati/allegato tecnico.txt\n"), std::string::npos)
        << text.text;
    EXPECT_NE(text.text.find("  File del contenitore: nota.txt (non coperto da alcuna firma)\n"), std::string::npos)
        << text.text;
}

TEST_F(Asic_files_test, a_changed_missing_or_relisted_file_is_an_error_of_the_signature)
{
    const Verdict changed = verify("pratica-file-cambiato.asice");
    EXPECT_EQ(changed.exit_code, Exit_errors) << changed.text;
    EXPECT_TRUE(has_line(changed.lines(0), "error: La firma non corrisponde al documento.")) << changed.text;
    EXPECT_TRUE(signature(changed, 0)["covers"].toArray().isEmpty());

    // Two files whose contents changed places.
    const Verdict swapped = verify("pratica-file-scambiati.asice");
    EXPECT_EQ(swapped.exit_code, Exit_errors) << swapped.text;
    EXPECT_TRUE(has_line(swapped.lines(0), "error: La firma non corrisponde al documento.")) << swapped.text;

    const Verdict missing = verify("pratica-file-mancante.asice");
    EXPECT_EQ(missing.exit_code, Exit_errors) << missing.text;
    EXPECT_TRUE(has_line(missing.lines(0), "error: Il file \"allegati/allegato tecnico.txt\" indicato dalla firma non "
                                           "è presente nel contenitore."))
        << missing.text;

    // A manifest rewritten for another attachment no longer matches its signature.
    const Verdict replaced = verify("pratica-manifesto-sostituito.asice");
    EXPECT_EQ(replaced.exit_code, Exit_errors) << replaced.text;
    EXPECT_TRUE(has_line(replaced.lines(0), "error: La firma non corrisponde al documento.")) << replaced.text;
    EXPECT_EQ(replaced.layer(0)["uncovered"].toArray().size(), 2) << replaced.text;
}

TEST_F(Asic_files_test, hostile_containers_are_refused_in_words_of_ours)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"danneggiato.asics", Asic_text_damaged},   {"bomba.asics", Asic_text_too_large},
        {"risale.asics", Asic_text_bad_name},       {"assoluto.asics", Asic_text_bad_name},
        {"nome-doppio.asics", Asic_text_duplicate}, {"cifrato.asics", Asic_text_encrypted},
        {"troppi-file.asice", Asic_text_too_many},
    };
    for (const auto& [name, text] : cases) {
        const Verdict verdict = verify(name);
        EXPECT_EQ(verdict.exit_code, Exit_errors) << name << "\n" << verdict.text;
        EXPECT_TRUE(has_line(verdict.lines(0), "error: " + text)) << name << "\n" << verdict.text;
        EXPECT_TRUE(verdict.layer(0)["signatures"].toArray().isEmpty()) << name;
    }
    // Nothing was written under an entry's name, inside or beside the program's folders.
    EXPECT_FALSE(std::filesystem::exists("/tmp/contratto.txt"));
    EXPECT_FALSE(std::filesystem::exists(fixtures.parent_path() / "contratto.txt"));
}

TEST_F(Asic_files_test, stored_files_are_verified_where_they_lie_in_the_container)
{
    const Verdict verdict = verify("pratica-non-compressa.asice");
    EXPECT_EQ(verdict.exit_code, Exit_success) << verdict.text;
    EXPECT_EQ(names(signature(verdict, 0)["covers"]), (QStringList{"contratto.txt", "allegati/allegato tecnico.txt"}));
    EXPECT_TRUE(verdict.layer(0)["uncovered"].toArray().isEmpty()) << verdict.text;
    const Verdict changed = verify("pratica-non-compressa-cambiata.asice");
    EXPECT_EQ(changed.exit_code, Exit_errors) << changed.text;
    EXPECT_TRUE(has_line(changed.lines(0), "error: La firma non corrisponde al documento.")) << changed.text;
    EXPECT_TRUE(signature(changed, 0)["covers"].toArray().isEmpty());

    // A stored envelope is the next layer, read from the container's file.
    const Verdict nested = verify("contratto-busta-non-compressa.asics");
    EXPECT_EQ(nested.exit_code, Exit_success) << nested.text;
    ASSERT_EQ(nested.layers().size(), 2) << nested.text;
    EXPECT_EQ(names(signature(nested, 0)["covers"]), QStringList{"contratto.txt.p7m"});
    EXPECT_EQ(nested.layer(1)["document"].toString(), "contratto.txt");
    EXPECT_TRUE(has_line(nested.lines(1), "info: Il documento è firmato correttamente e integro.")) << nested.text;
}

} // namespace
} // namespace velin
