// Each test gets its own folder holding both hives, the trace log and temporary files.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace velin::test {

class Settings_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* name : Variables) {
            const char* value = std::getenv(name);
            _saved.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
        }
        std::string pattern = (std::filesystem::temp_directory_path() / "velin-settings-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        folder = pattern;
        std::filesystem::create_directories(folder / "run");
        std::filesystem::create_directories(folder / "tmp");
        ::setenv("VELIN_USER_REGISTRY", (folder / "config" / "user.reg").c_str(), 1);
        ::setenv("VELIN_MACHINE_REGISTRY", (folder / "etc" / "machine.reg").c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", (folder / "run").c_str(), 1);
        ::setenv("TMPDIR", (folder / "tmp").c_str(), 1);
    }

    // The next test of the same process starts from the environment this one found.
    void TearDown() override
    {
        for (const auto& [name, value] : _saved) {
            if (value)
                ::setenv(name.c_str(), value->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }

    std::string user_hive() const { return std::getenv("VELIN_USER_REGISTRY"); }
    std::string machine_hive() const { return std::getenv("VELIN_MACHINE_REGISTRY"); }

    static std::string read_file(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    static void write_file(const std::string& path, const std::string& content)
    {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
        ASSERT_TRUE(out.good()) << path;
    }

    std::filesystem::path folder;

private:
    static constexpr const char* Variables[] = {"VELIN_USER_REGISTRY", "VELIN_MACHINE_REGISTRY", "XDG_RUNTIME_DIR",
                                                "TMPDIR"};
    std::vector<std::pair<std::string, std::optional<std::string>>> _saved;
};

} // namespace velin::test
