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
    out.clear();
    out.reserve(text.size() / 4 * 3 + 3);

    const auto* in = reinterpret_cast<const byte*>(text.data());
    const std::size_t size = text.size();
    std::size_t i = 0;
    std::uint32_t bits = 0;
    int count = 0; // characters of the current group of four

    // Fast path: whole groups of four alphabet characters.
    while (i + 4 <= size) {
        const byte a = Table[in[i]], b = Table[in[i + 1]], c = Table[in[i + 2]], d = Table[in[i + 3]];
        if ((a | b | c | d) & 0xC0) {
            // A line end, padding or a bad character somewhere in these four: go one by one.
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
                out.push_back(static_cast<byte>(bits >> 16));
                out.push_back(static_cast<byte>(bits >> 8));
                out.push_back(static_cast<byte>(bits));
                bits = 0;
                count = 0;
            }
            continue;
        }
        if (count == 0) {
            const std::uint32_t group = (std::uint32_t{a} << 18) | (std::uint32_t{b} << 12) |
                                        (std::uint32_t{c} << 6) | d;
            out.push_back(static_cast<byte>(group >> 16));
            out.push_back(static_cast<byte>(group >> 8));
            out.push_back(static_cast<byte>(group));
            i += 4;
            continue;
        }
        // Realign after a line end split a group.
        bits = (bits << 6) | a;
        ++i;
        if (++count == 4) {
            out.push_back(static_cast<byte>(bits >> 16));
            out.push_back(static_cast<byte>(bits >> 8));
            out.push_back(static_cast<byte>(bits));
            bits = 0;
            count = 0;
        }
    }

    // The tail: the last characters, padding, trailing white space.
    int padding = 0;
    for (; i < size; ++i) {
        const byte v = Table[in[i]];
        if (v == Ignored)
            continue;
        if (v == Invalid) {
            return refuse();
        }
        if (v == Padding) {
            ++padding;
            continue;
        }
        if (padding > 0) {
            // Data after padding.
            return refuse();
        }
        bits = (bits << 6) | v;
        if (++count == 4) {
            out.push_back(static_cast<byte>(bits >> 16));
            out.push_back(static_cast<byte>(bits >> 8));
            out.push_back(static_cast<byte>(bits));
            bits = 0;
            count = 0;
        }
    }

    // A final group of two or three characters carries one or two bytes, with or without its
    // padding; a lone character, or padding that does not complete a group, is damage.
    const bool complete = (count == 0 && padding == 0) || (count == 2 && (padding == 0 || padding == 2)) ||
                          (count == 3 && (padding == 0 || padding == 1));
    if (!complete) {
        return refuse();
    }
    if (count == 2) {
        out.push_back(static_cast<byte>(bits >> 4));
    } else if (count == 3) {
        out.push_back(static_cast<byte>(bits >> 10));
        out.push_back(static_cast<byte>(bits >> 2));
    }
    set_value(std::move(out));
    return true;
}

} // namespace velin
