#include "card_bed.h"

#include "test_folder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace velin::test {

namespace {

std::string bed_command(const std::string& arguments)
{
    return std::string(VELIN_SOURCE_DIR) + "/tools/card-bed " + arguments + " >/dev/null 2>&1";
}

} // namespace

Card_bed::Card_bed()
{
    ::setenv("VELIN_BUILD_DIR", VELIN_BINARY_DIR, 0);
    ::setenv("CARD_BED_DIR", (std::string(VELIN_BINARY_DIR) + "/card-bed").c_str(), 0);
    _dir = std::getenv("CARD_BED_DIR");
    std::ifstream env(_dir + "/card-bed.env");
    for (std::string line; std::getline(env, line);) {
        if (line.rfind("export ", 0) != 0)
            continue;
        const auto equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        std::string value = line.substr(equals + 1);
        if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'')
            value = value.substr(1, value.size() - 2);
        _env[line.substr(7, equals - 7)] = value;
    }
}

bool Card_bed::running() const
{
    return !env("CARD_BED_PCSCD_PID").empty();
}

std::string Card_bed::env(const std::string& name) const
{
    const auto found = _env.find(name);
    return found == _env.end() ? std::string() : found->second;
}

void Card_bed::run(const std::string& arguments) const
{
    const std::string command = bed_command(arguments);
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

void Card_bed::insert(int index, const std::string& profile_and_options) const
{
    empty(index);
    run("insert " + std::to_string(index) + " " + profile_and_options);
}

void Card_bed::empty(int index) const
{
    (void)std::system(bed_command("remove " + std::to_string(index)).c_str());
}

std::map<std::string, std::string> Card_bed::state(int index, const std::string& profile) const
{
    std::map<std::string, std::string> values;
    std::ifstream in(_dir + "/reader" + std::to_string(index) + "/" + profile + ".state");
    for (std::string line; std::getline(in, line);)
        if (const auto equals = line.find('='); equals != std::string::npos && line[0] != '#')
            values[line.substr(0, equals)] = line.substr(equals + 1);
    return values;
}

std::string Card_bed::apdu_log(int index) const
{
    return read_file(_dir + "/reader" + std::to_string(index) + "/apdu.log");
}

std::string Card_bed::apdu_exchanges(int index) const
{
    std::istringstream log(apdu_log(index));
    std::string exchanges;
    for (std::string line; std::getline(log, line);)
        if (line.rfind("> ", 0) == 0 || line.rfind("< ", 0) == 0)
            exchanges += line + "\n";
    return exchanges;
}

} // namespace velin::test
