#include "norax_sign/app/sign_app.h"

#include "common/launcher.h"
#include "common/message_box.h"
#include "common/settings_record.h"
#include "java_bridge/java_message.h"
#include "java_bridge/java_vm.h"
#include "norax_sign/app/dialog_batch_ui.h"
#include "norax_sign/app/error_boxes.h"
#include "norax_sign/app/sign_main_window.h"
#include "norax_sign/timestamp_batch.h"

#include <cstring>

namespace velin {

std::optional<std::string> sign_information_request(int argc, const char* const* argv)
{
    bool version = false;
    for (int index = 1; index < argc; ++index) {
        if (std::strcmp(argv[index], "--help") == 0 || std::strcmp(argv[index], "-h") == 0)
            return std::string(
                "Uso: velin-sign [/dir=CARTELLA] [/pdf | /xades] [/marca=cades-t|m7m|tsd|pades-t|tsr|xades-t "
                "[/solomarca]] "
                "[DOCUMENTO...]\n"
                "     velin-sign --help | --version\n"
                "\n"
                "Firma i documenti con la Carta Velin. Senza documenti apre la finestra in cui sceglierli;\n"
                "con uno o più documenti li firma subito, chiedendo la carta e il PIN una sola volta.\n"
                "\n"
                "  /dir=CARTELLA  salva i documenti firmati in CARTELLA (se non è una cartella esistente,\n"
                "                 vale la cartella del documento, o quella scelta se i documenti sono più d'uno)\n"
                "  /pdf           firma i documenti PDF come PDF invece di racchiuderli in una busta .p7m\n"
                "  /xades         firma i documenti XML (per esempio le fatture elettroniche) in formato\n"
                "                 XAdES: la firma entra nel documento, che resta un file .xml con il suo nome\n"
                "  /marca=FORMA   chiede una marca temporale per ogni documento al servizio impostato\n"
                "                 (MarcaURL, MarcaUtente, MarcaPassword, MarcaPolicy tra le impostazioni\n"
                "                 dell'utente): cades-t sulla firma nella busta .p7m, m7m in un file .m7m\n"
                "                 con la busta, tsd in un file .p7m.tsd con la busta; pades-t, con /pdf,\n"
                "                 una marca del documento dopo la firma nel PDF stesso; tsr la risposta\n"
                "                 del servizio in un file .p7m.tsr accanto alla busta; xades-t, anche senza\n"
                "                 /xades, la firma XAdES con la marca sulla firma\n"
                "  /solomarca     non firma: appone la marca ai documenti dati (cades-t e m7m per le\n"
                "                 buste già firmate, tsd e tsr per ogni file, pades-t per i PDF)\n"
                "  --help         mostra questo aiuto\n"
                "  --version      mostra la versione\n"
                "\n"
                "Ogni altro argomento è un documento da firmare, anche se comincia con \"/\".\n"
                "Codice di uscita: 0 se ogni documento è stato firmato e salvato, 1 altrimenti.\n");
        if (std::strcmp(argv[index], "--version") == 0)
            version = true;
    }
    if (version)
        return std::string("velin-sign ") + VELIN_VERSION + "\n";
    return std::nullopt;
}

int run_sign(int argc, const char* const* argv)
{
    install_error_box_hook();
    set_starter_window_from_arguments(argc, argv);
    Java_vm::instance().set_no_runtime_handler(show_java_message);
    Settings_record settings;
    settings.load();
    daily_update_check(settings);

    const Sign_command_line command = parse_sign_command_line(argc, argv);
    if (!command.invalid_switch.empty() || (command.timestamp_only && command.timestamp_form == Timestamp_form::None)) {
        message_box(
            "Opzione non valida: " +
                (command.invalid_switch.empty() ? std::string("/solomarca senza /marca") : command.invalid_switch) +
                "\nLe forme della marca temporale sono cades-t, m7m, tsd, pades-t, tsr e xades-t.",
            MB_OK | MB_ICONERROR, nullptr, Suite_caption);
        Java_vm::instance().destroy();
        remove_error_box_hook();
        return 1;
    }
    Sign_batch_options options;
    options.parallel_signature = settings.FirmaParallela;
    options.make_signer = program_signers(nullptr);
    options.timestamp_form = command.timestamp_form;
    options.timestamps = std::make_shared<const Timestamp_client>(Timestamp_authority::load());

    uint32_t result = 0;
    size_t failed = 0;
    if (command.documents.empty()) {
        CVelinSignDlg window(options);
        window.set_timestamp_form(command.timestamp_form);
        window.exec();
    } else if (command.timestamp_only) {
        Dialog_batch_ui ui(nullptr);
        result = timestamp_batch(ui, command.documents, command.timestamp_form, command.output_folder,
                                 *options.timestamps, &failed);
    } else {
        Dialog_batch_ui ui(nullptr);
        result = sign_batch(ui, command.documents, command.flags, command.output_folder, options, &failed);
    }
    show_pending_error_boxes();
    Java_vm::instance().destroy();
    remove_error_box_hook();
    return result == 0 && failed == 0 ? 0 : 1;
}

} // namespace velin
