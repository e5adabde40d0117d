// A private slapd for the tests: mdb database and core schema in the test's folder, listening on
// a free loopback port, holding entries below "o=Velin Test" with the CRLs the test chooses.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/types.h>

namespace velin::test {

struct Directory_entry {
    std::string common_name; // the entry is cn=NAME,o=Velin Test
    std::vector<std::vector<uint8_t>> lists; // values of certificateRevocationList;binary
};

class Directory_server {
public:
    // Throws with slapd's own output when it cannot be started.
    Directory_server(const std::filesystem::path& folder, const std::vector<Directory_entry>& entries);
    ~Directory_server();
    Directory_server(const Directory_server&) = delete;
    Directory_server& operator=(const Directory_server&) = delete;

    unsigned short port() const { return _port; }
    // ldap://127.0.0.1:PORT/cn=NAME%2Co=Velin%20Test?certificateRevocationList;binary
    std::string url(const std::string& common_name) const;

private:
    bool start(const std::filesystem::path& folder);
    void stop();

    unsigned short _port = 0;
    pid_t _pid = -1;
};

// A loopback port that nothing listens on.
unsigned short unused_loopback_port();

} // namespace velin::test
