#include "pccheck/pc_check_settings.h"

#include "common/registry.h"

#include <cctype>
#include <string_view>
#include <vector>

namespace velin::pccheck {

namespace {

void load_text(const char* name, std::string& field)
{
    const Registry_text_read value = read_text(Registry_root::Local_machine, Settings_key, name);
    if (value.succeeded() && !value.value().empty())
        field = value.value();
}

std::string lower(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string_view trim(std::string_view text)
{
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return text;
}

// Dotted numbers compared part by part; a part that is not a number compares as 0.
std::vector<unsigned long> version_parts(std::string_view version)
{
    std::vector<unsigned long> parts;
    while (!version.empty() && parts.size() < 8) {
        const size_t dot = version.find('.');
        const std::string_view part = version.substr(0, dot);
        unsigned long number = 0;
        for (char c : part) {
            if (!std::isdigit(static_cast<unsigned char>(c)) || number > 100000000)
                break;
            number = number * 10 + static_cast<unsigned long>(c - '0');
        }
        parts.push_back(number);
        if (dot == std::string_view::npos)
            break;
        version.remove_prefix(dot + 1);
    }
    return parts;
}

bool at_least(std::string_view version, std::string_view minimum)
{
    std::vector<unsigned long> have = version_parts(version);
    std::vector<unsigned long> need = version_parts(minimum);
    have.resize(std::max(have.size(), need.size()));
    need.resize(have.size());
    return have >= need;
}

} // namespace

Pc_check_settings Pc_check_settings::load()
{
    Pc_check_settings settings;
    load_text("SistemiSupportati", settings.supported_systems);
    load_text("ModuloPKCS11", settings.pkcs11_module);
    load_text("SitoMiddleware", settings.middleware_site);
    load_text("SuggerimentoJava", settings.java_hint);
    load_text("JavaHome", settings.java_home);
    load_text("ServerPostaAssistenza", settings.mail_server);
    load_text("CasellaAssistenza", settings.support_mailbox);
    const Registry_dword_read port = read_dword(Registry_root::Local_machine, Settings_key, "PortaPostaAssistenza");
    if (port.succeeded() && port.value() > 0 && port.value() < 65536)
        settings.mail_port = port.value();
    const Registry_dword_read starttls =
        read_dword(Registry_root::Local_machine, Settings_key, "StartTLSPostaAssistenza");
    if (starttls.succeeded())
        settings.mail_starttls = starttls.value() != 0;
    return settings;
}

bool is_supported_system(const std::string& supported_systems, const std::string& id, const std::string& version)
{
    if (id.empty())
        return false;
    std::string_view list = supported_systems;
    while (!list.empty()) {
        const size_t semicolon = list.find(';');
        const std::string_view entry = trim(list.substr(0, semicolon));
        list.remove_prefix(semicolon == std::string_view::npos ? list.size() : semicolon + 1);
        const size_t blank = entry.find(' ');
        if (blank == std::string_view::npos)
            continue;
        const std::string_view name = entry.substr(0, blank);
        std::string_view wanted = trim(entry.substr(blank + 1));
        if (lower(name) != lower(id) || wanted.empty())
            continue;
        if (wanted.back() == '+') {
            wanted.remove_suffix(1);
            if (!version.empty() && at_least(version, wanted))
                return true;
        } else if (version == wanted) {
            return true;
        }
    }
    return false;
}

} // namespace velin::pccheck
