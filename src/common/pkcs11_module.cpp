#include "common/pkcs11_module.h"

#include "common/registry.h"

#include <p11-kit/pkcs11.h>

#include <boost/format.hpp>

#include <memory>

#include <dlfcn.h>
#include <sys/stat.h>

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

// The initialised tokens in the module's slots, as "label (slot description)"; a card that a reader
// holds but the module cannot read is not among them.
std::vector<std::string> present_tokens(CK_FUNCTION_LIST& functions)
{
    std::vector<std::string> tokens;
    if (!functions.C_GetSlotList || !functions.C_GetSlotInfo || !functions.C_GetTokenInfo)
        return tokens;
    CK_ULONG count = 0;
    if (functions.C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK || count == 0)
        return tokens;
    // A module may find more slots between the two calls: a few spare places.
    std::vector<CK_SLOT_ID> slots(count + 8);
    count = slots.size();
    if (functions.C_GetSlotList(CK_TRUE, slots.data(), &count) != CKR_OK)
        return tokens;
    for (CK_ULONG i = 0; i < count && i < slots.size(); ++i) {
        CK_SLOT_INFO slot{};
        CK_TOKEN_INFO token{};
        if (functions.C_GetSlotInfo(slots[i], &slot) != CKR_OK ||
            functions.C_GetTokenInfo(slots[i], &token) != CKR_OK || !(token.flags & CKF_TOKEN_INITIALIZED))
            continue;
        tokens.push_back(padded_text(token.label, sizeof token.label) + " (" +
                         padded_text(slot.slotDescription, sizeof slot.slotDescription) + ")");
    }
    return tokens;
}

// The paths looked at when the setting names no module, in order.
std::vector<std::string> pkcs11_module_candidates(Pkcs11_module_origin origin)
{
    const char* name = origin == Pkcs11_module_origin::Opensc          ? "opensc-pkcs11.so"
                       : origin == Pkcs11_module_origin::P11_kit_proxy ? "p11-kit-proxy.so"
                                                                       : nullptr;
    if (!name)
        return {};
    // A module of another architecture would not load into this process: only this build's
    // multiarch folder is looked at, then the folders of distributions without multiarch.
    std::vector<std::string> folders;
    if (const std::string multiarch = VELIN_MULTIARCH; !multiarch.empty())
        folders = {"/usr/lib/" + multiarch, "/usr/lib/" + multiarch + "/pkcs11"};
    folders.insert(folders.end(), {"/usr/lib64", "/usr/lib64/pkcs11", "/usr/lib", "/usr/lib/pkcs11"});
    std::vector<std::string> paths;
    for (const std::string& folder : folders)
        paths.push_back(folder + "/" + name);
    return paths;
}

} // namespace

Pkcs11_module_choice system_pkcs11_module(const std::string& root)
{
    for (const Pkcs11_module_origin origin : {Pkcs11_module_origin::Opensc, Pkcs11_module_origin::P11_kit_proxy})
        for (const std::string& path : pkcs11_module_candidates(origin)) {
            struct stat status {};
            if (::stat((root + path).c_str(), &status) == 0 && S_ISREG(status.st_mode))
                return {path, origin};
        }
    return {Default_pkcs11_module, Pkcs11_module_origin::Missing};
}

Pkcs11_module_choice choose_pkcs11_module()
{
    const Registry_text_read setting = read_text(Registry_root::Local_machine, Settings_key, "ModuloPKCS11");
    if (setting.succeeded() && !setting.value().empty())
        return {setting.value(), Pkcs11_module_origin::Setting};
    return system_pkcs11_module();
}

std::string pkcs11_module_path()
{
    return choose_pkcs11_module().path;
}

bool pkcs11_module_in_use(const std::string& module_path)
{
    std::unique_ptr<void, Close> module(::dlopen(module_path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD));
    if (!module)
        return false;
    auto get_list = reinterpret_cast<CK_C_GetFunctionList>(::dlsym(module.get(), "C_GetFunctionList"));
    CK_FUNCTION_LIST_PTR functions = nullptr;
    if (!get_list || get_list(&functions) != CKR_OK || !functions || !functions->C_GetInfo)
        return false;
    CK_INFO info{};
    return functions->C_GetInfo(&info) != CKR_CRYPTOKI_NOT_INITIALIZED;
}

Pkcs11_module_info read_pkcs11_module_info(const std::string& module_path, bool with_tokens)
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
        if (with_tokens)
            info.tokens = present_tokens(*functions);
    } else {
        info.failure = call_failure("C_GetInfo", code);
    }
    if (finalize && functions->C_Finalize)
        functions->C_Finalize(nullptr);
    return info;
}

} // namespace velin
