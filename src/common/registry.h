// The suite's registry: two typed hives kept as text files in the regedit export format.
//
//     Windows Registry Editor Version 5.00
//
//     [HKEY_LOCAL_MACHINE\SOFTWARE\Valdora Vidizoved\Velin Manager\Impostazioni]
//     "Aggiornamenti"=dword:00000001
//     "JavaHome"="/usr/lib/jvm/java-17-openjdk-amd64"
//
// HKEY_LOCAL_MACHINE lives in the machine hive (/etc/velin-manager/machine.reg, or
// $VELIN_MACHINE_REGISTRY), HKEY_CURRENT_USER in the user hive
// ($XDG_CONFIG_HOME/velin-manager/user.reg, else ~/.config/…, or $VELIN_USER_REGISTRY).
// Value types are kept ("hex(N):…" for the types that have no text form), so a REG_SZ found where
// a REG_DWORD is expected is reported as such. Writes replace the file atomically under an flock
// on "<hive>.lock" and re-read the hive under that lock, so programs do not lose each other's
// values; a damaged hive is read up to the damage and never rewritten.
#pragma once

#include "common/failure.h"
#include "common/registry_hive.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velin {

enum class Registry_root {
    None, // "no root": only a programming error passes it
    Local_machine,
    Current_user,
};

// Windows codes the registry layer returns besides error_code_from_errno's.
constexpr uint32_t ERROR_FILE_NOT_FOUND_CODE = 2;
constexpr uint32_t ERROR_BADDB_CODE = 1009; // the hive file is damaged: it is not rewritten

constexpr const char* Installation_key = "SOFTWARE\\Valdora Vidizoved\\Velin Manager";
constexpr const char* Settings_key = "SOFTWARE\\Valdora Vidizoved\\Velin Manager\\Impostazioni";

// "HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", "" for no root.
std::string_view registry_root_name(Registry_root root);

// Path of the file that holds the root's hive; the environment is read at every call.
std::string registry_hive_path(Registry_root root);

// Reading a value: the result code is 0, a Windows system error code (2 for a missing hive, key
// or value), E_FAIL (no data, bad size, a text without its final zero) or
// ERROR_DATATYPE_MISMATCH (1629). The type and the raw bytes are kept whatever the result.
template <class T>
class Registry_read : public Function<T, uint32_t, 0u, E_FAIL_CODE> {
public:
    Registry_read(Registry_root root, std::string_view key_path, std::string_view value);

    uint32_t type() const { return _type; }
    const std::vector<uint8_t>& data() const { return _data; }

private:
    void fail(uint32_t code, const std::string& message);

    uint32_t _type = REG_NONE;
    std::vector<uint8_t> _data;
};

using Registry_dword_read = Registry_read<uint32_t>;
using Registry_text_read = Registry_read<std::string>;

extern template class Registry_read<uint32_t>;
extern template class Registry_read<std::string>;

Registry_dword_read read_dword(Registry_root root, std::string_view key_path, std::string_view value);
Registry_text_read read_text(Registry_root root, std::string_view key_path, std::string_view value);

// One write of one value; its result is taken with check() before the writer is used again.
// The key path is created as needed. A number is stored as a 4-byte REG_DWORD, a text as a
// REG_SZ with its terminating zero.
class Registry_write : public Procedure<uint32_t, 0u, E_FAIL_CODE> {
public:
    enum Check_status { Check_none, Check_wait, Check_done };

    void write_dword(Registry_root root, std::string_view key_path, std::string_view value, uint32_t data);
    // An empty value name writes the key's default value.
    void write_text(Registry_root root, std::string_view key_path, std::string_view value, const char* data);

    // Takes the result of the last write: 0 or a Windows error code.
    uint32_t check();
    Check_status check_status() const { return _check_status; }

private:
    void write(Registry_root root, std::string_view key_path, Registry_hive::Value value);

    Check_status _check_status = Check_none;
};

// One-shot writes: the result code of the write.
uint32_t write_dword(Registry_root root, std::string_view key_path, std::string_view value, uint32_t data);
uint32_t write_text(Registry_root root, std::string_view key_path, std::string_view value, const std::string& data);

} // namespace velin
