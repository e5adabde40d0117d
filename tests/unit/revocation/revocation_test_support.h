// What every revocation test needs: the private environment with an empty CRL cache of the user's
// own and an empty seed folder in the data folder, the lines told to the user, and the trace
// records written since the test began.
#pragma once

#include "test_folder.h"
#include "trust/common_data_folder.h"
#include "trust/crl_cache.h"
#include "trust/report.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace velin::test {

class Revocation_test_base : public ::testing::Test {
protected:
    void SetUp() override
    {
        private_environment();
        for (const char* folder : {"crl", "ocsp", "aia"})
            std::filesystem::remove_all(own_cache_folder(folder));
        _seed = std::filesystem::path(common_data_folder()) / "cache";
        std::filesystem::remove_all(_seed);
        std::filesystem::create_directories(_seed);
        _cache = crl_cache_folder();
        _trace_start = trace_end();
        set_report_handler([this](int severity, const std::string& text) {
            _reports.push_back((severity == Report_error ? "E: " : severity == Report_warning ? "W: " : "I: ") + text);
        });
    }
    void TearDown() override { set_report_handler({}); }

    // The records written since SetUp (the log is a ring; a test writes far less than a turn).
    std::string trace_since_start() const
    {
        const std::string content = trace_content();
        const std::size_t end = trace_end(content);
        return end >= _trace_start ? content.substr(_trace_start, end - _trace_start) : content;
    }
    static std::size_t count_of(const std::string& text, const std::string& part)
    {
        std::size_t count = 0;
        for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
            ++count;
        return count;
    }

    std::filesystem::path _cache; // the user's own
    std::filesystem::path _seed; // the installation's
    std::vector<std::string> _reports;

private:
    static std::size_t trace_end(const std::string& content)
    {
        const std::size_t marker = content.find("\n\n<<<<< FINE DEL FILE DI LOG");
        return marker == std::string::npos ? content.size() : marker;
    }
    static std::size_t trace_end() { return trace_end(trace_content()); }

    std::size_t _trace_start = 0;
};

} // namespace velin::test
