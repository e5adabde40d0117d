#include "VelinMenu/channel/card_access.h"

#include "VelinMenu/channel/card_provider.h"

namespace velin {

Card_access::Card_access(Regional_test regional) : _regional(regional ? regional : &is_regional_card) {}

std::optional<std::vector<std::string>> list_readers()
{
    std::vector<std::string> readers;
    if (card_io::list_readers_once(SCARD_SCOPE_USER, readers) != SCARD_S_SUCCESS)
        return std::nullopt;
    return readers;
}

std::shared_ptr<ISCard> attach_card(const std::string& reader_name)
{
    auto card = std::make_shared<ISCard>();
    card->AttachByReader(reader_name, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
    return card;
}

Card_access_result Card_access::find_card() const
{
    Card_access_result result;
    const std::optional<std::vector<std::string>> readers = list_readers();
    if (!readers)
        return result;
    for (const std::string& name : *readers) {
        try {
            result.card = attach_card(name);
        } catch (const Scard_error& error) {
            result.card.reset();
            result.kind = (error.code() == Scard_w_removed_card || error.code() == Scard_e_no_smartcard) ? Card_none
                                                                                                         : Card_failure;
            continue;
        }
        if (is_cns_atr(result.card->get_Atr().bytes())) {
            result.kind = _regional(name) ? Card_regional_cns : Card_other_cns;
            break;
        }
        result.kind = Card_not_cns;
    }
    return result;
}

} // namespace velin
