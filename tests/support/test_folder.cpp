#include "test_folder.h"

#include "common/trace.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace velin::test {

Test_folder::Test_folder()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "velin-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a temporary folder");
    _path = pattern;
}

Test_folder::~Test_folder()
{
    std::error_code ignored;
    std::filesystem::remove_all(_path, ignored);
}

std::string read_file(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<uint8_t> read_bytes(const std::filesystem::path& path)
{
    const std::string text = read_file(path);
    return {text.begin(), text.end()};
}

void write_file(const std::filesystem::path& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

void use_private_environment(const std::filesystem::path& folder)
{
    std::filesystem::create_directories(folder / "runtime");
    std::filesystem::create_directories(folder / "tmp");
    ::setenv("XDG_RUNTIME_DIR", (folder / "runtime").c_str(), 1);
    ::setenv("TMPDIR", (folder / "tmp").c_str(), 1);
    ::setenv("VELIN_USER_REGISTRY", (folder / "user.reg").c_str(), 1);
    ::setenv("VELIN_MACHINE_REGISTRY", (folder / "machine.reg").c_str(), 1);
    ::setenv("VELIN_DATA_DIR", (folder / "data").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (folder / "share").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (folder / "user-cache").c_str(), 1);
}

std::vector<std::vector<std::string>> recorded_runs(const std::filesystem::path& file)
{
    std::vector<std::vector<std::string>> runs(1);
    std::istringstream lines(read_file(file));
    for (std::string line; std::getline(lines, line);) {
        if (line == "--")
            runs.emplace_back();
        else
            runs.back().push_back(line);
    }
    runs.pop_back();
    return runs;
}

const std::filesystem::path& private_environment()
{
    static Test_folder folder;
    static const bool ready = (use_private_environment(folder.path()), true);
    (void)ready;
    return folder.path();
}

std::string assertion_text(const std::function<void()>& action)
{
    try {
        action();
    } catch (const std::logic_error& error) {
        return error.what();
    }
    return "no assertion";
}

std::string trace_content()
{
    const std::string path = trace_current_path();
    return path.empty() ? std::string() : read_file(path);
}

} // namespace velin::test
