// cns-sim: a simulated national service card that plugs into vsmartcard's vpcd reader driver.
// Connects to the reader on 127.0.0.1 (insertion) and answers until the reader goes away, the
// card is told to leave (removal) or SIGTERM arrives.
#include "apdu_log.h"
#include "cns_profile.h"
#include "vpcd_session.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>

#ifndef CNS_SIM_FIXTURES_DIR
#define CNS_SIM_FIXTURES_DIR "tests/fixtures/card"
#endif

namespace {

using namespace cns_sim;

volatile sig_atomic_t stop_requested = 0;

void on_stop_signal(int)
{
    stop_requested = 1;
}

constexpr const char* usage_text = R"(usage: cns-sim [options]
Card:
  --profile NAME          regional (default), other, noncns, alt, contactless
  --manufacturer HEX      manufacturer code in the ATR (H[3])
  --type HEX              card type code in the ATR (H[7])
  --t0                    offer T=0 only (61xx / GET RESPONSE for data after data)
  --no-path-select        answer 6700 to SELECT by path
  --fci 6f|62             FCI template of SELECT replies (size in tag 80 / 81)
  --pin-fail-sw 63cx|6300 status word of a wrong PIN or PUK
  --protect PATH          make the EF at PATH (hex, below 3F00) need the PIN; repeatable
  --atr HEX               report this ATR instead of the profile's (EF_ATR unchanged)
  --answer INS=SW         answer every command with this INS by SW alone (hex, e.g.
                          24=9300); repeatable
  --cert FILE             holder certificate (DER) instead of the profile's fixture
  --key FILE              its private key (PEM) instead of the profile's fixture
  --no-signature-app      leave out the signature application (certificate 1400/9010)
  --personal-data FILE    the bytes of EF.Dati_personali instead of the holder's
  --fixtures DIR          folder of the test PKI (default: the source tree's)
State and log:
  --state FILE            PIN/PUK state, created from --pin/--puk when missing
  --reset-state           start from --pin/--puk even when FILE exists
  --pin DIGITS            initial PIN (default 12345)
  --puk DIGITS            initial PUK (default 12345678)
  --log FILE              append one line per command, response and control event
Faults:
  --short-reply 0|1       answer with that many bytes instead of the real reply
                          (0: the card then leaves; vpcd cannot carry an empty reply)
  --short-reply-after N   ... starting after N well-answered commands
  --remove-after N        leave the reader once N commands are answered
  --remove-during N       leave the reader on command N without answering it
  --delay-ms N            wait N ms before each reply
Reader:
  --port N                vpcd port on 127.0.0.1 (default 35963, the first reader)
  --connect-timeout-ms N  how long to keep trying to reach the reader (default 10000)
  --print-atr             print the ATR of the chosen card and exit
)";

struct Options {
    Profile_options profile;
    std::string state_path;
    bool reset_state = false;
    Pin_state initial;
    std::string log_path;
    std::string cert_path;
    std::string key_path;
    bool signature_app = true;
    std::string personal_data_path;
    std::string fixtures = CNS_SIM_FIXTURES_DIR;
    Session_faults faults;
    unsigned delay_ms = 0;
    unsigned port = 35963;
    unsigned connect_timeout_ms = 10000;
    bool print_atr = false;
};

[[noreturn]] void usage_error(const std::string& message)
{
    std::cerr << "cns-sim: " << message << " (cns-sim --help lists the options)\n";
    std::exit(2);
}

unsigned number(std::string_view option, std::string_view text, unsigned max, int base = 10)
{
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc() || end != text.data() + text.size() || value > max)
        usage_error(std::string(option) + ": bad value '" + std::string(text) + "'");
    return value;
}

Options parse_options(int argc, char** argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        std::string_view value;
        bool has_value = false;
        if (const auto eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            has_value = true;
        }
        auto next = [&]() -> std::string_view {
            if (has_value)
                return value;
            if (i + 1 >= argc)
                usage_error(std::string(arg) + " needs a value");
            return argv[++i];
        };
        if (arg == "--profile") {
            const auto kind = profile_from_name(next());
            if (!kind)
                usage_error("unknown profile");
            o.profile.kind = *kind;
        } else if (arg == "--manufacturer") {
            o.profile.manufacturer = static_cast<std::uint8_t>(number(arg, next(), 0xFF, 16));
        } else if (arg == "--type") {
            o.profile.card_type = static_cast<std::uint8_t>(number(arg, next(), 0xFF, 16));
        } else if (arg == "--t0") {
            o.profile.t0 = true;
        } else if (arg == "--no-path-select") {
            o.profile.path_select = false;
        } else if (arg == "--fci") {
            const auto v = next();
            if (v == "6f" || v == "6F")
                o.profile.fci = Fci_style::fci_6f_size_80;
            else if (v == "62")
                o.profile.fci = Fci_style::fcp_62_size_81;
            else
                usage_error("--fci: 6f or 62");
        } else if (arg == "--pin-fail-sw") {
            const auto v = next();
            if (v == "63cx" || v == "63Cx" || v == "63CX")
                o.profile.pin_failure = Pin_failure_style::retries_63cx;
            else if (v == "6300")
                o.profile.pin_failure = Pin_failure_style::plain_6300;
            else
                usage_error("--pin-fail-sw: 63cx or 6300");
        } else if (arg == "--protect") {
            const auto bytes = from_hex(next());
            if (!bytes || bytes->empty() || bytes->size() % 2 != 0)
                usage_error("--protect: a path of 4-digit identifiers");
            File_path path;
            for (std::size_t k = 0; k < bytes->size(); k += 2)
                path.push_back(static_cast<std::uint16_t>((*bytes)[k] << 8 | (*bytes)[k + 1]));
            o.profile.extra_protected.push_back(path);
        } else if (arg == "--atr") {
            const auto bytes = from_hex(next());
            if (!bytes || bytes->size() < 2 || bytes->size() > 33)
                usage_error("--atr: 2 to 33 bytes in hex");
            o.profile.reader_atr = *bytes;
        } else if (arg == "--answer") {
            const std::string_view v = next();
            const auto eq = v.find('=');
            if (eq == std::string_view::npos)
                usage_error("--answer: INS=SW, e.g. 24=9300");
            const auto ins = number(arg, v.substr(0, eq), 0xFF, 16);
            const auto status = number(arg, v.substr(eq + 1), 0xFFFF, 16);
            if (v.substr(eq + 1).size() != 4)
                usage_error("--answer: the status word has four hex digits");
            o.profile.forced_status[static_cast<std::uint8_t>(ins)] = static_cast<std::uint16_t>(status);
        } else if (arg == "--cert") {
            o.cert_path = next();
        } else if (arg == "--key") {
            o.key_path = next();
        } else if (arg == "--no-signature-app") {
            o.signature_app = false;
        } else if (arg == "--personal-data") {
            o.personal_data_path = next();
        } else if (arg == "--fixtures") {
            o.fixtures = next();
        } else if (arg == "--state") {
            o.state_path = next();
        } else if (arg == "--reset-state") {
            o.reset_state = true;
        } else if (arg == "--pin") {
            o.initial.pin = next();
            if (!is_valid_pin(o.initial.pin))
                usage_error("--pin: 5 to 8 digits");
        } else if (arg == "--puk") {
            o.initial.puk = next();
            if (!is_valid_puk(o.initial.puk))
                usage_error("--puk: 8 digits");
        } else if (arg == "--log") {
            o.log_path = next();
        } else if (arg == "--short-reply") {
            o.faults.short_reply = number(arg, next(), 1);
        } else if (arg == "--short-reply-after") {
            o.faults.short_reply_after = number(arg, next(), 1000000);
        } else if (arg == "--remove-after") {
            o.faults.remove_after = number(arg, next(), 1000000);
        } else if (arg == "--remove-during") {
            o.faults.remove_during = number(arg, next(), 1000000);
        } else if (arg == "--delay-ms") {
            o.delay_ms = number(arg, next(), 600000);
        } else if (arg == "--port") {
            o.port = number(arg, next(), 65535);
        } else if (arg == "--connect-timeout-ms") {
            o.connect_timeout_ms = number(arg, next(), 3600000);
        } else if (arg == "--print-atr") {
            o.print_atr = true;
        } else if (arg == "--help" || arg == "-h") {
            std::cout << usage_text;
            std::exit(0);
        } else {
            usage_error("unknown option " + std::string(arg));
        }
    }
    return o;
}

Bytes read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    Bytes out((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (out.size() > 16384)
        throw std::runtime_error(path + ": too large for a certificate");
    return out;
}

// Sleeps with SIGTERM deliverable; false when the sleep was cut short by it.
bool pause_ms(unsigned ms, const sigset_t& waiting_mask)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!stop_requested) {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::nanoseconds::zero())
            return true;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        const timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        ppoll(nullptr, 0, &ts, &waiting_mask);
    }
    return false;
}

int connect_to_reader(unsigned port, unsigned timeout_ms, const sigset_t& waiting_mask)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!stop_requested) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
        if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            const int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return fd;
        }
        const int error = errno;
        close(fd);
        if (error != ECONNREFUSED && error != EINTR)
            throw std::runtime_error(std::string("connect: ") + std::strerror(error));
        if (std::chrono::steady_clock::now() >= deadline)
            throw std::runtime_error("no vpcd reader listening on 127.0.0.1:" + std::to_string(port));
        // pcscd may still be loading the driver: try again shortly.
        pause_ms(50, waiting_mask);
    }
    return -1;
}

bool send_all(int fd, const Bytes& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

int serve(int fd, Vpcd_session& session, const Options& o, const sigset_t& waiting_mask, Apdu_log& log)
{
    std::uint8_t buffer[4096];
    pollfd watch{fd, POLLIN, 0};
    while (!stop_requested) {
        // SIGTERM is blocked everywhere except inside ppoll, so it cannot slip in between the
        // check above and the wait.
        const int ready = ppoll(&watch, 1, nullptr, &waiting_mask);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            std::cerr << "cns-sim: poll: " << std::strerror(errno) << '\n';
            return 1;
        }
        // vpcd sends the length and the APDU in two writes; without an immediate ACK the
        // second waits for the delayed-ACK timer (about 40 ms a command).
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n == 0) {
            log.event("reader closed the connection");
            return 0;
        }
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            std::cerr << "cns-sim: recv: " << std::strerror(errno) << '\n';
            return 1;
        }
        auto step = session.feed(Byte_view(buffer, static_cast<std::size_t>(n)));
        if (step.answered > 0 && o.delay_ms > 0 &&
            !pause_ms(o.delay_ms * static_cast<unsigned>(step.answered), waiting_mask))
            break;
        if (!step.output.empty() && !send_all(fd, step.output)) {
            log.event("reader connection lost");
            return 0;
        }
        if (step.leave)
            return 0;
    }
    log.event("stopped");
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    Options o = parse_options(argc, argv);
    try {
        if (o.profile.kind != Profile_kind::non_cns) {
            std::string cert = o.cert_path;
            if (cert.empty())
                cert = o.fixtures + (o.profile.kind == Profile_kind::other_issuer ? "/holder-other.cert.der"
                                                                                  : "/holder-regional.cert.der");
            o.profile.holder_certificate = read_file(cert);
            std::string key = o.key_path;
            if (key.empty())
                key = o.fixtures + (o.profile.kind == Profile_kind::other_issuer ? "/holder-other.key.pem"
                                                                                 : "/holder-regional.key.pem");
            o.profile.holder_key = read_file(key);
            // Only the regional card carries a qualified signature application.
            if (o.profile.kind == Profile_kind::regional && o.signature_app) {
                o.profile.signature_certificate = read_file(o.fixtures + "/holder-regional-sign.cert.der");
                o.profile.signature_key = read_file(o.fixtures + "/holder-regional-sign.key.pem");
            }
        }
        if (!o.personal_data_path.empty())
            o.profile.personal_data = read_file(o.personal_data_path);
        Card_image image = build_card(o.profile);
        if (o.print_atr) {
            std::cout << to_hex(image.config.atr) << '\n';
            return 0;
        }

        sigset_t stop_signals, waiting_mask;
        sigemptyset(&stop_signals);
        sigaddset(&stop_signals, SIGTERM);
        sigaddset(&stop_signals, SIGINT);
        sigprocmask(SIG_BLOCK, &stop_signals, &waiting_mask);
        sigdelset(&waiting_mask, SIGTERM);
        sigdelset(&waiting_mask, SIGINT);
        struct sigaction action {};
        action.sa_handler = on_stop_signal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0; // no SA_RESTART: a blocked wait must return
        sigaction(SIGTERM, &action, nullptr);
        sigaction(SIGINT, &action, nullptr);

        Pin_store pins =
            o.state_path.empty() ? Pin_store(o.initial) : Pin_store(o.state_path, o.initial, o.reset_state);
        Apdu_log log = o.log_path.empty() ? Apdu_log() : Apdu_log(o.log_path);
        Simulated_card card(std::move(image.config), std::move(image.files), pins);
        Vpcd_session session(card, o.faults, log);

        const int fd = connect_to_reader(o.port, o.connect_timeout_ms, waiting_mask);
        if (fd < 0)
            return 0; // stopped before reaching the reader
        log.event("inserted, profile " + std::string(profile_name(o.profile.kind)) + ", port " +
                  std::to_string(o.port));
        const int status = serve(fd, session, o, waiting_mask, log);
        close(fd);
        return status;
    } catch (const std::exception& e) {
        std::cerr << "cns-sim: " << e.what() << '\n';
        return 1;
    }
}
