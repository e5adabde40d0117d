// One line per event on the card: "> " command, "< " response, "# " control (power, reset, ATR,
// removal). Bytes are spelt in hex; the data of VERIFY, CHANGE REFERENCE DATA and RESET RETRY
// COUNTER is written as "**" per byte so that no PIN or PUK lands in a file.
#pragma once

#include "bytes.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

namespace cns_sim {

std::string format_command(Byte_view apdu);
std::string format_response(Byte_view reply);

class Apdu_log {
public:
    Apdu_log() = default; // discards everything
    // Appends to `path`; throws std::runtime_error when it cannot be opened.
    explicit Apdu_log(const std::filesystem::path& path);
    ~Apdu_log();
    Apdu_log(const Apdu_log&) = delete;
    Apdu_log& operator=(const Apdu_log&) = delete;

    void command(Byte_view apdu) { line(format_command(apdu)); }
    void response(Byte_view reply) { line(format_response(reply)); }
    void event(std::string_view text) { line("# " + std::string(text)); }

private:
    void line(const std::string& text);
    std::FILE* file_ = nullptr;
};

} // namespace cns_sim
