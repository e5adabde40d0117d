// ISO 7816-4 command and response APDUs and the builders of the commands the library sends.
// Every command has class byte 00; only short lengths are produced.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velin::cardlib {

using Bytes = std::vector<uint8_t>;

class ISO7816_COMMAND_APDU {
public:
    ISO7816_COMMAND_APDU(uint8_t ins, uint8_t p1, uint8_t p2) : _ins(ins), _p1(p1), _p2(p2) {}
    // The data may be a PIN: it is wiped when the command goes.
    ~ISO7816_COMMAND_APDU();
    ISO7816_COMMAND_APDU(ISO7816_COMMAND_APDU&&) noexcept = default;
    ISO7816_COMMAND_APDU& operator=(ISO7816_COMMAND_APDU&&) noexcept = default;
    ISO7816_COMMAND_APDU(const ISO7816_COMMAND_APDU&) = delete;
    ISO7816_COMMAND_APDU& operator=(const ISO7816_COMMAND_APDU&) = delete;

    // Lc = data.size(); at most 255 bytes.
    void set_data(Bytes data);
    void set_le(uint8_t le) { _le = le; }

    uint8_t cla() const { return 0x00; }
    uint8_t ins() const { return _ins; }
    uint8_t p1() const { return _p1; }
    uint8_t p2() const { return _p2; }
    bool has_data() const { return _has_data; }
    const Bytes& data() const { return _data; }
    const std::optional<uint8_t>& le() const { return _le; }
    // True when the data must never be written anywhere (VERIFY).
    bool secret() const { return _ins == 0x20 || _ins == 0x24 || _ins == 0x2C; }

    // CLA INS P1 P2 [Lc data] [Le].
    Bytes serialise() const;

private:
    uint8_t _ins;
    uint8_t _p1;
    uint8_t _p2;
    bool _has_data = false;
    Bytes _data;
    std::optional<uint8_t> _le;
};

class ISO7816_RESPONSE_APDU {
public:
    ISO7816_RESPONSE_APDU() = default;
    // bytes holds at least the two status bytes.
    explicit ISO7816_RESPONSE_APDU(Bytes bytes);

    Bytes data() const { return Bytes(_bytes.begin(), _bytes.end() - 2); }
    size_t data_size() const { return _bytes.size() - 2; }
    uint8_t sw1() const { return _bytes[_bytes.size() - 2]; }
    uint8_t sw2() const { return _bytes.back(); }
    uint16_t status_word() const { return static_cast<uint16_t>(sw1() << 8 | sw2()); }
    const Bytes& bytes() const { return _bytes; }

private:
    Bytes _bytes{0x90, 0x00};
};

// VERIFY 00 20 00 (qualifier | reference), Lc 08 and the block the card compares: the PIN's
// bytes, then FF up to 8 bytes; no Le. reference ≤ 0x1F, at most 8 PIN bytes.
ISO7816_COMMAND_APDU verify_command(uint8_t qualifier, uint8_t reference, Bytes pin);
// SELECT 00 A4 08 00 by path below the master file (3F00 never written), Le 00. p1 must be 8.
ISO7816_COMMAND_APDU select_by_path_command(uint8_t p1, const std::vector<uint16_t>& path);
// SELECT 00 A4 P1 00 with a two-byte file identifier, Le 00.
ISO7816_COMMAND_APDU select_by_file_id_command(uint8_t p1, uint16_t file_id);
// SELECT 00 A4 P1 00 with the name given as one token of hexadecimal digits; empty text sends no
// data (with P1 00: the master file). Le 00.
ISO7816_COMMAND_APDU select_by_name_command(uint8_t p1, const std::string& hex_name);
// READ BINARY 00 B0 offset, Le. le ≤ 254 so that the reply fits the receive buffer.
ISO7816_COMMAND_APDU read_binary_command(uint16_t offset, uint8_t le);

// Upper-case hexadecimal of the bytes, separated by separator.
std::string to_hex(const Bytes& bytes, const char* separator = "");
// The bytes of a text made of hexadecimal digit pairs only; nothing otherwise.
std::optional<Bytes> from_hex(const std::string& text);

} // namespace velin::cardlib
