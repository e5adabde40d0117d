// velin-verify --batch --rapporto / --rapporto-etsi as a clerk's script runs it: the PDF report
// read back with pdftotext and pdfinfo, the ETSI report checked with xmllint against the schema,
// the indications of a good, an altered, a revoked file and one whose chain is missing.
#include "batch_verifier.h"
#include "generated_fixtures.h"
#include "test_folder.h"
#include "test_paths.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QProcess>
#include <QProcessEnvironment>

#include <filesystem>
#include <regex>
#include <sstream>
#include <string>

namespace velin {
namespace {

struct Tool_run {
    int exit_code = -1;
    std::string out;
};

Tool_run tool(const QString& program, const QStringList& arguments, const QProcessEnvironment& environment = {})
{
    QProcess process;
    if (!environment.isEmpty())
        process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        return {};
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, process.readAll().toStdString()};
}

QString q(const std::filesystem::path& path)
{
    return QString::fromStdString(path.string());
}

std::filesystem::path pki_document(const std::string& signer)
{
    return std::filesystem::path(VELIN_PKI_FIXTURES) / "documents" / ("contratto-" + signer + ".txt.p7m");
}

std::string sha256_of(const std::filesystem::path& file)
{
    return QCryptographicHash::hash(QByteArray::fromStdString(test::read_file(file)), QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}

// xmllint's verdict on the report, with the schema copies of the fixtures and no network.
Tool_run schema_check(const std::filesystem::path& xml)
{
    const std::filesystem::path schemas = VELIN_ETSI_SCHEMAS;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XML_CATALOG_FILES", q(schemas / "catalog.xml"));
    return tool("xmllint", {"--nonet", "--noout", "--schema", q(schemas / "TS119102-2-v141.xsd"), q(xml)}, environment);
}

std::string pdf_text(const std::filesystem::path& pdf)
{
    return tool("pdftotext", {"-layout", q(pdf), "-"}).out;
}

size_t count(const std::string& text, const std::string& part)
{
    size_t found = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++found;
    return found;
}

class Report_files : public ::testing::Test {
protected:
    // Both reports of one file; the run's verdict.
    test::Verdict verify(test::Batch_verifier& verifier, const std::filesystem::path& file)
    {
        return verifier.verify(file, {"--rapporto", q(pdf), "--rapporto-etsi", q(xml)});
    }

    void expect_valid_xml() const
    {
        const Tool_run check = schema_check(xml);
        EXPECT_EQ(check.exit_code, 0) << check.out << "\n" << test::read_file(xml);
    }

    std::string main_and_sub() const
    {
        const std::string report = test::read_file(xml);
        const size_t main = report.find("<vr:MainIndication>");
        const size_t end = report.find("</vr:SignatureValidationStatus>", main);
        return main == std::string::npos ? report : report.substr(main, end - main);
    }

    test::Test_folder out;
    std::filesystem::path pdf = out / "rapporto.pdf";
    std::filesystem::path xml = out / "rapporto.xml";
};

TEST_F(Report_files, AGoodFileIsReportedPassedWithEverythingAClerkNeeds)
{
    test::Batch_verifier verifier;
    const std::filesystem::path file = pki_document("signer-legal");
    const test::Verdict verdict = verify(verifier, file);
    ASSERT_EQ(verdict.exit_code, 0) << verdict.text << verdict.err;
    EXPECT_EQ(verdict.report["outcome"].toString(), "success");

    expect_valid_xml();
    EXPECT_EQ(
        main_and_sub().rfind("<vr:MainIndication>urn:etsi:019102:mainindication:total-passed</vr:MainIndication>\n"
                             "      <vr:AssociatedValidationReportData>",
                             0),
        0u)
        << main_and_sub();
    const std::string report = test::read_file(xml);
    EXPECT_NE(report.find("<vr:Signer>ROSSI MARIO</vr:Signer>"), std::string::npos) << report;
    EXPECT_NE(report.find("<vr:SigningTime Signed=\"true\">"), std::string::npos) << report;
    // The signer, its authority, its root, and the list that said it was not revoked.
    EXPECT_EQ(count(report, "<vr:ValidationObject id="), 4u) << report;
    const std::string list_sha256 =
        QCryptographicHash::hash(QByteArray::fromStdString(test::read_file(std::filesystem::path(VELIN_PKI_FIXTURES) /
                                                                           "crl" / "accredited-ca.crl")),
                                 QCryptographicHash::Sha256)
            .toBase64()
            .toStdString();
    EXPECT_NE(report.find("<vr:ObjectType>urn:etsi:019102:validationObject:CRL</vr:ObjectType>\n"
                          "      <vr:ValidationObjectRepresentation>\n"
                          "        <vr:DigestAlgAndValue>\n"
                          "          <ds:DigestMethod Algorithm=\"http://www.w3.org/2001/04/xmlenc#sha256\"/>\n"
                          "          <ds:DigestValue>" +
                          list_sha256 + "</ds:DigestValue>"),
              std::string::npos)
        << report;
    EXPECT_EQ(count(report, "<vr:RelatedValidationObject VOReference=\"R-"), 1u) << report;
    EXPECT_EQ(report.find("RevocationStatusInformation"), std::string::npos) << report;

    const std::string text = pdf_text(pdf);
    for (const std::string& expected :
         {std::string("Rapporto di verifica"), std::string("ROSSI MARIO"), std::string("RSSMRA80A01L999X"),
          std::string("Esito positivo"), std::string("Certificatore Accreditato Demo Firma Qualificata CA"),
          std::string("Il certificato è valido."), std::string("Pagina 1 di "), file.filename().string()})
        EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n--- text:\n" << text;
    // The national list by its SHA-256, whole on one line.
    EXPECT_NE(text.find(sha256_of(verifier.data / "data" / "cnipa.sst")), std::string::npos) << text;
    // The file's SHA-256 on every page.
    const size_t pages = count(text, "\f");
    EXPECT_GE(count(text, sha256_of(file)), std::max<size_t>(pages, 1)) << text;

    const Tool_run info = tool("pdfinfo", {"-meta", q(pdf)});
    EXPECT_EQ(info.exit_code, 0) << info.out;
    EXPECT_NE(info.out.find("pdfaid:part"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("pdfaid:conformance"), std::string::npos) << info.out;
    // Every font embedded: the "emb" column of each font's line says "yes".
    const Tool_run fonts = tool("pdffonts", {q(pdf)});
    const std::regex embedded(R"(\syes\s+(yes|no)\s+(yes|no)\s+\d+\s+\d+\s*$)");
    const std::string listed = fonts.out.substr(std::min(fonts.out.find("\n---"), fonts.out.size()));
    std::istringstream lines(listed);
    size_t font_lines = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '-')
            continue;
        ++font_lines;
        EXPECT_TRUE(std::regex_search(line, embedded)) << "a font is not embedded:\n" << fonts.out;
    }
    EXPECT_GE(font_lines, 1u) << fonts.out;
}

TEST_F(Report_files, AnAlteredFileFailsOnItsHash)
{
    test::Batch_verifier verifier;
    const test::Verdict verdict =
        verify(verifier, std::filesystem::path(VELIN_PIPELINE_FIXTURES) / "contratto-tampered.txt.p7m");
    EXPECT_EQ(verdict.exit_code, 2) << verdict.err;
    expect_valid_xml();
    EXPECT_NE(
        main_and_sub().find("<vr:MainIndication>urn:etsi:019102:mainindication:total-failed</vr:MainIndication>\n"
                            "      <vr:SubIndication>urn:etsi:019102:subindication:HASH_FAILURE</vr:SubIndication>"),
        std::string::npos)
        << test::read_file(xml);
    const std::string text = pdf_text(pdf);
    EXPECT_NE(text.find("Esito negativo"), std::string::npos) << text;
    EXPECT_NE(text.find("La firma non corrisponde al documento."), std::string::npos) << text;
}

TEST_F(Report_files, ARevokedSignerFailsAsRevoked)
{
    test::Batch_verifier verifier;
    const test::Verdict verdict = verify(verifier, pki_document("signer-revoked"));
    EXPECT_EQ(verdict.exit_code, 2) << verdict.err;
    expect_valid_xml();
    EXPECT_NE(main_and_sub().find("total-failed</vr:MainIndication>\n"
                                  "      <vr:SubIndication>urn:etsi:019102:subindication:REVOKED</vr:SubIndication>"),
              std::string::npos)
        << test::read_file(xml);
    const std::string text = pdf_text(pdf);
    EXPECT_NE(text.find("BRUNI ELENA"), std::string::npos) << text;
    EXPECT_NE(text.find("certificato revocato"), std::string::npos) << text;
    // Which list said so, when it was issued, the date of the revocation and why; a value that
    // goes on in the next line of its cell joined again.
    const std::string joined =
        std::regex_replace(std::regex_replace(text, std::regex("-\n {20,}"), "-"), std::regex("\n {20,}"), " ");
    for (const std::string& expected :
         {std::string("lista di revoca (CRL) pubblicata in"),
          std::string("http://127.0.0.1:8799/crl/accredited-ca.crl"),
          std::string("revocato il 01/06/2025 00:00:00 (UTC)"), std::string("compromissione della chiave"),
          std::string("Emessa il"), std::string("Prossimo aggiornamento"), std::string("01/06/2045 00:00:00 (UTC)")})
        EXPECT_NE(joined.find(expected), std::string::npos) << expected << "\n--- text:\n" << text;
    // The list, by its digest, is the revocation's evidence in the ETSI report.
    const std::string report = test::read_file(xml);
    EXPECT_EQ(count(report, "urn:etsi:019102:validationObject:CRL"), 1u) << report;
    EXPECT_NE(report.find("<vr:RevocationTime>2025-06-01T00:00:00Z</vr:RevocationTime>\n"
                          "          <vr:RevocationObject VOReference=\"R-"),
              std::string::npos)
        << report;
}

// A time-stamped envelope (.m7m): the token is listed once by its digest, and the signature it
// covers refers to it among its attributes.
TEST_F(Report_files, ATimeStampOfTheFileIsListedAndTheSignatureItCoversRefersToIt)
{
    test::Batch_verifier verifier;
    verify(verifier, std::filesystem::path(VELIN_M7M_FIXTURES) / "samples" / "crlf-binary.m7m");
    expect_valid_xml();
    const std::string report = test::read_file(xml);
    EXPECT_EQ(count(report, "urn:etsi:019102:validationObject:timestamp"), 1u) << report;
    std::smatch object;
    ASSERT_TRUE(std::regex_search(report, object,
                                  std::regex("<vr:ValidationObject id=\"(T-[0-9a-f]{64})\">\n"
                                             "      <vr:ObjectType>urn:etsi:019102:validationObject:timestamp")))
        << report;
    EXPECT_NE(report.find("<vr:DocTimeStamp>\n        <vr:AttributeObject VOReference=\"" + object[1].str() +
                          "\"/>\n        <vr:TimeStampValue>"),
              std::string::npos)
        << report;
    // The authority's revocation, though nothing could be asked of its self-signed certificate.
    EXPECT_NE(pdf_text(pdf).find("Revoca dell'autorità della marca temporale 1"), std::string::npos);
}

TEST_F(Report_files, WithoutTheListsOfItsAuthorityTheChainIsNotFound)
{
    test::Batch_verifier verifier(test::Installed_lists::None);
    const test::Verdict verdict = verify(verifier, pki_document("signer-legal"));
    EXPECT_NE(verdict.exit_code, 0) << verdict.err;
    expect_valid_xml();
    EXPECT_NE(main_and_sub().find("indeterminate</vr:MainIndication>\n      <vr:SubIndication>"
                                  "urn:etsi:019102:subindication:NO_CERTIFICATE_CHAIN_FOUND</vr:SubIndication>"),
              std::string::npos)
        << test::read_file(xml);
    EXPECT_NE(pdf_text(pdf).find("incompleta: nessuna radice attendibile"), std::string::npos);
}

TEST_F(Report_files, AReportThatCannotBeWrittenFailsTheRunButNotTheFile)
{
    test::Batch_verifier verifier;
    const std::filesystem::path missing = out / "manca" / "rapporto.pdf";
    const test::Verdict verdict = verifier.verify(pki_document("signer-legal"), {"--rapporto", q(missing)});
    EXPECT_EQ(verdict.exit_code, 2);
    EXPECT_EQ(verdict.report["outcome"].toString(), "success") << verdict.text;
    EXPECT_NE(verdict.err.find("velin-verify: Il rapporto non può essere scritto in " + missing.string() + ": "),
              std::string::npos)
        << verdict.err;
    EXPECT_FALSE(std::filesystem::exists(missing.parent_path()));

    const test::Verdict no_name = verifier.run({"--batch", "--rapporto-etsi"});
    EXPECT_EQ(no_name.exit_code, 2);
    EXPECT_NE(no_name.err.find("manca il rapporto dopo --rapporto-etsi"), std::string::npos) << no_name.err;
}

TEST_F(Report_files, WithSeveralFilesEachReportIsNamedAfterItsFile)
{
    test::Batch_verifier verifier;
    const std::filesystem::path folder = out / "rapporti";
    std::filesystem::create_directories(folder);
    const test::Verdict verdict =
        verifier.run({"--batch", "--json", "--jobs", "2", "--rapporto", q(folder), "--rapporto-etsi", q(folder),
                      q(pki_document("signer-legal")), q(pki_document("signer-revoked"))});
    EXPECT_EQ(verdict.exit_code, 2) << verdict.err;
    for (const std::string signer : {"signer-legal", "signer-revoked"}) {
        const std::string name = "contratto-" + signer + ".txt.p7m";
        ASSERT_TRUE(std::filesystem::exists(folder / (name + ".pdf"))) << name;
        ASSERT_TRUE(std::filesystem::exists(folder / (name + ".xml"))) << name;
        EXPECT_EQ(schema_check(folder / (name + ".xml")).exit_code, 0);
        EXPECT_NE(pdf_text(folder / (name + ".pdf")).find(sha256_of(pki_document(signer))), std::string::npos);
    }
    EXPECT_NE(test::read_file(folder / "contratto-signer-revoked.txt.p7m.xml").find("subindication:REVOKED"),
              std::string::npos);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 4);
}

// The signature containers of tools/make-asic-fixtures, made once for the whole run.
std::filesystem::path asic_fixtures()
{
    static const test::Generated_fixtures made(VELIN_ASIC_FIXTURES, [](const std::filesystem::path& folder) {
        return std::string("'") + VELIN_SOURCE_DIR + "/tools/make-asic-fixtures/make-asic-fixtures' '" +
               folder.string() + "'";
    });
    EXPECT_FALSE(made.path().empty()) << made.failure();
    return made.path();
}

TEST_F(Report_files, AContainersReportsListItsFilesAndWhatEachSignatureSigned)
{
    test::Batch_verifier verifier;
    const test::Verdict verdict = verify(verifier, asic_fixtures() / "pratica-file-in-piu.asice");
    EXPECT_EQ(verdict.exit_code, 1) << verdict.text << verdict.err;

    expect_valid_xml();
    const std::string report = test::read_file(xml);
    EXPECT_EQ(count(report, "<vr:SignersDocument>"), 1u) << report;
    EXPECT_EQ(count(report, "urn:etsi:019102:validationObject:signedData"), 2u) << report;
    EXPECT_NE(report.find("<vr:URI>contratto.txt</vr:URI>"), std::string::npos) << report;
    EXPECT_NE(report.find("<vr:URI>allegati/allegato%20tecnico.txt</vr:URI>"), std::string::npos) << report;
    EXPECT_EQ(report.find("nota.txt"), std::string::npos) << report;

    const std::string text = pdf_text(pdf);
    for (const std::string& expected :
         {std::string("File del contenitore"), std::string("File coperti dalla firma"),
          std::string("contratto.txt, allegati/allegato tecnico.txt"), std::string("nessuna firma"),
          std::string("Il file \"nota.txt\" del contenitore non è coperto da alcuna firma.")})
        EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n--- text:\n" << text;
    // Each file with its SHA-256 (three files: three digests besides the container's own on each
    // page); the one no signature covers as the generator wrote it.
    const std::regex digest("SHA-256 [0-9a-f]{64}");
    const size_t digests = static_cast<size_t>(
        std::distance(std::sregex_iterator(text.begin(), text.end(), digest), std::sregex_iterator()));
    EXPECT_GE(digests, 3u + std::max<size_t>(count(text, "\f"), 1)) << text;
    const std::string note =
        QCryptographicHash::hash("Non firmata.\n", QCryptographicHash::Sha256).toHex().toStdString();
    EXPECT_NE(text.find("SHA-256 " + note), std::string::npos) << text;
}

// The signed PDFs of tests/fixtures/pdf, made by the pdf_fixtures fixture of the run.
std::filesystem::path pdf_fixture(const std::string& name)
{
    const std::filesystem::path file = std::filesystem::path(VELIN_GENERATED_PDFS) / "pdfs" / name;
    EXPECT_TRUE(std::filesystem::exists(file)) << file << " is missing: run the test through ctest, whose "
                                               << "pdf_fixtures fixture makes the PDFs";
    return file;
}

TEST_F(Report_files, APdfsReportGivesItsRevisionsAndWhatChangedAfterEachSignature)
{
    test::Batch_verifier verifier;
    // Signed, its page changed, the change closed by a document time stamp.
    verify(verifier, pdf_fixture("changed-stamped.pdf"));
    std::string text = pdf_text(pdf);
    for (const std::string& expected :
         {std::string("Revisioni del documento"), std::string("Il documento PDF ha 2 revisioni."),
          std::string("firma 1: ROSSI MARIO"), std::string("marca temporale del documento"),
          std::string("revisione 1 di 2"), std::string("Modifiche non consentite")})
        EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n--- text:\n" << text;
    expect_valid_xml();

    // A comment added after the signature, signed by none.
    verify(verifier, pdf_fixture("rev-comment.pdf"));
    text = pdf_text(pdf);
    EXPECT_NE(text.find("Il documento PDF ha 2 revisioni."), std::string::npos) << text;
    EXPECT_NE(text.find("nessuna firma:"), std::string::npos) << text;
    EXPECT_NE(text.find("Modifiche consentite dopo"), std::string::npos) << text;

    // Signed once, nothing after.
    const test::Verdict once = verify(verifier, pdf_fixture("signed.pdf"));
    text = pdf_text(pdf);
    EXPECT_NE(text.find("Il documento PDF ha 1 revisione."), std::string::npos) << text << once.err;
    EXPECT_NE(text.find("nessuna: la firma copre il documento intero"), std::string::npos) << text;
    EXPECT_EQ(text.find("nessuna firma:"), std::string::npos) << text;
}

} // namespace
} // namespace velin
