// report_info and report_error, said from any thread, reach the "Attività" list of the current
// layer, or the program's box while there is none.
#include "VelinVerify/pipeline/report_channel.h"
#include "pipeline_test_support.h"
#include "trust/report.h"

#include <gtest/gtest.h>

#include <thread>

namespace velin {
namespace {

TEST(Report_channel, LinesGoToTheCurrentLayerOrToTheBoxAndNeverToAClosedOne)
{
    test::Test_folder folder;
    const auto data = test::make_data_folder(folder.path());
    std::vector<Status_line> boxed;
    Report_channel channel([&boxed](const Status_line& line) { boxed.push_back(line); });

    // Without any layer: the box.
    std::thread([] { report_error("Errore dal worker."); }).join();
    ASSERT_TRUE(test::eventually([&] { return boxed.size() == 1; }));
    EXPECT_EQ(boxed[0], (Status_line{Line_severity::Error, "Errore dal worker."}));

    Layer_analysis first(test::revocation_off(), test::services_for(data));
    first.set_source_file(test::pki_document("signer-legal").string());
    first.start();
    Layer_analysis second(test::revocation_off(), test::services_for(data));
    second.set_source_file(test::pki_document("signer-no-nr").string());
    second.start();
    ASSERT_TRUE(test::eventually([&] { return first.finished() && second.finished(); }));

    // The last layer started is the current one.
    std::thread([] { report_info("Informazione dal worker."); }).join();
    ASSERT_TRUE(test::eventually(
        [&] { return test::has_line(second.activity(), Line_severity::Information, "Informazione dal worker."); }));
    EXPECT_FALSE(test::has_line(first.activity(), Line_severity::Information, "Informazione dal worker."));

    // Once it is closed no layer is current (the other one does not become current again).
    second.close();
    report_error("Dopo la chiusura.");
    ASSERT_TRUE(test::eventually([&] { return boxed.size() == 2; }));
    EXPECT_EQ(boxed[1].text, "Dopo la chiusura.");
    EXPECT_FALSE(test::has_line(first.activity(), Line_severity::Error, "Dopo la chiusura."));
}

} // namespace
} // namespace velin
