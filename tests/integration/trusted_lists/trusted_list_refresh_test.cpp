// Refreshing the kept trusted lists from a loopback HTTP server and from local files: both lists
// are kept only when both verify and neither is older than the one in use.
#include "trust/european_list.h"
#include "trust/trusted_list_reader.h"
#include "trust/trusted_list_refresh.h"
#include "trust/trusted_list_store.h"

#include "common/errno_text.h"
#include "common/registry.h"
#include "loopback_server.h"
#include "test_folder.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sys/wait.h>
#include <utility>

namespace velin {
namespace {

namespace fs = std::filesystem;
using test::Test_folder;

const fs::path fixtures = fs::path(VELIN_SOURCE_DIR) / "tests/fixtures/tsl";

std::vector<Certificate> eu_pins()
{
    return pem_certificates(test::read_file(fixtures / "eu-signer.cert.pem"));
}

// Serves the named fixtures at /NAME; anything else is 404.
class List_server {
public:
    List_server()
        : _server([](const std::string&, const std::string& path) {
              const fs::path file = fixtures / path.substr(1);
              if (path.find("..") != std::string::npos || !fs::exists(file))
                  return test::answer(404, "non trovato");
              return test::answer(200, test::read_file(file));
          })
    {}
    std::string url(const std::string& name) const { return _server.url("/" + name); }

private:
    test::Loopback_server _server;
};

std::vector<std::string> texts(const Refresh_outcome& outcome, Refresh_line::Kind kind)
{
    std::vector<std::string> found;
    for (const Refresh_line& line : outcome.lines)
        if (line.kind == kind)
            found.push_back(line.text);
    return found;
}

Refresh_outcome refresh(const List_server& server, const Test_folder& folder, const std::string& european,
                        const std::string& national)
{
    const std::atomic<bool> cancel{false};
    return refresh_trusted_lists({server.url(european), server.url(national), "IT"}, (folder / "liste").string(),
                                 eu_pins(), cancel);
}

TEST(Trusted_list_refresh, keeps_both_lists_fetched_and_verified_and_their_cache)
{
    List_server server;
    Test_folder folder;
    const Refresh_outcome outcome = refresh(server, folder, "eu-lotl.xml", "it-tsl.xml");
    ASSERT_TRUE(outcome.succeeded);
    EXPECT_TRUE(texts(outcome, Refresh_line::Error).empty());
    const std::vector<std::string> said = texts(outcome, Refresh_line::Information);
    EXPECT_NE(std::find(said.begin(), said.end(),
                        "La lista di fiducia IT: numero 50 del 01/01/2025 00:00 UTC, prossimo aggiornamento entro il "
                        "01/01/2099 00:00 UTC, 6 servizi."),
              said.end());
    EXPECT_EQ(test::read_file(folder / "liste/TSL-IT.xml"), test::read_file(fixtures / "it-tsl.xml"));
    EXPECT_EQ(fs::status(folder / "liste").permissions() & fs::perms::all, fs::perms::owner_all);

    std::vector<List_load_line> lines;
    const auto lists = load_trusted_lists((folder / "liste").string(), eu_pins(), std::time(nullptr), lines);
    ASSERT_NE(lists, nullptr);
    ASSERT_EQ(lists->national().size(), 1u);
    EXPECT_EQ(lists->national()[0].list.services.size(), 6u);
    EXPECT_TRUE(lines.empty());

    // An older list, however well signed, does not replace the one in use.
    const Refresh_outcome older = refresh(server, folder, "eu-lotl.xml", "it-tsl-past-next-update.xml");
    EXPECT_FALSE(older.succeeded);
    EXPECT_EQ(texts(older, Refresh_line::Error),
              std::vector<std::string>{"La lista di fiducia IT ottenuta (numero 49) è meno recente di quella in uso "
                                       "(numero 50): non è stata usata."});
    EXPECT_EQ(test::read_file(folder / "liste/TSL-IT.xml"), test::read_file(fixtures / "it-tsl.xml"));
}

// Said of a European list whose signer nothing we trust reaches.
std::string unknown_european_signer(const std::string& signer)
{
    return "La lista europea delle liste di fiducia non è stata usata: Il certificato che ha firmato la lista non è "
           "tra quelli attesi e nessuna catena di liste pivot lo collega a uno di essi. Impronta SHA-256 del "
           "certificato: " +
           sha256_fingerprint(pem_certificates(test::read_file(fixtures / (signer + ".cert.pem"))).at(0)) +
           ". Confrontarla con le impronte pubblicate nella Gazzetta ufficiale dell'Unione europea: se vi compare, "
           "l'amministratore può aggiungere il certificato al file data/eu-lotl-signers.pem.";
}

TEST(Trusted_list_refresh, keeps_nothing_when_either_list_fails)
{
    List_server server;
    const struct {
        const char* european;
        const char* national;
        std::string error;
    } cases[] = {
        {"eu-lotl-rogue.xml", "it-tsl.xml", unknown_european_signer("rogue-signer")},
        // The national list signed by someone the European list does not name for Italy.
        {"eu-lotl.xml", "it-tsl-rogue.xml",
         "La lista di fiducia IT non è stata usata: Il certificato che ha firmato la lista di fiducia non è tra quelli "
         "attesi."},
        {"eu-lotl.xml", "it-tsl-modified.xml",
         "La lista di fiducia IT non è stata usata: La firma della lista di fiducia non è valida."},
        // The national list offered as the European one.
        {"it-tsl.xml", "it-tsl.xml", unknown_european_signer("it-signer")},
        {"missing.xml", "it-tsl.xml",
         "Lo scaricamento della lista europea delle liste di fiducia è fallito: errore 404."},
    };
    for (const auto& tried : cases) {
        Test_folder folder;
        const Refresh_outcome outcome = refresh(server, folder, tried.european, tried.national);
        EXPECT_FALSE(outcome.succeeded) << tried.european << " " << tried.national;
        EXPECT_EQ(texts(outcome, Refresh_line::Error), std::vector<std::string>{tried.error});
        EXPECT_FALSE(fs::exists(folder / "liste")) << tried.european << " " << tried.national;
    }
}

TEST(Trusted_list_refresh, follows_the_pivots_beside_an_imported_list_and_keeps_them)
{
    const fs::path pivots = fixtures / "pivot";
    const std::vector<Certificate> pins = pem_certificates(test::read_file(pivots / "oj-signer.cert.pem"));
    const std::atomic<bool> cancel{false};
    Test_folder folder;
    const std::string kept = (folder / "liste").string();
    const Refresh_outcome outcome = refresh_trusted_lists(
        {(pivots / "eu-lotl.xml").string(), (pivots / "it-tsl.xml").string(), "IT"}, kept, pins, cancel);
    ASSERT_TRUE(outcome.succeeded) << texts(outcome, Refresh_line::Error).front();
    EXPECT_TRUE(texts(outcome, Refresh_line::Warning).empty());
    const std::vector<std::string> said = texts(outcome, Refresh_line::Information);
    EXPECT_NE(std::find(said.begin(), said.end(),
                        "La lista europea delle liste di fiducia è firmata da un certificato annunciato dalle liste "
                        "pivot (3)."),
              said.end());
    for (const char* pivot : {"eu-lotl-pivot-101.xml", "eu-lotl-pivot-102.xml", "eu-lotl-pivot-103.xml"})
        EXPECT_EQ(test::read_file(folder / "liste/pivot" / pivot), test::read_file(pivots / pivot)) << pivot;

    // Without the cache the next start walks the kept pivots again; with other pins neither the
    // cache nor the walk stands.
    fs::remove(folder / "liste/liste.cache");
    std::vector<List_load_line> lines;
    auto lists = load_trusted_lists(kept, pins, std::time(nullptr), lines);
    ASSERT_NE(lists, nullptr) << lines.front().text;
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(lists->european().list.sequence_number, 104u);
    EXPECT_EQ(lists->european().anchor_thumbprint, pins[0].thumbprint());
    ASSERT_TRUE(fs::exists(folder / "liste/liste.cache"));
    EXPECT_NE(load_trusted_lists(kept, pins, std::time(nullptr), lines), nullptr);
    EXPECT_EQ(load_trusted_lists(kept, eu_pins(), std::time(nullptr), lines), nullptr);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].text.find(
                  sha256_fingerprint(pem_certificates(test::read_file(pivots / "pivot-signer-3.cert.pem"))[0])),
              std::string::npos)
        << lines[0].text;

    // A pivot missing beside the list breaks the chain: nothing is kept, and the user is told why.
    Test_folder other;
    fs::create_directory(other / "import");
    for (const char* file : {"eu-lotl.xml", "it-tsl.xml", "eu-lotl-pivot-101.xml", "eu-lotl-pivot-103.xml"})
        fs::copy_file(pivots / file, other / "import" / file);
    const Refresh_outcome broken =
        refresh_trusted_lists({(other / "import/eu-lotl.xml").string(), (other / "import/it-tsl.xml").string(), "IT"},
                              (other / "liste").string(), pins, cancel);
    EXPECT_FALSE(broken.succeeded);
    const std::vector<std::string> warnings = texts(broken, Refresh_line::Warning);
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_EQ(warnings[0], "La lettura della lista pivot https://lotl.example.eu/eu-lotl-pivot-102.xml dal file " +
                               (other / "import/eu-lotl-pivot-102.xml").string() + " è fallita: " + errno_text(ENOENT) +
                               ".");
    EXPECT_EQ(texts(broken, Refresh_line::Error).size(), 1u);
    EXPECT_FALSE(fs::exists(other / "liste"));
}

TEST(Trusted_list_refresh, takes_the_addresses_from_the_machine_settings)
{
    EXPECT_EQ(configured_list_sources().european, Default_european_list);
    EXPECT_EQ(configured_list_sources().national, Default_national_list);
    List_server server;
    ASSERT_EQ(write_text(Registry_root::Local_machine, Settings_key, European_list_setting, server.url("eu-lotl.xml")),
              0u);
    ASSERT_EQ(write_text(Registry_root::Local_machine, Settings_key, National_list_setting, server.url("it-tsl.xml")),
              0u);
    const List_sources sources = configured_list_sources();
    Test_folder folder;
    const std::atomic<bool> cancel{false};
    EXPECT_TRUE(refresh_trusted_lists(sources, (folder / "liste").string(), eu_pins(), cancel).succeeded);
    // An empty value is no address: the default stands.
    ASSERT_EQ(write_text(Registry_root::Local_machine, Settings_key, European_list_setting, ""), 0u);
    EXPECT_EQ(configured_list_sources().european, Default_european_list);
    EXPECT_EQ(configured_list_sources().national, server.url("it-tsl.xml"));
    ASSERT_EQ(write_text(Registry_root::Local_machine, Settings_key, National_list_setting, ""), 0u);
}

TEST(Trusted_list_refresh, warns_of_a_list_past_its_next_update)
{
    List_server server;
    Test_folder folder;
    const Refresh_outcome outcome = refresh(server, folder, "eu-lotl.xml", "it-tsl-past-next-update.xml");
    EXPECT_TRUE(outcome.succeeded);
    EXPECT_EQ(texts(outcome, Refresh_line::Warning),
              std::vector<std::string>{"La lista di fiducia IT doveva essere aggiornata entro il 01/07/2019 00:00 "
                                       "UTC: è usata comunque, ma va aggiornata al più presto."});
}

// velin-verify with its user data folder in folder; the exit status and what it printed.
std::pair<int, std::string> run_verifier(const Test_folder& folder, const std::string& arguments)
{
    const std::string command =
        "XDG_DATA_HOME='" + folder.path().string() + "' '" + VELIN_VERIFY_PROGRAM + "' " + arguments + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        return {-1, "popen"};
    std::string output;
    char buffer[512];
    while (size_t read = std::fread(buffer, 1, sizeof buffer, pipe))
        output.append(buffer, read);
    return {::pclose(pipe), output};
}

std::string quoted(const fs::path& path)
{
    return "'" + path.string() + "'";
}

TEST(Trusted_list_refresh, command_line_imports_local_files_and_the_next_run_classifies_by_them)
{
    Test_folder folder;
    const auto [status, output] = run_verifier(folder, "--aggiorna-liste " + quoted(fixtures / "eu-lotl.xml") + " " +
                                                           quoted(fixtures / "it-tsl.xml"));
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("Le liste di fiducia sono aggiornate"), std::string::npos) << output;
    ASSERT_TRUE(fs::exists(folder / "velin-manager/trusted-lists/liste.cache"));

    // Envelopes signed in 2026 by holders of a granted authority, of one withdrawn in 2020 and of
    // one that certifies seals only.
    const std::pair<const char*, const char*> cases[] = {
        {"signer-granted.txt.p7m", "Tipo di firma: Firma digitale (con validità legale)"},
        {"signer-withdrawn.txt.p7m", "Tipo di firma: Firma elettronica (attestazione)"},
        {"signer-seals.txt.p7m", "Tipo di firma: Firma elettronica (attestazione)"},
    };
    for (const auto& [document, kind] : cases) {
        const auto [verified, text] = run_verifier(folder, "--batch " + quoted(fixtures / document));
        EXPECT_NE(text.find(kind), std::string::npos) << text;
    }

    // A list past its next update: used, with a warning line in the report.
    Test_folder past;
    ASSERT_EQ(run_verifier(past, "--aggiorna-liste " + quoted(fixtures / "eu-lotl.xml") + " " +
                                     quoted(fixtures / "it-tsl-past-next-update.xml"))
                  .first,
              0);
    const auto [late, report] = run_verifier(past, "--batch " + quoted(fixtures / "signer-granted.txt.p7m"));
    EXPECT_NE(report.find("Tipo di firma: Firma digitale (con validità legale)"), std::string::npos) << report;
    EXPECT_NE(report.find("[avviso] La lista di fiducia IT doveva essere aggiornata entro il 01/07/2019 00:00 UTC"),
              std::string::npos)
        << report;

    // A list of format 6: the holder issued in 2013 has a qualified device today; under a service
    // for web sites only, the report says why there is no legal value.
    Test_folder format_six;
    ASSERT_EQ(run_verifier(format_six, "--aggiorna-liste " + quoted(fixtures / "eu-lotl.xml") + " " +
                                           quoted(fixtures / "it-tsl-v6.xml"))
                  .first,
              0);
    const auto [qualified, granted] =
        run_verifier(format_six, "--batch " + quoted(fixtures / "signer-granted.txt.p7m"));
    EXPECT_NE(granted.find("Tipo di firma: Firma digitale (con validità legale)"), std::string::npos) << granted;
    const auto [web, seals] = run_verifier(format_six, "--batch " + quoted(fixtures / "signer-seals.txt.p7m"));
    EXPECT_NE(seals.find("[informazione] Il servizio della lista di fiducia non era accreditato per le firme"),
              std::string::npos)
        << seals;

    // A wrong command line is said as such.
    const auto [wrong, usage] = run_verifier(folder, "--aggiorna-liste a b c");
    EXPECT_EQ(WEXITSTATUS(wrong), 2);
    EXPECT_NE(usage.find("al più due liste"), std::string::npos) << usage;
}

TEST(Trusted_list_refresh, a_file_that_cannot_be_read_is_said_in_italian)
{
    Test_folder folder;
    const fs::path link = folder / "lista-collegata.xml";
    fs::create_symlink(fixtures / "eu-lotl.xml", link);
    const fs::path directory = folder / "cartella.xml";
    fs::create_directory(directory);
    const fs::path huge = folder / "enorme.xml";
    {
        std::ofstream(huge).put('<');
    }
    fs::resize_file(huge, Trusted_list_max_size + 1);
    const std::pair<fs::path, int> cases[] = {{link, ELOOP}, {directory, EISDIR}, {huge, EFBIG}};
    for (const auto& [path, error] : cases) {
        const auto [status, output] =
            run_verifier(folder, "--aggiorna-liste " + quoted(path) + " " + quoted(fixtures / "it-tsl.xml"));
        EXPECT_NE(WEXITSTATUS(status), 0) << output;
        EXPECT_NE(output.find("La lettura della lista europea delle liste di fiducia dal file " + path.string() +
                              " è fallita: " + errno_text(error) + "."),
                  std::string::npos)
            << output;
        for (const char* english : {"symbolic", "Is a directory", "Invalid argument", "too large"})
            EXPECT_EQ(output.find(english), std::string::npos) << english << " in " << output;
    }
}

} // namespace
} // namespace velin
