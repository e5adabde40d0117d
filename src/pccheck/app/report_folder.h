// "Apri cartella...": the desktop's file manager on the report's folder, the report selected
// where the file manager offers that (the FileManager1 D-Bus interface's ShowItems).
#pragma once

#include <string>

namespace velin::pccheck {

// True when a file manager was asked to show it. With VELIN_OPEN_COMMAND set (tests), the folder
// goes to that command and D-Bus is not asked.
bool open_report_folder(const std::string& report_path);

} // namespace velin::pccheck
