#include "VelinMenu/app/menu_app.h"

#include "VelinMenu/app/menu_dialog.h"
#include "VelinMenu/app/pin_dialogs.h"
#include "common/launcher.h"
#include "common/message_box.h"
#include "common/settings_record.h"
#include "common/version.h"

#include <QApplication>
#include <QEventLoop>

#include <cstring>

namespace velin {

Menu_window menu_window_for(int argc, const char* const* argv)
{
    if (argc > 1 && std::strcmp(argv[1], "/changepin") == 0)
        return Menu_window::Change_pin;
    if (argc > 1 && std::strcmp(argv[1], "/unblockpin") == 0)
        return Menu_window::Unblock_pin;
    return Menu_window::Menu;
}

int run_dialog(QDialog& dialog)
{
    // The menu hides while a program it started runs; that must neither end the wait here nor
    // count as the last window closed.
    const bool quit_on_last_window = QApplication::quitOnLastWindowClosed();
    QApplication::setQuitOnLastWindowClosed(false);
    QEventLoop loop;
    QObject::connect(&dialog, &QDialog::finished, &loop, &QEventLoop::quit);
    dialog.setResult(QDialog::Rejected);
    dialog.show();
    loop.exec(QEventLoop::DialogExec);
    QApplication::setQuitOnLastWindowClosed(quit_on_last_window);
    return dialog.result();
}

std::string menu_information(int argc, const char* const* argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0)
            return "Uso: velin-menu [/changepin | /unblockpin] [/parent=0x%08x]\n"
                   "     velin-menu --help | --version\n"
                   "\n"
                   "Apre il menu di Velin Manager: firma e verifica dei documenti, gestione del PIN,\n"
                   "dati della Carta Velin, verifica dell'installazione e impostazioni.\n"
                   "\n"
                   "  /changepin    apre soltanto la finestra per cambiare il PIN\n"
                   "  /unblockpin   apre soltanto la finestra per sbloccare il PIN con il PUK\n"
                   "  --help        mostra questo aiuto\n"
                   "  --version     mostra la versione\n";
        if (std::strcmp(argv[i], "--version") == 0)
            return "velin-menu " + std::string(Suite_version) + "\n";
    }
    return {};
}

int run_menu(int argc, const char* const* argv)
{
    set_starter_window_from_arguments(argc, argv);
    Settings_record settings;
    settings.load();
    daily_update_check(settings);
    switch (menu_window_for(argc, argv)) {
    case Menu_window::Change_pin: {
        Pin_change_dialog dialog;
        run_dialog(dialog);
        break;
    }
    case Menu_window::Unblock_pin: {
        Pin_unblock_dialog dialog;
        run_dialog(dialog);
        break;
    }
    case Menu_window::Menu: {
        CVelinMenuDlg dialog(settings);
        run_dialog(dialog);
        break;
    }
    }
    return 0;
}

} // namespace velin
