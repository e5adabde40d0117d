// The body of the "Rapporto di verifica": what a clerk reads, in Italian, and names from
// certificates kept as text, never taken for markup.
#include "VelinVerify/report/pdf_report.h"
#include "test_folder.h"

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QProcess>

#include <cstdlib>
#include <filesystem>
#include <sstream>

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
        facts.layers.emplace_back();
        facts.layers[0].signers = {signer};

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

std::string repeated(const std::string& part, size_t times)
{
    std::string text;
    for (size_t i = 0; i < times; ++i)
        text += part;
    return text;
}

TEST(Pdf_report, AContainersFilesAndWhatEachSignatureCovers)
{
    Sample sample;
    Batch_layer& layer = sample.report.layers[0];
    layer.signatures.push_back(layer.signatures[0]);
    layer.container_files = std::vector<std::string>{"contratto.txt", "allegati/allegato tecnico.txt", "nota.txt"};
    layer.covers = {{"contratto.txt", "allegati/allegato tecnico.txt"}, {}};
    layer.uncovered = {"nota.txt"};
    sample.facts.layers[0].signers.push_back(sample.facts.layers[0].signers[0]);
    sample.facts.layers[0].container_files = {{"contratto.txt", 1234, std::vector<uint8_t>(32, 0xab), false},
                                              {"allegati/allegato tecnico.txt", 5, {}, true},
                                              {"nota.txt", 0, std::vector<uint8_t>(32, 0xcd), false}};
    const std::string html = sample.html();
    for (const std::string& expected :
         {std::string("File del contenitore"),
          "<td>contratto.txt<br/><span style=\"font-size: 7pt\">SHA-256 " + repeated("ab", 32) +
              "</span></td><td>1.234 byte</td><td>firma 1</td>",
          std::string("<td>allegati/allegato tecnico.txt</td><td>5 byte</td><td>firma 1, marca temporale del "
                      "contenitore</td>"),
          "<td>nota.txt<br/><span style=\"font-size: 7pt\">SHA-256 " + repeated("cd", 32) +
              "</span></td><td>0 byte</td><td>nessuna firma</td>",
          std::string("Il file &quot;nota.txt&quot; del contenitore non è coperto da alcuna firma."),
          std::string("File coperti dalla firma</b></td><td>contratto.txt, allegati/allegato tecnico.txt</td>"),
          std::string("File coperti dalla firma</b></td><td>nessuno</td>")})
        EXPECT_NE(html.find(expected), std::string::npos) << expected << "\n" << html;

    // Outside containers, no word of containers.
    const std::string plain = Sample().html();
    EXPECT_EQ(plain.find("contenitore"), std::string::npos);
    EXPECT_EQ(plain.find("File coperti"), std::string::npos);
}

TEST(Pdf_report, APdfsRevisionsAndWhatChangedAfterEachSignature)
{
    Sample sample;
    Batch_layer& layer = sample.report.layers[0];
    layer.signatures.push_back(layer.signatures[0]);
    layer.signatures[1].signer = "BIANCHI ANNA";
    Batch_timestamp stamp;
    stamp.scope = "document";
    stamp.time = "2026-12-10T12:00:00Z";
    layer.timestamps = {stamp};
    Report_layer_facts& known = sample.facts.layers[0];
    known.signers[0].revision_end = 20000;
    known.signers.push_back(known.signers[0]);
    known.signers[1].revision_end = 41000;
    known.signers[1].changed_after = false;
    known.signers[1].later_forbidden.clear();
    Report_timestamp document_stamp;
    document_stamp.revision_end = 30500;
    known.timestamps = {document_stamp};
    known.pdf_length = 41500;
    const std::string html = sample.html();
    for (const std::string& expected :
         {std::string("Revisioni del documento"), std::string("Il documento PDF ha 4 revisioni."),
          std::string("<td>1</td><td>20.000</td><td>firma 1: &lt;img src=x&gt; ROSSI &amp; MARIO</td>"),
          std::string("<td>2</td><td>30.500</td><td>marca temporale del documento del 10/12/2026 12:00:00 (UTC)</td>"),
          std::string("<td>3</td><td>41.000</td><td>firma 2: BIANCHI ANNA</td>"),
          std::string("<td>4</td><td>41.500</td><td>nessuna firma: modifiche aggiunte dopo l'ultima firma o marca "
                      "temporale</td>"),
          std::string("Revisione firmata</b></td><td>revisione 1 di 4 (fino al byte 20.000)</td>"),
          std::string("Modifiche non consentite dopo la firma</b></td><td>una pagina aggiunta</td>"),
          std::string("Revisione firmata</b></td><td>revisione 3 di 4 (fino al byte 41.000)</td>"),
          std::string("Modifiche dopo la firma</b></td><td>nessuna: la firma copre il documento intero</td>")})
        EXPECT_NE(html.find(expected), std::string::npos) << expected << "\n" << html;

    // An envelope has no revisions.
    const std::string plain = Sample().html();
    EXPECT_EQ(plain.find("Revisione"), std::string::npos);
    EXPECT_EQ(plain.find("nessuna: la firma copre"), std::string::npos);
}

// The pages need fonts: a graphical application on the offscreen platform, one for the process.
void graphical_application()
{
    static int argc = 1;
    static char name[] = "test_report";
    static char* argv[] = {name, nullptr};
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static QGuiApplication application(argc, argv);
}

std::string pdf_text(const std::string& pdf)
{
    test::Test_folder folder;
    const std::filesystem::path file = folder / "rapporto.pdf";
    test::write_file(file, pdf);
    QProcess process;
    process.start("pdftotext", {"-layout", QString::fromStdString(file.string()), "-"});
    if (!process.waitForFinished(60000))
        return "pdftotext did not end";
    return process.readAllStandardOutput().toStdString();
}

size_t occurrences(const std::string& text, const std::string& part)
{
    size_t found = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++found;
    return found;
}

TEST(Pdf_report, AHundredSignersBreakAcrossNumberedPagesEachWithTheFilesDigest)
{
    graphical_application();
    Sample sample;
    // A name long enough to wrap, were it not shortened: the digest must stay whole all the same.
    sample.facts.name = std::string(300, 'n') + ".pdf";
    sample.facts.sha256 = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
    Batch_layer& layer = sample.report.layers[0];
    Report_layer_facts& known = sample.facts.layers[0];
    const Signature_display display = layer.signatures[0];
    const Report_signer signer = known.signers[0];
    layer.signatures.clear();
    known.signers.clear();
    layer.countersignatures.clear();
    for (int i = 1; i <= 100; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "FIRMATARIO N%03d", i);
        layer.signatures.push_back(display);
        layer.signatures.back().signer = name;
        known.signers.push_back(signer);
        Batch_timestamp stamp;
        stamp.scope = "signature";
        stamp.signer = static_cast<size_t>(i);
        stamp.time = "2026-12-10T12:00:00Z";
        stamp.authority = std::string("TSA DI ") + name;
        layer.timestamps.push_back(stamp);
    }
    const std::optional<QByteArray> pdf = pdf_report(sample.report, sample.facts, sample.context);
    ASSERT_TRUE(pdf);
    const std::string text = pdf_text(pdf->toStdString());

    std::vector<std::string> pages;
    std::istringstream split(text);
    for (std::string page; std::getline(split, page, '\f');)
        if (page.find_first_not_of(" \n") != std::string::npos)
            pages.push_back(page);
    ASSERT_GT(pages.size(), 10u) << text.substr(0, 2000);
    for (size_t n = 0; n < pages.size(); ++n) {
        EXPECT_NE(pages[n].find("SHA-256 " + sample.facts.sha256), std::string::npos) << "page " << n + 1;
        EXPECT_NE(pages[n].find("Pagina " + std::to_string(n + 1) + " di " + std::to_string(pages.size())),
                  std::string::npos)
            << "page " << n + 1;
    }
    // Every signature once, none cut between two pages; the time stamps' table goes on over its
    // pages with every row, its header repeated.
    for (int i = 1; i <= 100; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "FIRMATARIO N%03d", i);
        EXPECT_EQ(occurrences(text, std::string("Firma ") + std::to_string(i) + ": " + name), 1u) << name;
        EXPECT_EQ(occurrences(text, std::string("TSA DI ") + name), 1u) << name;
    }
    const size_t table_start = text.find("Marche temporali");
    ASSERT_NE(table_start, std::string::npos);
    size_t table_pages = 0;
    for (const std::string& page : pages)
        table_pages += page.find("TSA DI") != std::string::npos ? 1 : 0;
    EXPECT_GT(table_pages, 1u);
    EXPECT_GE(occurrences(text.substr(table_start), "Riferita a"), table_pages);
}

} // namespace
} // namespace velin
