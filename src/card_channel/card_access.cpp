#include "card_channel/card_access.h"

#include "card_channel/card_provider.h"

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

Card_kind attach_and_classify(const std::string& reader_name, std::shared_ptr<ISCard>& card)
{
    try {
        card = attach_card(reader_name);
    } catch (const Scard_error& error) {
        card.reset();
        return (error.code() == Scard_w_removed_card || error.code() == Scard_e_no_smartcard) ? Card_none
                                                                                              : Card_failure;
    }
    return is_cns_atr(card->get_Atr().bytes()) ? Card_other_cns : Card_not_cns;
}

Card_access_result Card_access::find_card() const
{
    Card_access_result result;
    const std::optional<std::vector<std::string>> readers = list_readers();
    if (!readers)
        return result;
    for (const std::string& name : *readers) {
        result.kind = attach_and_classify(name, result.card);
        if (result.kind == Card_other_cns) {
            if (_regional(name))
                result.kind = Card_regional_cns;
            break;
        }
    }
    return result;
}

} // namespace velin
