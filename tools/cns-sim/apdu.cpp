#include "apdu.h"

namespace cns_sim {

std::optional<Command_apdu> parse_command_apdu(Byte_view raw)
{
    if (raw.size() < 4)
        return std::nullopt;
    Command_apdu cmd;
    cmd.cla = raw[0];
    cmd.ins = raw[1];
    cmd.p1 = raw[2];
    cmd.p2 = raw[3];
    const std::size_t body = raw.size() - 4;
    if (body == 0)
        return cmd; // case 1
    if (body == 1) { // case 2
        cmd.ne = raw[4] == 0 ? 256 : raw[4];
        return cmd;
    }
    const std::size_t lc = raw[4];
    if (lc == 0)
        return std::nullopt; // extended length: not offered by this card
    if (body == 1 + lc) { // case 3
        cmd.has_lc = true;
        cmd.data.assign(raw.begin() + 5, raw.end());
        return cmd;
    }
    if (body == 2 + lc) { // case 4
        cmd.has_lc = true;
        cmd.data.assign(raw.begin() + 5, raw.begin() + 5 + static_cast<std::ptrdiff_t>(lc));
        cmd.ne = raw.back() == 0 ? 256 : raw.back();
        return cmd;
    }
    return std::nullopt;
}

Bytes response(Byte_view data, std::uint16_t status)
{
    Bytes out(data.begin(), data.end());
    out.push_back(static_cast<std::uint8_t>(status >> 8));
    out.push_back(static_cast<std::uint8_t>(status & 0xFF));
    return out;
}

Bytes response(std::uint16_t status)
{
    return response(Byte_view{}, status);
}

} // namespace cns_sim
