// The card's PIN and PUK with their retry counters. Kept in a small text file so that a test can
// look at the card after the simulator has exited, or prepare a card (a blocked PIN, say) before
// inserting it.
#pragma once

#include "bytes.h"

#include <filesystem>
#include <optional>
#include <string>

namespace cns_sim {

struct Pin_state {
    static constexpr int pin_max_tries = 3;
    static constexpr int puk_max_tries = 10;

    std::string pin = "12345";
    int pin_tries = pin_max_tries;
    std::string puk = "12345678";
    int puk_tries = puk_max_tries;

    // The signature application's own PIN (reference 1A) and PUK, on cards that have one.
    std::string sign_pin = "24680";
    int sign_pin_tries = pin_max_tries;
    std::string sign_puk = "87654321";
    int sign_puk_tries = puk_max_tries;

    bool operator==(const Pin_state&) const = default;
};

// PIN: 5 to 8 digits. PUK: exactly 8 digits.
bool is_valid_pin(const std::string& pin);
bool is_valid_puk(const std::string& puk);

// The 8-byte block the card compares: ASCII digits, FF up to 8 bytes.
Bytes pin_block(const std::string& digits);

// A block holding 5 to 8 ASCII digits followed only by FF; nullopt otherwise.
std::optional<std::string> digits_of_pin_block(Byte_view block);

std::string serialize(const Pin_state& state);

// Reads the text form: "key=value" lines (pin, pin_tries, puk, puk_tries, and optionally the
// same four prefixed "sign_"), blank lines and "#" comments ignored. Every key must appear at
// most once with a valid value, the first four must appear; anything else throws
// std::runtime_error naming the fault. Input longer than 4096 bytes is refused.
Pin_state parse_pin_state(std::string_view text);

class Pin_store {
public:
    // In memory only.
    explicit Pin_store(Pin_state initial = {});
    // Loads `path` when it exists (unless `reset`), else starts from `initial` and writes it.
    Pin_store(std::filesystem::path path, Pin_state initial, bool reset);

    const Pin_state& state() const { return state_; }
    // Changes the state and writes it through (temporary file + rename, so a reader never sees
    // half a file). Throws std::runtime_error when the file cannot be written.
    void update(const Pin_state& next);

private:
    void save() const;

    std::filesystem::path path_;
    Pin_state state_;
};

} // namespace cns_sim
