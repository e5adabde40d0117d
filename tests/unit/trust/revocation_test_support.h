// What every revocation test needs: the private environment with an empty CRL cache of the user's
// own and an empty seed folder in the data folder, the lines told to the user (_reports.lines()),
// and the trace records written since the test began.
#pragma once

#include "pki.h"
#include "test_folder.h"
#include "trace_records.h"
#include "trust/common_data_folder.h"
#include "trust/crl_cache.h"

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
        _trace_start = trace_mark();
    }

    // How many records of the level written since SetUp name every one of the parts.
    std::size_t traced_since_start(int level, const std::vector<std::string>& parts) const
    {
        return count_traced(level, parts, _trace_start);
    }
    std::size_t trace_start() const { return _trace_start; }

    std::filesystem::path _cache; // the user's own
    std::filesystem::path _seed; // the installation's
    Report_capture _reports;

private:
    std::size_t _trace_start = 0;
};

} // namespace velin::test
