// velin-verify: the verifier.
//   velin-verify [FILE] [/update] [/quiet] [/parent=0x%08x]   the window
//   velin-verify --batch FILE [--json]                          no window
// The headless mode verifies FILE with the same layers as the window (nested envelopes
// included) and prints each layer's lines and signatures, then the combined outcome. Exit status:
// 0 success, 1 warnings, 2 errors (also when only some layers reached a summary), 3 no layer
// reached a summary (unsupported or unreadable file, no signature); 2 also for a wrong command
// line.
#include "VelinVerify/app/batch_run.h"
#include "VelinVerify/app/verify_app.h"
#include "common/settings_record.h"
#include "common/trace.h"

#include <QApplication>
#include <QCoreApplication>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

namespace {

constexpr const char* usage = "Uso: velin-verify --batch FILE [--json]";

bool wants_batch(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--batch") == 0 || std::strcmp(argv[i], "--json") == 0)
            return true;
    return false;
}

int run_batch_mode(int argc, char** argv)
{
    std::string file;
    bool batch = false;
    bool json = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--batch" && i + 1 < argc && file.empty()) {
            batch = true;
            file = argv[++i];
        } else if (argument == "--json") {
            json = true;
        } else {
            batch = false;
            break;
        }
    }
    if (!batch) {
        std::cerr << usage << '\n';
        return 2;
    }

    QCoreApplication application(argc, argv);
    velin::Settings_record settings;
    settings.load();
    velin::Trace_block block("Velin Manager");
    const velin::Batch_report report =
        velin::run_batch(file, velin::Pipeline_settings::from(settings), velin::default_services());
    if (json)
        velin::print_json(std::cout, report);
    else
        velin::print_text(std::cout, report);
    std::cout.flush();
    return report.exit_code;
}

// A window needs a screen: an X or Wayland display, or a platform named explicitly.
bool has_display()
{
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        if (const char* value = std::getenv(name); value && *value)
            return true;
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    if (wants_batch(argc, argv))
        return run_batch_mode(argc, argv);
    if (!has_display()) {
        std::cerr << "velin-verify: nessuno schermo disponibile per la finestra.\n" << usage << '\n';
        return 2;
    }
    QApplication application(argc, argv);
    return velin::run_verify_app(argc, argv);
}
