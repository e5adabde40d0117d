// Opening a document or a folder with the program the desktop associates with it (the shell's
// "open" verb). Programs are never started this way: an executable file or a .desktop launcher is
// refused, so a document taken out of a signed envelope can never run.
#pragma once

#include <string>

namespace velin {

// 0 when the opener was started, otherwise a Windows error code: 2 the path does not exist (or is
// empty), 5 the path is a program or a launcher, 1155 no program could be started for it.
// VELIN_OPEN_COMMAND, when set, names the program started with the path as its only argument
// (tests use it to see what would be opened); otherwise the desktop's opener is asked.
unsigned long shell_open(const std::string& path);

} // namespace velin
