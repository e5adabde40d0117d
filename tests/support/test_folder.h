// A private temporary folder per test, removed afterwards, and small file helpers.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace velin::test {

class Test_folder {
public:
    Test_folder();
    ~Test_folder();
    Test_folder(const Test_folder&) = delete;
    Test_folder& operator=(const Test_folder&) = delete;

    const std::filesystem::path& path() const { return _path; }
    std::filesystem::path operator/(const std::string& name) const { return _path / name; }

private:
    std::filesystem::path _path;
};

std::string read_file(const std::filesystem::path& path);
std::vector<uint8_t> read_bytes(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::string& content);

// Points XDG_RUNTIME_DIR, TMPDIR, the registry hives, the data folder and the user's data and cache
// folders at a fresh folder before the process writes its first trace record, so the test's log,
// settings and cached lists are its own.
void use_private_environment(const std::filesystem::path& folder);

// One private environment for the whole test program, made on first call.
const std::filesystem::path& private_environment();

// The text of the std::logic_error the action throws (an assertion), "no assertion" otherwise.
std::string assertion_text(const std::function<void()>& action);

// The runs of tests/gui/common/argv_recorder.cpp written to file, each a list of the arguments
// it got (the recorder ends every run with a line "--"); none when the file is missing.
std::vector<std::vector<std::string>> recorded_runs(const std::filesystem::path& file);

// The whole content of this process's trace log ("" when none is open).
std::string trace_content();

} // namespace velin::test
