#include "apdu_log.h"

#include "apdu.h"

#include <algorithm>
#include <stdexcept>

namespace cns_sim {

namespace {

bool carries_secret(std::uint8_t ins)
{
    return ins == 0x20 || ins == 0x24 || ins == 0x2C;
}

} // namespace

std::string format_command(Byte_view apdu)
{
    std::string out = "> ";
    if (apdu.size() >= 6 && carries_secret(apdu[1])) {
        // Header and Lc stay readable; the Lc data bytes do not, whatever the encoding turns
        // out to be. A trailing Le byte is kept.
        const std::size_t lc = apdu[4];
        const std::size_t data_end = std::min(apdu.size(), 5 + lc);
        out += to_hex(apdu.first(5));
        for (std::size_t i = 5; i < data_end; ++i)
            out += " **";
        if (data_end < apdu.size())
            out += ' ' + to_hex(apdu.subspan(data_end));
        return out;
    }
    return out + to_hex(apdu);
}

std::string format_response(Byte_view reply)
{
    return reply.empty() ? std::string("<") : "< " + to_hex(reply);
}

Apdu_log::Apdu_log(const std::filesystem::path& path)
{
    file_ = std::fopen(path.c_str(), "ae");
    if (file_ == nullptr)
        throw std::runtime_error("cannot open the APDU log " + path.string());
}

Apdu_log::~Apdu_log()
{
    if (file_ != nullptr)
        std::fclose(file_);
}

void Apdu_log::line(const std::string& text)
{
    if (file_ == nullptr)
        return;
    // Flushed at once: tests read the log while the card is still inserted.
    std::fputs(text.c_str(), file_);
    std::fputc('\n', file_);
    std::fflush(file_);
}

} // namespace cns_sim
