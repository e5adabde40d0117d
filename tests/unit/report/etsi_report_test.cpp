// The ETSI validation report as a document: valid against the schema whatever the names in the
// certificates hold, one report per signature and time stamp, each certificate listed once.
#include "VelinVerify/report/etsi_report.h"
#include "VelinVerify/report/report_file.h"
#include "test_folder.h"
#include "test_paths.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>

#include <filesystem>
#include <regex>

namespace velin {
namespace {

struct Schema_check {
    bool valid = false;
    std::string output;
};

// xmllint with the schema copies of the fixtures, no network.
Schema_check validate(const std::string& xml)
{
    test::Test_folder folder;
    const std::filesystem::path file = folder / "report.xml";
    test::write_file(file, xml);
    const std::filesystem::path schemas = VELIN_ETSI_SCHEMAS;
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XML_CATALOG_FILES", QString::fromStdString((schemas / "catalog.xml").string()));
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start("xmllint",
                  {"--nonet", "--noout", "--schema", QString::fromStdString((schemas / "TS119102-2-v141.xsd").string()),
                   QString::fromStdString(file.string())});
    if (!process.waitForFinished(30000))
        return {false, "xmllint did not end"};
    return {process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0, process.readAll().toStdString()};
}

size_t count(const std::string& text, const std::string& part)
{
    size_t found = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++found;
    return found;
}

Report_certificate certificate(uint8_t mark, const std::string& subject)
{
    Report_certificate result;
    result.subject = subject;
    result.issuer = "CN=Autorità";
    result.serial = "1001";
    result.sha256.assign(32, mark);
    return result;
}

// Two signers sharing one certificate, the second altered, and a time stamp of the file.
std::pair<Batch_report, Report_facts> two_signers(const std::string& name)
{
    Batch_report report;
    report.file = "/tmp/contratto.pdf.p7m";
    Batch_layer layer;
    layer.file = report.file;
    Signature_display display;
    display.signer = name;
    layer.signatures = {display, display};
    layer.judged_at = {std::string("2026-01-02T03:04:05Z"), std::nullopt};
    Batch_timestamp timestamp;
    timestamp.scope = "document";
    timestamp.time = "2026-01-02T03:04:05Z";
    timestamp.authority = "TSA <prova> & figli";
    layer.timestamps = {timestamp};
    report.layers = {layer};

    Report_facts facts;
    facts.name = "contratto.pdf.p7m";
    facts.verified_at = 1765000000;
    Report_layer_facts known;
    Report_signer signer;
    signer.certificate = certificate(0x11, name);
    signer.chain = {certificate(0x22, "CA"), certificate(0x33, "Root")};
    signer.chain_complete = true;
    signer.signing_time = 1700000000;
    signer.indication = {Report_indication::Main::Total_passed, {}};
    known.signers = {signer, signer};
    known.signers[1].indication = {Report_indication::Main::Total_failed, "HASH_FAILURE"};
    Report_timestamp stamp;
    stamp.authority = certificate(0x44, "TSA");
    stamp.indication = {Report_indication::Main::Indeterminate, "NO_CERTIFICATE_CHAIN_FOUND"};
    known.timestamps = {stamp};
    facts.layers = {known};
    return {report, facts};
}

TEST(Etsi_report, OneReportPerSignatureAndTimeStampValidatesAgainstTheSchema)
{
    const auto [report, facts] = two_signers("ROSSI MARIO");
    const std::string xml = etsi_validation_report(report, facts);
    const Schema_check check = validate(xml);
    EXPECT_TRUE(check.valid) << check.output << "\n" << xml;
    EXPECT_EQ(count(xml, "<vr:SignatureValidationReport>"), 3u) << xml;
    EXPECT_NE(xml.find("xmlns:vr=\"http://uri.etsi.org/19102/v1.4.1#\""), std::string::npos);
    EXPECT_EQ(count(xml, "urn:etsi:019102:mainindication:total-passed"), 1u);
    EXPECT_EQ(count(xml, "<vr:SubIndication>urn:etsi:019102:subindication:HASH_FAILURE</vr:SubIndication>"), 1u);
    EXPECT_EQ(count(xml, "urn:etsi:019102:subindication:NO_CERTIFICATE_CHAIN_FOUND"), 1u);
    EXPECT_NE(xml.find("<vr:Signer>ROSSI MARIO</vr:Signer>"), std::string::npos);
    EXPECT_NE(xml.find("<vr:Time>2023-11-14T22:13:20Z</vr:Time>"), std::string::npos) << xml;
    EXPECT_EQ(count(xml, "<vr:ValidationTime>2025-12-06T05:46:40Z</vr:ValidationTime>"), 3u);
    // The time that counts: the time stamp's for the first signer, the verification's otherwise.
    EXPECT_NE(xml.find("<vr:POETime>2026-01-02T03:04:05Z</vr:POETime>\n        "
                       "<vr:TypeOfProof>urn:etsi:019102:poetype:provided</vr:TypeOfProof>"),
              std::string::npos)
        << xml;
    // The signer's certificate, its authority, its root and the time stamp's: each listed once.
    EXPECT_EQ(count(xml, "<vr:ValidationObject id="), 4u);
    EXPECT_EQ(count(xml, "<vr:TrustAnchor VOReference="), 2u);
    EXPECT_NE(xml.find("<ds:DigestValue>ERERERERERERERERERERERERERERERERERERERERERE=</ds:DigestValue>"),
              std::string::npos);
}

TEST(Etsi_report, NamesFromCertificatesCannotBreakTheDocument)
{
    const auto [report, facts] = two_signers(std::string("</vr:Signer><x>\x01\x1b[2J\xff\xfe\xef\xbf\xbe\xef\xbf\xbf") +
                                             "&amp; \"ROSSI\" ]]> <!--");
    const std::string xml = etsi_validation_report(report, facts);
    const Schema_check check = validate(xml);
    EXPECT_TRUE(check.valid) << check.output << "\n" << xml;
    EXPECT_EQ(xml.find("<x>"), std::string::npos);
    EXPECT_EQ(xml.find('\x01'), std::string::npos);
    EXPECT_EQ(xml.find('\x1b'), std::string::npos);
    EXPECT_EQ(xml.find("\xef\xbf\xbe"), std::string::npos);
}

TEST(Etsi_report, AFileWithoutSignaturesGetsOneReportThatItsFormatFailed)
{
    Batch_report report;
    report.file = "vuoto.p7m";
    report.layers.push_back({});
    Report_facts facts;
    facts.verified_at = 1765000000;
    facts.layers.push_back({});
    const std::string xml = etsi_validation_report(report, facts);
    const Schema_check check = validate(xml);
    EXPECT_TRUE(check.valid) << check.output << "\n" << xml;
    EXPECT_EQ(count(xml, "<vr:SignatureValidationReport>"), 1u);
    EXPECT_NE(xml.find("urn:etsi:019102:mainindication:total-failed"), std::string::npos);
    EXPECT_NE(xml.find("urn:etsi:019102:subindication:FORMAT_FAILURE"), std::string::npos);
    EXPECT_EQ(xml.find("SignatureValidationObjects"), std::string::npos);

    // Facts that lost the layers (a file that could not be analysed) give the same report.
    EXPECT_EQ(etsi_validation_report(report, Report_facts{}).find("SignatureValidationObjects"), std::string::npos);
}

TEST(Etsi_report, TimeStampsOfAnOuterLayerAreReportedThereOnly)
{
    auto [report, facts] = two_signers("ROSSI MARIO");
    report.layers[0].timestamps[0].inherited = true;
    const std::string xml = etsi_validation_report(report, facts);
    EXPECT_EQ(count(xml, "<vr:SignatureValidationReport>"), 2u);
    EXPECT_TRUE(validate(xml).valid);
}

// The list that revoked both signers, the time stamp of the file that gave the first its time, the
// answer its authority was checked with.
std::pair<Batch_report, Report_facts> with_validation_data()
{
    auto [report, facts] = two_signers("BRUNI ELENA");
    Report_layer_facts& known = facts.layers[0];
    for (Report_signer& signer : known.signers) {
        signer.indication = {Report_indication::Main::Total_failed, "REVOKED"};
        signer.revocation_details.status = Revocation_status::Revoked;
        signer.revocation_details.source = Revocation_source::Crl;
        signer.revocation_details.sha256.assign(32, 0x55);
        signer.revocation_details.revoked = true;
        signer.revocation_details.revoked_at = 1748736000;
        signer.timestamps = {0};
    }
    known.signers[0].proof_timestamp = 0;
    Report_timestamp& stamp = known.timestamps[0];
    stamp.scope = Timestamp_scope::Document;
    stamp.time = 1767323045;
    stamp.sha256.assign(32, 0x66);
    stamp.revocation.status = Revocation_status::Valid;
    stamp.revocation.source = Revocation_source::Ocsp;
    stamp.revocation.sha256.assign(32, 0x77);
    return {report, facts};
}

TEST(Etsi_report, RevocationDataAndTimeStampsAreListedOnceByTheirDigests)
{
    const auto [report, facts] = with_validation_data();
    const std::string xml = etsi_validation_report(report, facts);
    const Schema_check check = validate(xml);
    EXPECT_TRUE(check.valid) << check.output << "\n" << xml;

    const std::string list_id = "R-" + std::string(64, '5');
    const std::string stamp_id = "T-" + std::string(64, '6');
    const std::string answer_id = "O-" + std::string(64, '7');
    // Four certificates, the list, the answer, the time stamp: each once.
    EXPECT_EQ(count(xml, "<vr:ValidationObject id="), 7u) << xml;
    EXPECT_EQ(count(xml, "<vr:ValidationObject id=\"" + list_id +
                             "\">\n      <vr:ObjectType>urn:etsi:019102:validationObject:CRL</vr:ObjectType>"),
              1u)
        << xml;
    EXPECT_EQ(count(xml, "<vr:ValidationObject id=\"" + answer_id +
                             "\">\n      <vr:ObjectType>urn:etsi:019102:validationObject:OCSPResponse</vr:ObjectType>"),
              1u);
    EXPECT_EQ(count(xml, "<vr:ValidationObject id=\"" + stamp_id +
                             "\">\n      <vr:ObjectType>urn:etsi:019102:validationObject:timestamp</vr:ObjectType>"),
              1u);
    EXPECT_EQ(count(xml, "<ds:DigestValue>VVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVU=</ds:DigestValue>"), 1u);

    // Each signer rests on the list, which also dates the revocation; the authority on its answer.
    EXPECT_EQ(count(xml, "<vr:RelatedValidationObject VOReference=\"" + list_id + "\"/>"), 2u) << xml;
    EXPECT_EQ(count(xml, "<vr:RevocationObject VOReference=\"" + list_id + "\"/>"), 2u);
    EXPECT_EQ(count(xml, "<vr:RevocationTime>2025-06-01T00:00:00Z</vr:RevocationTime>"), 2u);
    EXPECT_EQ(count(xml, "<vr:RelatedValidationObject VOReference=\"" + answer_id + "\"/>"), 1u);
    EXPECT_EQ(count(xml, "<vr:RevocationStatusInformation>"), 2u);

    // The time stamp covers both signatures; it is the proof of the first one's time only.
    EXPECT_EQ(count(xml, "<vr:DocTimeStamp>\n        <vr:AttributeObject VOReference=\"" + stamp_id +
                             "\"/>\n        <vr:TimeStampValue>2026-01-02T03:04:05Z</vr:TimeStampValue>"),
              2u)
        << xml;
    EXPECT_EQ(count(xml, "<vr:POEObject VOReference=\"" + stamp_id + "\"/>"), 1u);
}

TEST(Etsi_report, EachSignatureOfAContainerSignedTheFilesItCovers)
{
    auto [report, facts] = two_signers("ROSSI MARIO");
    Batch_layer& layer = report.layers[0];
    layer.container_files = std::vector<std::string>{"contratto.txt", "allegati/allegato tecnico.txt", "nota.txt"};
    layer.covers = {{"contratto.txt", "allegati/allegato tecnico.txt"}, {"allegati/allegato tecnico.txt"}};
    layer.uncovered = {"nota.txt"};
    facts.layers[0].container_files = {{"contratto.txt", 10, std::vector<uint8_t>(32, 0x55), false},
                                       {"allegati/allegato tecnico.txt", 20, std::vector<uint8_t>(32, 0x66), false},
                                       {"nota.txt", 30, std::vector<uint8_t>(32, 0x77), false}};
    const std::string xml = etsi_validation_report(report, facts);
    const Schema_check check = validate(xml);
    EXPECT_TRUE(check.valid) << check.output << "\n" << xml;

    // What each signature signed, by reference; every file listed once, with its name and digest.
    EXPECT_NE(xml.find("<vr:SignersDocumentRepresentation VOReference=\"D-1-1 D-1-2\"/>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<vr:SignersDocumentRepresentation VOReference=\"D-1-2\"/>"), std::string::npos) << xml;
    EXPECT_EQ(count(xml, "<vr:ObjectType>urn:etsi:019102:validationObject:signedData</vr:ObjectType>"), 2u) << xml;
    EXPECT_NE(xml.find("<vr:URI>allegati/allegato%20tecnico.txt</vr:URI>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<ds:DigestValue>VVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVU=</ds:DigestValue>"),
              std::string::npos);
    // The file no signature covers is no signed data of any.
    EXPECT_EQ(xml.find("nota.txt"), std::string::npos);
    EXPECT_EQ(xml.find("d3d3d3d3"), std::string::npos);

    // A signature that covers nothing (its manifest's digests do not hold) has no signer's document.
    layer.covers = {{}, {}};
    const std::string none = etsi_validation_report(report, facts);
    EXPECT_EQ(none.find("SignersDocument"), std::string::npos) << none;
    EXPECT_TRUE(validate(none).valid);
}

TEST(Etsi_report, ContainerFileNamesCannotBreakTheDocument)
{
    auto [report, facts] = two_signers("ROSSI MARIO");
    const std::string hostile = "a b/<x>&\"'\xff\x01#?%.txt";
    report.layers[0].container_files = std::vector<std::string>{hostile};
    report.layers[0].covers = {{hostile}, {hostile}};
    facts.layers[0].container_files = {{hostile, 1, {}, false}};
    const std::string xml = etsi_validation_report(report, facts);
    const Schema_check check = validate(xml);
    EXPECT_TRUE(check.valid) << check.output << "\n" << xml;
    EXPECT_EQ(count(xml, "urn:etsi:019102:validationObject:signedData"), 1u) << xml;
    EXPECT_EQ(xml.find("<x>"), std::string::npos);
    EXPECT_EQ(xml.find('\x01'), std::string::npos);
}

} // namespace
} // namespace velin
