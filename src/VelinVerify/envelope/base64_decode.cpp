#include "VelinVerify/envelope/base64_decode.h"

#include <array>

namespace velin {

namespace {

constexpr byte Invalid = 0xFF;
constexpr byte Ignored = 0xFE;
constexpr byte Padding = 0xFD;

constexpr std::array<byte, 256> make_table()
{
    std::array<byte, 256> table{};
    table.fill(Invalid);
    constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (std::size_t i = 0; i < alphabet.size(); ++i)
        table[static_cast<byte>(alphabet[i])] = static_cast<byte>(i);
    for (const char c : {'\r', '\n', ' ', '\t'})
        table[static_cast<byte>(c)] = Ignored;
    table['='] = Padding;
    return table;
}

constexpr std::array<byte, 256> Table = make_table();

constexpr const char* Invalid_text = "Il testo base64 non è valido.";

} // namespace

bool Base64_decode::refuse()
{
    std::vector<byte>().swap(raw_value());
    set_error(Invalid_text);
    return false;
}

bool Base64_decode::decode(std::string_view text)
{
    std::vector<byte>& out = raw_value();
    // Written through a pointer, trimmed at the end: no capacity check per byte.
    out.resize(text.size() / 4 * 3 + 3);
    byte* write = out.data();

    const auto* in = reinterpret_cast<const byte*>(text.data());
    const std::size_t size = text.size();
    std::size_t i = 0;
    std::uint32_t bits = 0;
    int count = 0; // characters of the current group of four

    const auto put_group = [&write](std::uint32_t group) {
        write[0] = static_cast<byte>(group >> 16);
        write[1] = static_cast<byte>(group >> 8);
        write[2] = static_cast<byte>(group);
        write += 3;
    };

    while (i < size) {
        // Fast path: whole groups of four alphabet characters.
        if (count == 0) {
            while (i + 4 <= size) {
                const byte a = Table[in[i]], b = Table[in[i + 1]], c = Table[in[i + 2]], d = Table[in[i + 3]];
                if ((a | b | c | d) & 0xC0)
                    break;
                put_group((std::uint32_t{a} << 18) | (std::uint32_t{b} << 12) | (std::uint32_t{c} << 6) | d);
                i += 4;
            }
            if (i == size)
                break;
        }
        // One character at a time across a line end, padding or damage.
        const byte v = Table[in[i]];
        if (v == Ignored) {
            ++i;
            continue;
        }
        if (v == Invalid || v == Padding)
            break;
        bits = (bits << 6) | v;
        ++i;
        if (++count == 4) {
            put_group(bits);
            bits = 0;
            count = 0;
        }
    }

    // The tail: padding and trailing white space only.
    int padding = 0;
    for (; i < size; ++i) {
        const byte v = Table[in[i]];
        if (v == Ignored)
            continue;
        if (v != Padding)
            return refuse(); // a bad character, or data after the padding
        ++padding;
    }

    // A final group of two or three characters carries one or two bytes, with or without its
    // padding; a lone character, or padding that does not complete a group, is damage.
    const bool complete = (count == 0 && padding == 0) || (count == 2 && (padding == 0 || padding == 2)) ||
                          (count == 3 && (padding == 0 || padding == 1));
    if (!complete)
        return refuse();
    if (count == 2) {
        *write++ = static_cast<byte>(bits >> 4);
    } else if (count == 3) {
        *write++ = static_cast<byte>(bits >> 10);
        *write++ = static_cast<byte>(bits >> 2);
    }
    out.resize(static_cast<std::size_t>(write - out.data()));
    set_value(std::move(out));
    return true;
}

} // namespace velin
