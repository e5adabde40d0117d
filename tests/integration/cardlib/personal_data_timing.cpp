// Times norax_read_ef_dati_personali against the simulated card (consent answered through the
// internal hook) and the same three APDUs sent by opensc-tool through the same reader. Run by
// hand with the card bed started; prints both means and their ratio. Not run by ctest.
#include "cardlib/reading_prompt.h"
#include "noraxcard.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    using namespace velin::cardlib;
    using Clock = std::chrono::steady_clock;
    const int count = argc > 1 ? std::atoi(argv[1]) : 50;
    set_prompt_answerer([](const Prompt_request&) {
        Prompt_answer answer;
        answer.accepted = true;
        return answer;
    });
    std::vector<uint8_t> buffer(400);
    auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        uint32_t size = 400;
        if (norax_read_ef_dati_personali(buffer.data(), &size) != 0 || size != 400) {
            std::fprintf(stderr, "read failed\n");
            return 1;
        }
    }
    const double library_ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count() / count;

    const std::string apdus =
        "opensc-tool -r 'Virtual PCD 00 00' -s 00A40800041100110200 -s 00B00000FE -s 00B000FE92 >/dev/null 2>&1";
    start = Clock::now();
    for (int i = 0; i < count; ++i)
        if (std::system(apdus.c_str()) != 0) {
            std::fprintf(stderr, "opensc-tool failed\n");
            return 1;
        }
    const double tool_ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count() / count;
    std::printf(
        "norax_read_ef_dati_personali: %.2f ms per call\nopensc-tool, same 3 APDUs: %.2f ms per run\nratio: %.2f\n",
        library_ms, tool_ms, library_ms / tool_ms);
    return 0;
}
