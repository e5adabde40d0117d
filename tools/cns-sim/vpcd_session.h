// The card's side of the vpcd reader protocol: frames of a 2-byte big-endian length and a
// payload. A 1-byte payload is a control code (00 power off, 01 power on, 02 reset, 04 send the
// ATR); a longer one is a command APDU answered by one frame. Also where the deliberate faults of
// a misbehaving card live (short replies, removal part-way through a session).
#pragma once

#include "apdu_log.h"
#include "simulated_card.h"

#include <cstddef>
#include <optional>

namespace cns_sim {

struct Session_faults {
    std::optional<std::size_t> short_reply; // reply length 0 or 1 instead of the real reply;
                                            // 0 also ends the connection (see the .cpp)
    std::size_t short_reply_after = 0; // ... from the command after this many
    std::optional<std::size_t> remove_after; // leave once this many commands are answered
    std::optional<std::size_t> remove_during; // leave on receiving this command, unanswered
};

class Vpcd_session {
public:
    static constexpr std::size_t max_frame = 0xFFFF;

    Vpcd_session(Simulated_card& card, Session_faults faults, Apdu_log& log);

    struct Step {
        Bytes output; // frames to send, in order
        std::size_t answered = 0; // command APDUs answered in this step
        bool leave = false; // the card is pulled out: close the connection
    };

    // Consumes bytes as they come off the socket; any split of the stream gives the same result.
    Step feed(Byte_view bytes);

    std::size_t commands() const { return commands_; }

private:
    void frame(Byte_view payload, Step& step);
    void control(std::uint8_t code, Step& step);
    static void put_frame(Bytes& out, Byte_view payload);

    Simulated_card& card_;
    Session_faults faults_;
    Apdu_log& log_;
    Bytes buffer_;
    std::size_t commands_ = 0;
    bool gone_ = false;
    bool atr_polled_ = false; // the last frame was an ATR request
};

} // namespace cns_sim
