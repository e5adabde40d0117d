// velin-verify --batch on a machine where nobody installed the lists yet, and on one whose list
// is damaged: the run says so once, on the standard error, and each file's verdict is the file's
// own, whether it is verified alone, with others or from a list on the standard input.
#include "batch_verifier.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <filesystem>
#include <string>
#include <vector>

namespace velin::test {
namespace {

const std::string First_run_legal =
    (std::filesystem::path(VELIN_PKI_FIXTURES) / "documents" / "contratto-signer-legal.txt.p7m").string();
const std::string First_run_tampered =
    (std::filesystem::path(VELIN_PIPELINE_FIXTURES) / "contratto-tampered.txt.p7m").string();

// How many lines of the text hold part.
size_t lines_with(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find('\n', at), text.size());
        if (text.substr(at, end - at).find(part) != std::string::npos)
            ++count;
        at = end + 1;
    }
    return count;
}

// The outcome of each JSON report of a run, in order.
std::vector<std::string> outcomes_of(const std::string& out)
{
    std::vector<std::string> outcomes;
    for (size_t at = 0; at < out.size();) {
        const size_t end = std::min(out.find('\n', at), out.size());
        const QJsonObject report =
            QJsonDocument::fromJson(QByteArray::fromStdString(out.substr(at, end - at))).object();
        outcomes.push_back(report["outcome"].toString().toStdString());
        at = end + 1;
    }
    return outcomes;
}

TEST(First_run, each_file_is_judged_alone_and_the_missing_lists_are_said_once)
{
    Batch_verifier verifier(Installed_lists::None);
    const Verdict intact = verifier.verify(First_run_legal);
    // No legal value without lists: a warning at most, never an error.
    EXPECT_TRUE(intact.exit_code == 0 || intact.exit_code == 1) << intact.text << intact.err;
    EXPECT_NE(intact.report["outcome"].toString(), "errors") << intact.text;
    EXPECT_EQ(intact.lines(0).find("Impossibile caricare"), std::string::npos) << intact.lines(0);
    EXPECT_EQ(intact.lines(0).find(".sst"), std::string::npos) << intact.lines(0);
    EXPECT_TRUE(has_line(intact.lines(0), "info: Il documento è firmato correttamente e integro.")) << intact.lines(0);
    // Said once, as the run's, with the ways to get them.
    EXPECT_EQ(lines_with(intact.err, "velin-verify: [informazione] Le liste dei certificati cnipa.sst e cns.sst non "
                                     "sono installate"),
              1u)
        << intact.err;
    for (const char* how : {"velin-verify --aggiorna-liste", "Aggiorna le liste", "How trust is anchored"})
        EXPECT_NE(intact.err.find(how), std::string::npos) << how << '\n' << intact.err;
    EXPECT_EQ(intact.err.find("[errore]"), std::string::npos) << intact.err;

    const Verdict tampered = verifier.verify(First_run_tampered);
    EXPECT_EQ(tampered.exit_code, 2) << tampered.text;
    EXPECT_EQ(tampered.report["outcome"].toString(), "errors");
    EXPECT_TRUE(has_line(tampered.lines(0), "error: La firma non corrisponde al documento.")) << tampered.lines(0);

    // One file, one outcome: alone, from the standard input, beside another file.
    const std::string alone = intact.report["outcome"].toString().toStdString();
    const Verdict listed = verifier.run({"--batch", "--json", "--stdin"}, First_run_legal + "\n");
    EXPECT_EQ(outcomes_of(listed.text), std::vector<std::string>{alone}) << listed.text;
    EXPECT_EQ(listed.exit_code, intact.exit_code);
    const Verdict both = verifier.run(
        {"--batch", "--json", QString::fromStdString(First_run_legal), QString::fromStdString(First_run_tampered)});
    EXPECT_EQ(outcomes_of(both.text), (std::vector<std::string>{alone, "errors"})) << both.text;
    for (const Verdict* run : {&listed, &both})
        EXPECT_EQ(lines_with(run->err, "non sono installate"), 1u) << run->err;
}

// A list that is there but cannot be read is an error of the run: said as one, on the standard
// error, once; the files' outcomes are what they are with no list at all.
TEST(First_run, a_damaged_list_is_an_error_of_the_run_not_of_the_files)
{
    Batch_verifier verifier(Installed_lists::None);
    const std::string fresh = verifier.verify(First_run_legal).report["outcome"].toString().toStdString();
    write_file(verifier.data / "data" / "cns.sst", "danneggiato");
    for (const bool from_stdin : {false, true}) {
        const Verdict run = from_stdin ? verifier.run({"--batch", "--json", "--stdin"}, First_run_legal + "\n")
                                       : verifier.verify(First_run_legal);
        EXPECT_EQ(outcomes_of(run.text), std::vector<std::string>{fresh}) << run.text;
        EXPECT_EQ(lines_with(run.err, "velin-verify: [errore] Impossibile caricare il file con la lista dei "
                                      "certificati per la Carta Velin."),
                  1u)
            << run.err;
        EXPECT_EQ(run.text.find("Carta Velin."), std::string::npos) << run.text;
        // The card list is there (damaged): only the other one is said to be missing.
        EXPECT_NE(run.err.find("La lista dei certificati cnipa.sst non è installata"), std::string::npos) << run.err;
    }
}

// With downloads allowed, a certificate that names no CRL and no OCSP responder is said to name
// none: the setting is not what kept its revocation unknown.
TEST(First_run, a_certificate_without_revocation_sources_is_not_blamed_on_the_setting)
{
    Batch_verifier verifier;
    verifier.revocation_settings(true, true);
    const std::string user =
        (std::filesystem::path(VELIN_PKI_FIXTURES) / "documents" / "contratto-signer-user.txt.p7m").string();
    const Verdict sourceless = verifier.verify(user);
    EXPECT_TRUE(has_line(sourceless.lines(0), "info: Il certificato non indica dove verificarne la revoca: né una "
                                              "lista di revoca né un servizio OCSP."))
        << sourceless.lines(0);
    EXPECT_TRUE(has_line(sourceless.lines(0), "warning: La revoca del certificato non può essere rilevata."));
    EXPECT_EQ(sourceless.lines(0).find("disabilitato"), std::string::npos) << sourceless.lines(0);

    // Downloads off, a certificate that names its list, none cached: the setting is the reason.
    Batch_verifier offline;
    offline.revocation_settings(true, false);
    std::filesystem::remove_all(offline.data / "cache");
    const Verdict disabled = offline.verify(First_run_legal);
    EXPECT_TRUE(has_line(disabled.lines(0), "info: L'aggiornamento delle revoche è disabilitato."))
        << disabled.lines(0);
    EXPECT_EQ(disabled.lines(0).find("non indica dove"), std::string::npos);
}

} // namespace
} // namespace velin::test
