#include "simulated_card.h"

#include <algorithm>

namespace cns_sim {

namespace {

File_path identifiers(Byte_view data)
{
    File_path path;
    for (std::size_t i = 0; i + 1 < data.size(); i += 2)
        path.push_back(static_cast<std::uint16_t>(data[i] << 8 | data[i + 1]));
    return path;
}

void put_tlv(Bytes& out, std::uint8_t tag, Byte_view value)
{
    out.push_back(tag);
    out.push_back(static_cast<std::uint8_t>(value.size()));
    out.insert(out.end(), value.begin(), value.end());
}

Bytes two_bytes(std::size_t v)
{
    return {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v & 0xFF)};
}

} // namespace

Simulated_card::Simulated_card(Card_config config, Card_file_system files, Pin_store& pins)
    : config_(std::move(config)), files_(std::move(files)), pins_(pins)
{
    reset();
}

void Simulated_card::reset()
{
    current_df_ = &files_.mf();
    current_ef_ = nullptr;
    verified_.clear();
    chosen_keys_.clear();
    pending_response_.clear();
}

Bytes Simulated_card::process(Byte_view command)
{
    const auto cmd = parse_command_apdu(command);
    if (!cmd) {
        pending_response_.clear();
        return response(sw::wrong_length);
    }
    if (cmd->cla != 0x00) {
        pending_response_.clear();
        return response(sw::cla_not_supported);
    }
    if (const auto forced = config_.forced_status.find(cmd->ins); forced != config_.forced_status.end()) {
        pending_response_.clear();
        return response(forced->second);
    }
    if (cmd->ins == 0xC0)
        return get_response(*cmd);
    pending_response_.clear();

    // A T=0 card cannot send data in reply to a command that carried data: the reader sends
    // such a command without Le, the card announces what it has with 61xx and hands the bytes
    // over on GET RESPONSE.
    Command_apdu effective = *cmd;
    if (config_.t0 && effective.has_lc && !effective.ne)
        effective.ne = 256;
    Bytes reply = dispatch(effective);
    if (config_.t0 && cmd->has_lc && reply.size() > 2 && reply[reply.size() - 2] == 0x90) {
        pending_response_.assign(reply.begin(), reply.end() - 2);
        return response(sw::bytes_available(pending_response_.size()));
    }
    return reply;
}

Bytes Simulated_card::dispatch(const Command_apdu& cmd)
{
    switch (cmd.ins) {
    case 0xA4:
        return select(cmd);
    case 0xB0:
        return read_binary(cmd);
    case 0x20:
        return verify(cmd);
    case 0x24:
        return change_reference_data(cmd);
    case 0x2C:
        return reset_retry_counter(cmd);
    case 0x22:
        return manage_security_environment(cmd);
    case 0x2A:
    case 0x88:
        return key_operation(cmd);
    default:
        return response(sw::ins_not_supported);
    }
}

Bytes Simulated_card::get_response(const Command_apdu& cmd)
{
    if (cmd.p1 != 0 || cmd.p2 != 0)
        return response(sw::wrong_p1p2);
    if (pending_response_.empty())
        return response(sw::no_response_pending);
    if (!cmd.ne || cmd.has_lc)
        return response(sw::wrong_length);
    const std::size_t available = pending_response_.size();
    if (*cmd.ne > available && *cmd.ne != 256)
        return response(sw::wrong_le(available));
    const std::size_t n = std::min(*cmd.ne, available);
    Bytes data(pending_response_.begin(), pending_response_.begin() + static_cast<std::ptrdiff_t>(n));
    pending_response_.erase(pending_response_.begin(), pending_response_.begin() + static_cast<std::ptrdiff_t>(n));
    return response(data, pending_response_.empty() ? sw::ok : sw::bytes_available(pending_response_.size()));
}

Bytes Simulated_card::select(const Command_apdu& cmd)
{
    if (cmd.p2 != 0x00 && cmd.p2 != 0x04 && cmd.p2 != 0x0C)
        return response(sw::wrong_p1p2);

    Card_file* target = nullptr;
    const Bytes& data = cmd.data;
    switch (cmd.p1) {
    case 0x00: // MF, DF or EF by identifier; no data selects the MF
        if (data.empty()) {
            target = &files_.mf();
        } else if (data.size() == 2) {
            const std::uint16_t fid = static_cast<std::uint16_t>(data[0] << 8 | data[1]);
            if (fid == Card_file_system::mf_id) {
                target = &files_.mf();
            } else if (fid == current_df_->fid) {
                target = current_df_;
            } else {
                target = current_df_->child(fid);
                if (target == nullptr && current_df_->parent != nullptr)
                    target = current_df_->parent->child(fid); // a sibling of the current DF
            }
        } else {
            return response(sw::wrong_length);
        }
        break;
    case 0x01: // child DF
    case 0x02: // EF of the current DF
        if (data.size() != 2)
            return response(sw::wrong_length);
        target = current_df_->child(static_cast<std::uint16_t>(data[0] << 8 | data[1]));
        if (target != nullptr && target->dedicated != (cmd.p1 == 0x01))
            target = nullptr;
        break;
    case 0x03: // parent DF
        if (!data.empty())
            return response(sw::wrong_length);
        target = current_df_->parent;
        break;
    case 0x04: // DF name
        if (data.empty() || data.size() > 16)
            return response(sw::wrong_length);
        target = files_.find_df_by_name(data);
        break;
    case 0x08: // path from the MF, MF not written
    case 0x09: // path from the current DF
        if (!config_.path_select)
            return response(sw::wrong_length);
        if (data.empty() || data.size() % 2 != 0)
            return response(sw::wrong_length);
        target = Card_file_system::walk(cmd.p1 == 0x08 ? files_.mf() : *current_df_, identifiers(data));
        break;
    default:
        return response(sw::wrong_p1p2);
    }
    if (target == nullptr)
        return response(sw::file_not_found);

    if (target->dedicated) {
        current_df_ = target;
        current_ef_ = nullptr;
    } else {
        current_df_ = target->parent;
        current_ef_ = target;
    }
    if (cmd.p2 == 0x0C || !cmd.ne)
        return response(sw::ok);
    const Bytes fci = file_control_information(*target, cmd.p2);
    if (*cmd.ne != 256 && *cmd.ne < fci.size())
        return response(sw::wrong_le(fci.size()));
    return response(fci, sw::ok);
}

Bytes Simulated_card::file_control_information(const Card_file& file, std::uint8_t p2) const
{
    // Primitive items with one-byte tags and lengths only: hosts walk them that way.
    const bool fcp = p2 == 0x04 || config_.fci == Fci_style::fcp_62_size_81;
    const std::uint8_t size_tag = config_.fci == Fci_style::fcp_62_size_81 ? 0x81 : 0x80;
    Bytes body;
    if (!file.dedicated)
        put_tlv(body, size_tag, two_bytes(file.content.size()));
    const std::uint8_t descriptor = file.dedicated ? 0x38 : 0x01; // DF / working transparent EF
    put_tlv(body, 0x82, Bytes{descriptor});
    put_tlv(body, 0x83, two_bytes(file.fid));
    if (file.dedicated && !file.df_name.empty())
        put_tlv(body, 0x84, file.df_name);
    put_tlv(body, 0x8A, Bytes{0x05}); // life cycle: operational, activated
    Bytes out;
    put_tlv(out, fcp ? 0x62 : 0x6F, body);
    return out;
}

Bytes Simulated_card::read_binary(const Command_apdu& cmd)
{
    if (cmd.p1 & 0x80)
        return response(sw::file_not_found); // no file here has a short identifier
    if (current_ef_ == nullptr)
        return response(sw::no_current_ef);
    if (!cmd.ne || cmd.has_lc)
        return response(sw::wrong_length);
    if (current_ef_->pin_protected && !verified_.contains(pin_reference))
        return response(sw::security_not_satisfied);
    const std::size_t offset = static_cast<std::size_t>(cmd.p1) << 8 | cmd.p2;
    const Bytes& content = current_ef_->content;
    if (offset >= content.size())
        return response(sw::offset_outside_ef);
    const std::size_t available = content.size() - offset;
    const std::size_t n = std::min(*cmd.ne, available);
    const auto first = content.begin() + static_cast<std::ptrdiff_t>(offset);
    return response(Byte_view(&*first, n), n < *cmd.ne ? sw::end_of_file : sw::ok);
}

std::uint16_t Simulated_card::wrong_secret(int tries_left) const
{
    if (config_.pin_failure == Pin_failure_style::plain_6300)
        return sw::wrong_pin_no_info;
    return sw::retries_left(static_cast<unsigned>(tries_left));
}

namespace {

// The PIN and PUK behind a PIN reference, inside a copy of the state.
struct Secret_pair {
    std::string& pin;
    int& pin_tries;
    std::string& puk;
    int& puk_tries;
};

Secret_pair secret_pair(Pin_state& state, std::uint8_t reference)
{
    if (reference == Simulated_card::signature_pin_reference)
        return {state.sign_pin, state.sign_pin_tries, state.sign_puk, state.sign_puk_tries};
    return {state.pin, state.pin_tries, state.puk, state.puk_tries};
}

} // namespace

std::optional<std::uint8_t> Simulated_card::pin_of(std::uint8_t reference) const
{
    // Bit 8 set names the same PIN as a reference local to the current DF: some makers' cards are
    // addressed that way (90, 9A) by hosts that know them.
    const std::uint8_t global = reference & 0x7F;
    if (global == pin_reference || (global == signature_pin_reference && config_.signature_pin))
        return global;
    return std::nullopt;
}

Bytes Simulated_card::verify(const Command_apdu& cmd)
{
    const auto reference = pin_of(cmd.p2);
    if (cmd.p1 == 0xFF) { // drop the verification of this reference
        if (!reference)
            return response(sw::reference_not_found);
        if (cmd.has_lc)
            return response(sw::wrong_length);
        verified_.erase(*reference);
        return response(sw::ok);
    }
    if (cmd.p1 != 0x00)
        return response(sw::wrong_p1p2);
    if (!reference)
        return response(sw::reference_not_found);
    Pin_state state = pins_.state();
    const Secret_pair secret = secret_pair(state, *reference);
    if (secret.pin_tries == 0)
        return response(sw::auth_blocked);
    if (!cmd.has_lc) // no data: ask for the state of the reference
        return response(verified_.contains(*reference) ? sw::ok
                                                       : sw::retries_left(static_cast<unsigned>(secret.pin_tries)));

    // The stored reference is the 8-byte block (digits, then FF) and only that block matches,
    // as on a real card: the bare digits, or a block of any other length, are a wrong PIN.
    if (std::ranges::equal(Byte_view(cmd.data), pin_block(secret.pin))) {
        secret.pin_tries = Pin_state::pin_max_tries;
        pins_.update(state);
        verified_.insert(*reference);
        return response(sw::ok);
    }
    secret.pin_tries -= 1;
    pins_.update(state);
    verified_.erase(*reference);
    return response(wrong_secret(secret.pin_tries));
}

Bytes Simulated_card::change_reference_data(const Command_apdu& cmd)
{
    if (cmd.p1 != 0x00) // only "old value then new value"
        return response(sw::wrong_p1p2);
    const auto reference = pin_of(cmd.p2);
    if (!reference)
        return response(sw::reference_not_found);
    Pin_state state = pins_.state();
    const Secret_pair secret = secret_pair(state, *reference);
    if (secret.pin_tries == 0)
        return response(sw::auth_blocked);
    // Two 8-byte blocks or nothing: data of another length holds no old PIN block, which a real
    // card counts as a wrong old PIN.
    const Byte_view data(cmd.data);
    if (data.size() != 16 || !std::ranges::equal(data.first(8), pin_block(secret.pin))) {
        secret.pin_tries -= 1;
        pins_.update(state);
        verified_.erase(*reference);
        return response(wrong_secret(secret.pin_tries));
    }
    const auto next = digits_of_pin_block(data.subspan(8, 8));
    if (!next) {
        // The old PIN was right: its counter is restored even though nothing changes.
        secret.pin_tries = Pin_state::pin_max_tries;
        pins_.update(state);
        return response(sw::wrong_data);
    }
    secret.pin = *next;
    secret.pin_tries = Pin_state::pin_max_tries;
    pins_.update(state);
    verified_.insert(*reference);
    return response(sw::ok);
}

Bytes Simulated_card::reset_retry_counter(const Command_apdu& cmd)
{
    // P1 00: PUK then new PIN; P1 01: PUK only (unblock, keep the PIN).
    if (cmd.p1 != 0x00 && cmd.p1 != 0x01)
        return response(sw::wrong_p1p2);
    const auto reference = pin_of(cmd.p2);
    if (!reference)
        return response(sw::reference_not_found);
    Pin_state state = pins_.state();
    const Secret_pair secret = secret_pair(state, *reference);
    if (secret.puk_tries == 0)
        return response(sw::auth_blocked);
    // The PUK block is its 8 digits; data of another length is a wrong PUK.
    const Byte_view data(cmd.data);
    if (data.size() != (cmd.p1 == 0x00 ? 16u : 8u) || !std::ranges::equal(data.first(8), ascii(secret.puk))) {
        secret.puk_tries -= 1;
        pins_.update(state);
        return response(wrong_secret(secret.puk_tries));
    }
    secret.puk_tries = Pin_state::puk_max_tries;
    if (cmd.p1 == 0x00) {
        const auto next = digits_of_pin_block(data.subspan(8, 8));
        if (!next) {
            pins_.update(state);
            return response(sw::wrong_data);
        }
        secret.pin = *next;
    }
    secret.pin_tries = Pin_state::pin_max_tries;
    pins_.update(state);
    verified_.erase(*reference);
    return response(sw::ok);
}

Bytes Simulated_card::manage_security_environment(const Command_apdu& cmd)
{
    if (cmd.p1 == 0xF3) {
        // Restore: every template goes back to "no key". Real CNS cards want the command with
        // a trailing zero byte, which a reader sends as Le; both forms are taken.
        if (cmd.has_lc)
            return response(sw::wrong_length);
        if (cmd.p2 == 0x00 || cmd.p2 == 0xFF)
            return response(sw::wrong_p1p2);
        chosen_keys_.clear();
        return response(sw::ok);
    }
    if (cmd.p1 != 0xF1 && cmd.p1 != 0x41 && cmd.p1 != 0x81)
        return response(sw::wrong_p1p2);
    if (cmd.p2 != 0xB6 && cmd.p2 != 0xB8 && cmd.p2 != 0xA4)
        return response(sw::wrong_p1p2);
    if (!cmd.has_lc)
        return response(sw::wrong_length);
    // Simple TLV items; the key reference is 83 (or 84, a private key's own reference) 01 id.
    std::optional<std::uint8_t> reference;
    const Bytes& d = cmd.data;
    for (std::size_t i = 0; i < d.size();) {
        if (i + 2 > d.size() || i + 2 + d[i + 1] > d.size())
            return response(sw::wrong_data);
        if ((d[i] == 0x83 || d[i] == 0x84) && d[i + 1] == 1)
            reference = d[i + 2];
        i += 2 + d[i + 1];
    }
    if (!reference)
        return response(sw::wrong_data);
    const auto slot =
        std::ranges::find_if(config_.keys, [&](const Card_key_slot& k) { return k.reference == *reference; });
    if (slot == config_.keys.end())
        return response(sw::reference_not_found);
    chosen_keys_[cmd.p2] = &*slot;
    return response(sw::ok);
}

Bytes Simulated_card::key_operation(const Command_apdu& cmd)
{
    // PSO 9E 9A: signature; PSO 80 86: decipher; INTERNAL AUTHENTICATE: authentication.
    std::uint8_t template_tag = 0;
    if (cmd.ins == 0x88) {
        if (cmd.p1 != 0x00 || cmd.p2 != 0x00)
            return response(sw::wrong_p1p2);
        template_tag = 0xA4;
    } else if (cmd.p1 == 0x9E && cmd.p2 == 0x9A) {
        template_tag = 0xB6;
    } else if (cmd.p1 == 0x80 && cmd.p2 == 0x86) {
        template_tag = 0xB8;
    } else {
        return response(sw::wrong_p1p2);
    }
    const auto chosen = chosen_keys_.find(template_tag);
    if (chosen == chosen_keys_.end())
        return response(sw::conditions_not_satisfied);
    const Card_key_slot& slot = *chosen->second;
    if (!verified_.contains(slot.pin_reference))
        return response(sw::security_not_satisfied);
    if (!cmd.has_lc)
        return response(sw::wrong_length);
    Byte_view block(cmd.data);
    if (template_tag == 0xB8) {
        // The cryptogram follows a padding indicator byte, 00 for "nothing further".
        if (block.empty() || block[0] != 0x00)
            return response(sw::wrong_data);
        block = block.subspan(1);
    }
    if (block.size() > slot.key->modulus_size())
        return response(sw::wrong_length);
    const auto result = slot.key->private_operation(block);
    if (!result)
        return response(sw::wrong_data);
    return response(*result, sw::ok);
}

} // namespace cns_sim
