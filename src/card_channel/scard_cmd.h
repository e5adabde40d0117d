// One command exchange: the command APDU and a 256-byte reply buffer.
#pragma once

#include "card_channel/byte_buffer.h"

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace velin {

class ISCardCmd {
public:
    static constexpr uint32_t Reply_capacity = 256;

    // CLA INS P1 P2, Lc (always written, even for no data), the data, then Le when given.
    void BuildCmd(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, const std::vector<uint8_t>& data,
                  std::optional<uint8_t> le);

    uint32_t get_ApduReplyLength() const { return _reply_length; }
    IByteBuffer get_ApduReply() const;

    const std::vector<uint8_t>& command_apdu() const { return _command_apdu_; }
    // Wipes the command: it may carry a PIN.
    void clear();
    ~ISCardCmd() { clear(); }

    // Used by ISCard::Transaction: the reply received, at most Reply_capacity bytes kept.
    void set_reply(const std::vector<uint8_t>& reply);

private:
    std::vector<uint8_t> _command_apdu_;
    std::array<uint8_t, Reply_capacity> _reply{};
    uint32_t _reply_length = 0;
};

} // namespace velin
