#include "cardlib/iso7816_apdu.h"

#include "card_io/apdu.h"
#include "cardlib/card_exceptions.h"
#include "common/hex.h"

#include <openssl/crypto.h>

#include <span>
#include <string_view>

namespace velin::cardlib {

ISO7816_COMMAND_APDU::~ISO7816_COMMAND_APDU()
{
    if (!_data.empty())
        OPENSSL_cleanse(_data.data(), _data.size());
}

void ISO7816_COMMAND_APDU::set_data(Bytes data)
{
    require(data.size() <= 255, "data.size () le 255");
    if (!_data.empty())
        OPENSSL_cleanse(_data.data(), _data.size());
    _data = std::move(data);
    _has_data = true;
}

Bytes ISO7816_COMMAND_APDU::serialise() const
{
    return card_io::command_apdu(cla(), _ins, _p1, _p2, _has_data ? &_data : nullptr, _le);
}

ISO7816_RESPONSE_APDU::ISO7816_RESPONSE_APDU(Bytes bytes) : _bytes(std::move(bytes))
{
    check(_bytes.size() >= 2, "response.size () ge 2");
}

ISO7816_COMMAND_APDU verify_command(uint8_t qualifier, uint8_t reference, Bytes pin)
{
    require(reference <= 0x1F, "reference le 0x1F");
    require(pin.size() <= card_io::Pin_block_size, "pin.size () le 8");
    ISO7816_COMMAND_APDU command(0x20, 0x00, static_cast<uint8_t>(qualifier | reference));
    Bytes block(card_io::Pin_block_size);
    card_io::put_pin_block(std::string_view(reinterpret_cast<const char*>(pin.data()), pin.size()),
                           std::span<uint8_t, card_io::Pin_block_size>(block.data(), block.size()));
    if (!pin.empty())
        OPENSSL_cleanse(pin.data(), pin.size());
    command.set_data(std::move(block));
    return command;
}

ISO7816_COMMAND_APDU select_by_path_command(uint8_t p1, const std::vector<uint16_t>& path)
{
    require(p1 == 0x08, "p1 eq 8");
    require(!path.empty() && path.size() <= 127, "not path.empty ()");
    Bytes data;
    for (uint16_t id : path) {
        data.push_back(static_cast<uint8_t>(id >> 8));
        data.push_back(static_cast<uint8_t>(id & 0xFF));
    }
    ISO7816_COMMAND_APDU command(0xA4, p1, 0x00);
    command.set_data(std::move(data));
    command.set_le(0x00);
    return command;
}

ISO7816_COMMAND_APDU select_by_file_id_command(uint8_t p1, uint16_t file_id)
{
    ISO7816_COMMAND_APDU command(0xA4, p1, 0x00);
    command.set_data(Bytes{static_cast<uint8_t>(file_id >> 8), static_cast<uint8_t>(file_id & 0xFF)});
    command.set_le(0x00);
    return command;
}

ISO7816_COMMAND_APDU select_by_name_command(uint8_t p1, const std::string& hex_name)
{
    ISO7816_COMMAND_APDU command(0xA4, p1, 0x00);
    if (!hex_name.empty()) {
        const auto name = from_hex(hex_name);
        if (!name || name->size() > 16)
            throw CEnumException<BASIC_ERRORS::CError>(BASIC_ERRORS::Invalid_argument);
        command.set_data(*name);
    }
    command.set_le(0x00);
    return command;
}

ISO7816_COMMAND_APDU read_binary_command(uint16_t offset, uint8_t le)
{
    require(le <= 0xFE, "le le 0xFE");
    // P1 bit 8 would name a short file identifier instead of an offset.
    require(offset <= 0x7FFF, "offset le 0x7FFF");
    ISO7816_COMMAND_APDU command(0xB0, static_cast<uint8_t>(offset >> 8), static_cast<uint8_t>(offset & 0xFF));
    command.set_le(le);
    return command;
}

std::string to_hex(const Bytes& bytes, const char* separator)
{
    return hex_text(bytes, separator);
}

std::optional<Bytes> from_hex(const std::string& text)
{
    if (text.empty() || text.size() % 2 != 0)
        return std::nullopt;
    Bytes bytes;
    for (size_t i = 0; i < text.size(); i += 2) {
        const int high = hex_digit_value(text[i]);
        const int low = hex_digit_value(text[i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        bytes.push_back(static_cast<uint8_t>(high << 4 | low));
    }
    return bytes;
}

} // namespace velin::cardlib
