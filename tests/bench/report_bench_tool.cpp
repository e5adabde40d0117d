// What the written reports of one file cost inside velin-verify, apart from the process's start:
// the graphical application the PDF needs (platform and fonts), the file's facts, the ETSI report
// and the PDF report, the first of each (fonts loaded, caches cold) and the median of later ones.
//     report_bench_tool FILE [RUNS] [cpu]
// With "cpu" the times are the process's processor time instead of the wall time: on a busy
// machine, what the steps cost themselves.
// Runs with the environment velin-verify would have (VELIN_DATA_DIR and the rest); the CRL check
// is off, so nothing is downloaded.
#include "VelinVerify/app/batch_run.h"
#include "VelinVerify/pipeline/pipeline_services.h"
#include "VelinVerify/report/etsi_report.h"
#include "VelinVerify/report/pdf_report.h"
#include "VelinVerify/report/report_facts.h"
#include "common/version.h"
#include "trust/trusted_store.h"

#include <QGuiApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <time.h>
#include <vector>

namespace {

// The processor time of the process (all its threads), in milliseconds: what a step costs, whatever
// else the machine runs meanwhile.
double processor_ms()
{
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
}

bool use_processor_time = false;

double milliseconds(const std::function<void()>& action)
{
    if (use_processor_time) {
        const double start = processor_ms();
        action();
        return processor_ms() - start;
    }
    const auto start = std::chrono::steady_clock::now();
    action();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// The first run, then the median of the others.
std::pair<double, double> first_and_median(int runs, const std::function<void()>& action)
{
    const double first = milliseconds(action);
    std::vector<double> times;
    for (int i = 1; i < runs; ++i)
        times.push_back(milliseconds(action));
    std::sort(times.begin(), times.end());
    return {first, times.empty() ? first : times[times.size() / 2]};
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: report_bench_tool FILE [RUNS]\n");
        return 2;
    }
    const std::string file = argv[1];
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 21;
    use_processor_time = argc > 3 && std::string(argv[3]) == "cpu";
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    std::unique_ptr<QGuiApplication> application;
    const double start = milliseconds([&] { application = std::make_unique<QGuiApplication>(argc, argv); });

    velin::Pipeline_settings settings;
    settings.check_revocation = false;
    settings.steps_in_place = true;
    const velin::Pipeline_services services = velin::default_services();
    const std::shared_ptr<velin::Trusted_store> store = services.trusted_store();
    const velin::Batch_report report = velin::run_batch(file, settings, services);
    velin::Report_facts facts;
    velin::Batch_report with_facts;
    const auto [facts_first, facts_median] = first_and_median(runs, [&] {
        with_facts =
            velin::run_batch(file, settings, services, {}, [&facts](const velin::Verification_session& session) {
                facts = velin::make_report_facts(session, std::time(nullptr));
                return std::make_shared<const velin::Report_facts>(facts);
            });
    });
    const auto [plain_first, plain_median] =
        first_and_median(runs, [&] { (void)velin::run_batch(file, settings, services); });
    const velin::Report_context context = velin::make_report_context(velin::Suite_version, settings, store.get());
    const auto [xml_first, xml_median] =
        first_and_median(runs, [&] { (void)velin::etsi_validation_report(with_facts, facts); });
    const auto [pdf_first, pdf_median] =
        first_and_median(runs, [&] { (void)velin::pdf_report(with_facts, facts, context); });
    std::printf("| Step (one signer; first run, median of %d; %s time) | First | Median |\n|---|---|---|\n", runs,
                use_processor_time ? "processor" : "wall");
    std::printf("| graphical application, offscreen (once per process) | %.1f ms | — |\n", start);
    std::printf("| verification alone | %.1f ms | %.1f ms |\n", plain_first, plain_median);
    std::printf("| verification with the facts (SHA-256, certificates) | %.1f ms | %.1f ms |\n", facts_first,
                facts_median);
    std::printf("| ETSI report (XML) | %.1f ms | %.1f ms |\n", xml_first, xml_median);
    std::printf("| PDF report | %.1f ms | %.1f ms |\n", pdf_first, pdf_median);
    return report.exit_code == velin::Exit_no_summary ? 1 : 0;
}
