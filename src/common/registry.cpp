#include "common/registry.h"

#include "common/registry_hive_file.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <type_traits>

#include <pwd.h>
#include <unistd.h>

namespace velin {

namespace {

constexpr uint32_t ERROR_INVALID_PARAMETER_CODE = 87;
constexpr uint32_t ERROR_FILE_TOO_LARGE_CODE = 223;

std::string full_key_name(Registry_root root, std::string_view key_path)
{
    std::string name(registry_root_name(root));
    name += '\\';
    name += key_path;
    return name;
}

bool has_control_character(std::string_view s)
{
    for (char c : s)
        if (static_cast<unsigned char>(c) < 0x20)
            return true;
    return false;
}

std::string code_text(uint32_t code)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%u", code);
    return buffer;
}

} // namespace

std::string_view registry_root_name(Registry_root root)
{
    switch (root) {
    case Registry_root::Local_machine:
        return "HKEY_LOCAL_MACHINE";
    case Registry_root::Current_user:
        return "HKEY_CURRENT_USER";
    case Registry_root::None:
        break;
    }
    return "";
}

std::string registry_hive_path(Registry_root root)
{
    auto environment = [](const char* name) -> std::string {
        const char* value = std::getenv(name);
        return value ? value : "";
    };
    if (root == Registry_root::Local_machine) {
        std::string path = environment("VELIN_MACHINE_REGISTRY");
        return path.empty() ? "/etc/velin-manager/machine.reg" : path;
    }
    if (root != Registry_root::Current_user)
        return "";
    std::string path = environment("VELIN_USER_REGISTRY");
    if (!path.empty())
        return path;
    std::string config = environment("XDG_CONFIG_HOME");
    if (config.empty() || config.front() != '/') {
        std::string home = environment("HOME");
        if (home.empty()) {
            if (const passwd* entry = ::getpwuid(::getuid()))
                home = entry->pw_dir ? entry->pw_dir : "";
        }
        config = home + "/.config";
    }
    return config + "/velin-manager/user.reg";
}

// ---------------------------------------------------------------------------------------------
// Reading

template <class T>
Registry_read<T>::Registry_read(Registry_root root, std::string_view key_path, std::string_view value)
{
    assertion(root != Registry_root::None, "root_key ne NULL");
    assertion(!key_path.empty(), "not is_empty (key_path)");
    assertion(!value.empty(), "not is_empty (value)");

    const std::string key = full_key_name(root, key_path);
    const std::string description = "\"" + std::string(value) + "\" della chiave \"" + key + "\"";
    const Hive_file file = load_hive_file(registry_hive_path(root));
    if (file.code != 0) {
        fail(file.code, "Impossibile leggere il registro per il valore " + description);
        return;
    }
    const Registry_hive::Value* found = file.hive.find_value(key, value);
    if (!found) {
        fail(ERROR_FILE_NOT_FOUND_CODE, "Il valore " + description + " non è presente nel registro");
        return;
    }
    _type = found->type;
    _data = found->data;
    if (_data.empty()) {
        fail(E_FAIL_CODE, "Il valore " + description + " è vuoto");
        return;
    }
    if constexpr (std::is_same_v<T, uint32_t>) {
        if (_type != REG_DWORD) {
            fail(ERROR_DATATYPE_MISMATCH_CODE, "Il valore " + description + " non è di tipo REG_DWORD");
            return;
        }
        if (_data.size() != 4) {
            fail(E_FAIL_CODE, "Il valore " + description + " non è lungo 4 byte");
            return;
        }
        this->set_value(uint32_t(_data[0]) | uint32_t(_data[1]) << 8 | uint32_t(_data[2]) << 16 |
                        uint32_t(_data[3]) << 24);
    } else {
        if (_type != REG_SZ) {
            fail(ERROR_DATATYPE_MISMATCH_CODE, "Il valore " + description + " non è di tipo REG_SZ");
            return;
        }
        if (_data.back() != 0) {
            fail(E_FAIL_CODE, "Il valore " + description + " non termina con uno zero");
            return;
        }
        // The text ends at its first zero, as a C string would.
        const auto* bytes = reinterpret_cast<const char*>(_data.data());
        this->set_value(std::string(bytes, std::find(bytes, bytes + _data.size(), '\0')));
    }
}

template <class T>
void Registry_read<T>::fail(uint32_t code, const std::string& message)
{
    this->set_error(message + " (codice " + code_text(code) + ").");
    this->set_result(code);
}

template class Registry_read<uint32_t>;
template class Registry_read<std::string>;

Registry_dword_read read_dword(Registry_root root, std::string_view key_path, std::string_view value)
{
    return Registry_dword_read(root, key_path, value);
}

Registry_text_read read_text(Registry_root root, std::string_view key_path, std::string_view value)
{
    return Registry_text_read(root, key_path, value);
}

// ---------------------------------------------------------------------------------------------
// Writing

void Registry_write::write_dword(Registry_root root, std::string_view key_path, std::string_view value, uint32_t data)
{
    assertion(root != Registry_root::None, "root ne NULL");
    assertion(!key_path.empty(), "not is_empty (key_path)");
    assertion(!value.empty(), "not is_empty (value)");
    assertion(_check_status != Check_wait, "_check_status ne Check_wait");
    write(root, key_path,
          Registry_hive::Value{std::string(value),
                               REG_DWORD,
                               {static_cast<uint8_t>(data), static_cast<uint8_t>(data >> 8),
                                static_cast<uint8_t>(data >> 16), static_cast<uint8_t>(data >> 24)}});
}

void Registry_write::write_text(Registry_root root, std::string_view key_path, std::string_view value, const char* data)
{
    assertion(root != Registry_root::None, "root ne NULL");
    assertion(!key_path.empty(), "not is_empty (key_path)");
    assertion(data != nullptr, "data ne NULL");
    assertion(_check_status != Check_wait, "_check_status ne Check_wait");
    // Stored with its terminating zero, so that the text reads back.
    const std::string_view text(data);
    std::vector<uint8_t> bytes(text.begin(), text.end());
    bytes.push_back(0);
    write(root, key_path, Registry_hive::Value{std::string(value), REG_SZ, std::move(bytes)});
}

uint32_t Registry_write::check()
{
    _check_status = Check_done;
    return result();
}

void Registry_write::write(Registry_root root, std::string_view key_path, Registry_hive::Value value)
{
    _check_status = Check_wait;
    const std::string key = full_key_name(root, key_path);
    const std::string path = registry_hive_path(root);
    const std::string name = value.name;
    auto fail = [&](uint32_t code, const std::string& why) {
        set_error("Impossibile scrivere il valore \"" + name + "\" della chiave \"" + key + "\" nel registro \"" +
                  path + "\": " + why + " (codice " + code_text(code) + ").");
        set_result(code);
    };

    // Names with line breaks would break the file's line structure.
    if (has_control_character(key) || has_control_character(name))
        return fail(ERROR_INVALID_PARAMETER_CODE, "nome non valido");

    if (const int error = make_parent_folders(path))
        return fail(error_code_from_errno(error), "cartella non disponibile");

    // Writers take turns on the lock file and re-read the hive under it, so a value written by
    // another program since this one started is kept.
    int lock_error = 0;
    const Descriptor_handle lock = lock_hive_file(path, lock_error);
    if (!lock)
        return fail(error_code_from_errno(lock_error), "blocco non disponibile");

    Hive_file file = load_hive_file(path);
    if (file.code != 0)
        return fail(file.code, "lettura non riuscita");
    if (!file.hive.intact())
        return fail(ERROR_BADDB_CODE,
                    "il file è danneggiato alla riga " + code_text(uint32_t(file.hive.damaged_line())));

    file.hive.set_value(key, std::move(value));
    const std::string text = file.hive.serialize();
    if (text.size() > Registry_hive::Max_file_size)
        return fail(ERROR_FILE_TOO_LARGE_CODE, "il registro supera la dimensione massima");
    if (const int error = replace_hive_file(path, text, file))
        return fail(error_code_from_errno(error), "scrittura non riuscita");
    set_result(0);
}

uint32_t write_dword(Registry_root root, std::string_view key_path, std::string_view value, uint32_t data)
{
    Registry_write writer;
    writer.write_dword(root, key_path, value, data);
    return writer.check();
}

uint32_t write_text(Registry_root root, std::string_view key_path, std::string_view value, const std::string& data)
{
    Registry_write writer;
    writer.write_text(root, key_path, value, data.c_str());
    return writer.check();
}

} // namespace velin
