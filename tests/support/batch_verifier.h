// velin-verify --batch --json run on files of a test's own: the program's data folder seeded
// with the test PKI's lists and revocation lists (or, as on a machine where nobody installed
// them, none), revocation checked against the cached lists, and the report read back as JSON.
// For test programs that define VELIN_VERIFY_PROGRAM and VELIN_PKI_FIXTURES.
#pragma once

#include "test_folder.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>

#include <cctype>
#include <filesystem>
#include <string>

namespace velin::test {

struct Verdict {
    int exit_code = -1;
    QJsonObject report;
    std::string text;
    std::string err; // the standard error: the notices of the run

    QJsonArray layers() const { return report["layers"].toArray(); }
    QJsonObject layer(int n) const { return layers()[n].toObject(); }
    // Every line of a layer: its signatures' status lines and its activity.
    std::string lines(int n) const
    {
        std::string all;
        const QJsonObject chosen = layer(n);
        for (const auto& signature : chosen["signatures"].toArray())
            for (const auto& line : signature.toObject()["status"].toArray())
                all += line.toObject()["severity"].toString().toStdString() + ": " +
                       line.toObject()["text"].toString().toStdString() + "\n";
        for (const auto& line : chosen["activity"].toArray())
            all += line.toObject()["severity"].toString().toStdString() + ": " +
                   line.toObject()["text"].toString().toStdString() + "\n";
        return all;
    }
    QJsonObject timestamp(int n, int index = 0) const { return layer(n)["timestamps"].toArray()[index].toObject(); }
};

// True when lines hold the whole line.
inline bool has_line(const std::string& lines, const std::string& line)
{
    return lines.find(line + "\n") != std::string::npos;
}

// A list in a cache folder under the name the program gives the file it downloads from url.
inline void seed_crl(const std::filesystem::path& cache, const std::string& url, const std::filesystem::path& list)
{
    std::string escaped;
    for (const char c : url) {
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '.')
            escaped += c;
        else
            escaped += "_" + QString::number(static_cast<unsigned char>(c), 16).toStdString();
    }
    std::filesystem::copy_file(list, cache / (escaped + ".crl"));
}

// The test PKI's revocation lists in a cache folder, under the names the program gives the files
// it downloads from their URLs.
inline void seed_test_crls(const std::filesystem::path& cache)
{
    for (const std::string name : {"accredited-ca", "card-root"})
        seed_crl(cache, "http://127.0.0.1:8799/crl/" + name + ".crl",
                 std::filesystem::path(VELIN_PKI_FIXTURES) / "crl" / (name + ".crl"));
}

// The program's settings, data, private and cache folders inside a test's folder.
inline QProcessEnvironment verifier_environment(const std::filesystem::path& folder, const std::filesystem::path& data)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("VELIN_DATA_DIR", QString::fromStdString(data.string()));
    environment.insert("VELIN_USER_REGISTRY", QString::fromStdString((folder / "user.reg").string()));
    environment.insert("VELIN_MACHINE_REGISTRY", QString::fromStdString((folder / "machine.reg").string()));
    environment.insert("XDG_RUNTIME_DIR", QString::fromStdString((folder / "run").string()));
    environment.insert("TMPDIR", QString::fromStdString((folder / "run").string()));
    environment.insert("XDG_CACHE_HOME", QString::fromStdString((folder / "user-cache").string()));
    return environment;
}

// The data folder's lists: the test PKI's, or none at all (a fresh installation: the folder is
// there, empty).
enum class Installed_lists { Test_pki, None };

// A test's own data folder and settings, and the program run on a file.
class Batch_verifier {
public:
    explicit Batch_verifier(Installed_lists lists = Installed_lists::Test_pki)
    {
        data = folder / "velin-data";
        std::filesystem::create_directories(data / "cache");
        if (lists == Installed_lists::Test_pki)
            std::filesystem::copy(std::filesystem::path(VELIN_PKI_FIXTURES) / "velin-data" / "data", data / "data",
                                  std::filesystem::copy_options::recursive);
        else
            std::filesystem::create_directories(data / "data");
        seed_test_crls(data / "cache");
        write_file(folder / "user.reg",
                   "Windows Registry Editor Version 5.00\n\n"
                   "[HKEY_CURRENT_USER\\SOFTWARE\\Valdora Vidizoved\\Velin Manager\\Impostazioni]\n"
                   "\"VerificaCRL\"=dword:00000001\n\"AggiornaCRL\"=dword:00000000\n\n");
        std::filesystem::create_directories(folder / "run");
    }

    // The settings' revocation switches (VerificaCRL, AggiornaCRL).
    void revocation_settings(bool check, bool download)
    {
        write_file(folder / "user.reg",
                   std::string("Windows Registry Editor Version 5.00\n\n"
                               "[HKEY_CURRENT_USER\\SOFTWARE\\Valdora Vidizoved\\Velin Manager\\Impostazioni]\n"
                               "\"VerificaCRL\"=dword:0000000") +
                       (check ? "1" : "0") + "\n\"AggiornaCRL\"=dword:0000000" + (download ? "1" : "0") + "\n\n");
    }

    Verdict verify(const std::filesystem::path& file, const QStringList& extra = {}, bool json = true)
    {
        return run(QStringList{"--batch"} + (json ? QStringList{"--json"} : QStringList{}) + extra +
                   QStringList{QString::fromStdString(file.string())});
    }

    // The program with these arguments; input, when given, on its standard input. The report is
    // read as JSON when the output is one JSON object.
    Verdict run(const QStringList& arguments, const std::string& input = {})
    {
        QProcess process;
        process.setProcessEnvironment(verifier_environment(folder.path(), data));
        process.start(VELIN_VERIFY_PROGRAM, arguments);
        if (!input.empty())
            process.write(input.data(), static_cast<qint64>(input.size()));
        process.closeWriteChannel();
        const std::string file = arguments.isEmpty() ? std::string() : arguments.back().toStdString();
        Verdict verdict;
        if (!process.waitForFinished(60000)) {
            process.kill();
            process.waitForFinished();
            ADD_FAILURE() << "velin-verify did not end on " << file;
            return verdict;
        }
        verdict.exit_code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        const QByteArray out = process.readAllStandardOutput();
        verdict.text = out.toStdString();
        verdict.err = process.readAllStandardError().toStdString();
        verdict.report = QJsonDocument::fromJson(out).object();
        return verdict;
    }

    Test_folder folder;
    std::filesystem::path data;
};

} // namespace velin::test
