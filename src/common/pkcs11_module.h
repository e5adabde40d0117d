// The card middleware's PKCS#11 module: where it is (the machine setting "ModuloPKCS11") and what
// it says of itself (C_GetInfo), read by loading it in this process.
#pragma once

#include <cstdint>
#include <string>

namespace velin {

constexpr const char* Default_pkcs11_module = "/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so";

// The module named by the machine setting "ModuloPKCS11", or the default.
std::string pkcs11_module_path();

struct Pkcs11_module_info {
    bool ok = false;
    std::string failure; // why it could not be read: the loader's text or the failed call and its code
    std::string manufacturer;
    std::string description;
    std::string library_version; // "major.minor"
    uint8_t library_major = 0;
    uint8_t library_minor = 0;
    std::string cryptoki_version;
};

Pkcs11_module_info read_pkcs11_module_info(const std::string& module_path);

} // namespace velin
