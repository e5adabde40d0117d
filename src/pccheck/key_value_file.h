// Files of NAME=value lines written by others: /etc/os-release, a Java runtime's release file, a
// browser's application.ini. Values may be quoted with " or ' (shell-style escapes inside double
// quotes); "[Section]" lines, comments and lines without "=" are skipped. The last of repeated
// names wins.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace velin::pccheck {

using Key_values = std::map<std::string, std::string>;

Key_values parse_key_values(std::string_view text);

// A pcsc-lite reader.conf: "NAME value" lines (FRIENDLYNAME "Virtual PCD", LIBPATH /usr/...),
// values unquoted as above.
Key_values parse_reader_conf(std::string_view text);

// At most `limit` bytes of a regular file; none when it cannot be read, is not a regular file or
// is larger (a system file of megabytes is not one we know).
std::optional<std::string> read_small_file(const std::string& path, std::size_t limit = 64 * 1024);

// parse_key_values of the file; none when it cannot be read.
std::optional<Key_values> read_key_values(const std::string& path);

} // namespace velin::pccheck
