// The body of the "Rapporto di verifica": what a clerk reads, in Italian, and names from
// certificates kept as text, never taken for markup.
#include "VelinVerify/report/pdf_report.h"

#include <gtest/gtest.h>

namespace velin {
namespace {

struct Sample {
    Sample()
    {
        report.file = "/home/anna/contratto.pdf.p7m";
        report.outcome = "errors";
        report.message = "Analisi del file completata con errori.";
        Batch_layer layer;
        layer.file = report.file;
        Signature_display display;
        display.signer = "<img src=x> ROSSI & MARIO";
        display.kind = "Firma digitale (con validità legale)";
        display.signing_time = "08/12/2026 06:03:07";
        display.status = {{Line_severity::Error, "La firma non corrisponde al documento."}};
        layer.signatures = {display};
        layer.countersignatures = {{{"VERDI LUCA", false}}};
        layer.activity = {{Line_severity::Warning, "La verifica della revoca dei certificati è disabilitata."}};
        report.layers = {layer};

        facts.name = "contratto.pdf.p7m";
        facts.size = 1234567;
        facts.sha256 = std::string(64, 'a');
        facts.verified_at = 1765000000;
        Report_signer signer;
        signer.certificate = Report_certificate{};
        signer.certificate->fiscal_code = "RSSMRA80A01L999X";
        signer.certificate->issuer = "Certificatore \x1b[31m Demo";
        signer.certificate->serial = "1001";
        signer.indication = {Report_indication::Main::Total_failed, "HASH_FAILURE"};
        signer.revocation = "certificato non revocato";
        signer.changed_after = true;
        signer.later_forbidden = "una pagina aggiunta";
        facts.layers = {Report_layer_facts{{signer}, {}}};

        context.suite_version = "3.3.0";
        context.host_name = "sportello-1";
        context.trusted_lists = {"Lista IT n. 42"};
        context.certificate_lists = {{"Elenco nazionale", true, std::string(64, 'c')}, {"Elenco utente", false, {}}};
        context.revocation_settings = "Verifica della revoca disabilitata.";
    }

    std::string html() const { return report_html(report, facts, context).toStdString(); }

    Batch_report report;
    Report_facts facts;
    Report_context context;
};

TEST(Pdf_report, TheBodyCarriesWhatAClerkMustKeep)
{
    const std::string html = Sample().html();
    for (const std::string& expected : {std::string("Rapporto di verifica"),
                                        std::string(64, 'a'),
                                        std::string("1.234.567 byte"),
                                        std::string("06/12/2025 05:46:40 (UTC)"),
                                        std::string("Velin Manager 3.3.0"),
                                        std::string("sportello-1"),
                                        std::string("Lista IT n. 42"),
                                        std::string("Elenco nazionale: in uso"),
                                        std::string(64, 'c'),
                                        std::string("Elenco utente: non in uso"),
                                        std::string("Verifica della revoca disabilitata."),
                                        std::string("Esito negativo"),
                                        std::string("RSSMRA80A01L999X"),
                                        std::string("1001"),
                                        std::string("Verifica non superata (total-failed, HASH_FAILURE)"),
                                        std::string("VERDI LUCA (non corrisponde)"),
                                        std::string("La firma non corrisponde al documento."),
                                        std::string("errore"),
                                        std::string("avviso"),
                                        std::string("Firma digitale (con validità legale)"),
                                        std::string("certificato non revocato")})
        EXPECT_NE(html.find(expected), std::string::npos) << expected;
}

// The revocation's rows name the kind of object its digest is of, and give no time for a check
// that was not made.
TEST(Pdf_report, ARevocationCheckNotMadeWasMadeAtNoTime)
{
    Sample sample;
    Report_revocation& revocation = sample.facts.layers[0].signers[0].revocation_details;
    revocation.status = Revocation_status::Valid;
    revocation.source = Revocation_source::Crl;
    revocation.sha256.assign(32, 0xAB);
    EXPECT_NE(sample.html().find("SHA-256 della lista di revoca"), std::string::npos);
    EXPECT_NE(sample.html().find("06/12/2025 05:46:40 (UTC) (ora della verifica)"), std::string::npos);
    revocation.status = Revocation_status::Not_checked;
    EXPECT_EQ(sample.html().find("(ora della verifica)"), std::string::npos);
}

TEST(Pdf_report, NamesFromCertificatesAreTextNotMarkup)
{
    const std::string html = Sample().html();
    EXPECT_EQ(html.find("<img"), std::string::npos);
    EXPECT_NE(html.find("&lt;img src=x&gt; ROSSI &amp; MARIO"), std::string::npos);
    EXPECT_EQ(html.find('\x1b'), std::string::npos);
}

TEST(Pdf_report, TheOutcomeIsSaidInPlainWords)
{
    Batch_report report;
    EXPECT_NE(plain_outcome(report).find("Non è stato possibile arrivare a un esito"), std::string::npos);
    report.outcome = "success";
    EXPECT_EQ(plain_outcome(report).rfind("Esito positivo:", 0), 0u);
    report.outcome = "warnings";
    EXPECT_EQ(plain_outcome(report).rfind("Esito positivo con segnalazioni", 0), 0u);
    report.outcome = "errors";
    EXPECT_EQ(plain_outcome(report).rfind("Esito negativo", 0), 0u);

    // Without facts of a layer (a file that could not be analysed) the body is still made.
    Sample sample;
    sample.facts.layers.clear();
    sample.facts.size.reset();
    sample.facts.sha256.clear();
    const std::string html = sample.html();
    EXPECT_NE(html.find("file non leggibile"), std::string::npos);
    EXPECT_NE(html.find("non calcolabile"), std::string::npos);
}

} // namespace
} // namespace velin
