#include "bytes.h"

namespace cns_sim {

std::string to_hex(Byte_view bytes)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0)
            out += ' ';
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0x0F];
    }
    return out;
}

std::optional<Bytes> from_hex(std::string_view text)
{
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    Bytes out;
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == ':') {
            if (high >= 0)
                return std::nullopt; // a separator inside a byte
            continue;
        }
        const int value = nibble(c);
        if (value < 0)
            return std::nullopt;
        if (high < 0) {
            high = value;
        } else {
            out.push_back(static_cast<std::uint8_t>(high << 4 | value));
            high = -1;
        }
    }
    if (high >= 0)
        return std::nullopt;
    return out;
}

Bytes ascii(std::string_view text)
{
    return Bytes(text.begin(), text.end());
}

} // namespace cns_sim
