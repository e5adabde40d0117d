// The test PKI of tools/make-test-pki, and data folders built from it for one test.
#pragma once

#include "trust/certificate.h"

#include <ctime>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace velin::test {

std::filesystem::path pki_folder();
// A certificate of the test PKI by its file name without ".cert.pem" ("signer-legal").
Certificate pki_certificate(const std::string& name);
std::string pki_text(const std::string& relative_path);
std::vector<uint8_t> pki_bytes(const std::string& relative_path);
std::vector<uint8_t> bytes_of(const std::string& text);

// The trusted lists' fixtures (tests/fixtures/tsl): a file's path, a certificate among them by
// name, and a time as the lists write it (the test fails on a malformed one).
std::filesystem::path list_fixture(const std::string& name);
Certificate list_certificate(const std::string& name);
std::time_t at(const char* date_time);

// A detached CMS signature over data, made with the key and certificate of a test PKI entity
// (extra certificates carried too), as the list publisher makes cnipa.sst.p7s.
// detached false embeds the data instead.
std::vector<uint8_t> sign_detached(const std::vector<uint8_t>& data, const std::string& signer,
                                   const std::vector<std::string>& extra_certificates = {}, bool detached = true);

// A certification authority with model's subject and issuer names but a key of its own (and no
// key identifiers): a name collision that only the signature check can tell apart.
Certificate same_name_authority(const Certificate& model);

// Writes folder/data/NAME.sst holding the named certificates.
void write_list(const std::filesystem::path& data_folder, const std::string& list,
                const std::vector<std::string>& certificates);
// A data folder like the installed one: the fixture's data/ and an empty cache/.
void copy_fixture_data(const std::filesystem::path& data_folder);

// Collects what is told to the user (trust/report.h) while it lives. The handler may be called
// from any thread: several analyses of one test may run at once.
class Report_capture {
public:
    Report_capture();
    ~Report_capture();
    // "E: text" for errors, "W: text" for warnings, "I: text" for information, in order; read
    // once the threads that report have ended.
    const std::vector<std::string>& lines() const { return _lines; }
    bool said(const std::string& line) const;
    void clear();

private:
    std::mutex _lock;
    std::vector<std::string> _lines;
};

} // namespace velin::test
