#include "common/pkcs11_module.h"

#include "common/registry.h"

#include <p11-kit/pkcs11.h>

#include <boost/format.hpp>

#include <memory>

#include <dlfcn.h>

namespace velin {

namespace {

struct Close {
    void operator()(void* handle) const { ::dlclose(handle); }
};

// Fixed-width blank-padded text of CK_INFO.
std::string padded_text(const unsigned char* text, size_t size)
{
    std::string value(reinterpret_cast<const char*>(text), size);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\0'))
        value.pop_back();
    return value;
}

std::string version_text(const CK_VERSION& version)
{
    return (boost::format("%u.%u") % unsigned(version.major) % unsigned(version.minor)).str();
}

std::string call_failure(const char* call, CK_RV code)
{
    return (boost::format("%s: errore 0x%08X") % call % static_cast<unsigned long>(code)).str();
}

} // namespace

std::string pkcs11_module_path()
{
    const Registry_text_read setting = read_text(Registry_root::Local_machine, Settings_key, "ModuloPKCS11");
    if (setting.succeeded() && !setting.value().empty())
        return setting.value();
    return Default_pkcs11_module;
}

Pkcs11_module_info read_pkcs11_module_info(const std::string& module_path)
{
    Pkcs11_module_info info;
    ::dlerror();
    std::unique_ptr<void, Close> module(::dlopen(module_path.c_str(), RTLD_NOW | RTLD_LOCAL));
    if (!module) {
        const char* text = ::dlerror();
        info.failure = text ? text : "dlopen";
        return info;
    }
    auto get_list = reinterpret_cast<CK_C_GetFunctionList>(::dlsym(module.get(), "C_GetFunctionList"));
    if (!get_list) {
        info.failure = "C_GetFunctionList non esportata";
        return info;
    }
    CK_FUNCTION_LIST_PTR functions = nullptr;
    CK_RV code = get_list(&functions);
    if (code != CKR_OK || !functions || !functions->C_Initialize || !functions->C_GetInfo) {
        info.failure = call_failure("C_GetFunctionList", code == CKR_OK ? CKR_GENERAL_ERROR : code);
        return info;
    }
    CK_C_INITIALIZE_ARGS arguments{};
    arguments.flags = CKF_OS_LOCKING_OK;
    code = functions->C_Initialize(&arguments);
    if (code != CKR_OK && code != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        info.failure = call_failure("C_Initialize", code);
        return info;
    }
    // Only what this call initialised is finalised: another user of the module in this process
    // keeps its session.
    const bool finalize = code == CKR_OK;
    CK_INFO module_info{};
    code = functions->C_GetInfo(&module_info);
    if (code == CKR_OK) {
        info.ok = true;
        info.manufacturer = padded_text(module_info.manufacturerID, sizeof module_info.manufacturerID);
        info.description = padded_text(module_info.libraryDescription, sizeof module_info.libraryDescription);
        info.library_version = version_text(module_info.libraryVersion);
        info.library_major = module_info.libraryVersion.major;
        info.library_minor = module_info.libraryVersion.minor;
        info.cryptoki_version = version_text(module_info.cryptokiVersion);
    } else {
        info.failure = call_failure("C_GetInfo", code);
    }
    if (finalize && functions->C_Finalize)
        functions->C_Finalize(nullptr);
    return info;
}

} // namespace velin
