#include "VelinMenu/pin/cns_rules.h"

#include "card_io/apdu.h"
#include "common/failure.h"

#include <cstring>
#include <span>

namespace velin::CNS {

namespace {

bool all_digits(const char* text, size_t length)
{
    for (size_t i = 0; i < length; ++i)
        if (text[i] < '0' || text[i] > '9')
            return false;
    return true;
}

} // namespace

bool is_valid_PIN(const char* pin)
{
    if (!pin)
        return false;
    const size_t length = std::strlen(pin);
    return length >= Min_pin_length && length <= Max_pin_length && all_digits(pin, length);
}

bool is_valid_PUK(const char* puk)
{
    return puk && std::strlen(puk) == Puk_length && all_digits(puk, Puk_length);
}

std::vector<uint8_t> encode_secret(std::string_view secret)
{
    assertion(secret.size() <= Max_pin_length, "secret.size () <= 8");
    // Made at its full size: growing it would leave the secret in the buffer it grew out of.
    std::vector<uint8_t> encoded(card_io::Pin_block_size);
    card_io::put_pin_block(secret, std::span<uint8_t, card_io::Pin_block_size>(encoded.data(), encoded.size()));
    return encoded;
}

} // namespace velin::CNS
