// What a PKCS#11 module says of itself (C_GetInfo), read by loading it in this process.
#pragma once

#include <string>

namespace velin::pccheck {

struct Pkcs11_module_info {
    bool ok = false;
    std::string failure; // why it could not be read: the loader's text or the failed call and its code
    std::string manufacturer;
    std::string description;
    std::string library_version; // "major.minor"
    std::string cryptoki_version;
};

Pkcs11_module_info read_pkcs11_module_info(const std::string& module_path);

} // namespace velin::pccheck
