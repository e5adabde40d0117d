// velin-verify --batch run as a program, as scripts and the demo run it: its own data folder and
// settings, the verdict in the output and in the exit status.
#include "VelinVerify/app/batch_report.h"
#include "test_folder.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include <sys/stat.h>

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

    // The test PKI's CRLs in the cache, under the names their URLs give them.
    void fill_crl_cache()
    {
        for (const std::string name : {"accredited-ca", "card-root"}) {
            std::string escaped;
            for (const char c : "http://127.0.0.1:8799/crl/" + name + ".crl") {
                if (std::isalnum(static_cast<unsigned char>(c)) || c == '.')
                    escaped += c;
                else
                    escaped += "_" + QString::number(static_cast<unsigned char>(c), 16).toStdString();
            }
            std::filesystem::copy_file(std::filesystem::path(VELIN_PKI_FIXTURES) / "crl" / (name + ".crl"),
                                       data / "cache" / (escaped + ".crl"));
        }
    }

    Program_run run(const QStringList& arguments, bool without_display = false,
                    const std::vector<std::pair<QString, QString>>& changed = {})
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        if (without_display)
            for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
                environment.remove(name);
        environment.insert("VELIN_DATA_DIR", QString::fromStdString(data.string()));
        environment.insert("VELIN_USER_REGISTRY", QString::fromStdString((folder / "user.reg").string()));
        environment.insert("VELIN_MACHINE_REGISTRY", QString::fromStdString((folder / "machine.reg").string()));
        environment.insert("XDG_RUNTIME_DIR", QString::fromStdString((folder / "run").string()));
        environment.insert("TMPDIR", QString::fromStdString((folder / "run").string()));
        environment.insert("XDG_CACHE_HOME", QString::fromStdString((folder / "user-cache").string()));
        for (const auto& [name, value] : changed)
            environment.insert(name, value);
        QProcess process;
        process.setProcessEnvironment(environment);
        process.start(VELIN_VERIFY_PROGRAM, arguments);
        Program_run result;
        if (!process.waitForFinished(60000)) {
            process.kill();
            process.waitForFinished();
            ADD_FAILURE() << "velin-verify did not end: " << VELIN_VERIFY_PROGRAM;
            return result;
        }
        result.exit_code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        result.out = process.readAllStandardOutput().toStdString();
        result.err = process.readAllStandardError().toStdString();
        return result;
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
}

TEST_F(Batch_test, WithRevocationCheckTheCachedListsDecide)
{
    settings(true);
    fill_crl_cache();
    const Program_run legal = run({"--batch", pki_document("signer-legal")});
    EXPECT_EQ(legal.exit_code, Exit_success) << legal.out;
    EXPECT_NE(legal.out.find("    [informazione] Il certificato è valido.\n"), std::string::npos) << legal.out;
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
    for (const QStringList& wrong : {QStringList{"--batch"}, QStringList{"--batch", "--jsno", pki_document("signer-legal")},
                                     QStringList{"--json"},
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
        EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(result.out)).object()["outcome"].toString(), "warnings")
            << result.out;
    }
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
    const Program_run update = run({"/update", "/quiet"}, false,
                                   {{"QT_QPA_PLATFORM", "offscreen"}, {"VELIN_USER_REGISTRY", "/dev/null/velin/user.reg"}});
    EXPECT_EQ(update.exit_code, 0) << update.err;
    // Any run started would write its records into the same private folder.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    size_t checks = 0;
    size_t starts = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder / "run")) {
        if (!entry.is_regular_file() || entry.path().extension() != ".log")
            continue;
        const std::string log = test::read_file(entry.path());
        for (size_t at = log.find("Verifica aggiornamenti..."); at != std::string::npos;
             at = log.find("Verifica aggiornamenti...", at + 1))
            ++checks;
        for (size_t at = log.find("Velin Manager"); at != std::string::npos; at = log.find("Velin Manager", at + 1))
            ++starts;
    }
    EXPECT_GT(starts, 0u) << "the trace log of the update run was not found";
    EXPECT_EQ(checks, 0u);
}

TEST(Batch_text, NamesFromCertificatesCannotForgeLinesOrBreakJson)
{
    EXPECT_EQ(printable_text("Mario\n    [informazione] Il certificato è valido."),
              "Mario\xEF\xBF\xBD    [informazione] Il certificato è valido.");
    EXPECT_EQ(printable_text("a\x1b[2Jb\xff"), "a\xEF\xBF\xBD[2Jb\xEF\xBF\xBD");
    EXPECT_EQ(printable_text("Niccolò"), "Niccolò");
    EXPECT_EQ(json_string("a\"b\\c\n\x01\xc3"), "\"a\\\"b\\\\c\\n\\u0001\xEF\xBF\xBD\"");
}

} // namespace
} // namespace velin
