// card_rtt: times READ BINARY round trips through pcscd to the card in one reader.
//   card_rtt [--reader NAME] [--count N]
// Selects EF 1100/1102, sends N READ BINARY commands of 254 bytes, checks every reply (254 bytes
// and 9000) and prints min / median / max in microseconds. Reader: --reader, else
// $CARD_BED_READER0, else "Virtual PCD 00 00". Exit status 1 when any exchange fails.
#include <winscard.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Context {
    SCARDCONTEXT handle = 0;
    ~Context()
    {
        if (handle != 0)
            SCardReleaseContext(handle);
    }
};

struct Card {
    SCARDHANDLE handle = 0;
    ~Card()
    {
        if (handle != 0)
            SCardDisconnect(handle, SCARD_RESET_CARD);
    }
};

int failed(const char* what, LONG rv)
{
    std::fprintf(stderr, "card_rtt: %s: %s\n", what, pcsc_stringify_error(rv));
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    const char* env_reader = std::getenv("CARD_BED_READER0");
    std::string reader = env_reader != nullptr && *env_reader != '\0' ? env_reader : "Virtual PCD 00 00";
    long count = 1000;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--reader") == 0 && i + 1 < argc) {
            reader = argv[++i];
        } else if (std::strcmp(argv[i], "--count") == 0 && i + 1 < argc) {
            count = std::strtol(argv[++i], nullptr, 10);
        } else {
            std::fprintf(stderr, "usage: card_rtt [--reader NAME] [--count N]\n");
            return 2;
        }
    }
    if (count < 1 || count > 10000000) {
        std::fprintf(stderr, "card_rtt: --count must be 1 or more\n");
        return 2;
    }

    Context context;
    LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context.handle);
    if (rv != SCARD_S_SUCCESS)
        return failed("SCardEstablishContext", rv);
    Card card;
    DWORD protocol = 0;
    rv = SCardConnect(context.handle, reader.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &card.handle, &protocol);
    if (rv != SCARD_S_SUCCESS)
        return failed(("SCardConnect to '" + reader + "'").c_str(), rv);

    unsigned char reply[258];
    DWORD length = sizeof reply;
    const unsigned char select[] = {0x00, 0xA4, 0x08, 0x00, 0x04, 0x11, 0x00, 0x11, 0x02, 0x00};
    rv = SCardTransmit(card.handle, SCARD_PCI_T1, select, sizeof select, nullptr, reply, &length);
    if (rv != SCARD_S_SUCCESS)
        return failed("SELECT", rv);
    if (length < 2 || reply[length - 2] != 0x90 || reply[length - 1] != 0x00) {
        std::fprintf(stderr, "card_rtt: SELECT 1100/1102 refused\n");
        return 1;
    }

    const unsigned char read[] = {0x00, 0xB0, 0x00, 0x00, 0xFE};
    std::vector<double> micros;
    micros.reserve(static_cast<std::size_t>(count));
    for (long i = 0; i < count; ++i) {
        length = sizeof reply;
        const auto start = std::chrono::steady_clock::now();
        rv = SCardTransmit(card.handle, SCARD_PCI_T1, read, sizeof read, nullptr, reply, &length);
        const auto end = std::chrono::steady_clock::now();
        if (rv != SCARD_S_SUCCESS)
            return failed("READ BINARY", rv);
        if (length != 256 || reply[254] != 0x90 || reply[255] != 0x00) {
            std::fprintf(stderr, "card_rtt: READ BINARY %ld: reply of %lu bytes\n", i,
                         static_cast<unsigned long>(length));
            return 1;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    std::sort(micros.begin(), micros.end());
    const double median =
        micros.size() % 2 ? micros[micros.size() / 2] : (micros[micros.size() / 2 - 1] + micros[micros.size() / 2]) / 2;
    std::printf("%ld READ BINARY (254 bytes) via '%s': min %.1f us, median %.1f us, max %.1f us\n", count,
                reader.c_str(), micros.front(), median, micros.back());
    return 0;
}
