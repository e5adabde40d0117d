#include "VelinMenu/pin/cns_rules.h"

#include "common/failure.h"

#include <cstring>

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

std::vector<uint8_t> encode_secret(const std::string& secret)
{
    assertion(secret.size() <= Max_pin_length, "secret.size () <= 8");
    std::vector<uint8_t> encoded(secret.begin(), secret.end());
    encoded.resize(Max_pin_length, 0xFF);
    return encoded;
}

} // namespace velin::CNS
