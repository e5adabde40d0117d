// The card middleware's PKCS#11 module: where it is (the machine setting "ModuloPKCS11") and what
// it says of itself (C_GetInfo), read by loading it in this process.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velin {

// OpenSC's module where Debian and Ubuntu install it: the path named when no module is found.
constexpr const char* Default_pkcs11_module = "/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so";

// Where the module in use comes from.
enum class Pkcs11_module_origin {
    Setting, // the machine setting "ModuloPKCS11"
    Opensc, // OpenSC's module, found on the system
    P11_kit_proxy, // no OpenSC: p11-kit's proxy, which offers every module registered with p11-kit
    Missing, // none of them installed: Default_pkcs11_module, which is not there
};

struct Pkcs11_module_choice {
    std::string path;
    Pkcs11_module_origin origin = Pkcs11_module_origin::Missing;
};

// The module of this system: the first installed of OpenSC's module (multiarch folder, then lib64
// and lib) and p11-kit's proxy. root prefixes every path looked at (a test's prepared machine);
// the path returned is the system's, without it.
Pkcs11_module_choice system_pkcs11_module(const std::string& root = {});

// The module the suite uses: the setting when it names one, else system_pkcs11_module().
Pkcs11_module_choice choose_pkcs11_module();

// choose_pkcs11_module().path.
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
    // The initialised tokens the module sees, "label (slot description)" (asked for only).
    std::vector<std::string> tokens;
};

// True when this process holds the module loaded and initialised already, by another of its users
// (the Java machine's provider keeps it for the process): that user's sessions end if anyone
// finalises it.
bool pkcs11_module_in_use(const std::string& module_path);

// with_tokens: also the tokens it sees, which has a card module read every card in the readers.
Pkcs11_module_info read_pkcs11_module_info(const std::string& module_path, bool with_tokens = false);

} // namespace velin
