// Files a generator makes for a whole test program, made once for the whole ctest run by a set-up
// test (velin_generated_fixtures in CMake) into a folder of the build. A test program run by hand,
// without that folder, runs the generator itself into a folder of its own.
#pragma once

#include "test_folder.h"

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace velin::test {

class Generated_fixtures {
public:
    // command: the shell command that makes the files in the folder it is given.
    Generated_fixtures(std::filesystem::path shared,
                       const std::function<std::string(const std::filesystem::path&)>& command)
        : _path(std::move(shared))
    {
        if (std::filesystem::is_directory(_path))
            return;
        _own = std::make_unique<Test_folder>();
        _path = _own->path() / "fixtures";
        _command = command(_path) + " >'" + (_own->path() / "make.log").string() + "' 2>&1";
        if (std::system(_command.c_str()) != 0)
            _path.clear();
    }

    // Empty when the generator failed: failure() then says what was run and what it wrote.
    const std::filesystem::path& path() const { return _path; }
    std::string failure() const { return _command + "\n" + (_own ? read_file(_own->path() / "make.log") : ""); }

private:
    std::filesystem::path _path;
    std::unique_ptr<Test_folder> _own;
    std::string _command;
};

} // namespace velin::test
