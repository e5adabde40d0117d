// The main window's logic: a layer per envelope and the combined outcome, told once.
#include "VelinVerify/pipeline/report_channel.h"
#include "VelinVerify/worker/cancel_flag.h"
#include "pipeline_test_support.h"
#include "trust/report.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace velin {
namespace {

using test::eventually;

class Recording_window : public Session_observer {
public:
    void layer_added(Layer_analysis& layer) override { tabs.push_back(layer.file_name()); }
    void message_box(const Box_request& box, Layer_analysis*) override { boxes.push_back(box); }
    void layers_closed() override { tabs.clear(); }

    std::vector<std::string> tabs;
    std::vector<Box_request> boxes;
};

class Session_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        cancel_flag() = false;
        data = test::make_data_folder(folder.path());
    }

    test::Test_folder folder;
    std::filesystem::path data;
    Recording_window window;
};

TEST_F(Session_test, NestedEnvelopeGivesTwoLayersAndOneCombinedBoxAfterBoth)
{
    Verification_session session(test::revocation_off(), test::services_for(data), &window);
    const std::string path = test::pipeline_sample("contratto.txt.p7m.p7m").string();
    session.open(path);
    ASSERT_TRUE(eventually([&] { return session.finished() && session.layers().size() == 2; }));
    EXPECT_EQ(window.tabs, (std::vector<std::string>{path, path.substr(0, path.size() - 4)}));
    EXPECT_EQ(session.layers()[0]->document_name(), "contratto.txt.p7m");
    EXPECT_EQ(session.layers()[1]->document_name(), "contratto.txt");
    EXPECT_EQ(session.layers()[1]->shown_signature().kind, "Firma digitale (con validità legale)");
    EXPECT_EQ(session.completed_count(), 2u);
    EXPECT_EQ(window.boxes,
              (std::vector<Box_request>{{"Analisi del file completata con segnalazioni.", 48, "Velin Manager"}}));
}

TEST_F(Session_test, WhatALayerFindsIsReportedInThatLayerBeforeItsSummary)
{
    // The inner layer starts while the outer one is still at work: the outer layer's own finding
    // must not land in the inner one's list, after the inner one's summary.
    Report_channel channel([](const Status_line&) {});
    Pipeline_services services = test::services_for(data);
    services.check_revocations = [](const std::vector<Revocation_subject>& subjects, const Revocation_settings&,
                                    const std::atomic<bool>&) {
        report_warning("Avviso della verifica delle revoche.");
        return std::vector<Revocation_outcome>(subjects.size(), {Revocation_status::Valid, 1});
    };
    Verification_session session(test::revocation_on(), services, &window);
    session.open(test::pipeline_sample("contratto.txt.p7m.p7m").string());
    ASSERT_TRUE(eventually([&] { return session.finished() && session.all_reported(); }));
    ASSERT_EQ(session.layers().size(), 2u);
    for (const auto& layer : session.layers()) {
        const std::vector<std::string> lines = test::texts(layer->activity());
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "Avviso della verifica delle revoche."), 1)
            << layer->file_name();
        EXPECT_EQ(lines.back(), "Analisi del file completata con segnalazioni.") << layer->file_name();
        EXPECT_EQ(layer->outcome(), Layer_outcome::Warnings) << layer->file_name();
    }
}

TEST_F(Session_test, TheWorstLayerDecidesAndAnUnsupportedFileShowsOnlyItsBox)
{
    Verification_session session(test::revocation_off(), test::services_for(data), &window);
    // A sound outer envelope (warnings: no revocation check) around a tampered one (errors).
    session.open(test::pipeline_sample("contratto-tampered.txt.p7m.p7m").string());
    ASSERT_TRUE(eventually([&] { return session.finished() && session.all_reported(); }));
    EXPECT_EQ(session.layers().size(), 2u);
    EXPECT_EQ(session.layers()[0]->outcome(), Layer_outcome::Warnings);
    EXPECT_EQ(session.layers()[1]->outcome(), Layer_outcome::Errors);
    EXPECT_EQ(window.boxes,
              (std::vector<Box_request>{{"Analisi del file completata con errori.", 16, "Velin Manager"}}));

    session.open(test::pipeline_sample("contratto-tampered.txt.p7m").string());
    ASSERT_TRUE(eventually([&] { return session.finished() && session.all_reported(); }));
    EXPECT_EQ(session.layers().size(), 1u);
    EXPECT_EQ(window.boxes.back(), (Box_request{"Analisi del file completata con errori.", 16, "Velin Manager"}));

    window.boxes.clear();
    const std::filesystem::path text = folder / "contratto.txt";
    test::write_file(text, "testo");
    session.open(text.string());
    ASSERT_TRUE(eventually([&] { return session.finished(); }));
    EXPECT_EQ(window.tabs.size(), 1u); // the tab stays, empty
    EXPECT_EQ(window.boxes, (std::vector<Box_request>{{"Il file non è un documento firmato.", 16, "Errore"}}));
    EXPECT_FALSE(session.combined_box());
}

TEST_F(Session_test, ALayerWithoutSignersKeepsTheCombinedBoxAway)
{
    Verification_session session(test::revocation_off(), test::services_for(data), &window);
    session.open(test::pipeline_sample("no-signers.p7m").string());
    ASSERT_TRUE(eventually([&] { return session.finished(); }));
    EXPECT_TRUE(window.boxes.empty());
    EXPECT_EQ(session.completed_count(), 0u);
}

TEST_F(Session_test, OpeningAnotherFileStopsTheOldLayersAndClearsTheCancelFlag)
{
    test::Gate gate;
    const Pipeline_services services = test::gated_services(data, gate);
    Verification_session session(test::revocation_off(), services, &window);
    session.open(test::pki_document("signer-legal").string());
    ASSERT_TRUE(eventually([&] { return gate.arrived(); }));
    std::thread opener([&gate] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        gate.open();
    });
    session.open(test::pki_document("signer-no-nr").string());
    opener.join();
    EXPECT_FALSE(cancel_flag());
    ASSERT_TRUE(eventually([&] { return session.finished(); }));
    ASSERT_EQ(session.layers().size(), 1u);
    EXPECT_EQ(session.layers()[0]->shown_signature().kind, "Firma elettronica (attestazione)");
    EXPECT_EQ(window.boxes.size(), 1u);
}

TEST(Supported_extension, OnlyEnvelopesTimeStampedFilesAndPdfInAnyCase)
{
    for (const char* path : {"a.p7m", "A.P7M", "b.pdf", "c.M7m", "/x.y/d.pdf.p7m", "a.p7s", "e.TSD", "f.xml.TSR",
                             "g.tst", "h.asics", "i.SCS", "j.asice", "k.sce", "l.bdoc", "m.edoc", "n.zip"})
        EXPECT_TRUE(has_supported_extention(path)) << path;
    for (const char* path : {"a.p7x", "b", "c.pdf.txt", "/x.p7m/d", ".p7m.bak", "o.zip.txt"})
        EXPECT_FALSE(has_supported_extention(path)) << path;
}

TEST_F(Session_test, CombinationRules)
{
    Verification_session session(test::revocation_off(), test::services_for(data), &window);
    session.open(test::pki_document("signer-legal").string());
    ASSERT_TRUE(eventually([&] { return session.finished(); }));
    Layer_analysis& layer = *session.layers()[0];
    // Warnings first (from the layer), then an extra report of success, then errors, then warnings.
    EXPECT_EQ(session.combined_icon(), 48);
    session.layer_completed(layer, 64);
    EXPECT_EQ(session.combined_icon(), 48);
    session.layer_completed(layer, 16);
    EXPECT_EQ(session.combined_icon(), 16);
    session.layer_completed(layer, 48);
    EXPECT_EQ(session.combined_icon(), 16);
    EXPECT_EQ(session.combined_message(), "Analisi del file completata con errori.");
}

} // namespace
} // namespace velin

namespace velin {
namespace {

TEST_F(Session_test, EnvelopesNestedTooDeeplyAreNotOpenedAndTheOutcomeIsErrors)
{
    // Twenty envelopes, each inside the next, every one sound.
    std::string name = (folder / "contratto.txt").string();
    std::string text = "Contratto annidato.\n";
    std::vector<uint8_t> bytes(text.begin(), text.end());
    for (int level = 0; level < 20; ++level) {
        bytes = test::sign_envelope(bytes, "signer-legal");
        name += ".p7m";
    }
    std::string content(bytes.begin(), bytes.end());
    test::write_file(name, content);

    Verification_session session(test::revocation_off(), test::services_for(data), &window);
    session.open(name);
    ASSERT_TRUE(eventually([&] { return session.finished() && session.all_reported(); }, std::chrono::seconds(60)));
    EXPECT_EQ(session.layers().size(), Verification_session::Max_layers);
    EXPECT_EQ(session.refused_layers(), 1u);
    ASSERT_EQ(window.boxes.size(), 2u);
    EXPECT_EQ(window.boxes[0].title, "Errore");
    EXPECT_EQ(window.boxes[1], (Box_request{"Analisi del file completata con errori.", 16, "Velin Manager"}));
}

} // namespace
} // namespace velin
