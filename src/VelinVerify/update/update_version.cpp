#include "VelinVerify/update/update_version.h"

#include "common/hex.h"

#include <array>

namespace velin {

namespace {

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && is_space(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && is_space(text.back()))
        text.remove_suffix(1);
    return text;
}

std::optional<uint32_t> parse_hexadecimal(std::string_view digits)
{
    if (digits.empty() || digits.size() > 8)
        return std::nullopt;
    uint32_t value = 0;
    for (const char c : digits) {
        const int digit = hex_digit_value(c);
        if (digit < 0)
            return std::nullopt;
        value = value << 4 | static_cast<uint32_t>(digit);
    }
    return value;
}

// Numbers of more than nine digits would not fit the int they are read into elsewhere: they are
// no version rather than a number wrapped round.
constexpr std::size_t Most_decimal_digits = 9;

std::optional<uint32_t> parse_dotted(std::string_view text)
{
    std::array<unsigned, 4> numbers{};
    std::size_t count = 0;
    std::size_t digits = 0;
    for (const char c : text) {
        if (c >= '0' && c <= '9') {
            if (++digits > Most_decimal_digits)
                return std::nullopt;
            numbers[count] = numbers[count] * 10 + static_cast<unsigned>(c - '0');
        } else if (c == '.' && digits > 0 && count < 3) {
            ++count;
            digits = 0;
        } else {
            return std::nullopt;
        }
    }
    if (digits == 0 || count < 2)
        return std::nullopt;
    return (numbers[0] % 256) << 24 | (numbers[1] % 256) << 16 | (numbers[2] % 256) << 8 | numbers[3] % 256;
}

} // namespace

uint32_t pack_file_version(unsigned a, unsigned b, unsigned c, unsigned /*d*/)
{
    return (a % 256) << 24 | (b % 256) << 16 | (c % 256) << 8;
}

std::optional<uint32_t> parse_published_version(std::string_view text)
{
    text = trimmed(text);
    if (text.size() >= 2 && text[0] == '0' && text[1] == 'x')
        return parse_hexadecimal(text.substr(2));
    return parse_dotted(text);
}

} // namespace velin
