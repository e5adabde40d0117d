// What the update server sends: a published version and a package's signature. Whatever the
// bytes, reading a version ends with a version or none (and a version read once reads again the
// same in its hexadecimal form), and checking a signature ends with a result and its reason.
// The first byte chooses: 2 modulo 4, the rest is what dpkg-deb says of a package's control data
// (a name and version read from it are accepted or refused, never half-read); otherwise even, the
// rest is a version text; odd, the rest is the signature of the package "pacchetto\n".
#include "VelinVerify/update/package_control.h"
#include "VelinVerify/update/package_signature.h"
#include "VelinVerify/update/update_version.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const std::span<const uint8_t> rest(data + 1, size - 1);
    if (data[0] % 4 == 2) {
        const std::string_view text(reinterpret_cast<const char*>(rest.data()), rest.size());
        if (const auto control = velin::parse_package_fields(text)) {
            if (control->package.empty() || control->version.empty() ||
                control->package.find('\n') != std::string::npos || control->version.find('\n') != std::string::npos)
                std::abort();
            const std::optional<uint32_t> number = velin::package_version_number(control->version);
            if (velin::package_control_refusal(*control, control->package, number.value_or(0)).empty() !=
                number.has_value())
                std::abort();
        }
        return 0;
    }
    if (data[0] % 2 == 0) {
        const std::optional<uint32_t> version =
            velin::parse_published_version(std::string_view(reinterpret_cast<const char*>(rest.data()), rest.size()));
        if (version) {
            char again[16];
            std::snprintf(again, sizeof again, "0x%08x", static_cast<unsigned>(*version));
            if (velin::parse_published_version(again) != version)
                std::abort();
        }
        return 0;
    }
    static const std::string package = "pacchetto\n";
    const velin::Package_signature check(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(package.data()), package.size()), rest,
        velin::update_authority_pem);
    if (check.verified() != check.description().empty())
        std::abort();
    return 0;
}
