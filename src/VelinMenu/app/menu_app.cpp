#include "VelinMenu/app/menu_app.h"

#include "VelinMenu/app/menu_dialog.h"
#include "VelinMenu/app/pin_dialogs.h"
#include "common/launcher.h"
#include "common/message_box.h"
#include "common/settings_record.h"

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

int run_menu(int argc, const char* const* argv)
{
    set_starter_window_from_arguments(argc, argv);
    Settings_record settings;
    settings.load();
    daily_update_check(settings);
    switch (menu_window_for(argc, argv)) {
    case Menu_window::Change_pin: {
        Pin_change_dialog dialog;
        dialog.exec();
        break;
    }
    case Menu_window::Unblock_pin: {
        Pin_unblock_dialog dialog;
        dialog.exec();
        break;
    }
    case Menu_window::Menu: {
        CVelinMenuDlg dialog(settings);
        dialog.exec();
        break;
    }
    }
    return 0;
}

} // namespace velin
