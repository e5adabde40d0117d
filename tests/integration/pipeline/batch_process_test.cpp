// velin-verify --batch run as a program, as scripts and the demo run it: its own data folder and
// settings, the verdict in the output and in the exit status.
#include "VelinVerify/app/batch_pool.h"
#include "VelinVerify/app/batch_report.h"
#include "batch_verifier.h"
#include "common/owner.h"
#include "qualified_certificate.h"
#include "report_time.h"
#include "test_folder.h"
#include "trace_records.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>

#include <openssl/cms.h>
#include <openssl/pem.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velin {
namespace {

struct Program_run {
    int exit_code = -1;
    std::string out;
    std::string err;
};

class Batch_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        data = folder / "velin-data";
        std::filesystem::create_directories(data / "cache");
        std::filesystem::copy(std::filesystem::path(VELIN_PKI_FIXTURES) / "velin-data" / "data", data / "data",
                              std::filesystem::copy_options::recursive);
        std::filesystem::create_directories(folder / "run");
        settings(false);
    }

    // VerificaCRL as given; AggiornaCRL off: only lists already in the cache are used.
    void settings(bool check_revocation)
    {
        test::write_file(folder / "user.reg",
                         std::string("Windows Registry Editor Version 5.00\n\n"
                                     "[HKEY_CURRENT_USER\\SOFTWARE\\Valdora Vidizoved\\Velin Manager\\Impostazioni]\n"
                                     "\"VerificaCRL\"=dword:0000000") +
                             (check_revocation ? "1" : "0") + "\n\"AggiornaCRL\"=dword:00000000\n\n");
    }

    void fill_crl_cache() { test::seed_test_crls(data / "cache"); }

    Program_run run(const QStringList& arguments, bool without_display = false,
                    const std::vector<std::pair<QString, QString>>& changed = {}, const std::string& input = {})
    {
        QProcess process;
        start(process, arguments, without_display, changed);
        if (!input.empty())
            process.write(input.data(), static_cast<qint64>(input.size()));
        process.closeWriteChannel();
        Program_run result;
        if (!process.waitForFinished(60000)) {
            process.kill();
            process.waitForFinished();
            ADD_FAILURE() << "velin-verify did not end: " << VELIN_VERIFY_PROGRAM;
            return result;
        }
        result.exit_code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        result.out = test::without_verification_time(process.readAllStandardOutput().toStdString());
        result.err = process.readAllStandardError().toStdString();
        return result;
    }

    void start(QProcess& process, const QStringList& arguments, bool without_display = false,
               const std::vector<std::pair<QString, QString>>& changed = {})
    {
        QProcessEnvironment environment = test::verifier_environment(folder.path(), data);
        if (without_display)
            for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
                environment.remove(name);
        for (const auto& [name, value] : changed)
            environment.insert(name, value);
        process.setProcessEnvironment(environment);
        process.start(VELIN_VERIFY_PROGRAM, arguments);
    }

    static QString pki_document(const std::string& signer)
    {
        return QString::fromStdString(
            (std::filesystem::path(VELIN_PKI_FIXTURES) / "documents" / ("contratto-" + signer + ".txt.p7m")).string());
    }
    static QString sample(const std::string& name)
    {
        return QString::fromStdString((std::filesystem::path(VELIN_PIPELINE_FIXTURES) / name).string());
    }

    test::Test_folder folder;
    std::filesystem::path data;
};

TEST_F(Batch_test, LegalValueWithoutRevocationCheckPrintsItsLinesAndExitsWithWarnings)
{
    const Program_run result = run({"--batch", pki_document("signer-legal")});
    EXPECT_EQ(result.exit_code, Exit_warnings) << result.err;
    for (const char* expected : {
             "Livello 1: ",
             "  Documento originale: contratto-signer-legal.txt\n",
             "  Firma 1: ROSSI MARIO\n    Data e ora: ",
             "    Tipo di firma: Firma digitale (con validità legale)\n",
             "  Attività:\n"
             "    [informazione] Analisi del file in corso...\n"
             "    [informazione] Il documento è firmato correttamente e integro.\n"
             "    [avviso] La verifica della revoca dei certificati è disabilitata.\n"
             "    [avviso] Analisi del file completata con segnalazioni.\n",
             "\nEsito: Analisi del file completata con segnalazioni.\n",
         })
        EXPECT_NE(result.out.find(expected), std::string::npos) << expected << "\n--- output:\n" << result.out;
}

TEST_F(Batch_test, NestedEnvelopeAsJsonHasBothLayersInTheAgreedShape)
{
    const Program_run result = run({"--batch", sample("contratto-tampered.txt.p7m.p7m"), "--json"});
    EXPECT_EQ(result.exit_code, Exit_errors) << result.err;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(result.out), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << result.out;
    const QJsonObject root = document.object();
    EXPECT_EQ(root["file"].toString(), sample("contratto-tampered.txt.p7m.p7m"));
    EXPECT_EQ(root["outcome"].toString(), "errors");
    EXPECT_EQ(root["message"].toString(), "Analisi del file completata con errori.");
    const QJsonArray layers = root["layers"].toArray();
    ASSERT_EQ(layers.size(), 2);
    const QJsonObject outer = layers[0].toObject();
    const QJsonObject inner = layers[1].toObject();
    EXPECT_EQ(outer["document"].toString(), "contratto-tampered.txt.p7m");
    EXPECT_EQ(outer["outcome"].toString(), "warnings");
    EXPECT_TRUE(inner["file"].toString().endsWith("/contratto-tampered.txt.p7m"));
    EXPECT_EQ(inner["document"].toString(), "contratto-tampered.txt");
    EXPECT_EQ(inner["outcome"].toString(), "errors");
    const QJsonArray activity = inner["activity"].toArray();
    EXPECT_EQ(activity[1].toObject()["severity"].toString(), "error");
    EXPECT_EQ(activity[1].toObject()["text"].toString(), "La firma non corrisponde al documento.");
    const QJsonObject signature = inner["signatures"].toArray()[0].toObject();
    EXPECT_EQ(signature["signer"].toString(), "ROSSI MARIO");
    EXPECT_EQ(signature["kind"].toString(), "Firma digitale (con validità legale)");
    EXPECT_EQ(signature["signing_time"].toString().size(), 19);
    EXPECT_EQ(signature["status"].toArray()[0].toObject()["severity"].toString(), "error");
    // No time stamp: the accredited list was judged at the verification's time.
    EXPECT_EQ(signature["lists_judged_by"].toString(), "verification");
    EXPECT_EQ(signature["lists_judged_at"].toString().size(), 20);
}

TEST_F(Batch_test, WithRevocationCheckTheCachedListsDecide)
{
    settings(true);
    fill_crl_cache();
    const Program_run legal = run({"--batch", pki_document("signer-legal")});
    EXPECT_EQ(legal.exit_code, Exit_success) << legal.out;
    EXPECT_NE(legal.out.find("    [informazione] Il certificato è valido.\n"), std::string::npos) << legal.out;
    EXPECT_NE(legal.out.find("    [informazione] Stato della lista e qualifica valutati alla data della verifica: "),
              std::string::npos)
        << legal.out;
    EXPECT_NE(legal.out.find("Esito: Analisi del file completata con successo."), std::string::npos);

    const Program_run revoked = run({"--batch", pki_document("signer-revoked")});
    EXPECT_EQ(revoked.exit_code, Exit_errors) << revoked.out;
    EXPECT_NE(revoked.out.find("    [errore] Il certificato è stato revocato.\n"), std::string::npos) << revoked.out;

    const Program_run expired = run({"--batch", pki_document("signer-expired")});
    EXPECT_EQ(expired.exit_code, Exit_errors) << expired.out;
    EXPECT_NE(expired.out.find("    [errore] Il certificato è scaduto.\n"), std::string::npos) << expired.out;

    // Issued by an end entity of the national list: no issuer that the chain accepts, so no list
    // is used and the user is told why, whatever the setting.
    const Program_run forged = run({"--batch", pki_document("signer-forged")});
    EXPECT_NE(forged.out.find("    [avviso] La lista delle revoche non può essere verificata, perché manca "
                              "l'emittente del certificato.\n    [avviso] La revoca del certificato non può essere "
                              "rilevata.\n"),
              std::string::npos)
        << forged.out;
    EXPECT_EQ(forged.out.find("L'aggiornamento delle revoche è disabilitato."), std::string::npos) << forged.out;
    EXPECT_EQ(forged.out.find("Il certificato è valido."), std::string::npos) << forged.out;

    // A genuine authority's name and key identifier, a signature that is not the authority's: the
    // issuer is there, and the user is told that its signature fails, not that it is missing.
    const std::filesystem::path pki = VELIN_PKI_FIXTURES;
    const std::string convert = "openssl x509 -in '" + (pki / "signer-legal.cert.pem").string() +
                                "' -outform DER -out '" + (folder / "legal.der").string() + "'";
    ASSERT_EQ(std::system(convert.c_str()), 0);
    std::string der = test::read_file(folder / "legal.der");
    der.back() = static_cast<char>(der.back() ^ 0x01); // the last byte of the signature value
    test::write_file(folder / "tampered.der", der);
    const std::string envelope =
        "openssl x509 -inform DER -in '" + (folder / "tampered.der").string() + "' -out '" +
        (folder / "tampered.pem").string() + "' && openssl cms -sign -nodetach -binary -outform DER -md sha256 -in '" +
        (pki / "documents/contratto.txt").string() + "' -signer '" + (folder / "tampered.pem").string() + "' -inkey '" +
        (pki / "signer-legal.key.pem").string() + "' -out '" + (folder / "contraffatto.txt.p7m").string() + "'";
    ASSERT_EQ(std::system(envelope.c_str()), 0) << envelope;
    const Program_run tampered = run({"--batch", QString::fromStdString((folder / "contraffatto.txt.p7m").string())});
    EXPECT_EQ(tampered.exit_code, Exit_warnings) << tampered.out;
    EXPECT_NE(tampered.out.find("    [avviso] La lista delle revoche non può essere verificata, perché la firma "
                                "dell'emittente sul certificato non è valida.\n"),
              std::string::npos)
        << tampered.out;
    EXPECT_EQ(tampered.out.find("manca l'emittente"), std::string::npos) << tampered.out;
    EXPECT_EQ(tampered.out.find("Il certificato è valido."), std::string::npos) << tampered.out;
}

TEST_F(Batch_test, NoSummaryAndBadCommandLinesHaveTheirExitStatus)
{
    const Program_run unsigned_envelope = run({"--batch", sample("no-signers.p7m"), "--json"});
    EXPECT_EQ(unsigned_envelope.exit_code, Exit_no_summary);
    const QJsonObject root = QJsonDocument::fromJson(QByteArray::fromStdString(unsigned_envelope.out)).object();
    EXPECT_TRUE(root["outcome"].isNull());
    EXPECT_TRUE(root["message"].isNull());
    EXPECT_TRUE(root["layers"].toArray()[0].toObject()["outcome"].isNull());

    const std::filesystem::path text = folder / "contratto.txt";
    test::write_file(text, "testo");
    const Program_run unsupported = run({"--batch", QString::fromStdString(text.string())});
    EXPECT_EQ(unsupported.exit_code, Exit_no_summary);
    EXPECT_NE(unsupported.out.find("[errore] Il file non è un documento firmato."), std::string::npos);

    // Without a screen the window cannot open: the program says so and shows the headless use.
    const Program_run usage = run({}, true);
    EXPECT_EQ(usage.exit_code, 2);
    EXPECT_NE(usage.err.find("nessuno schermo disponibile"), std::string::npos);
    EXPECT_NE(usage.err.find("velin-verify --batch [--json] [--content DOCUMENTO] [--] FILE"), std::string::npos);

    // A wrong command line prints the use on the error stream and nothing else.
    for (const QStringList& wrong :
         {QStringList{"--batch"}, QStringList{"--batch", "--jsno", pki_document("signer-legal")}, QStringList{"--json"},
          QStringList{"--batch", "--content", sample("no-signers.p7m"), pki_document("signer-legal"),
                      sample("no-signers.p7m")},
          QStringList{"--batch", "--jobs", "0", pki_document("signer-legal")},
          QStringList{"--batch", "--stdin", pki_document("signer-legal")},
          QStringList{"-x", pki_document("signer-legal")}}) {
        const Program_run result = run(wrong);
        EXPECT_EQ(result.exit_code, 2) << wrong.join(' ').toStdString();
        EXPECT_TRUE(result.out.empty()) << result.out;
        EXPECT_NE(result.err.find("Uso: velin-verify"), std::string::npos) << result.err;
    }
    const Program_run help = run({"--help"}, true);
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_NE(help.out.find("Uso: velin-verify"), std::string::npos);
    EXPECT_NE(help.out.find("Codici di uscita"), std::string::npos);
    EXPECT_TRUE(help.err.empty());
    const Program_run version = run({"--version"}, true);
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_EQ(version.out.rfind("velin-verify 3.", 0), 0u) << version.out;
}

TEST_F(Batch_test, OptionsAreTakenInAnyOrder)
{
    const QString document = pki_document("signer-legal");
    const std::filesystem::path dashed = folder / "-contratto.txt.p7m";
    std::filesystem::copy_file(document.toStdString(), dashed);
    for (const QStringList& arguments :
         {QStringList{"--batch", "--json", document}, QStringList{"--json", "--batch", document},
          QStringList{document, "--json", "--batch"}, QStringList{"--batch", "--json", "--", document},
          QStringList{"--json", "--", QString::fromStdString(dashed.string())}}) {
        const Program_run result = run(arguments);
        EXPECT_EQ(result.exit_code, Exit_warnings) << arguments.join(' ').toStdString() << '\n' << result.err;
        EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(result.out)).object()["outcome"].toString(),
                  "warnings")
            << result.out;
    }
}

// The lines of each signer of a report ("  Firma N: ..." up to the next signer or the activity
// list), without the signer's number and its signing time.
std::vector<std::string> signer_blocks(const std::string& report)
{
    std::vector<std::string> blocks;
    std::istringstream lines(report);
    bool inside = false;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("  Firma ", 0) == 0) {
            blocks.push_back(line.substr(line.find(':')) + '\n');
            inside = true;
        } else if (inside && line.rfind("    ", 0) == 0) {
            if (line.rfind("    Data e ora: ", 0) != 0)
                blocks.back() += line + '\n';
        } else {
            inside = false;
        }
    }
    return blocks;
}

TEST_F(Batch_test, SignersSharingACertificateShowTheLinesEachHasAlone)
{
    settings(true);
    fill_crl_cache();
    // Three signatures of one holder and two of a revoked one, the two certificates carried once.
    const std::filesystem::path pki = VELIN_PKI_FIXTURES;
    const std::string legal = " -signer '" + (pki / "signer-legal.cert.pem").string() + "' -inkey '" +
                              (pki / "signer-legal.key.pem").string() + "'";
    const std::string revoked = " -signer '" + (pki / "signer-revoked.cert.pem").string() + "' -inkey '" +
                                (pki / "signer-revoked.key.pem").string() + "'";
    const std::filesystem::path both = folder / "certificati.pem";
    test::write_file(both,
                     test::read_file(pki / "signer-legal.cert.pem") + test::read_file(pki / "signer-revoked.cert.pem"));
    const std::filesystem::path envelope = folder / "cinque-firme.txt.p7m";
    const std::string sign = "openssl cms -sign -nodetach -binary -nocerts -certfile '" + both.string() +
                             "' -outform DER -md sha256 -in '" + (pki / "documents/contratto.txt").string() + "'" +
                             legal + revoked + legal + revoked + legal + " -out '" + envelope.string() + "'";
    ASSERT_EQ(std::system(sign.c_str()), 0) << sign;

    const std::vector<std::string> alone_legal = signer_blocks(run({"--batch", pki_document("signer-legal")}).out);
    const std::vector<std::string> alone_revoked = signer_blocks(run({"--batch", pki_document("signer-revoked")}).out);
    ASSERT_EQ(alone_legal.size(), 1u);
    ASSERT_EQ(alone_revoked.size(), 1u);
    EXPECT_NE(alone_legal[0].find("[informazione] Il certificato è valido."), std::string::npos) << alone_legal[0];
    EXPECT_NE(alone_revoked[0].find("[errore] Il certificato è stato revocato."), std::string::npos)
        << alone_revoked[0];

    const Program_run together = run({"--batch", QString::fromStdString(envelope.string())});
    EXPECT_EQ(together.exit_code, Exit_errors) << together.out;
    const std::vector<std::string> blocks = signer_blocks(together.out);
    ASSERT_EQ(blocks.size(), 5u) << together.out;
    std::size_t legal_seen = 0;
    for (const std::string& block : blocks) {
        if (block == alone_legal[0])
            ++legal_seen;
        else
            EXPECT_EQ(block, alone_revoked[0]) << together.out;
    }
    EXPECT_EQ(legal_seen, 3u) << together.out;
}

TEST_F(Batch_test, WhatCannotBeReadSaysWhyAndHasNoSummary)
{
    const std::filesystem::path empty = folder / "vuoto.p7m";
    test::write_file(empty, "");
    const std::filesystem::path directory = folder / "cartella.p7m";
    std::filesystem::create_directory(directory);
    const std::filesystem::path pipe = folder / "tubo.p7m";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    const std::filesystem::path loop = folder / "anello.p7m";
    std::filesystem::create_symlink(loop, loop);
    const std::filesystem::path missing = folder / "assente.p7m";
    const std::pair<std::filesystem::path, const char*> cases[] = {
        {empty, "Il file è vuoto."},
        {directory, "Errore durante la lettura del file."},
        {pipe, "Il file è vuoto."},
        {loop, "Impossibile aprire il file specificato."},
        {missing, "Impossibile aprire il file specificato."},
    };
    for (const auto& [path, reason] : cases) {
        const Program_run result = run({"--batch", QString::fromStdString(path.string())});
        EXPECT_EQ(result.exit_code, Exit_no_summary) << path << '\n' << result.out;
        EXPECT_NE(result.out.find(std::string("[errore] ") + reason + "\n"), std::string::npos) << result.out;
        EXPECT_NE(result.out.find("[errore] La lettura del file specificato è fallita.\n"), std::string::npos);
        EXPECT_EQ(result.out.find("corrotto"), std::string::npos) << result.out;
    }
}

TEST_F(Batch_test, TheUpdateRunNeverStartsAnotherOne)
{
    // Updates on, and today's date cannot be stored: the run the daily trigger starts must not
    // trigger the next one (each would start another, for ever).
    test::write_file(folder / "machine.reg",
                     "Windows Registry Editor Version 5.00\n\n"
                     "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Valdora Vidizoved\\Velin Manager\\Impostazioni]\n"
                     "\"Aggiornamenti\"=dword:00000001\n\n");
    const Program_run update =
        run({"/update", "/quiet"}, false,
            {{"QT_QPA_PLATFORM", "offscreen"}, {"VELIN_USER_REGISTRY", "/dev/null/velin/user.reg"}});
    EXPECT_EQ(update.exit_code, 0) << update.err;
    // Any run started would write its records into the same private folder.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    // One log, the update run's: no other program started. Nor did the run itself look at today's
    // date as the daily check does.
    std::vector<std::vector<test::Trace_record>> logs;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder / "run"))
        if (entry.is_regular_file() && entry.path().extension() == ".log")
            logs.push_back(test::trace_records_in(test::read_file(entry.path())));
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_FALSE(logs[0].empty()) << "the trace log of the update run is empty";
    char today[16];
    const std::time_t now = std::time(nullptr);
    std::strftime(today, sizeof today, "%m/%d/%y", std::localtime(&now));
    for (const test::Trace_record& record : logs[0])
        EXPECT_EQ(record.message.find(today), std::string::npos) << record.message;
}

// The report lines of a run of several files: one JSON object per line, or the text reports
// between their rules.
std::vector<std::string> json_lines(const std::string& out)
{
    std::vector<std::string> lines;
    for (size_t at = 0; at < out.size();) {
        const size_t end = out.find('\n', at);
        lines.push_back(out.substr(at, end == std::string::npos ? std::string::npos : end + 1 - at));
        at = end == std::string::npos ? out.size() : end + 1;
    }
    return lines;
}

std::vector<std::string> text_reports(const std::string& out)
{
    const std::string rule = "\n" + std::string(72, '=') + "\n\n";
    std::vector<std::string> reports;
    for (size_t at = 0;;) {
        const size_t end = out.find(rule, at);
        reports.push_back(out.substr(at, end == std::string::npos ? std::string::npos : end - at));
        if (end == std::string::npos)
            return reports;
        at = end + rule.size();
    }
}

TEST_F(Batch_test, ManyFilesAtOnceGiveEachFileTheReportItHasAlone)
{
    // Revocation on with the lists in the cache, so that every stage runs in every file at once.
    settings(true);
    fill_crl_cache();
    std::vector<QString> kinds;
    for (const char* signer : {"signer-legal", "signer-revoked", "signer-expired", "signer-forged", "signer-card",
                               "signer-no-nr", "signer-user", "signer-not-yet-valid"})
        kinds.push_back(pki_document(signer));
    for (const char* name : {"contratto-base64.txt.p7m", "contratto-one-bad.txt.p7m", "contratto-smime.txt.p7m",
                             "contratto-tampered.txt.p7m", "contratto-tampered.txt.p7m.p7m",
                             "contratto-two-signers.txt.p7m", "contratto.txt.p7m.p7m", "corrupt.p7m", "no-signers.p7m"})
        kinds.push_back(sample(name));
    for (const char* name : {"crlf-binary-both.m7m", "lf-base64.m7m"})
        kinds.push_back(QString::fromStdString((std::filesystem::path(VELIN_M7M_FIXTURES) / name).string()));
    const std::filesystem::path unsupported = folder / "contratto.txt";
    test::write_file(unsupported, "testo");
    kinds.push_back(QString::fromStdString(unsupported.string()));
    kinds.push_back(QString::fromStdString((folder / "assente.p7m").string()));

    // Alone, a file's layers run their steps on worker threads of their own, as in the window; in
    // the pool, on the lane that verifies it: the reports must not differ.
    std::map<QString, Program_run> alone_json;
    std::map<QString, Program_run> alone_text;
    for (const QString& file : kinds) {
        alone_json[file] = run({"--batch", "--json", file});
        alone_text[file] = run({"--batch", file});
        ASSERT_EQ(alone_json[file].exit_code, alone_text[file].exit_code) << file.toStdString();
    }
    // Three rounds interleaved, so that the same file is verified by several workers at once.
    QStringList files;
    std::string list;
    for (int round = 0; round < 3; ++round) {
        for (const QString& file : kinds) {
            files << file;
            list += file.toStdString() + "\n";
        }
    }

    const Program_run json = run(QStringList{"--batch", "--json", "--jobs", "4"} + files);
    // Some files have errors and some have no summary at all: errors.
    EXPECT_EQ(json.exit_code, Exit_errors) << json.err;
    EXPECT_TRUE(json.err.empty()) << json.err;
    const std::vector<std::string> objects = json_lines(json.out);
    ASSERT_EQ(objects.size(), static_cast<size_t>(files.size())) << json.out;
    for (qsizetype i = 0; i < files.size(); ++i)
        EXPECT_EQ(objects[i], alone_json[files[i]].out) << "file " << i << ": " << files[i].toStdString();

    const Program_run text = run({"--batch", "--stdin", "--jobs", "4"}, false, {}, list);
    EXPECT_EQ(text.exit_code, Exit_errors) << text.err;
    const std::vector<std::string> reports = text_reports(text.out);
    ASSERT_EQ(reports.size(), static_cast<size_t>(files.size())) << text.out;
    for (qsizetype i = 0; i < files.size(); ++i)
        EXPECT_EQ(reports[i], alone_text[files[i]].out) << "file " << i << ": " << files[i].toStdString();

    // One lane and several give the same reports in the same order, list lines that name no file
    // included, whichever lane finishes first.
    std::string mixed = std::string("nome\0nullo.p7m\n", 15) + list + std::string(Max_listed_path + 1, 'a') + "\n" +
                        kinds.front().toStdString() + "\n";
    for (const bool as_json : {true, false}) {
        QStringList options{"--batch", "--stdin"};
        if (as_json)
            options << "--json";
        const Program_run one = run(options + QStringList{"--jobs", "1"}, false, {}, mixed);
        EXPECT_EQ(one.exit_code, Exit_errors) << one.err;
        EXPECT_EQ(as_json ? json_lines(one.out).size() : text_reports(one.out).size(),
                  static_cast<size_t>(files.size()) + 3);
        for (const char* jobs : {"2", "3"}) {
            const Program_run many = run(options + QStringList{"--jobs", jobs}, false, {}, mixed);
            EXPECT_EQ(many.exit_code, one.exit_code) << "--jobs " << jobs;
            EXPECT_EQ(many.out, one.out) << "--jobs " << jobs << (as_json ? " --json" : "");
        }
    }
}

TEST_F(Batch_test, AFileIsReportedWhileTheListIsStillBeingWritten)
{
    // A reader of a pipe sees each file as soon as it is verified, even while another lane waits
    // for the next line of the list.
    for (const char* jobs : {"1", "2"}) {
        QProcess process;
        start(process, {"--batch", "--json", "--stdin", "--jobs", jobs});
        const std::string first = pki_document("signer-legal").toStdString() + "\n";
        process.write(first.data(), static_cast<qint64>(first.size()));
        std::string out;
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (out.find('\n') == std::string::npos && std::chrono::steady_clock::now() < give_up)
            if (process.waitForReadyRead(100))
                out += process.readAllStandardOutput().toStdString();
        EXPECT_EQ(json_lines(out).size(), 1u) << "--jobs " << jobs << ": nothing before the list ended";
        const std::string second = sample("corrupt.p7m").toStdString() + "\n";
        process.write(second.data(), static_cast<qint64>(second.size()));
        process.closeWriteChannel();
        ASSERT_TRUE(process.waitForFinished(60000));
        out += process.readAllStandardOutput().toStdString();
        EXPECT_EQ(json_lines(out).size(), 2u) << out;
        EXPECT_EQ(process.exitCode(), Exit_errors);
    }
}

TEST_F(Batch_test, TheWorstOutcomeOfTheFilesIsTheExitStatus)
{
    settings(true);
    fill_crl_cache();
    const QString legal = pki_document("signer-legal"); // success
    const QString forged = pki_document("signer-forged"); // warnings
    const QString revoked = pki_document("signer-revoked"); // errors
    const QString unsigned_envelope = sample("no-signers.p7m"); // no summary
    const QString missing = QString::fromStdString((folder / "assente.p7m").string());
    const std::pair<QStringList, int> cases[] = {
        {{legal, legal}, Exit_success},
        {{legal, forged, legal}, Exit_warnings},
        {{forged, revoked, legal}, Exit_errors},
        // A file without a summary beside files with one counts as an error, as a layer does.
        {{legal, unsigned_envelope}, Exit_errors},
        {{unsigned_envelope, missing}, Exit_no_summary},
    };
    for (const auto& [files, expected] : cases) {
        const Program_run result = run(QStringList{"--batch", "--json"} + files);
        EXPECT_EQ(result.exit_code, expected) << files.join(' ').toStdString() << '\n' << result.out;
        EXPECT_EQ(json_lines(result.out).size(), static_cast<size_t>(files.size()));
    }
    const Program_run nothing = run({"--batch", "--stdin"}, false, {}, "\n\n");
    EXPECT_EQ(nothing.exit_code, Exit_no_summary);
    EXPECT_TRUE(nothing.out.empty());
    EXPECT_NE(nothing.err.find("nessun file da verificare"), std::string::npos) << nothing.err;
}

TEST_F(Batch_test, AListOnStandardInputIsTakenLineByLineWhateverItHolds)
{
    // A name with blanks, even at its end, is taken whole.
    const std::filesystem::path blanks = folder / " contratto con spazi.p7m ";
    std::filesystem::copy_file(pki_document("signer-legal").toStdString(), blanks);
    std::string list = pki_document("signer-legal").toStdString() + "\n\n" + blanks.string() + "\n";
    list += std::string("nome\0nullo.p7m\n", 15);
    // The last line: far longer than any path, and without a line end.
    list += std::string(8 * 1024 * 1024, 'a');
    const Program_run result = run({"--batch", "--json", "--stdin"}, false, {}, list);
    EXPECT_EQ(result.exit_code, Exit_errors) << result.err;
    const std::vector<std::string> lines = json_lines(result.out);
    ASSERT_EQ(lines.size(), 4u) << result.out.substr(0, 2000);
    const auto object = [&](size_t i) { return QJsonDocument::fromJson(QByteArray::fromStdString(lines[i])).object(); };
    EXPECT_EQ(object(0)["outcome"].toString(), "warnings");
    EXPECT_EQ(object(1)["file"].toString().toStdString(), blanks.string());
    EXPECT_EQ(object(1)["outcome"].toString(), "warnings");
    EXPECT_EQ(object(2)["file"].toString(), QString::fromUtf8("nome\0nullo.p7m", 14));
    EXPECT_TRUE(object(2)["outcome"].isNull());
    EXPECT_EQ(object(2)["layers"].toArray()[0].toObject()["activity"].toArray()[0].toObject()["text"].toString(),
              "Il nome del file contiene un carattere nullo.");
    EXPECT_EQ(object(3)["file"].toString().size(), static_cast<qsizetype>(Max_listed_path));
    EXPECT_EQ(object(3)["layers"].toArray()[0].toObject()["activity"].toArray()[0].toObject()["text"].toString(),
              QString::fromUtf8("Il nome del file è troppo lungo."));
}

// A list whose first file is held in its chain building until released, followed by entries that
// name no file (reported at once): the pool must stop reading the list once Max_waiting_reports
// reports wait for the first file, and still print everything in order once it is done.
class Held_list : public Batch_path_source {
public:
    Held_list(std::string first, std::size_t more) : _first(std::move(first)), _more(more) {}

    std::optional<Batch_entry> next() override
    {
        const std::size_t at = _taken;
        if (at > _more)
            return std::nullopt;
        ++_taken;
        if (at == 0)
            return Batch_entry{_first, {}};
        return Batch_entry{"voce " + std::to_string(at), "Il nome del file è troppo lungo."};
    }
    std::size_t taken() const { return _taken; }

private:
    const std::string _first;
    const std::size_t _more;
    std::atomic<std::size_t> _taken{0};
};

TEST(Batch_pool_lanes, ALaneStopsTakingFilesWhileTooManyReportsWaitForAnEarlierOne)
{
    test::private_environment();
    int argc = 1;
    char name[] = "test";
    char* argv[] = {name, nullptr};
    QCoreApplication application(argc, argv);

    std::mutex mutex;
    std::condition_variable changed;
    bool released = false;
    std::atomic<int> loads{0};
    Pipeline_services services;
    // The pool's own load before the first file passes; the first file's chain building waits.
    services.trusted_store = [&]() -> std::shared_ptr<Trusted_store> {
        if (loads++ > 0) {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return released; });
        }
        return nullptr;
    };
    constexpr std::size_t Jobs = 2;
    const std::size_t more = Max_waiting_reports + 1000;
    Held_list list(
        (std::filesystem::path(VELIN_PKI_FIXTURES) / "documents" / "contratto-signer-legal.txt.p7m").string(), more);

    std::size_t taken_while_held = 0;
    std::thread release([&] {
        // Every lane but the held one fills the waiting reports; then nothing more is taken.
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (list.taken() < Max_waiting_reports + 1 && std::chrono::steady_clock::now() < give_up)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        taken_while_held = list.taken();
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    });
    std::vector<std::string> printed;
    Batch_pool pool(Pipeline_settings{false, false}, services, Jobs);
    const int status = pool.run(list, [&](const Batch_report& report) { printed.push_back(report.file); });
    release.join();

    EXPECT_EQ(taken_while_held, Max_waiting_reports + 1);
    ASSERT_EQ(printed.size(), more + 1);
    EXPECT_EQ(pool.files(), more + 1);
    for (std::size_t at = 1; at <= more; ++at)
        ASSERT_EQ(printed[at], "voce " + std::to_string(at));
    // A file with a summary beside entries without one.
    EXPECT_EQ(status, Exit_errors);
}

std::vector<Batch_entry> read_all(const std::string& content)
{
    test::Test_folder folder;
    const std::filesystem::path path = folder.path() / "elenco";
    test::write_file(path, content);
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(descriptor, 0);
    Batch_path_reader reader(descriptor);
    std::vector<Batch_entry> entries;
    while (std::optional<Batch_entry> entry = reader.next())
        entries.push_back(std::move(*entry));
    EXPECT_EQ(reader.error(), 0);
    ::close(descriptor);
    return entries;
}

TEST(Batch_list, LinesAreCutWhereverTheReadsEnd)
{
    // A path that straddles the reader's 64 KiB buffer, lines of exactly the longest length and one
    // byte more, a carriage return kept as part of the name, and no line end at the end.
    const std::string longest(Max_listed_path, 'x');
    const std::string content =
        std::string(65530, '\n') + "a cavallo.p7m\n" + longest + "\n" + longest + "y\n" + "windows.p7m\r\n\nultimo";
    const std::vector<Batch_entry> entries = read_all(content);
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(entries[0].path, "a cavallo.p7m");
    EXPECT_TRUE(entries[0].problem.empty());
    EXPECT_EQ(entries[1].path, longest);
    EXPECT_TRUE(entries[1].problem.empty());
    EXPECT_EQ(entries[2].path, longest);
    EXPECT_EQ(entries[2].problem, "Il nome del file è troppo lungo.");
    EXPECT_EQ(entries[3].path, "windows.p7m\r");
    EXPECT_EQ(entries[4].path, "ultimo");
    EXPECT_TRUE(read_all("").empty());
    EXPECT_TRUE(read_all("\n\n\n").empty());

    // A read that fails ends the list and says why.
    test::Test_folder folder;
    const int directory = ::open(folder.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    Batch_path_reader reader(directory);
    EXPECT_FALSE(reader.next().has_value());
    EXPECT_EQ(reader.error(), EISDIR);
    ::close(directory);
}

TEST(Batch_text, NamesFromCertificatesCannotForgeLinesOrBreakJson)
{
    EXPECT_EQ(printable_text("Mario\n    [informazione] Il certificato è valido."),
              "Mario\xEF\xBF\xBD    [informazione] Il certificato è valido.");
    EXPECT_EQ(printable_text("a\x1b[2Jb\xff"), "a\xEF\xBF\xBD[2Jb\xEF\xBF\xBD");
    EXPECT_EQ(printable_text("Niccolò"), "Niccolò");
    EXPECT_EQ(json_string("a\"b\\c\n\x01\xc3"), "\"a\\\"b\\\\c\\n\\u0001\xEF\xBF\xBD\"");
}

// A text signed by a certificate the test issues under an authority whose key it has
// (NAME.cert.pem / NAME.key.pem of a fixture folder): by default the accredited CA of the national
// list.
std::filesystem::path
signed_under(const std::filesystem::path& folder, const std::string& name, test::Certificate_spec spec,
             const std::filesystem::path& authority_files = std::filesystem::path(VELIN_PKI_FIXTURES) / "accredited-ca")
{
    const std::string key_pem = test::read_file(authority_files.string() + ".key.pem");
    const std::string certificate_pem = test::read_file(authority_files.string() + ".cert.pem");
    Owner<BIO> key_input(BIO_new_mem_buf(key_pem.data(), static_cast<int>(key_pem.size())));
    Owner<BIO> certificate_input(BIO_new_mem_buf(certificate_pem.data(), static_cast<int>(certificate_pem.size())));
    const Owner<EVP_PKEY> authority_key(PEM_read_bio_PrivateKey(key_input.get(), nullptr, nullptr, nullptr));
    const Owner<X509> authority(PEM_read_bio_X509(certificate_input.get(), nullptr, nullptr, nullptr));
    const Owner<EVP_PKEY> key(EVP_EC_gen("P-256"));
    spec.key_usage = "critical,digitalSignature,nonRepudiation";
    spec.common_name = "VERDI ANNA";
    spec.serial = 0x7a01;
    const Certificate signer = test::make_certificate(spec, key.get(), authority.get(), authority_key.get());
    const std::string text = "Contratto di fornitura.";
    Owner<BIO> content(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    const Owner<CMS_ContentInfo> message(
        CMS_sign(signer.raw_handle(), key.get(), nullptr, content.get(), CMS_BINARY | CMS_NOSMIMECAP));
    unsigned char* der = nullptr;
    const int length = message ? i2d_CMS_ContentInfo(message.get(), &der) : 0;
    const Owner<unsigned char, Openssl_free> owned(der);
    if (length <= 0)
        throw std::runtime_error("cannot sign a test envelope");
    const std::filesystem::path file = folder / (name + ".txt.p7m");
    test::write_file(file, std::string(reinterpret_cast<const char*>(der), static_cast<size_t>(length)));
    return file;
}

// Under a root of the national list a certificate that states what it is for is judged by its
// statements: a seal, a web certificate or a legal person's certificate never has legal value,
// and the report says why; a signature certificate on a qualified device keeps it.
TEST_F(Batch_test, UnderTheNationalListTheCertificatesStatementsDecideTheLegalValue)
{
    const auto verify = [&](const std::string& name, const test::Certificate_spec& spec) {
        return run({"--batch", QString::fromStdString(signed_under(folder.path(), name, spec).string())});
    };
    const Program_run signature =
        verify("firma", {.statements = "CSe", .issued = "2025-01-01T00:00:00Z", .subject = {"GN", "SN"}});
    EXPECT_EQ(signature.exit_code, Exit_warnings) << signature.out;
    EXPECT_NE(signature.out.find("    Tipo di firma: Firma digitale (con validità legale)\n"), std::string::npos)
        << signature.out;

    const struct {
        const char* name;
        test::Certificate_spec spec;
        const char* why;
    } refused[] = {
        {"sigillo",
         {.statements = "CSs", .subject = {"organizationIdentifier"}},
         "il certificato è qualificato per sigilli elettronici, non per firme."},
        {"sito", {.statements = "Cw"}, "il certificato è qualificato per l'autenticazione di siti web, non per firme."},
        {"persona-giuridica",
         {.statements = "CSe", .policies = "0.4.0.194112.1.3"},
         "il certificato è rilasciato a una persona giuridica."},
        {"ente",
         {.statements = "CSe", .subject = {"organizationIdentifier"}},
         "il certificato è rilasciato a una persona giuridica."},
    };
    for (const auto& [name, spec, why] : refused) {
        const Program_run result = verify(name, spec);
        EXPECT_EQ(result.exit_code, Exit_warnings) << name << "\n" << result.out;
        EXPECT_EQ(result.out.find("Firma digitale (con validità legale)"), std::string::npos) << name << "\n"
                                                                                              << result.out;
        EXPECT_NE(result.out.find("    Tipo di firma: Firma elettronica (attestazione)\n"), std::string::npos)
            << name << "\n"
            << result.out;
        EXPECT_NE(result.out.find(std::string("[informazione] Firma non qualificata. Secondo le dichiarazioni del "
                                              "certificato: ") +
                                  why + "\n"),
                  std::string::npos)
            << name << "\n"
            << result.out;
    }
}

// Under a service of the trusted lists a certificate is qualified only when it or the list says
// so: one issued in 2014 by a service accredited then, without qcStatements or a QCP policy, has
// no legal value, and the report says why; the list's own signer, which states it, keeps it.
TEST_F(Batch_test, UnderATrustedListACertificateThatSaysNothingOfItselfIsNotQualified)
{
    const std::filesystem::path fixtures = std::filesystem::path(VELIN_SOURCE_DIR) / "tests/fixtures/tsl";
    const std::filesystem::path lists = folder / "share/velin-manager/trusted-lists";
    std::filesystem::create_directories(lists);
    std::filesystem::copy_file(fixtures / "eu-lotl.xml", lists / "eu-lotl.xml");
    std::filesystem::copy_file(fixtures / "it-tsl.xml", lists / "TSL-IT.xml");
    const std::vector<std::pair<QString, QString>> lists_home{
        {"XDG_DATA_HOME", QString::fromStdString((folder / "share").string())}};

    const Program_run stated =
        run({"--batch", QString::fromStdString((fixtures / "signer-granted.txt.p7m").string())}, false, lists_home);
    EXPECT_NE(stated.out.find("    Tipo di firma: Firma digitale (con validità legale)\n"), std::string::npos)
        << stated.out;

    for (const char* policy : {static_cast<const char*>(nullptr), "0.4.0.194112.1.2"}) {
        const std::filesystem::path silent = signed_under(
            folder.path(), policy ? "politica" : "muto",
            {.issued = "2014-03-01T00:00:00Z", .policies = policy, .subject = {"GN", "SN"}}, fixtures / "ca-granted");
        const Program_run result = run({"--batch", QString::fromStdString(silent.string())}, false, lists_home);
        EXPECT_EQ(result.out.find("Firma digitale (con validità legale)"), std::string::npos) << result.out;
        EXPECT_NE(result.out.find("    Tipo di firma: Firma elettronica (attestazione)\n"), std::string::npos)
            << result.out;
        EXPECT_NE(result.out.find("[informazione] Firma non qualificata. Alla data di emissione del certificato "
                                  "(01/03/2014 00:00 UTC): il certificato non è qualificato.\n"),
                  std::string::npos)
            << result.out;
    }
}

} // namespace
} // namespace velin
