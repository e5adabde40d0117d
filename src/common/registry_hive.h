// The text format of a registry hive, the regedit export format:
//
//     Windows Registry Editor Version 5.00
//
//     [HKEY_CURRENT_USER\SOFTWARE\Valdora Vidizoved\Velin Manager\Impostazioni]
//     "Aggiornamenti"=dword:00000001
//
// Value types are kept ("hex(N):…" for the types that have no text form).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velin {

// Windows value types.
constexpr uint32_t REG_NONE = 0;
constexpr uint32_t REG_SZ = 1;
constexpr uint32_t REG_EXPAND_SZ = 2;
constexpr uint32_t REG_BINARY = 3;
constexpr uint32_t REG_DWORD = 4;
constexpr uint32_t REG_MULTI_SZ = 7;
constexpr uint32_t REG_QWORD = 11;

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

} // namespace velin
