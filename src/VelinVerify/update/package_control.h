// What a downloaded package says it is. The publisher's signature tells who made the file, not
// which package and version it holds: an older genuine package served as the newer one, or one
// package served under the other's name, carries a valid signature too. Its own control data
// (the Package and Version fields of the .deb) must name the package asked for and the version
// published.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velin {

struct Package_control {
    std::string package;
    std::string version;
};

// Reads the Package and Version fields of a .deb with `dpkg-deb --field`, started without a shell
// and with a time limit. Empty, with the reason in Italian in failure, when the file is no
// package or dpkg-deb cannot be run.
std::optional<Package_control> read_package_control(const std::string& path, std::string& failure);

// dpkg-deb's answer: "Package: NAME" and "Version: TEXT" lines, in any order; empty unless both
// are there once, each on one line.
std::optional<Package_control> parse_package_fields(std::string_view output);

// The number a package version stands for, to compare with the published one: the epoch
// ("N:") and the Debian revision (from the last "-") dropped, the rest three or four decimal
// numbers separated by dots, packed as a published version. Anything else is no number.
std::optional<uint32_t> package_version_number(std::string_view version);

// Why a package whose control data says control is not the package expected at the version
// published (in Italian, to follow "…è stato eliminato: "); empty when it is.
std::string package_control_refusal(const Package_control& control, const std::string& expected_package,
                                    uint32_t published_version);

} // namespace velin
