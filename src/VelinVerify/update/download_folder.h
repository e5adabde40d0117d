// Where the update run leaves the packages it downloaded for the user: a folder on the user's
// desktop, with a LEGGIMI.txt that says which files to install.
#pragma once

#include <ctime>
#include <string>
#include <vector>

namespace velin {

// The user's desktop folder: what `xdg-user-dir DESKTOP` answers (an absolute path), else
// $HOME/Desktop; empty when there is no home folder.
std::string desktop_folder();

// "Aggiornamenti Velin Manager" in the desktop folder; when that exists already, the same name
// followed by " del DD-MM-YYYY ore HH.MM.SS" of the local time now. The folder is created (the
// desktop folder too, when missing); an existing folder is no failure. Empty, with the reason in
// error, when it cannot be had.
std::string prepare_download_folder(const std::string& desktop, std::time_t now, std::string& error);

// The text of LEGGIMI.txt for the verified packages (file names in the folder), in order.
std::string leggimi_text(const std::vector<std::string>& packages);

// Writes LEGGIMI.txt into the folder, created anew; false when it cannot.
bool write_leggimi(const std::string& folder, const std::vector<std::string>& packages);

} // namespace velin
