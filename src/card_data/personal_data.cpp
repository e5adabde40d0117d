#include "card_data/personal_data.h"

#include "common/hex.h"

namespace velin {

namespace {

std::optional<size_t> hex_number(std::span<const uint8_t> digits)
{
    size_t value = 0;
    for (const uint8_t c : digits) {
        const int digit = hex_digit_value(static_cast<char>(c));
        if (digit < 0)
            return std::nullopt;
        value = value * 16 + static_cast<size_t>(digit);
    }
    return value;
}

bool is_date(const std::string& text)
{
    if (text.empty())
        return true;
    if (text.size() != 8)
        return false;
    for (const char c : text)
        if (c < '0' || c > '9')
            return false;
    const int day = std::stoi(text.substr(0, 2));
    const int month = std::stoi(text.substr(2, 2));
    return day >= 1 && day <= 31 && month >= 1 && month <= 12;
}

// Cards write names and places in ISO 8859-1 ("NICOLÒ" with one byte D2): its printable
// characters become UTF-8; a control character (C0, DEL or C1) makes the field malformed.
std::optional<std::string> utf8_of_latin1(std::span<const uint8_t> bytes)
{
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const uint8_t c : bytes) {
        if (c < 0x20 || (c >= 0x7F && c < 0xA0))
            return std::nullopt;
        if (c < 0x80) {
            text += static_cast<char>(c);
        } else {
            text += static_cast<char>(0xC0 | (c >> 6));
            text += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return text;
}

} // namespace

std::optional<Personal_data> parse_personal_data(std::span<const uint8_t> bytes)
{
    if (bytes.size() < 6)
        return std::nullopt;
    const std::optional<size_t> declared = hex_number(bytes.first(6));
    if (!declared || *declared > bytes.size() - 6)
        return std::nullopt;
    std::span<const uint8_t> rest = bytes.subspan(6, *declared);

    Personal_data data;
    for (size_t index = 0; !rest.empty(); ++index) {
        if (rest.size() < 2)
            return std::nullopt;
        const std::optional<size_t> length = hex_number(rest.first(2));
        if (!length || *length > rest.size() - 2)
            return std::nullopt;
        const std::optional<std::string> value = utf8_of_latin1(rest.subspan(2, *length));
        if (!value)
            return std::nullopt;
        if (index < Personal_field_count)
            data.fields[index] = *value;
        rest = rest.subspan(2 + *length);
    }
    for (const Personal_field field :
         {Personal_field::Issue_date, Personal_field::Expiry_date, Personal_field::Birth_date})
        if (!is_date(data[field]))
            return std::nullopt;
    return data;
}

std::string display_date(std::string_view ddmmyyyy)
{
    if (ddmmyyyy.size() != 8)
        return std::string(ddmmyyyy);
    return std::string(ddmmyyyy.substr(0, 2)) + "/" + std::string(ddmmyyyy.substr(2, 2)) + "/" +
           std::string(ddmmyyyy.substr(4));
}

} // namespace velin
