// Start-up of velin-menu: settings, the daily update check, then the one window the command line
// asks for.
#pragma once

#include <string>

class QDialog;

namespace velin {

enum class Menu_window { Menu, Change_pin, Unblock_pin };

// The first argument decides, compared exactly: none → the menu, "/changepin", "/unblockpin".
Menu_window menu_window_for(int argc, const char* const* argv);

// Shows the dialog and waits until it is closed (accepted or rejected). Unlike exec(), hiding the
// dialog meanwhile (while a started program or a PIN dialog runs) does not end the wait.
int run_dialog(QDialog& dialog);

// "--help" or "--version" anywhere on the command line: the text for the standard output, which
// needs no display and touches nothing; empty otherwise.
std::string menu_information(int argc, const char* const* argv);

// Runs the program after the application object exists; returns the exit code.
int run_menu(int argc, const char* const* argv);

} // namespace velin
