// Start-up of velin-menu: settings, the daily update check, then the one window the command line
// asks for.
#pragma once

#include <string>

namespace velin {

enum class Menu_window { Menu, Change_pin, Unblock_pin };

// The first argument decides, compared exactly: none → the menu, "/changepin", "/unblockpin".
Menu_window menu_window_for(int argc, const char* const* argv);

// Runs the program after the application object exists; returns the exit code.
int run_menu(int argc, const char* const* argv);

} // namespace velin
