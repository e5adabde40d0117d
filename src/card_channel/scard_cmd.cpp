#include "card_channel/scard_cmd.h"

#include "card_io/apdu.h"
#include "common/failure.h"

#include <openssl/crypto.h>

#include <algorithm>

namespace velin {

void ISCardCmd::BuildCmd(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, const std::vector<uint8_t>& data,
                         std::optional<uint8_t> le)
{
    // Lc is one byte: a longer body cannot be expressed and must not be cut silently.
    assertion(data.size() <= 255, "data.size () <= 255");
    clear();
    _command_apdu_ = card_io::command_apdu(cla, ins, p1, p2, &data, le);
}

void ISCardCmd::set_reply(const std::vector<uint8_t>& reply)
{
    _reply_length = static_cast<uint32_t>(std::min<size_t>(reply.size(), _reply.size()));
    std::copy_n(reply.begin(), _reply_length, _reply.begin());
}

IByteBuffer ISCardCmd::get_ApduReply() const
{
    return IByteBuffer(_reply.data(), _reply.data() + _reply_length);
}

void ISCardCmd::clear()
{
    if (!_command_apdu_.empty())
        OPENSSL_cleanse(_command_apdu_.data(), _command_apdu_.size());
    _command_apdu_.clear();
}

} // namespace velin
