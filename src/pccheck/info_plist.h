// The Info.plist of a pcsc-lite reader driver bundle: the <key> entries of its top dictionary
// with their <string> value, or the strings of their <array>. Only what a driver's property list
// holds is understood; anything else (nested dictionaries, numbers, comments) is skipped, and a
// damaged file gives what was read before the damage.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace velin::pccheck {

using Property_list = std::map<std::string, std::vector<std::string>>;

Property_list parse_info_plist(std::string_view text);

// The first value of key, or empty.
std::string first_value(const Property_list& list, const std::string& key);

} // namespace velin::pccheck
