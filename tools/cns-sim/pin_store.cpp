#include "pin_store.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>

namespace cns_sim {

namespace {

bool all_digits(const std::string& s)
{
    return std::ranges::all_of(s, [](char c) { return c >= '0' && c <= '9'; });
}

int parse_count(std::string_view key, std::string_view value, int max)
{
    if (value.empty() || value.size() > 2)
        throw std::runtime_error(std::string(key) + ": not a count");
    int n = 0;
    for (char c : value) {
        if (c < '0' || c > '9')
            throw std::runtime_error(std::string(key) + ": not a count");
        n = n * 10 + (c - '0');
    }
    if (n > max)
        throw std::runtime_error(std::string(key) + ": more than " + std::to_string(max));
    return n;
}

} // namespace

bool is_valid_pin(const std::string& pin)
{
    return pin.size() >= 5 && pin.size() <= 8 && all_digits(pin);
}

bool is_valid_puk(const std::string& puk)
{
    return puk.size() == 8 && all_digits(puk);
}

Bytes pin_block(const std::string& digits)
{
    Bytes block(digits.begin(), digits.end());
    block.resize(std::max<std::size_t>(8, block.size()), 0xFF);
    return block;
}

std::optional<std::string> digits_of_pin_block(Byte_view block)
{
    if (block.size() != 8)
        return std::nullopt;
    std::string digits;
    std::size_t i = 0;
    for (; i < block.size() && block[i] >= '0' && block[i] <= '9'; ++i)
        digits += static_cast<char>(block[i]);
    for (; i < block.size(); ++i)
        if (block[i] != 0xFF)
            return std::nullopt;
    if (!is_valid_pin(digits))
        return std::nullopt;
    return digits;
}

std::string serialize(const Pin_state& state)
{
    std::ostringstream out;
    out << "# cns-sim card state: PIN and PUK with their remaining tries\n"
        << "pin=" << state.pin << '\n'
        << "pin_tries=" << state.pin_tries << '\n'
        << "puk=" << state.puk << '\n'
        << "puk_tries=" << state.puk_tries << '\n'
        << "sign_pin=" << state.sign_pin << '\n'
        << "sign_pin_tries=" << state.sign_pin_tries << '\n'
        << "sign_puk=" << state.sign_puk << '\n'
        << "sign_puk_tries=" << state.sign_puk_tries << '\n';
    return out.str();
}

Pin_state parse_pin_state(std::string_view text)
{
    if (text.size() > 4096)
        throw std::runtime_error("state file too large");
    Pin_state state;
    bool seen[8] = {};
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty() || line.front() == '#')
            continue;
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos)
            throw std::runtime_error("line without '=': " + std::string(line.substr(0, 40)));
        const std::string_view key = line.substr(0, eq);
        const std::string_view value = line.substr(eq + 1);
        int slot;
        if (key == "pin") {
            state.pin = std::string(value);
            if (!is_valid_pin(state.pin))
                throw std::runtime_error("pin: not 5 to 8 digits");
            slot = 0;
        } else if (key == "pin_tries") {
            state.pin_tries = parse_count(key, value, Pin_state::pin_max_tries);
            slot = 1;
        } else if (key == "puk") {
            state.puk = std::string(value);
            if (!is_valid_puk(state.puk))
                throw std::runtime_error("puk: not 8 digits");
            slot = 2;
        } else if (key == "puk_tries") {
            state.puk_tries = parse_count(key, value, Pin_state::puk_max_tries);
            slot = 3;
        } else if (key == "sign_pin") {
            state.sign_pin = std::string(value);
            if (!is_valid_pin(state.sign_pin))
                throw std::runtime_error("sign_pin: not 5 to 8 digits");
            slot = 4;
        } else if (key == "sign_pin_tries") {
            state.sign_pin_tries = parse_count(key, value, Pin_state::pin_max_tries);
            slot = 5;
        } else if (key == "sign_puk") {
            state.sign_puk = std::string(value);
            if (!is_valid_puk(state.sign_puk))
                throw std::runtime_error("sign_puk: not 8 digits");
            slot = 6;
        } else if (key == "sign_puk_tries") {
            state.sign_puk_tries = parse_count(key, value, Pin_state::puk_max_tries);
            slot = 7;
        } else {
            throw std::runtime_error("unknown key: " + std::string(key.substr(0, 40)));
        }
        if (seen[slot])
            throw std::runtime_error("repeated key: " + std::string(key));
        seen[slot] = true;
    }
    if (!(seen[0] && seen[1] && seen[2] && seen[3]))
        throw std::runtime_error("missing one of pin, pin_tries, puk, puk_tries");
    return state;
}

Pin_store::Pin_store(Pin_state initial) : state_(std::move(initial)) {}

Pin_store::Pin_store(std::filesystem::path path, Pin_state initial, bool reset)
    : path_(std::move(path)), state_(std::move(initial))
{
    std::error_code ec;
    if (!reset && std::filesystem::exists(path_, ec)) {
        std::ifstream in(path_, std::ios::binary);
        std::string text(4097, '\0');
        in.read(text.data(), static_cast<std::streamsize>(text.size()));
        text.resize(static_cast<std::size_t>(in.gcount()));
        try {
            state_ = parse_pin_state(text);
        } catch (const std::runtime_error& e) {
            throw std::runtime_error(path_.string() + ": " + e.what());
        }
        return;
    }
    save();
}

void Pin_store::update(const Pin_state& next)
{
    state_ = next;
    save();
}

void Pin_store::save() const
{
    if (path_.empty())
        return;
    std::filesystem::path temporary = path_;
    temporary += ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << serialize(state_);
        out.flush();
        if (!out)
            throw std::runtime_error("cannot write " + temporary.string());
    }
    std::error_code ec;
    std::filesystem::rename(temporary, path_, ec);
    if (ec)
        throw std::runtime_error("cannot replace " + path_.string() + ": " + ec.message());
}

} // namespace cns_sim
