// What happens when the holder presses OK in the PIN change or PIN unblock dialog: checks of the
// new PIN, the card search, the command and the answer to every status word. The window only
// draws the fields and shows the boxes this logic asks for, so all of it runs without a display.
#pragma once

#include "card_channel/card_access.h"
#include "common/pin_text.h"

#include <functional>
#include <memory>
#include <string>

namespace velin {

// The window side: message boxes and the two field resets.
class Pin_dialog_view {
public:
    virtual ~Pin_dialog_view() = default;
    // A box captioned "Velin Manager" with the MB_* flags; returns the ID* of the button pressed.
    virtual int message(const std::string& text, unsigned flags) = 0;
    virtual void reset_new_pin() = 0;
    virtual void reset_first_field() = 0;
};

enum Pin_outcome : int {
    Pin_stay_open = 0,
    Pin_close_ok = 1,
    Pin_close_cancel = 2,
};

class Pin_dialog_logic {
public:
    using Card_search = std::function<Card_access_result()>;

    Pin_dialog_logic(Pin_dialog_view& view, Card_search search);
    virtual ~Pin_dialog_logic();

    // The OK handler: field 1 is the old PIN or the PUK. Programming errors (an invalid old PIN
    // or PUK reaching the command) are thrown as std::logic_error before anything is sent.
    Pin_outcome on_ok(const Pin_text& first, const Pin_text& new_pin, const Pin_text& confirmation);

    Card_kind kind() const { return _kind; }
    const std::shared_ptr<ISCard>& card() const { return _card; }

protected:
    // The dialog's command: 0 stay open, 1 close with OK, 2 close with cancel.
    virtual int perform() = 0;

    // Sends the command built from `secret` (the old PIN or PUK) and the new PIN; empty reply
    // or not 2 bytes gives no status word.
    std::optional<uint16_t> exchange(uint8_t ins, const Pin_text& secret);

    Pin_dialog_view& _view;
    Pin_text _first;
    Pin_text _new_pin;

private:
    void wipe();

    Card_search _search;
    std::shared_ptr<ISCard> _card;
    Card_kind _kind = Card_failure;
};

// CHANGE REFERENCE DATA with the old and the new PIN.
class Pin_change_logic : public Pin_dialog_logic {
public:
    using Pin_dialog_logic::Pin_dialog_logic;

protected:
    int perform() override;
};

// RESET RETRY COUNTER with the PUK and the new PIN.
class Pin_unblock_logic : public Pin_dialog_logic {
public:
    using Pin_dialog_logic::Pin_dialog_logic;

protected:
    int perform() override;
};

} // namespace velin
