#include "fake_machine.h"

#include "pccheck/check_report.h"
#include "pccheck/pc_check.h"

#include <gtest/gtest.h>

namespace velin::test {

namespace {

std::string joined(const std::vector<std::string>& words)
{
    std::string line;
    for (const std::string& word : words)
        line += (line.empty() ? "" : " ") + word;
    return line;
}

} // namespace

Fake_machine::Fake_machine()
{
    std::filesystem::create_directories(_folder / "root");
    std::filesystem::create_directories(_folder / "home");
    environment.root = (_folder / "root").string();
    environment.home = (_folder / "home").string();
    environment.user_name = "mario";
    environment.uid = 1000;
    environment.groups = {"mario"};
    environment.kernel_release = "6.1.0-13-amd64";
    environment.locale = "it_IT.UTF-8";
    environment.card_library = (_folder / "missing" / "libnoraxcard.so.3").string();
    environment.run = [this](const std::vector<std::string>& argv) {
        const std::string line = joined(argv);
        commands.push_back(line);
        const auto found = _answers.find(line);
        return found == _answers.end() ? pccheck::Command_result{} : found->second;
    };
    // A service started answers as its command line's table entry says; its stop is recorded.
    environment.start_service = [this](const std::vector<std::string>& argv, const std::string&) {
        const std::string line = joined(argv);
        commands.push_back(line);
        const auto found = _answers.find(line);
        pccheck::Started_service started;
        started.exit_code = found == _answers.end() ? -1 : found->second.exit_code;
        if (started.exit_code == 0)
            started.running = std::shared_ptr<void>(static_cast<void*>(&commands),
                                                    [this, line](void*) { commands.push_back("stop " + line); });
        return started;
    };
    environment.list_readers = [] { return pccheck::Reader_list{false, 0, {"Virtual PCD 00 00"}}; };
}

void Fake_machine::put(const std::string& path, const std::string& content)
{
    const std::filesystem::path file = std::filesystem::path(environment.root + path);
    std::filesystem::create_directories(file.parent_path());
    write_file(file, content);
}

void Fake_machine::put_home(const std::string& path, const std::string& content)
{
    const std::filesystem::path file = std::filesystem::path(environment.home + "/" + path);
    std::filesystem::create_directories(file.parent_path());
    write_file(file, content);
}

void Fake_machine::answer(const std::string& command, int exit_code, const std::string& output)
{
    _answers[command] = {exit_code, output};
}

void Fake_machine::debian_with_systemd()
{
    put("/etc/os-release", "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nID=debian\nVERSION_ID=\"12\"\n");
    std::filesystem::create_directories(environment.root + "/run/systemd/system");
    const std::string show = " --property=LoadState,ActiveState,SubState,UnitFileState";
    answer("systemctl show pcscd.service" + show, 0,
           "LoadState=loaded\nActiveState=active\nSubState=running\nUnitFileState=indirect\n");
    answer("systemctl show pcscd.socket" + show, 0,
           "LoadState=loaded\nActiveState=active\nSubState=running\nUnitFileState=enabled\n");
}

Run_outcome run_check(const pccheck::Pc_environment& environment, pccheck::Pc_check_settings settings)
{
    Test_folder folder;
    pccheck::Check_report report((folder / "report.txt").string());
    pccheck::Pc_check check(environment, std::move(settings), report);
    check.run_all();
    return {read_file(folder / "report.txt"), report.messages(), report.problems()};
}

} // namespace velin::test
