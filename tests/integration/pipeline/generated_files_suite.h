// The base of a test suite over the signed files one generator of tools/ makes (made once for the
// whole ctest run, or by the suite itself when run by hand), read by the parser or verified by the
// program in batch mode. Fixtures names the generator: `static std::filesystem::path shared()`, the
// folder the set-up test fills, and `static constexpr const char* tool`, its path in the sources.
#pragma once

#include "batch_verifier.h"
#include "envelope/signed_document_info.h"
#include "envelope/signed_document_parser.h"
#include "generated_fixtures.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QStringList>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace velin::test {

template <typename Fixtures>
class Generated_files_suite : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        generated = new Generated_fixtures(Fixtures::shared(), [](const std::filesystem::path& folder) {
            return std::string("'") + VELIN_SOURCE_DIR + "/" + Fixtures::tool + "' '" + folder.string() + "'";
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

    static QJsonObject signature(const Verdict& verdict, int index, int layer = 0)
    {
        return verdict.layer(layer)["signatures"].toArray()[index].toObject();
    }
    // The signature's status lines, "severity: text" each on a line.
    static std::string status_of(const QJsonObject& signature)
    {
        std::string all;
        for (const auto& line : signature["status"].toArray())
            all += line.toObject()["severity"].toString().toStdString() + ": " +
                   line.toObject()["text"].toString().toStdString() + "\n";
        return all;
    }
    static QStringList names(const QJsonValue& list)
    {
        QStringList all;
        for (const auto& name : list.toArray())
            all << name.toString();
        return all;
    }

    // The file's time stamps as the parser reads them.
    static std::vector<Timestamp_info> timestamps_of(const std::string& name)
    {
        auto info = std::make_shared<Signed_document_info>();
        std::atomic<bool> cancel{false};
        Signed_document_parser parser(info, cancel);
        parser.decode_file((fixtures / name).string());
        if (parser.status() == Parser_status::File_loaded)
            parser.analyse();
        EXPECT_NE(parser.status(), Parser_status::Error) << name << ": " << parser.error_message();
        return info->timestamps;
    }

    static inline Generated_fixtures* generated = nullptr;
    static inline std::filesystem::path fixtures;
    Batch_verifier verifier;
};

#ifdef VELIN_ASIC_FIXTURES
// The signature containers of tools/make-asic-fixtures.
struct Asic_fixtures {
    static std::filesystem::path shared() { return VELIN_ASIC_FIXTURES; }
    static constexpr const char* tool = "tools/make-asic-fixtures/make-asic-fixtures";
};
#endif

} // namespace velin::test
