#include "vpcd_session.h"

namespace cns_sim {

Vpcd_session::Vpcd_session(Simulated_card& card, Session_faults faults, Apdu_log& log)
    : card_(card), faults_(faults), log_(log)
{}

Vpcd_session::Step Vpcd_session::feed(Byte_view bytes)
{
    Step step;
    if (gone_) {
        step.leave = true;
        return step;
    }
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    std::size_t pos = 0;
    while (!step.leave && buffer_.size() - pos >= 2) {
        const std::size_t length = static_cast<std::size_t>(buffer_[pos] << 8 | buffer_[pos + 1]);
        if (buffer_.size() - pos - 2 < length)
            break; // the rest of the frame has not arrived; the length caps what is kept
        frame(Byte_view(buffer_.data() + pos + 2, length), step);
        pos += 2 + length;
    }
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(pos));
    if (step.leave)
        gone_ = true;
    return step;
}

void Vpcd_session::frame(Byte_view payload, Step& step)
{
    if (payload.empty())
        return; // nothing to act on
    if (payload.size() == 1) {
        control(payload[0], step);
        return;
    }
    atr_polled_ = false;
    ++commands_;
    log_.command(payload);
    if (faults_.remove_during && commands_ >= *faults_.remove_during) {
        log_.event("removed before answering");
        step.leave = true;
        return;
    }
    Bytes reply = card_.process(payload);
    if (faults_.short_reply && commands_ > faults_.short_reply_after) {
        reply.resize(std::min(reply.size(), *faults_.short_reply));
        if (reply.empty()) {
            // vpcd has no way to carry an empty reply: it waits for the rest of the frame and
            // holds the whole reader meanwhile. Hanging up gives the host what a real reader
            // gives when a card falls silent: a reply of no bytes, then the card gone.
            log_.response(reply);
            log_.event("removed: a reply of no bytes");
            step.leave = true;
            return;
        }
    }
    log_.response(reply);
    put_frame(step.output, reply);
    ++step.answered;
    if (faults_.remove_after && commands_ >= *faults_.remove_after) {
        log_.event("removed");
        step.leave = true;
    }
}

void Vpcd_session::control(std::uint8_t code, Step& step)
{
    const bool repeated_poll = atr_polled_;
    atr_polled_ = false;
    switch (code) {
    case 0x00:
        log_.event("power off");
        card_.reset();
        break;
    case 0x01:
        log_.event("power on");
        card_.reset();
        break;
    case 0x02:
        log_.event("reset");
        card_.reset();
        break;
    case 0x04:
        // vpcd asks for the ATR every few hundred milliseconds to see whether the card is
        // still there: one line per run of such polls keeps an idle card's log quiet.
        if (!repeated_poll)
            log_.event("atr " + to_hex(card_.atr()));
        atr_polled_ = true;
        put_frame(step.output, card_.atr());
        return;
    default:
        log_.event("unknown control code " + to_hex(Bytes{code}));
        break;
    }
}

void Vpcd_session::put_frame(Bytes& out, Byte_view payload)
{
    out.push_back(static_cast<std::uint8_t>(payload.size() >> 8));
    out.push_back(static_cast<std::uint8_t>(payload.size() & 0xFF));
    out.insert(out.end(), payload.begin(), payload.end());
}

} // namespace cns_sim
