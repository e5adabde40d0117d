#include "VelinVerify/app/verify_app.h"

#include "VelinVerify/app/verify_main_window.h"
#include "VelinVerify/certificates/trusted_lists_page.h"
#include "VelinVerify/pipeline/report_channel.h"
#include "VelinVerify/update/dlg_update.h"
#include "common/failure.h"
#include "common/launcher.h"
#include "common/message_box.h"
#include "common/settings_record.h"
#include "common/trace.h"
#include "java_bridge/java_message.h"
#include "java_bridge/java_vm.h"
#include "java_bridge/pdf_verify.h"

#include <QApplication>

#include <optional>

#include <openssl/err.h>

#include <strings.h>

namespace velin {

Verify_command_line parse_verify_command_line(int argc, const char* const* argv)
{
    Verify_command_line line;
    for (int i = 1; i < argc && argv[i]; ++i) {
        const char* argument = argv[i];
        if (::strcasecmp(argument, "/update") == 0)
            line.update = true;
        else if (::strcasecmp(argument, "/quiet") == 0)
            line.quiet = true;
        else if (::strncasecmp(argument, "/parent=", 8) != 0) {
            line.file = argument;
            break;
        }
    }
    return line;
}

int run_verify_app(int argc, const char* const* argv)
{
    QApplication::setApplicationName(QStringLiteral("Velin Manager"));
    Settings_record settings;
    settings.load();
    Trace_block block("Velin Manager");
    SEH_translation translation;

    set_starter_window_from_arguments(argc, argv);
    const Verify_command_line line = parse_verify_command_line(argc, argv);
    // A PDF needs the Java machine: it starts while the window is made.
    std::optional<Jvm_start_ahead> java_ahead;
    if (line.file && !line.update)
        if (const std::optional<uint64_t> size = pdf_file_size(*line.file))
            java_ahead.emplace(*size, prepare_pdf_verification);
    // The update run is what the daily trigger starts: running the trigger from it would start
    // the next run whenever today's date could not be stored.
    if (!line.update)
        daily_update_check(settings);
    OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);

    if (line.update) {
        // The hidden update window is the main window. Exit status: 0 when the run went its way,
        // 2 when another update run was in progress.
        Dlg_update window(configured_update(settings, !line.quiet));
        return window.exec() == 2 ? 2 : 0;
    }

    // What the trusted lists report while no layer window exists goes to a box.
    Report_channel reports([](const Status_line& line) {
        const unsigned icon = line.severity == Line_severity::Error     ? MB_ICONERROR
                              : line.severity == Line_severity::Warning ? MB_ICONWARNING
                                                                        : MB_ICONINFORMATION;
        message_box(line.text, MB_OK | icon, nullptr, Suite_caption);
    });
    // PDFs are read on the worker thread: the Java box, when no runtime is found, is shown by the
    // user-interface thread.
    Java_vm::instance().set_no_runtime_handler([] {
        QMetaObject::invokeMethod(
            qApp, [] { show_java_message(); }, Qt::QueuedConnection);
    });
    Dlg_verify_onion window(settings, default_services());
    window.show();
    // Before the first verification, so that it already uses lists fetched now.
    offer_trusted_lists(&window);
    if (line.file)
        window.open_path(*line.file);
    window.exec();
    java_ahead.reset();
    Java_vm::instance().destroy();
    return 0;
}

} // namespace velin
