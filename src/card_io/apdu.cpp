#include "card_io/apdu.h"

#include <algorithm>

namespace velin::card_io {

Bytes command_apdu(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, const Bytes* data, std::optional<uint8_t> le)
{
    if (data && data->size() > 255)
        throw std::length_error("command data longer than 255 bytes");
    Bytes bytes;
    // Made at its full size: growing it would leave a PIN in the buffer it grew out of.
    bytes.reserve(4 + (data ? 1 + data->size() : 0) + (le ? 1 : 0));
    bytes.insert(bytes.end(), {cla, ins, p1, p2});
    if (data) {
        bytes.push_back(static_cast<uint8_t>(data->size()));
        bytes.insert(bytes.end(), data->begin(), data->end());
    }
    if (le)
        bytes.push_back(*le);
    return bytes;
}

void put_pin_block(std::string_view secret, std::span<uint8_t, Pin_block_size> block)
{
    if (secret.size() > Pin_block_size)
        throw std::length_error("secret longer than 8 characters");
    std::fill(block.begin(), block.end(), uint8_t{0xFF});
    std::copy(secret.begin(), secret.end(), block.begin());
}

} // namespace velin::card_io
