// pcsc-wait: lets the card bed wait on pcscd itself rather than sleep.
//   pcsc-wait present READER [TIMEOUT_MS]  until pcscd reports a powered card; prints its ATR
//   pcsc-wait absent READER [TIMEOUT_MS]   until pcscd reports the reader empty
//   pcsc-wait service                      exit 0 when a pcscd answers on its socket
// Exit status: 0 done, 1 timed out or failed (reason on stderr), 2 usage.
#include <winscard.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

struct Context {
    SCARDCONTEXT handle = 0;
    ~Context()
    {
        if (handle != 0)
            SCardReleaseContext(handle);
    }
};

long remaining_ms(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<long>(left) : 0;
}

int wait_for(const char* reader, bool want_present, long timeout_ms)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    Context context;
    LONG rv;
    while ((rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context.handle)) != SCARD_S_SUCCESS) {
        if (remaining_ms(deadline) == 0) {
            std::fprintf(stderr, "pcsc-wait: no PC/SC service: %s\n", pcsc_stringify_error(rv));
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    SCARD_READERSTATE state{};
    state.szReader = reader;
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    for (;;) {
        rv = SCardGetStatusChange(context.handle, static_cast<DWORD>(remaining_ms(deadline)), &state, 1);
        if (rv == SCARD_S_SUCCESS) {
            const DWORD s = state.dwEventState;
            const bool present = (s & SCARD_STATE_PRESENT) && !(s & SCARD_STATE_MUTE) && state.cbAtr > 0;
            if (want_present && present) {
                for (DWORD i = 0; i < state.cbAtr; ++i)
                    std::printf(i ? " %02X" : "%02X", state.rgbAtr[i]);
                std::printf("\n");
                return 0;
            }
            if (!want_present && (s & SCARD_STATE_EMPTY))
                return 0;
            state.dwCurrentState = s;
            if (remaining_ms(deadline) == 0)
                break;
            continue;
        }
        if (rv == SCARD_E_TIMEOUT)
            break;
        if (rv == SCARD_E_UNKNOWN_READER && remaining_ms(deadline) > 0) {
            // The driver has not created the reader yet.
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            state.dwCurrentState = SCARD_STATE_UNAWARE;
            continue;
        }
        std::fprintf(stderr, "pcsc-wait: %s: %s\n", reader, pcsc_stringify_error(rv));
        return 1;
    }
    std::fprintf(stderr, "pcsc-wait: %s: no %s after %ld ms\n", reader, want_present ? "card" : "removal", timeout_ms);
    return 1;
}

int service()
{
    Context context;
    const LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context.handle);
    return rv == SCARD_S_SUCCESS ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "service" && argc == 2)
        return service();
    if ((command == "present" || command == "absent") && (argc == 3 || argc == 4)) {
        const long timeout = argc == 4 ? std::strtol(argv[3], nullptr, 10) : 5000;
        return wait_for(argv[2], command == "present", timeout);
    }
    std::fprintf(stderr, "usage: pcsc-wait present|absent READER [TIMEOUT_MS] | pcsc-wait service\n");
    return 2;
}
