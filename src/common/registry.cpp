#include "common/registry.h"

#include "common/file_io.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <type_traits>
#include <unordered_map>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velin {

namespace {

constexpr std::string_view Hive_header = "Windows Registry Editor Version 5.00";
constexpr uint32_t ERROR_INVALID_PARAMETER_CODE = 87;
constexpr uint32_t ERROR_FILE_TOO_LARGE_CODE = 223;

char ascii_lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equal_ignoring_case(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (ascii_lower(a[i]) != ascii_lower(b[i]))
            return false;
    return true;
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim_right(std::string_view s)
{
    while (!s.empty() && is_blank(s.back()))
        s.remove_suffix(1);
    return s;
}

std::string_view trim_left(std::string_view s)
{
    while (!s.empty() && is_blank(s.front()))
        s.remove_prefix(1);
    return s;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// 1 to 8 hex digits, nothing else.
bool parse_hex_number(std::string_view s, uint32_t& number)
{
    if (s.empty() || s.size() > 8)
        return false;
    number = 0;
    for (char c : s) {
        const int d = hex_digit(c);
        if (d < 0)
            return false;
        number = number << 4 | static_cast<uint32_t>(d);
    }
    return true;
}

// A quoted string with the \\ and \" escapes; `s` starts at the opening quote. On success `s` is
// left just after the closing quote.
bool parse_quoted(std::string_view& s, std::string& out)
{
    if (s.empty() || s.front() != '"')
        return false;
    out.clear();
    for (size_t i = 1; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '"') {
            s.remove_prefix(i + 1);
            return true;
        }
        if (c == '\\') {
            if (i + 1 >= s.size() || (s[i + 1] != '\\' && s[i + 1] != '"'))
                return false;
            out += s[++i];
        } else {
            out += c;
        }
    }
    return false;
}

// "aa,bb,cc" (blanks allowed around the bytes); an empty list is no bytes.
bool parse_hex_list(std::string_view s, std::vector<uint8_t>& out)
{
    out.clear();
    s = trim_right(trim_left(s));
    if (s.empty())
        return true;
    while (true) {
        s = trim_left(s);
        if (s.size() < 2)
            return false;
        const int high = hex_digit(s[0]);
        const int low = hex_digit(s[1]);
        if (high < 0 || low < 0)
            return false;
        out.push_back(static_cast<uint8_t>(high << 4 | low));
        s = trim_left(s.substr(2));
        if (s.empty())
            return true;
        if (s.front() != ',')
            return false;
        s.remove_prefix(1);
    }
}

void append_quoted(std::string& out, std::string_view text)
{
    out += '"';
    for (char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    out += '"';
}

// A REG_SZ gets the readable "text" form only when it reads back byte for byte: one final zero,
// no other zero and no control characters (which would break the line structure).
bool has_text_form(const std::vector<uint8_t>& data)
{
    if (data.empty() || data.back() != 0)
        return false;
    for (size_t i = 0; i + 1 < data.size(); ++i)
        if (data[i] < 0x20 || data[i] == 0x7f)
            return false;
    return true;
}

void append_hex_list(std::string& out, const std::vector<uint8_t>& data)
{
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < data.size(); ++i) {
        if (i > 0) {
            out += ',';
            // Long lists are continued on the next line, as regedit does.
            if (i % 25 == 0)
                out += "\\\n  ";
        }
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
}

std::string full_key_name(Registry_root root, std::string_view key_path)
{
    std::string name(registry_root_name(root));
    name += '\\';
    name += key_path;
    return name;
}

std::string lower_copy(std::string_view s)
{
    std::string out(s);
    for (char& c : out)
        c = ascii_lower(c);
    return out;
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

struct Hive_file {
    uint32_t code = 0; // 0, or why the file could not be read
    Registry_hive hive;
    bool exists = false;
    struct stat status {};
};

// A missing file (or a folder that cannot exist) is an empty hive. Only a regular file is a hive:
// a device or a pipe named by mistake is neither read (a pipe would block) nor replaced.
Hive_file load_hive_file(const std::string& path)
{
    Hive_file file;
    Opened_file opened = open_for_reading(path);
    if (!opened.descriptor) {
        if (opened.error != ENOENT && opened.error != ENOTDIR)
            file.code = error_code_from_errno(opened.error);
        return file;
    }
    if (opened.error != 0) {
        file.code = error_code_from_errno(opened.error);
        return file;
    }
    file.status = opened.status;
    file.exists = true;
    if (!S_ISREG(file.status.st_mode)) {
        file.code = error_code_from_errno(S_ISDIR(file.status.st_mode) ? EISDIR : EINVAL);
        return file;
    }
    std::vector<uint8_t> text;
    const Read_end end = read_to_end(opened.descriptor.get(), Registry_hive::Max_file_size, text);
    if (end == Read_end::Failed) {
        file.code = error_code_from_errno(errno);
        return file;
    }
    file.hive = Registry_hive::parse(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()),
                                     end == Read_end::Complete);
    return file;
}

// Replaces the hive file with `text`, keeping the old file's mode (and owner, when allowed).
// Returns 0 or the errno.
int replace_hive_file(const std::string& path, const std::string& text, const Hive_file& old)
{
    const mode_t mode = old.exists ? (old.status.st_mode & 07777) : 0644;
    return replace_file(path, text, mode, old.exists ? &old.status : nullptr);
}

// Creates the folders of `path` one by one (0755), so the errno of the first refusal is kept.
int make_parent_folders(const std::string& path)
{
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    std::filesystem::path partial;
    for (const auto& part : folder) {
        partial /= part;
        if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
            return errno;
    }
    struct stat status {};
    if (!folder.empty() && ::stat(folder.c_str(), &status) != 0)
        return errno;
    if (!folder.empty() && !S_ISDIR(status.st_mode))
        return ENOTDIR;
    return 0;
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
// Registry_hive

namespace {

// Lookup tables of a hive under construction: hostile files may hold a great many keys or values,
// and a linear search per line would turn parsing quadratic.
struct Hive_index {
    std::unordered_map<std::string, size_t> keys;
    std::vector<std::unordered_map<std::string, size_t>> values;
};

} // namespace

Registry_hive Registry_hive::parse(std::string_view text, bool complete)
{
    Registry_hive hive;
    Hive_index index;
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    // A cut text ends with a partial line: it is left out and counted as the damage.
    size_t cut_line = 0;
    if (!complete) {
        const size_t last_end = text.rfind('\n');
        text = last_end == std::string_view::npos ? std::string_view() : text.substr(0, last_end + 1);
        cut_line = static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
    }

    auto damage = [&hive](size_t line) {
        hive._intact = false;
        hive._damaged_line = line;
        return hive;
    };
    if (text.empty())
        return cut_line ? damage(cut_line) : hive;

    size_t line_number = 0;
    size_t position = 0;
    // Next line without its end of line; false at the end of the text.
    auto next_line = [&](std::string_view& line) {
        if (position >= text.size())
            return false;
        size_t end = text.find('\n', position);
        if (end == std::string_view::npos)
            end = text.size();
        line = text.substr(position, end - position);
        position = end + 1;
        ++line_number;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        return true;
    };

    std::string_view line;
    next_line(line);
    if (trim_right(line) != Hive_header)
        return damage(1);

    long current = -1;
    std::string name;
    std::string data_text;
    while (next_line(line)) {
        const size_t first_line = line_number;
        // Hand-edited files may indent their lines; regedit reads them all the same.
        const std::string_view trimmed = trim_left(trim_right(line));
        if (trimmed.empty() || trimmed.front() == ';')
            continue;
        if (trimmed.front() == '[') {
            if (trimmed.size() < 3 || trimmed.back() != ']' || trimmed[1] == '-')
                return damage(first_line);
            const std::string_view key_name = trimmed.substr(1, trimmed.size() - 2);
            const std::string lower = lower_copy(key_name);
            auto found = index.keys.find(lower);
            if (found == index.keys.end()) {
                found = index.keys.emplace(lower, hive._keys.size()).first;
                hive._keys.push_back(Key{std::string(key_name), {}});
                index.values.emplace_back();
            }
            current = static_cast<long>(found->second);
            continue;
        }
        if (current < 0 || (trimmed.front() != '"' && trimmed.front() != '@'))
            return damage(first_line);

        std::string_view rest = trimmed;
        if (rest.front() == '@') {
            name.clear();
            rest.remove_prefix(1);
        } else if (!parse_quoted(rest, name)) {
            return damage(first_line);
        }
        if (rest.empty() || rest.front() != '=')
            return damage(first_line);
        rest.remove_prefix(1);

        Value value;
        value.name = name;
        if (!rest.empty() && rest.front() == '"') {
            if (!parse_quoted(rest, data_text) || !trim_left(rest).empty())
                return damage(first_line);
            value.type = REG_SZ;
            value.data.assign(data_text.begin(), data_text.end());
            value.data.push_back(0);
        } else if (rest.substr(0, 6) == "dword:") {
            uint32_t number = 0;
            if (!parse_hex_number(rest.substr(6), number))
                return damage(first_line);
            value.type = REG_DWORD;
            value.data = {static_cast<uint8_t>(number), static_cast<uint8_t>(number >> 8),
                          static_cast<uint8_t>(number >> 16), static_cast<uint8_t>(number >> 24)};
        } else if (rest.substr(0, 3) == "hex") {
            rest.remove_prefix(3);
            value.type = REG_BINARY;
            if (!rest.empty() && rest.front() == '(') {
                const size_t close = rest.find(')');
                if (close == std::string_view::npos || !parse_hex_number(rest.substr(1, close - 1), value.type))
                    return damage(first_line);
                rest.remove_prefix(close + 1);
            }
            if (rest.empty() || rest.front() != ':')
                return damage(first_line);
            rest.remove_prefix(1);
            // A list ending in a backslash goes on over the next line.
            std::string list;
            while (!rest.empty() && rest.back() == '\\') {
                list += rest.substr(0, rest.size() - 1);
                std::string_view more;
                if (!next_line(more))
                    return damage(first_line);
                rest = trim_right(trim_left(more));
            }
            list += rest;
            if (!parse_hex_list(list, value.data))
                return damage(first_line);
        } else {
            return damage(first_line);
        }

        auto& values = index.values[static_cast<size_t>(current)];
        Key& key = hive._keys[static_cast<size_t>(current)];
        const std::string lower = lower_copy(value.name);
        const auto found = values.find(lower);
        if (found == values.end()) {
            values.emplace(lower, key.values.size());
            key.values.push_back(std::move(value));
        } else {
            // A later line for the same value wins, as when regedit imports the file.
            key.values[found->second].type = value.type;
            key.values[found->second].data = std::move(value.data);
        }
    }
    return cut_line ? damage(cut_line) : hive;
}

std::string Registry_hive::serialize() const
{
    std::string out;
    out += Hive_header;
    out += "\n\n";
    for (const Key& key : _keys) {
        out += '[';
        out += key.name;
        out += "]\n";
        for (const Value& value : key.values) {
            if (value.name.empty())
                out += '@';
            else
                append_quoted(out, value.name);
            out += '=';
            if (value.type == REG_SZ && has_text_form(value.data)) {
                append_quoted(out, std::string_view(reinterpret_cast<const char*>(value.data.data()),
                                                    value.data.size() - 1));
            } else if (value.type == REG_DWORD && value.data.size() == 4) {
                char buffer[16];
                const uint32_t number = uint32_t(value.data[0]) | uint32_t(value.data[1]) << 8 |
                                        uint32_t(value.data[2]) << 16 | uint32_t(value.data[3]) << 24;
                std::snprintf(buffer, sizeof buffer, "dword:%08x", number);
                out += buffer;
            } else {
                char buffer[24];
                if (value.type == REG_BINARY)
                    out += "hex:";
                else {
                    std::snprintf(buffer, sizeof buffer, "hex(%x):", value.type);
                    out += buffer;
                }
                append_hex_list(out, value.data);
            }
            out += '\n';
        }
        out += '\n';
    }
    return out;
}

const Registry_hive::Key* Registry_hive::find_key(std::string_view name) const
{
    for (const Key& key : _keys)
        if (equal_ignoring_case(key.name, name))
            return &key;
    return nullptr;
}

const Registry_hive::Value* Registry_hive::find_value(std::string_view key, std::string_view value) const
{
    const Key* found = find_key(key);
    if (!found)
        return nullptr;
    for (const Value& candidate : found->values)
        if (equal_ignoring_case(candidate.name, value))
            return &candidate;
    return nullptr;
}

Registry_hive::Key& Registry_hive::make_key(std::string_view name)
{
    for (Key& key : _keys)
        if (equal_ignoring_case(key.name, name))
            return key;
    _keys.push_back(Key{std::string(name), {}});
    return _keys.back();
}

void Registry_hive::set_value(std::string_view key, Value value)
{
    // Parents first (below the root), so the file lists the whole path as regedit would.
    const size_t below_root = key.find('\\');
    if (below_root != std::string_view::npos)
        for (size_t separator = key.find('\\', below_root + 1); separator != std::string_view::npos;
             separator = key.find('\\', separator + 1))
            make_key(key.substr(0, separator));
    Key& target = make_key(key);
    for (Value& existing : target.values) {
        if (equal_ignoring_case(existing.name, value.name)) {
            existing.type = value.type;
            existing.data = std::move(value.data);
            return;
        }
    }
    target.values.push_back(std::move(value));
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
          Registry_hive::Value{std::string(value), REG_DWORD,
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
    const std::string lock_path = path + ".lock";
    Descriptor_handle lock(::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0644));
    if (!lock)
        return fail(error_code_from_errno(errno), "blocco non disponibile");
    while (::flock(lock.get(), LOCK_EX) != 0) {
        if (errno != EINTR)
            return fail(error_code_from_errno(errno), "blocco non disponibile");
    }

    Hive_file file = load_hive_file(path);
    if (file.code != 0)
        return fail(file.code, "lettura non riuscita");
    if (!file.hive.intact())
        return fail(ERROR_BADDB_CODE, "il file è danneggiato alla riga " + code_text(uint32_t(file.hive.damaged_line())));

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
