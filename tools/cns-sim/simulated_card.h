// The card itself: an ISO 7816-4 file system with SELECT and READ BINARY, PINs (reference 10,
// and 1A on cards with a signature application) with VERIFY, CHANGE REFERENCE DATA and RESET
// RETRY COUNTER backed by PUKs, RSA keys behind MANAGE SECURITY ENVIRONMENT and the signature,
// authentication and decipher commands, and the security state that a reset or power cycle
// clears. Knows nothing of sockets: bytes in, bytes out.
#pragma once

#include "apdu.h"
#include "card_file_system.h"
#include "card_key.h"
#include "pin_store.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

namespace cns_sim {

enum class Fci_style {
    fci_6f_size_80, // 6F template, size in tag 80
    fcp_62_size_81, // 62 template, size in tag 81
};

enum class Pin_failure_style {
    retries_63cx, // 63Cx, x = tries left
    plain_6300, // 6300, no counter
};

// A private key as MANAGE SECURITY ENVIRONMENT names it (83 01 reference), with the PIN that
// must be verified in the current session before the key does anything.
struct Card_key_slot {
    std::uint8_t reference = 0;
    std::uint8_t pin_reference = 0x10;
    std::shared_ptr<const Card_key> key;
};

struct Card_config {
    Bytes atr;
    bool t0 = false; // T=0 card: case-4 replies go through 61xx / GET RESPONSE
    bool path_select = true; // false: SELECT by path (P1 08/09) answers 6700
    Fci_style fci = Fci_style::fci_6f_size_80;
    Pin_failure_style pin_failure = Pin_failure_style::retries_63cx;
    std::map<std::uint8_t, std::uint16_t> forced_status; // INS -> status word, nothing executed
    std::vector<Card_key_slot> keys;
    bool signature_pin = false; // PIN 1A / PUK 1B of a signature application
};

class Simulated_card {
public:
    static constexpr std::uint8_t pin_reference = 0x10;
    static constexpr std::uint8_t signature_pin_reference = 0x1A;

    Simulated_card(Card_config config, Card_file_system files, Pin_store& pins);

    const Bytes& atr() const { return config_.atr; }
    const Card_config& config() const { return config_; }
    const Pin_store& pins() const { return pins_; }
    bool pin_verified() const { return verified_.contains(pin_reference); }

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
    Bytes manage_security_environment(const Command_apdu& cmd);
    Bytes key_operation(const Command_apdu& cmd);
    Bytes file_control_information(const Card_file& file, std::uint8_t p2) const;
    std::uint16_t wrong_secret(int tries_left) const;
    std::optional<std::uint8_t> pin_of(std::uint8_t reference) const; // the PIN a P2 names, if any

    Card_config config_;
    Card_file_system files_;
    Pin_store& pins_;
    Card_file* current_df_ = nullptr;
    Card_file* current_ef_ = nullptr;
    std::set<std::uint8_t> verified_; // PIN references verified in this session
    // Keys chosen by MANAGE SECURITY ENVIRONMENT, by control reference template: B6 signature,
    // B8 decipher, A4 authentication.
    std::map<std::uint8_t, const Card_key_slot*> chosen_keys_;
    Bytes pending_response_; // T=0: data waiting for GET RESPONSE
};

} // namespace cns_sim
