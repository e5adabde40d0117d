// Signed XML files as the verifier meets them, made by tools/make-xades-fixtures with xmlsec1 and
// the test PKI and verified by the program in batch mode: an invoice signed enveloped, with a
// signature time stamp, with two signatures and with a counter-signature; enveloping and detached
// signatures; signatures placed as other applications place them; the changed and hostile
// files, which must never verify; and the invoice kept for the long term, its archive time stamps
// checked and its own values used, and broken after them.
#include "VelinVerify/app/batch_report.h"
#include "batch_verifier.h"
#include "envelope/xml_long_term.h"
#include "envelope/xml_signature.h"
#include "generated_fixtures.h"

namespace velin {
namespace {

using test::has_line;
using test::Verdict;

class Xml_signature_files_test : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        generated = new test::Generated_fixtures(VELIN_XADES_FIXTURES, [](const std::filesystem::path& folder) {
            return std::string("'") + VELIN_SOURCE_DIR + "/tools/make-xades-fixtures/make-xades-fixtures' '" +
                   folder.string() + "'";
        });
        fixtures = generated->path();
        ASSERT_FALSE(fixtures.empty()) << "the fixture generator failed: " << generated->failure();
    }
    static void TearDownTestSuite()
    {
        delete generated;
        generated = nullptr;
    }

    Verdict verify(const std::string& name) { return verifier.verify(fixtures / name); }

    static QJsonObject signature(const Verdict& verdict, int index)
    {
        return verdict.layer(0)["signatures"].toArray()[index].toObject();
    }

    static test::Generated_fixtures* generated;
    static std::filesystem::path fixtures;
    test::Batch_verifier verifier;
};

test::Generated_fixtures* Xml_signature_files_test::generated = nullptr;
std::filesystem::path Xml_signature_files_test::fixtures;

TEST_F(Xml_signature_files_test, signed_invoices_verify_in_every_form)
{
    // The filter applications write to leave every signature out is read like the enveloped one.
    const Verdict filtered = verify("fattura-filtro.xml");
    EXPECT_EQ(filtered.exit_code, Exit_success) << filtered.text;

    const Verdict invoice = verify("fattura.xml");
    EXPECT_EQ(invoice.exit_code, Exit_success) << invoice.text;
    EXPECT_TRUE(has_line(invoice.lines(0), "info: Il documento è firmato correttamente e integro.")) << invoice.text;
    EXPECT_EQ(invoice.layers().size(), 1);
    EXPECT_EQ(invoice.layer(0)["document"].toString(), "fattura.xml");
    EXPECT_FALSE(signature(invoice, 0)["signing_time"].toString().isEmpty()) << invoice.text;

    // The signature time stamp covers the signature value: the signer is judged at its time.
    const Verdict stamped = verify("fattura-marcata.xml");
    EXPECT_EQ(stamped.exit_code, Exit_success) << stamped.text;
    EXPECT_TRUE(stamped.timestamp(0)["verified"].toBool()) << stamped.text;
    EXPECT_EQ(stamped.timestamp(0)["scope"].toString(), "signature");
    EXPECT_EQ(signature(stamped, 0)["judged_at"], stamped.timestamp(0)["time"]);

    const Verdict two = verify("fattura-due-firme.xml");
    ASSERT_EQ(two.layer(0)["signatures"].toArray().size(), 2) << two.text;
    EXPECT_TRUE(has_line(two.lines(0), "info: Il documento è firmato correttamente e integro.")) << two.text;
    EXPECT_NE(two.exit_code, Exit_errors) << two.text;

    const Verdict countersigned = verify("fattura-controfirmata.xml");
    EXPECT_EQ(countersigned.exit_code, Exit_success) << countersigned.text;
    const QJsonArray counters = signature(countersigned, 0)["countersignatures"].toArray();
    ASSERT_EQ(counters.size(), 1) << countersigned.text;
    EXPECT_TRUE(counters[0].toObject()["matches"].toBool());
    EXPECT_TRUE(has_line(countersigned.lines(0), "info: Controfirma di BIANCHI LUCIA.")) << countersigned.text;

    const Verdict enveloping = verify("contratto-avvolto.xml");
    EXPECT_EQ(enveloping.exit_code, Exit_success) << enveloping.text;

    // The document of a detached signature is the file its reference names, beside it.
    const Verdict detached = verify("contratto-firma.xml");
    EXPECT_EQ(detached.exit_code, Exit_success) << detached.text;
    EXPECT_EQ(detached.layer(0)["document"].toString(), "contratto.txt");
    const std::filesystem::path alone = verifier.folder.path() / "sola";
    std::filesystem::create_directories(alone);
    std::filesystem::copy_file(fixtures / "contratto-firma.xml", alone / "contratto-firma.xml");
    const Verdict missing = verifier.verify(alone / "contratto-firma.xml");
    EXPECT_EQ(missing.exit_code, Exit_errors);
    EXPECT_TRUE(has_line(missing.lines(0), std::string("error: ") + detached_document_missing_text)) << missing.text;
}

TEST_F(Xml_signature_files_test, signatures_placed_as_other_applications_place_them_verify)
{
    // A counter-signature over an invoice signed through the XPath filter; the Target of the
    // qualifying properties, which is not signed, names neither signature by its Id.
    const Verdict countersigned = verify("fattura-filtro-controfirmata.xml");
    EXPECT_EQ(countersigned.exit_code, Exit_success) << countersigned.text;
    EXPECT_TRUE(has_line(countersigned.lines(0), "info: Il documento è firmato correttamente e integro."))
        << countersigned.text;
    const QJsonArray counters = signature(countersigned, 0)["countersignatures"].toArray();
    ASSERT_EQ(counters.size(), 1) << countersigned.text;
    EXPECT_TRUE(counters[0].toObject()["matches"].toBool()) << countersigned.text;

    // Three parallel signatures in a container element, each signing two elements by Id.
    const Verdict parallel = verify("pratica-tre-firme.xml");
    EXPECT_NE(parallel.exit_code, Exit_errors) << parallel.text;
    EXPECT_TRUE(has_line(parallel.lines(0), "info: Il documento è firmato correttamente e integro.")) << parallel.text;
    EXPECT_FALSE(has_line(parallel.lines(0), std::string("error: ") + signature_mismatch_text)) << parallel.text;
    ASSERT_EQ(parallel.layer(0)["signatures"].toArray().size(), 3) << parallel.text;
    EXPECT_EQ(signature(parallel, 0)["signer"].toString(), "ROSSI MARIO");
    EXPECT_EQ(signature(parallel, 1)["signer"].toString(), "BIANCHI LUCIA");
    EXPECT_FALSE(signature(parallel, 2)["signer"].toString().isEmpty());

    // What is shown is what they sign: the two elements, not a note beside them that no signature covers.
    const Verdict noted = verify("pratica-tre-firme-nota.xml");
    EXPECT_NE(noted.exit_code, Exit_errors) << noted.text;
    const std::vector<uint8_t> file = test::read_bytes(fixtures / "pratica-tre-firme-nota.xml");
    Xml_signature reading;
    reading.parse(file);
    ASSERT_TRUE(reading.parsed()) << reading.failure_text();
    reading.extract_original_document();
    const std::string content(reinterpret_cast<const char*>(reading.content().data()), reading.content().size());
    EXPECT_TRUE(content.starts_with("<Domanda xmlns=\"urn:velin:pratica\" Id=\"domanda\">")) << content;
    EXPECT_NE(content.find("<Importo>1000.00</Importo>"), std::string::npos) << content;
    EXPECT_NE(content.find("<Descrizione>Preventivo firmato</Descrizione></Allegato>"), std::string::npos) << content;
    EXPECT_EQ(content.find("9000.00"), std::string::npos) << content;

    // A signature hidden inside an element the others sign.
    const Verdict hidden = verify("attacco-firma-in-elemento.xml");
    EXPECT_EQ(hidden.exit_code, Exit_errors) << hidden.text;
    EXPECT_TRUE(has_line(hidden.lines(0), std::string("error: ") + Xml_text_misplaced)) << hidden.text;
}

TEST_F(Xml_signature_files_test, changed_and_wrapped_files_never_verify)
{
    const struct {
        const char* file;
        std::string line;
    } cases[] = {
        {"fattura-importo-cambiato.xml", signature_mismatch_text},
        {"attacco-firma-nascosta.xml", Xml_text_misplaced},
        {"attacco-id-doppio.xml", Xml_text_duplicate_id},
        {"attacco-copia-proprieta.xml", Xml_text_properties},
        {"attacco-oggetto-spostato.xml", Xml_text_reference},
        {"attacco-xslt.xml", Xml_text_transform},
        {"attacco-xpath.xml", Xml_text_transform},
        {"attacco-uri-esterno.xml", Xml_text_external},
    };
    for (const auto& attack : cases) {
        const Verdict verdict = verify(attack.file);
        EXPECT_EQ(verdict.exit_code, Exit_errors) << attack.file << "\n" << verdict.text;
        EXPECT_TRUE(has_line(verdict.lines(0), "error: " + attack.line)) << attack.file << "\n" << verdict.text;
        EXPECT_FALSE(has_line(verdict.lines(0), "info: Il documento è firmato correttamente e integro."))
            << attack.file;
    }
}

TEST_F(Xml_signature_files_test, a_namespaced_id_never_chooses_what_is_shown)
{
    // The controls: a contract, an invoice and an envelope carried in base64 by an enveloping
    // signature; the envelope is the next layer.
    for (const char* file : {"contratto-avvolto-base64.xml", "fattura-avvolta.xml", "busta-avvolta.xml"}) {
        const Verdict verdict = verify(file);
        EXPECT_EQ(verdict.exit_code, Exit_success) << file << "\n" << verdict.text;
        EXPECT_TRUE(has_line(verdict.lines(0), "info: Il documento è firmato correttamente e integro."))
            << file << "\n"
            << verdict.text;
    }
    EXPECT_EQ(verify("busta-avvolta.xml").layers().size(), 2);

    // The document handed on is the one xmlsec digested: the invoice, decoded.
    const std::vector<uint8_t> file = test::read_bytes(fixtures / "fattura-avvolta.xml");
    Xml_signature reading;
    reading.parse(file);
    ASSERT_TRUE(reading.parsed()) << reading.failure_text();
    reading.extract_original_document();
    const std::string content(reinterpret_cast<const char*>(reading.content().data()), reading.content().size());
    EXPECT_TRUE(content.starts_with("<?xml")) << content;
    EXPECT_NE(content.find("<ImportoTotaleDocumento>122.00<"), std::string::npos) << content;

    // The signed Object moved into a decoy whose Id is namespaced, a forgery (another contract,
    // invoice or envelope) under the plain Id.
    for (const char* file : {"attacco-id-prefissato.xml", "attacco-id-prefissato-maiuscolo.xml",
                             "attacco-id-prefissato-minuscolo.xml", "attacco-id-prefissato-keyinfo.xml",
                             "attacco-id-prefissato-oggetto.xml", "attacco-id-fattura.xml", "attacco-id-busta.xml"}) {
        const Verdict verdict = verify(file);
        EXPECT_EQ(verdict.exit_code, Exit_errors) << file << "\n" << verdict.text;
        EXPECT_TRUE(has_line(verdict.lines(0), std::string("error: ") + Xml_text_duplicate_id)) << file << "\n"
                                                                                                << verdict.text;
        EXPECT_FALSE(has_line(verdict.lines(0), "info: Il documento è firmato correttamente e integro.")) << file;
        EXPECT_EQ(verdict.layers().size(), 1) << file << "\n" << verdict.text;
    }
}

TEST_F(Xml_signature_files_test, an_xpath_filter_is_read_exactly)
{
    // Spaced as XPath allows, with a prefix of its own bound to the signature namespace.
    const Verdict spaced = verify("fattura-xpath-spaziata.xml");
    EXPECT_EQ(spaced.exit_code, Exit_success) << spaced.text;
    EXPECT_TRUE(has_line(spaced.lines(0), "info: Il documento è firmato correttamente e integro.")) << spaced.text;

    // The total left out of what is signed by a filter that only looks like the allowed one, then
    // changed: xmlsec would find the signature intact.
    const Verdict tricked = verify("attacco-xpath-prefisso.xml");
    EXPECT_EQ(tricked.exit_code, Exit_errors) << tricked.text;
    EXPECT_TRUE(has_line(tricked.lines(0), std::string("error: ") + Xml_text_transform)) << tricked.text;
    EXPECT_FALSE(has_line(tricked.lines(0), "info: Il documento è firmato correttamente e integro."));
}

TEST_F(Xml_signature_files_test, signatures_that_do_not_bind_their_certificate_have_no_legal_value)
{
    const std::string legal = "Firma digitale (con validità legale)";
    const std::string attestation = "Firma elettronica (attestazione)";
    const Verdict invoice = verify("fattura.xml");
    EXPECT_EQ(signature(invoice, 0)["kind"].toString().toStdString(), legal) << invoice.text;

    const Verdict unbound = verify("fattura-senza-certificato-firmato.xml");
    EXPECT_TRUE(has_line(unbound.lines(0), "info: Il documento è firmato correttamente e integro.")) << unbound.text;
    EXPECT_TRUE(has_line(unbound.lines(0), std::string("warning: ") + Xml_text_unbound_certificate)) << unbound.text;
    EXPECT_EQ(signature(unbound, 0)["kind"].toString().toStdString(), attestation) << unbound.text;

    const Verdict plain = verify("fattura-xmldsig.xml");
    EXPECT_TRUE(has_line(plain.lines(0), "info: Il documento è firmato correttamente e integro.")) << plain.text;
    EXPECT_TRUE(has_line(plain.lines(0), std::string("info: ") + Xml_text_without_xades)) << plain.text;
    EXPECT_EQ(signature(plain, 0)["kind"].toString().toStdString(), attestation) << plain.text;
}

// The time stamps of one signature of a file as the reader checks them, before the verifier.
std::vector<Timestamp_info> long_term_timestamps(const std::filesystem::path& file)
{
    Xml_signature reading;
    reading.parse(test::read_bytes(file));
    if (!reading.parsed())
        return {};
    reading.extract_original_document();
    reading.read_signatures();
    reading.select_signature(0);
    return reading.signer_long_term_timestamps();
}

TEST_F(Xml_signature_files_test, a_long_term_invoice_verifies_with_its_archive_time_stamp_and_its_own_values)
{
    const Verdict archived = verify("fattura-lungo-termine.xml");
    EXPECT_EQ(archived.exit_code, Exit_success) << archived.text;
    EXPECT_TRUE(has_line(archived.lines(0), "info: Il documento è firmato correttamente e integro.")) << archived.text;
    // The signature time stamp, the one over the signature and its references, the one over the
    // references alone, the archive one.
    const QJsonArray timestamps = archived.layer(0)["timestamps"].toArray();
    ASSERT_EQ(timestamps.size(), 4) << archived.text;
    const char* scopes[] = {"signature", "archive", "references", "archive"};
    for (int n = 0; n < 4; ++n) {
        EXPECT_EQ(archived.timestamp(0, n)["scope"].toString(), scopes[n]) << n;
        EXPECT_TRUE(archived.timestamp(0, n)["verified"].toBool()) << n << "\n" << archived.text;
    }

    // The one over the signature covers its time stamp; the archive one every time stamp before it.
    const std::vector<Timestamp_info> read = long_term_timestamps(fixtures / "fattura-lungo-termine.xml");
    ASSERT_EQ(read.size(), 3u);
    EXPECT_EQ(read[0].covered_timestamps, std::vector<size_t>{0});
    EXPECT_TRUE(read[1].covered_timestamps.empty());
    EXPECT_EQ(read[2].covered_timestamps, (std::vector<size_t>{0, 1, 2}));
    EXPECT_TRUE(read[2].imprint_matches);

    // Without the authority's CRL in the cache and without the network, the CRL the file carries
    // answers for the signer; the same invoice without it cannot say.
    for (const auto& cached : std::filesystem::directory_iterator(verifier.data / "cache"))
        std::filesystem::remove_all(cached.path());
    const std::string unknown = "warning: La revoca del certificato non può essere rilevata.";
    const Verdict offline = verify("fattura-lungo-termine.xml");
    EXPECT_FALSE(has_line(offline.lines(0), unknown)) << offline.text;
    EXPECT_TRUE(has_line(offline.lines(0), "info: Revoca verificata tramite la CRL contenuta nel file: ROSSI MARIO."))
        << offline.text;
    EXPECT_EQ(offline.exit_code, Exit_success) << offline.text;
    const Verdict stamped = verify("fattura-marcata.xml");
    EXPECT_TRUE(has_line(stamped.lines(0), unknown)) << stamped.text;
}

TEST_F(Xml_signature_files_test, a_renewed_archive_time_stamp_covers_the_one_before_it)
{
    const Verdict renewed = verify("fattura-lungo-termine-rinnovata.xml");
    EXPECT_EQ(renewed.exit_code, Exit_success) << renewed.text;
    ASSERT_EQ(renewed.layer(0)["timestamps"].toArray().size(), 5) << renewed.text;
    for (int n : {1, 2, 3, 4})
        EXPECT_TRUE(renewed.timestamp(0, n)["verified"].toBool()) << n << "\n" << renewed.text;

    // The second one, canonical exclusive, over everything the first covers and the first itself.
    const std::vector<Timestamp_info> read = long_term_timestamps(fixtures / "fattura-lungo-termine-rinnovata.xml");
    ASSERT_EQ(read.size(), 4u);
    EXPECT_EQ(read[3].scope, Timestamp_scope::Archive);
    EXPECT_EQ(read[3].covered_timestamps, (std::vector<size_t>{0, 1, 2, 3}));
    EXPECT_TRUE(read[3].verified());

    // The text report names the signer of each, none as the file's.
    const Verdict text = verifier.verify(fixtures / "fattura-lungo-termine-rinnovata.xml", {}, false);
    EXPECT_NE(text.text.find("Marca temporale d'archivio della firma 1: "), std::string::npos) << text.text;
    EXPECT_NE(text.text.find("Marca temporale dei riferimenti della firma 1: "), std::string::npos) << text.text;
    EXPECT_EQ(text.text.find("Marca temporale del file"), std::string::npos) << text.text;
}

TEST_F(Xml_signature_files_test, long_term_data_changed_after_its_time_stamps_makes_them_no_proof)
{
    // A certificate of the values taken out, the CRL exchanged: the archive time stamp no longer
    // matches, and the value the references name is gone, which every time stamp over the
    // references says; the signature and its own time stamp still hold.
    const struct {
        const char* file;
        const char* reference;
    } cases[] = {
        {"fattura-lungo-termine-certificato-tolto.xml", Xml_text_certificate_reference},
        {"fattura-lungo-termine-revoca-cambiata.xml", Xml_text_revocation_reference},
    };
    for (const auto& changed : cases) {
        const Verdict verdict = verify(changed.file);
        ASSERT_EQ(verdict.layer(0)["timestamps"].toArray().size(), 4) << changed.file << "\n" << verdict.text;
        EXPECT_TRUE(verdict.timestamp(0)["verified"].toBool()) << changed.file << "\n" << verdict.text;
        for (int n : {1, 2, 3})
            EXPECT_FALSE(verdict.timestamp(0, n)["verified"].toBool()) << changed.file << n << "\n" << verdict.text;
        EXPECT_EQ(verdict.exit_code, Exit_errors) << changed.file << "\n" << verdict.text;
        EXPECT_TRUE(has_line(verdict.lines(0), std::string("error: ") + changed.reference)) << changed.file << "\n"
                                                                                            << verdict.text;
        EXPECT_TRUE(has_line(verdict.lines(0), "info: Il documento è firmato correttamente e integro."))
            << changed.file << "\n"
            << verdict.text;
        const std::vector<Timestamp_info> read = long_term_timestamps(fixtures / changed.file);
        ASSERT_EQ(read.size(), 3u) << changed.file;
        for (int n : {0, 1}) {
            EXPECT_TRUE(read[n].imprint_matches) << changed.file << n;
            EXPECT_EQ(read[n].coverage_errors, std::vector<std::string>{changed.reference}) << changed.file << n;
        }
        EXPECT_FALSE(read[2].imprint_matches) << changed.file;
        EXPECT_TRUE(read[2].signature_valid) << changed.file;
    }

    // References naming a certificate the file never carried, each time stamp made over them as
    // they are: they match, and vouch for nothing.
    const Verdict orphan = verify("fattura-lungo-termine-riferimento-orfano.xml");
    EXPECT_TRUE(has_line(orphan.lines(0), std::string("error: ") + Xml_text_certificate_reference)) << orphan.text;
    for (int n : {1, 2, 3})
        EXPECT_FALSE(orphan.timestamp(0, n)["verified"].toBool()) << n << "\n" << orphan.text;
    EXPECT_TRUE(orphan.timestamp(0)["verified"].toBool()) << orphan.text;
    const std::vector<Timestamp_info> read =
        long_term_timestamps(fixtures / "fattura-lungo-termine-riferimento-orfano.xml");
    ASSERT_EQ(read.size(), 3u);
    EXPECT_TRUE(read[2].imprint_matches);
    EXPECT_EQ(read[2].coverage_errors, std::vector<std::string>{Xml_text_certificate_reference});

    // Without a time stamp over them, the signature itself says so; its time stamp still holds.
    const Verdict unstamped = verify("fattura-riferimento-orfano-senza-marca.xml");
    EXPECT_TRUE(has_line(unstamped.lines(0), std::string("warning: ") + Xml_text_certificate_reference))
        << unstamped.text;
    EXPECT_TRUE(has_line(unstamped.lines(0), "info: Il documento è firmato correttamente e integro."))
        << unstamped.text;
    ASSERT_EQ(unstamped.layer(0)["timestamps"].toArray().size(), 1) << unstamped.text;
    EXPECT_TRUE(unstamped.timestamp(0)["verified"].toBool()) << unstamped.text;
}

} // namespace
} // namespace velin
