// The security devices of a browser profile: its pkcs11.txt (the NSS module database in text
// form, Firefox profiles and ~/.pki/nssdb). Each module is a block of name=value lines; only
// "library" and "name" matter here.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velin::pccheck {

struct Nss_module {
    std::string name;
    std::string library; // empty for NSS's own internal module
};

std::vector<Nss_module> parse_nss_module_list(std::string_view text);

// True when one of the modules loads `module_path` (the same path, or the same file name when
// the profile names the module without its folder).
bool lists_module(const std::vector<Nss_module>& modules, const std::string& module_path);

} // namespace velin::pccheck
