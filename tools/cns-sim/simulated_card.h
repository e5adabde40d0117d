// The card itself: an ISO 7816-4 file system with SELECT and READ BINARY, a PIN (reference 10)
// with VERIFY, CHANGE REFERENCE DATA and RESET RETRY COUNTER backed by a PUK, and the security
// state that a reset or power cycle clears. Knows nothing of sockets: bytes in, bytes out.
#pragma once

#include "apdu.h"
#include "card_file_system.h"
#include "pin_store.h"

#include <cstdint>
#include <map>
#include <optional>

namespace cns_sim {

enum class Fci_style {
    fci_6f_size_80, // 6F template, size in tag 80
    fcp_62_size_81, // 62 template, size in tag 81
};

enum class Pin_failure_style {
    retries_63cx, // 63Cx, x = tries left
    plain_6300,   // 6300, no counter
};

struct Card_config {
    Bytes atr;
    bool t0 = false;                 // T=0 card: case-4 replies go through 61xx / GET RESPONSE
    bool path_select = true;         // false: SELECT by path (P1 08/09) answers 6700
    Fci_style fci = Fci_style::fci_6f_size_80;
    Pin_failure_style pin_failure = Pin_failure_style::retries_63cx;
    std::map<std::uint8_t, std::uint16_t> forced_status; // INS -> status word, nothing executed
};

class Simulated_card {
public:
    static constexpr std::uint8_t pin_reference = 0x10;

    Simulated_card(Card_config config, Card_file_system files, Pin_store& pins);

    const Bytes& atr() const { return config_.atr; }
    const Card_config& config() const { return config_; }
    const Pin_store& pins() const { return pins_; }
    bool pin_verified() const { return pin_verified_; }

    // Power off, power on and warm reset all end the session: security state and current file
    // are lost.
    void reset();

    // One command APDU in, one response APDU (data + SW1 SW2) out.
    Bytes process(Byte_view command);

private:
    Bytes dispatch(const Command_apdu& cmd);
    Bytes select(const Command_apdu& cmd);
    Bytes read_binary(const Command_apdu& cmd);
    Bytes verify(const Command_apdu& cmd);
    Bytes change_reference_data(const Command_apdu& cmd);
    Bytes reset_retry_counter(const Command_apdu& cmd);
    Bytes get_response(const Command_apdu& cmd);
    Bytes file_control_information(const Card_file& file, std::uint8_t p2) const;
    std::uint16_t wrong_secret(int tries_left) const;

    Card_config config_;
    Card_file_system files_;
    Pin_store& pins_;
    Card_file* current_df_ = nullptr;
    Card_file* current_ef_ = nullptr;
    bool pin_verified_ = false;
    Bytes pending_response_; // T=0: data waiting for GET RESPONSE
};

} // namespace cns_sim
