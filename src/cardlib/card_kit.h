// One exported call's access to the card: it opens the card when first needed, knows where the
// card keeps each catalogue file, asks the holder before reading, and closes (and resets) the
// card when the call ends.
#pragma once

#include "cardlib/cns_file_catalogue.h"
#include "cardlib/scard.h"

#include <map>
#include <memory>
#include <optional>
#include <string>

namespace velin::cardlib {

class CKit {
public:
    CKit() = default;
    CKit(const CKit&) = delete;
    CKit& operator=(const CKit&) = delete;

    // The open card: the first reader holding one, in shared mode.
    SCard& card();

    // 0 not a CNS card, 1 CNS by the reader's ATR (contact), 2 CNS by its EF_ATR (contactless).
    int card_kind();
    bool is_cns_card() { return card_kind() != 0; }
    // Open the card and require a CNS card (quark_errors_t::Not_cns otherwise); the readable
    // variant also accepts the alternative ATR pattern.
    void open_cns_card();
    void open_readable_card();

    std::string manufacturer();
    std::string card_type();
    std::string issuer();
    // Upper-case hex ATR; a contactless card gives its EF_ATR, " - CONTACTLESS: " and the reader's.
    std::string atr_text();

    // The whole content of a file named by its catalogue name or by a hexadecimal path, after the
    // holder's consent or PIN.
    Bytes read_file(const char* name);

    struct Resolved {
        std::optional<CNS_known_file_info> info;
        File_path path;
        Access_class access = Access_unknown;
    };
    // Where the name points; QUARK_ERROR::File_not_found for a name the card does not have.
    Resolved resolve(const char* name);
    // A resolved file read whole. consented: the holder already agreed to read this free file in a
    // question that listed it, so only a PIN (or the consent after reading an unknown file) is asked.
    Bytes select_and_read(const Resolved& file, bool consented = false);

private:
    std::shared_ptr<SCard_context> context();
    void enter_fixed_paths();
    void discover_netlink();

    std::weak_ptr<SCard_context> _context;
    std::unique_ptr<SCard> _card;
    std::map<uint32_t, CNS_known_file_info> _files;
    bool _fixed_entered = false;
    bool _netlink_discovered = false;
};

} // namespace velin::cardlib
