// The system files the PC check reads are written by others (os-release, a runtime's release
// file, application.ini, reader.conf, a driver's Info.plist, a profile's pkcs11.txt): whatever
// they hold, each parser ends with bounded results.
#include "pccheck/info_plist.h"
#include "pccheck/key_value_file.h"
#include "pccheck/nss_module_list.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (const auto& values : {velin::pccheck::parse_key_values(text), velin::pccheck::parse_reader_conf(text)}) {
        for (const auto& [name, value] : values) {
            if (name.empty() || name.size() > size || value.size() > size)
                std::abort();
        }
    }
    const velin::pccheck::Property_list list = velin::pccheck::parse_info_plist(text);
    for (const auto& [key, values] : list) {
        if (key.size() > size || values.size() > 4096)
            std::abort();
    }
    const auto modules = velin::pccheck::parse_nss_module_list(text);
    if (modules.size() > 1024)
        std::abort();
    velin::pccheck::lists_module(modules, "/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so");
    return 0;
}
