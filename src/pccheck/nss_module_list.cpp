#include "pccheck/nss_module_list.h"

namespace velin::pccheck {

namespace {

// A profile with more modules than this is not one a browser wrote.
constexpr size_t Max_modules = 1024;

std::string_view trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

std::string file_name(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

std::vector<Nss_module> parse_nss_module_list(std::string_view text)
{
    std::vector<Nss_module> modules;
    bool open = false;
    while (!text.empty() && modules.size() <= Max_modules) {
        const size_t end = text.find('\n');
        const std::string_view line = trim(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty()) {
            open = false;
            continue;
        }
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos)
            continue;
        const std::string_view name = trim(line.substr(0, equals));
        const std::string_view value = trim(line.substr(equals + 1));
        if (name != "library" && name != "name")
            continue;
        if (!open || (name == "library" && !modules.back().library.empty()) ||
            (name == "name" && !modules.back().name.empty())) {
            if (modules.size() == Max_modules)
                break;
            modules.emplace_back();
            open = true;
        }
        // NSS writes a name with blanks in double quotes.
        std::string_view unquoted = value;
        if (unquoted.size() >= 2 && unquoted.front() == '"' && unquoted.back() == '"')
            unquoted = unquoted.substr(1, unquoted.size() - 2);
        (name == "library" ? modules.back().library : modules.back().name) = std::string(unquoted);
    }
    return modules;
}

bool lists_module(const std::vector<Nss_module>& modules, const std::string& module_path)
{
    if (module_path.empty())
        return false;
    for (const Nss_module& module : modules) {
        if (module.library.empty())
            continue;
        if (module.library == module_path)
            return true;
        if (module.library.find('/') == std::string::npos && module.library == file_name(module_path))
            return true;
    }
    return false;
}

} // namespace velin::pccheck
