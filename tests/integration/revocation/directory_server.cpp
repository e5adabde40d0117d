#include "directory_server.h"

#include "test_folder.h"

#include <openssl/evp.h>

#include <chrono>
#include <csignal>
#include <stdexcept>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace velin::test {

namespace {

constexpr const char* Slapd = "/usr/sbin/slapd";
constexpr const char* Slapadd = "/usr/sbin/slapadd";
constexpr const char* Suffix = "o=Velin Test";

std::string base64(const std::vector<uint8_t>& bytes)
{
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int length =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(), static_cast<int>(bytes.size()));
    text.resize(static_cast<std::size_t>(length));
    return text;
}

// Runs a program with stdout and stderr into log; returns the child's pid.
pid_t spawn(const std::vector<std::string>& arguments, const std::filesystem::path& log)
{
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const int output = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    const int input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (output < 0 || input < 0)
        throw std::runtime_error("cannot open " + log.string());
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(input, 0);
        ::dup2(output, 1);
        ::dup2(output, 2);
        ::close_range(3, ~0u, 0);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(output);
    ::close(input);
    if (pid < 0)
        throw std::runtime_error("fork failed");
    return pid;
}

bool accepts_connections(unsigned short port)
{
    const int descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = ::connect(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(descriptor);
    return connected;
}

} // namespace

unsigned short unused_loopback_port()
{
    const int descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(descriptor);
        throw std::runtime_error("no free loopback port");
    }
    ::close(descriptor);
    return ntohs(address.sin_port);
}

Directory_server::Directory_server(const std::filesystem::path& folder, const std::vector<Directory_entry>& entries)
{
    if (::access(Slapd, X_OK) != 0 || ::access(Slapadd, X_OK) != 0)
        throw std::runtime_error("slapd is not installed (Debian packages slapd and ldap-utils)");
    std::filesystem::create_directories(folder / "db");
    write_file(folder / "slapd.conf", "include /etc/ldap/schema/core.schema\n"
                                      "pidfile " +
                                          (folder / "slapd.pid").string() +
                                          "\n"
                                          "modulepath /usr/lib/ldap\n"
                                          "moduleload back_mdb\n"
                                          "database mdb\n"
                                          "suffix \"" +
                                          std::string(Suffix) +
                                          "\"\n"
                                          "rootdn \"cn=admin," +
                                          std::string(Suffix) +
                                          "\"\n"
                                          "directory " +
                                          (folder / "db").string() +
                                          "\n"
                                          "maxsize 10485760\n"
                                          "access to * by * read\n");
    std::string ldif = "dn: " + std::string(Suffix) + "\nobjectClass: organization\no: Velin Test\n\n";
    for (const Directory_entry& entry : entries) {
        ldif += "dn: cn=" + entry.common_name + "," + Suffix +
                "\nobjectClass: cRLDistributionPoint\ncn: " + entry.common_name + "\n";
        for (const std::vector<uint8_t>& list : entry.lists)
            ldif += "certificateRevocationList;binary:: " + base64(list) + "\n";
        ldif += "\n";
    }
    write_file(folder / "entries.ldif", ldif);

    const std::filesystem::path log = folder / "slapd.log";
    const pid_t loader =
        spawn({Slapadd, "-f", (folder / "slapd.conf").string(), "-l", (folder / "entries.ldif").string()}, log);
    int status = 0;
    ::waitpid(loader, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("slapadd failed:\n" + read_file(log));

    // The port is free when chosen; another program may take it first, so try a few.
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (start(folder))
            return;
    }
    throw std::runtime_error("slapd did not start:\n" + read_file(log));
}

bool Directory_server::start(const std::filesystem::path& folder)
{
    _port = unused_loopback_port();
    // -d keeps slapd in the foreground, so the pid is the server's own.
    _pid = spawn({Slapd, "-f", (folder / "slapd.conf").string(), "-h",
                  "ldap://127.0.0.1:" + std::to_string(_port) + "/", "-d", "0"},
                 folder / "slapd.log");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (::waitpid(_pid, &status, WNOHANG) == _pid) {
            _pid = -1;
            return false;
        }
        if (accepts_connections(_port))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    stop();
    return false;
}

void Directory_server::stop()
{
    if (_pid <= 0)
        return;
    ::kill(_pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int status = 0;
    while (::waitpid(_pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(_pid, SIGKILL);
            ::waitpid(_pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    _pid = -1;
}

Directory_server::~Directory_server()
{
    stop();
}

std::string Directory_server::url(const std::string& common_name) const
{
    std::string dn = "cn=" + common_name + "%2C" + Suffix;
    for (std::size_t at = dn.find(' '); at != std::string::npos; at = dn.find(' ', at))
        dn.replace(at, 1, "%20");
    return "ldap://127.0.0.1:" + std::to_string(_port) + "/" + dn + "?certificateRevocationList;binary";
}

} // namespace velin::test
