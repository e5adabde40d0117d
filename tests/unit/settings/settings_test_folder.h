// Each test gets its own folder holding both hives, the trace log and temporary files.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace velin::test {

class Settings_test : public ::testing::Test {
protected:
    void SetUp() override
    {
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

    void TearDown() override
    {
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
};

} // namespace velin::test
