// The time of the verification, which a report gives for the lists of each signer without a time
// stamp, is the one thing that differs from one run to the next: tests compare reports without it.
#pragma once

#include <regex>
#include <string>

namespace velin::test {

inline std::string without_verification_time(const std::string& report)
{
    static const std::regex line("(alla data della verifica: )\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d");
    static const std::regex json("\"lists_judged_at\": \"[0-9T:Z-]{20}\", \"lists_judged_by\": \"verification\"");
    return std::regex_replace(std::regex_replace(report, line, "$1dd/mm/yyyy hh:mm:ss"), json,
                              "\"lists_judged_at\": \"yyyy-mm-ddThh:mm:ssZ\", \"lists_judged_by\": \"verification\"");
}

} // namespace velin::test
