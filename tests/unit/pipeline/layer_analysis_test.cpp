// One layer against the test PKI, its messages delivered by this thread's event loop: the lines,
// the progress bar, the flags and what it tells its observer.
#include "VelinVerify/pipeline/report_channel.h"
#include "VelinVerify/worker/cancel_flag.h"
#include "pipeline_test_support.h"
#include "trace_records.h"
#include "trust/crl_cache.h"
#include "trust/report.h"

#include <gtest/gtest.h>

namespace velin {
namespace {

using test::eventually;
using test::has_line;
using test::texts;

class Layer_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        cancel_flag() = false;
        data = test::make_data_folder(folder.path());
    }
    void TearDown() override { cancel_flag() = false; }

    std::unique_ptr<Layer_analysis> run(const std::filesystem::path& path, Pipeline_settings settings,
                                        Pipeline_services services)
    {
        auto layer = std::make_unique<Layer_analysis>(settings, std::move(services));
        layer->set_observer(&observer);
        layer->set_source_file(path.string());
        layer->start();
        EXPECT_TRUE(eventually([&] { return layer->finished(); })) << path;
        return layer;
    }
    std::unique_ptr<Layer_analysis> run(const std::filesystem::path& path)
    {
        return run(path, test::revocation_off(), test::services_for(data));
    }

    test::Test_folder folder;
    std::filesystem::path data;
    test::Recording_observer observer;
};

TEST_F(Layer_test, LegalValueWithoutRevocationCheckEndsWithWarningsAtTheEndOfTwoStages)
{
    const auto layer = run(test::pki_document("signer-legal"));
    EXPECT_EQ(texts(layer->activity()), (std::vector<std::string>{
                                            "Analisi del file in corso...",
                                            "Il documento è firmato correttamente e integro.",
                                            "La verifica della revoca dei certificati è disabilitata.",
                                            "Analisi del file completata con segnalazioni.",
                                        }));
    EXPECT_EQ(layer->activity()[2].severity, Line_severity::Warning);
    EXPECT_EQ(layer->activity()[3].severity, Line_severity::Warning);
    EXPECT_EQ(layer->outcome(), Layer_outcome::Warnings);
    EXPECT_EQ(observer.completed, std::vector<int>{48});
    EXPECT_EQ(layer->progress().maximum, 200);
    EXPECT_EQ(layer->progress().position, 200);
    EXPECT_EQ(layer->progress().background, Progress_background::Yellow);

    EXPECT_EQ(layer->document_name(), "contratto-signer-legal.txt");
    EXPECT_EQ(layer->controls_stage(), 2);
    ASSERT_TRUE(layer->content_available());
    EXPECT_EQ(std::string(layer->content()->begin(), layer->content()->end()),
              test::read_file(test::pki_document("signer-legal").parent_path() / "contratto.txt"));
    EXPECT_EQ(layer->signer_names(), std::vector<std::string>{"ROSSI MARIO"});
    const Signature_display& shown = layer->shown_signature();
    EXPECT_EQ(shown.kind, "Firma digitale (con validità legale)");
    // Only the time the accredited list was judged at: the verification's, with no time stamp.
    ASSERT_EQ(shown.status.size(), 1u);
    EXPECT_EQ(shown.status[0].severity, Line_severity::Information);
    EXPECT_TRUE(shown.status[0].text.starts_with("Stato della lista e qualifica valutati alla data della verifica: "))
        << shown.status[0].text;
    EXPECT_EQ(shown.signing_time.size(), std::string("dd/mm/yyyy hh:mm:ss").size());
    EXPECT_TRUE(observer.inner.empty());
    EXPECT_TRUE(observer.boxes.empty());
}

TEST_F(Layer_test, KindsOfSignatureFollowTheCertificateAndItsRoot)
{
    EXPECT_EQ(run(test::pki_document("signer-no-nr"))->shown_signature().kind, "Firma elettronica (attestazione)");
    EXPECT_EQ(run(test::pki_document("signer-card"))->shown_signature().kind, "Firma elettronica (attestazione)");
    EXPECT_EQ(run(test::pki_document("signer-user"))->shown_signature().kind, "Firma elettronica (attestazione)");
    // Issued by an end entity: no chain, the trust of the signature cannot be determined.
    const auto forged = run(test::pki_document("signer-forged"));
    EXPECT_EQ(forged->shown_signature().kind, "<informazione non disponibile>");
    EXPECT_TRUE(has_line(forged->shown_signature().status, Line_severity::Warning,
                         "L'attendibilità di questa firma non può essere determinata."));
}

TEST_F(Layer_test, TamperedDocumentIsAnErrorAndNeverIntact)
{
    const auto layer = run(test::pipeline_sample("contratto-tampered.txt.p7m"));
    EXPECT_TRUE(has_line(layer->activity(), Line_severity::Error, "La firma non corrisponde al documento."));
    EXPECT_FALSE(
        has_line(layer->activity(), Line_severity::Information, "Il documento è firmato correttamente e integro."));
    EXPECT_EQ(layer->activity().back(), (Status_line{Line_severity::Error, "Analisi del file completata con errori."}));
    EXPECT_EQ(layer->progress().background, Progress_background::Red);
    EXPECT_EQ(observer.completed, std::vector<int>{16});
}

TEST_F(Layer_test, OfTwoSignersOnlyTheOneThatDoesNotMatchIsNamedAndTheOutcomeIsErrors)
{
    const auto layer = run(test::pipeline_sample("contratto-one-bad.txt.p7m"));
    ASSERT_EQ(layer->signature_count(), 2u);
    size_t mismatches = 0;
    for (const Status_line& line : layer->activity())
        mismatches += line.text == "La firma non corrisponde al documento." ? 1 : 0;
    EXPECT_EQ(mismatches, 1u);
    EXPECT_FALSE(
        has_line(layer->activity(), Line_severity::Information, "Il documento è firmato correttamente e integro."));
    int bad_signers = 0;
    for (size_t i = 0; i < 2; ++i)
        bad_signers +=
            has_line(layer->signature_display(i).status, Line_severity::Error, "La firma non corrisponde al documento.")
                ? 1
                : 0;
    EXPECT_EQ(bad_signers, 1);
    EXPECT_EQ(layer->outcome(), Layer_outcome::Errors);

    // Selecting the other signer shows its own lines.
    layer->select_signature(1);
    EXPECT_EQ(layer->shown_index(), 1u);
    EXPECT_EQ(layer->shown_signature().signer, layer->signer_names()[1]);
}

TEST_F(Layer_test, AFindingAboutASignerNotOnDisplayStillCountsInTheOutcome)
{
    // Revocation says the second signer is revoked; the window shows the first one.
    Pipeline_services services = test::services_for(data);
    services.check_revocations = [](const std::vector<Revocation_subject>& subjects, const Revocation_settings&,
                                    const std::atomic<bool>&) {
        std::vector<Revocation_outcome> outcomes(subjects.size(), {Revocation_status::Valid, 1});
        outcomes.back().status = Revocation_status::Revoked;
        return outcomes;
    };
    const auto layer = run(test::pipeline_sample("contratto-two-signers.txt.p7m"), test::revocation_on(), services);
    ASSERT_EQ(layer->signature_count(), 2u);
    EXPECT_EQ(layer->shown_index(), 0u);
    EXPECT_FALSE(layer->shown_signature().errors);
    EXPECT_TRUE(has_line(layer->signature_display(1).status, Line_severity::Error, "Il certificato è stato revocato."));
    EXPECT_EQ(layer->outcome(), Layer_outcome::Errors);
    EXPECT_EQ(layer->progress().position, 300);
    EXPECT_EQ(layer->progress().maximum, 300);
    EXPECT_EQ(layer->progress().caption, "Analisi del file completata.");
}

TEST_F(Layer_test, ALineReportedDuringTheAnalysisCountsInTheOutcome)
{
    Report_channel channel([](const Status_line&) {});
    for (const auto& [severity, expected] :
         {std::pair{Report_error, Layer_outcome::Errors}, std::pair{Report_warning, Layer_outcome::Warnings}}) {
        Pipeline_services services = test::services_for(data);
        services.check_revocations = [severity](const std::vector<Revocation_subject>& subjects,
                                                const Revocation_settings&, const std::atomic<bool>&) {
            if (severity == Report_error)
                report_error("Errore durante la verifica.");
            else
                report_warning("Avviso durante la verifica.");
            return std::vector<Revocation_outcome>(subjects.size(), {Revocation_status::Valid, 1});
        };
        const auto layer = run(test::pki_document("signer-legal"), test::revocation_on(), services);
        EXPECT_EQ(layer->outcome(), expected) << texts(layer->activity()).back();
        EXPECT_NE(layer->activity().back().text, "Analisi del file completata con successo.");
    }
}

TEST_F(Layer_test, NamesOfTheDocumentAndTheInnerEnvelope)
{
    // x.P7M is an envelope whose document is x.
    const auto upper = folder / "CONTRATTO.P7M";
    std::filesystem::copy_file(test::pki_document("signer-legal"), upper);
    EXPECT_EQ(run(upper)->document_name(), "CONTRATTO");
    EXPECT_TRUE(observer.inner.empty());

    // A time-stamped file keeps its name.
    const auto stamped = folder / "documento.pdf.m7m";
    std::filesystem::copy_file(test::m7m_sample("crlf-binary.m7m"), stamped);
    const auto layer = run(stamped);
    EXPECT_EQ(layer->document_name(), "documento.pdf.m7m");
    EXPECT_TRUE(
        has_line(layer->activity(), Line_severity::Information, "Il documento è firmato correttamente e integro."));
    EXPECT_TRUE(observer.inner.empty());

    // A nested envelope hands its content over once, under the name without the last .p7m.
    const std::string nested_path = test::pipeline_sample("contratto.txt.p7m.p7m").string();
    const auto nested = run(nested_path);
    EXPECT_EQ(nested->document_name(), "contratto.txt.p7m");
    ASSERT_EQ(observer.inner.size(), 1u);
    EXPECT_EQ(observer.inner[0].name, nested_path.substr(0, nested_path.size() - 4));
    const std::string inner = test::read_file(test::pki_document("signer-legal"));
    EXPECT_EQ(observer.inner[0].content, std::vector<uint8_t>(inner.begin(), inner.end()));
}

TEST_F(Layer_test, UnsupportedFileAsksForTheErrorBoxAndStartsNoWorker)
{
    const auto path = folder / "contratto.docx";
    test::write_file(path, "qualcosa");
    const auto layer = run(path);
    EXPECT_EQ(layer->state(), Layer_state::Refused);
    EXPECT_EQ(observer.boxes, (std::vector<Box_request>{{"Il file non è un documento firmato.", 16, "Errore"}}));
    EXPECT_FALSE(layer->worker_started());
    EXPECT_TRUE(layer->activity().empty());
    EXPECT_TRUE(observer.completed.empty());
}

TEST_F(Layer_test, EnvelopeWithoutSignersEndsWithoutSummary)
{
    const auto layer = run(test::pipeline_sample("no-signers.p7m"));
    EXPECT_EQ(layer->state(), Layer_state::Ended);
    EXPECT_EQ(layer->activity().back(), (Status_line{Line_severity::Error, "Il file non contiene alcuna firma."}));
    EXPECT_TRUE(layer->errors());
    EXPECT_FALSE(layer->outcome());
    EXPECT_TRUE(observer.completed.empty());
    EXPECT_EQ(layer->progress().background, Progress_background::Default);
}

TEST_F(Layer_test, CorruptFileEndsWithTheCorruptLineAndTheSummary)
{
    const auto layer = run(test::pipeline_sample("corrupt.p7m"));
    EXPECT_EQ(texts(layer->activity()), (std::vector<std::string>{
                                            "Analisi del file in corso...",
                                            "L'analisi del file è fallita.",
                                            "Il file è corrotto o non è un documento firmato.",
                                            "Analisi del file completata con errori.",
                                        }));
    EXPECT_EQ(layer->progress().background, Progress_background::Red);
    EXPECT_EQ(layer->progress().position, 100);
    EXPECT_EQ(observer.completed, (std::vector<int>{16}));
}

TEST_F(Layer_test, UnreadableFilesSayWhyAndEndWithoutSummary)
{
    // Nothing was read, so nothing is called corrupt.
    const auto empty = folder / "vuoto.p7m";
    test::write_file(empty, "");
    const std::pair<std::filesystem::path, std::string> cases[] = {
        {folder / "assente.p7m", "Impossibile aprire il file specificato."},
        {empty, "Il file è vuoto."},
    };
    for (const auto& [path, reason] : cases) {
        const auto layer = run(path);
        EXPECT_EQ(texts(layer->activity()), (std::vector<std::string>{
                                                "Analisi del file in corso...",
                                                reason,
                                                "La lettura del file specificato è fallita.",
                                            }))
            << path;
        EXPECT_EQ(layer->state(), Layer_state::Ended);
        EXPECT_TRUE(layer->errors());
        EXPECT_FALSE(layer->outcome());
    }
    EXPECT_TRUE(observer.completed.empty());
}

TEST_F(Layer_test, WithoutTrustedListsEverySignatureIsOfUndeterminedTrust)
{
    Pipeline_services services;
    services.trusted_store = [] { return std::shared_ptr<Trusted_store>(); };
    const auto layer = run(test::pki_document("signer-legal"), test::revocation_off(), services);
    EXPECT_EQ(layer->shown_signature().kind, "<informazione non disponibile>");
    EXPECT_TRUE(has_line(layer->shown_signature().status, Line_severity::Warning,
                         "L'attendibilità di questa firma non può essere determinata."));
    EXPECT_EQ(layer->outcome(), Layer_outcome::Warnings);
}

TEST_F(Layer_test, CancelBeforeTheChainResultEndsWithoutSummary)
{
    test::Gate gate;
    const Pipeline_services services = test::gated_services(data, gate);
    Layer_analysis layer(test::revocation_off(), services);
    layer.set_observer(&observer);
    layer.set_source_file(test::pki_document("signer-legal").string());
    layer.start();
    ASSERT_TRUE(eventually([&] { return gate.arrived(); }));
    cancel_flag() = true;
    gate.open();
    ASSERT_TRUE(eventually([&] { return layer.finished(); }));
    EXPECT_EQ(layer.state(), Layer_state::Ended);
    EXPECT_EQ(layer.progress().position, 200);
    EXPECT_TRUE(observer.completed.empty());
    EXPECT_TRUE(test::traced(Level_info, {"annullata"}));
    EXPECT_FALSE(has_line(layer.activity(), Line_severity::Warning, "Analisi del file completata con segnalazioni."));
}

TEST_F(Layer_test, CancelBeforeTheRevocationResultTakesTheBarBackToZero)
{
    test::Gate gate;
    Pipeline_services services = test::services_for(data);
    services.check_revocations = [&gate](const std::vector<Revocation_subject>& subjects, const Revocation_settings&,
                                         const std::atomic<bool>&) {
        gate.wait();
        return std::vector<Revocation_outcome>(subjects.size(), {Revocation_status::Valid, 1});
    };
    Layer_analysis layer(test::revocation_on(), services);
    layer.set_observer(&observer);
    layer.set_source_file(test::pki_document("signer-legal").string());
    layer.start();
    ASSERT_TRUE(eventually([&] { return gate.arrived(); }));
    // While the stage runs the signer is shown as being checked.
    EXPECT_TRUE(eventually([&] {
        return has_line(layer.shown_signature().status, Line_severity::Information,
                        "La verifica dell'eventuale revoca è in corso...");
    }));
    EXPECT_EQ(layer.progress().caption, "Verifica delle revoche in corso...");
    cancel_flag() = true;
    gate.open();
    ASSERT_TRUE(eventually([&] { return layer.finished(); }));
    EXPECT_EQ(layer.progress().position, 0);
    EXPECT_EQ(layer.progress().caption, "Analisi del file annullata.");
    EXPECT_TRUE(observer.completed.empty());
}

TEST_F(Layer_test, ClosingABusyLayerCancelsItAndDropsItsLateMessages)
{
    test::Gate gate;
    const Pipeline_services services = test::gated_services(data, gate);
    auto layer = std::make_unique<Layer_analysis>(test::revocation_off(), services);
    layer->set_observer(&observer);
    layer->set_source_file(test::pki_document("signer-legal").string());
    layer->start();
    ASSERT_TRUE(eventually([&] { return gate.arrived(); }));
    std::thread opener([&gate] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        gate.open();
    });
    layer->close();
    opener.join();
    EXPECT_TRUE(cancel_flag());
    EXPECT_EQ(layer->state(), Layer_state::Closed);
    test::eventually([] { return false; }, std::chrono::milliseconds(200));
    EXPECT_TRUE(observer.completed.empty());
    layer.reset();
}

} // namespace
} // namespace velin

namespace velin {
namespace {

TEST_F(Layer_test, ClearingTheCrlCacheRemovesOnlyTheListsAndSaysSo)
{
    // The user's own cache (below XDG_CACHE_HOME of the private environment); the installation's
    // seed is not the user's to clear.
    const std::filesystem::path cache = crl_cache_folder();
    const std::filesystem::path seed = std::filesystem::path(std::getenv("VELIN_DATA_DIR")) / "cache";
    std::filesystem::create_directories(seed);
    test::write_file(cache / "http_3a_2f_2fx.crl.crl", "lista");
    test::write_file(cache / "appunti.txt", "resta");
    test::write_file(seed / "http_3a_2f_2fx.crl.crl", "lista");
    const auto layer = run(test::pki_document("signer-legal"));
    const size_t before = layer->activity().size();
    layer->clear_crl_cache();
    const std::vector<std::string> lines = texts(layer->activity());
    EXPECT_EQ(
        std::vector<std::string>(lines.begin() + static_cast<long>(before), lines.end()),
        (std::vector<std::string>{"Cancellazione file temporanei...", "I file temporanei sono stati cancellati."}));
    EXPECT_FALSE(std::filesystem::exists(cache / "http_3a_2f_2fx.crl.crl"));
    EXPECT_TRUE(std::filesystem::exists(cache / "appunti.txt"));
    EXPECT_TRUE(std::filesystem::exists(seed / "http_3a_2f_2fx.crl.crl"));
}

} // namespace
} // namespace velin
