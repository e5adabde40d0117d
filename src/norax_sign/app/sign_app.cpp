#include "norax_sign/app/sign_app.h"

#include "common/launcher.h"
#include "common/message_box.h"
#include "common/settings_record.h"
#include "java_bridge/java_message.h"
#include "java_bridge/java_vm.h"
#include "norax_sign/app/dialog_batch_ui.h"
#include "norax_sign/app/error_boxes.h"
#include "norax_sign/app/sign_main_window.h"

namespace velin {

int run_sign(int argc, const char* const* argv)
{
    install_error_box_hook();
    set_starter_window_from_arguments(argc, argv);
    Java_vm::instance().set_no_runtime_handler(show_java_message);
    Settings_record settings;
    settings.load();
    daily_update_check(settings);

    const Sign_command_line command = parse_sign_command_line(argc, argv);
    Sign_batch_options options;
    options.parallel_signature = settings.FirmaParallela;
    options.make_signer = program_signers(nullptr);

    uint32_t result = 0;
    if (command.documents.empty()) {
        CVelinSignDlg window(options);
        window.exec();
    } else {
        Dialog_batch_ui ui(nullptr);
        result = sign_batch(ui, command.documents, command.flags, command.output_folder, options);
    }
    show_pending_error_boxes();
    Java_vm::instance().destroy();
    remove_error_box_hook();
    return result == 0 ? 0 : 1;
}

} // namespace velin
