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

#include <cstddef>
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

// Windows value types.
constexpr uint32_t REG_NONE = 0;
constexpr uint32_t REG_SZ = 1;
constexpr uint32_t REG_EXPAND_SZ = 2;
constexpr uint32_t REG_BINARY = 3;
constexpr uint32_t REG_DWORD = 4;
constexpr uint32_t REG_MULTI_SZ = 7;
constexpr uint32_t REG_QWORD = 11;

// Windows codes the registry layer returns besides error_code_from_errno's.
constexpr uint32_t ERROR_FILE_NOT_FOUND_CODE = 2;
constexpr uint32_t ERROR_BADDB_CODE = 1009; // the hive file is damaged: it is not rewritten

constexpr const char* Installation_key = "SOFTWARE\\Valdora Vidizoved\\Velin Manager";
constexpr const char* Settings_key = "SOFTWARE\\Valdora Vidizoved\\Velin Manager\\Impostazioni";

// "HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", "" for no root.
std::string_view registry_root_name(Registry_root root);

// Path of the file that holds the root's hive; the environment is read at every call.
std::string registry_hive_path(Registry_root root);

// One hive in memory. Keys are named in full ("HKEY_CURRENT_USER\SOFTWARE\…") and compared
// without regard to ASCII case, as Windows does; keys and values keep the order of the file.
class Registry_hive {
public:
    struct Value {
        std::string name; // empty for the key's default value ("@")
        uint32_t type = REG_NONE;
        std::vector<uint8_t> data;
    };
    struct Key {
        std::string name;
        std::vector<Value> values;
    };

    // Files larger than this are damaged hives: they are read up to the limit, never rewritten.
    // Settings hives hold a few hundred bytes; the limit bounds what a hostile file can cost.
    static constexpr size_t Max_file_size = 1u << 20;

    // Reads as much of the text as is valid; intact() tells whether all of it was. A text that is
    // not `complete` (a file cut at the size limit) is never intact.
    static Registry_hive parse(std::string_view text, bool complete = true);
    std::string serialize() const;

    bool intact() const { return _intact; }
    // 1-based line where the damage starts, 0 when intact.
    size_t damaged_line() const { return _damaged_line; }

    const std::vector<Key>& keys() const { return _keys; }
    const Key* find_key(std::string_view name) const;
    const Value* find_value(std::string_view key, std::string_view value) const;
    // Creates the key and its parents as needed, then adds or replaces the value.
    void set_value(std::string_view key, Value value);

private:
    Key& make_key(std::string_view name);

    std::vector<Key> _keys;
    bool _intact = true;
    size_t _damaged_line = 0;
};

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
