// Finding the card: the first reader whose card has a CNS answer-to-reset, and what kind of card
// it is.
#pragma once

#include "card_channel/scard.h"
#include "common/cns_atr.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velin {

enum Card_kind : int {
    Card_regional_cns = 1, // a CNS card issued by the regional authority
    Card_other_cns = 2, // a CNS card of another issuer
    Card_not_cns = 3, // a card whose ATR is not a CNS ATR
    Card_none = 4, // the reader has no card
    Card_failure = 5, // no reader, listing failed, or another attach failure
};

struct Card_access_result {
    std::shared_ptr<ISCard> card;
    Card_kind kind = Card_failure;
};

// The names of the PC/SC readers (all groups); none when the service cannot be reached or
// listing fails (also when no reader is installed).
std::optional<std::vector<std::string>> list_readers();

// The card in the reader, attached for shared use over T=0 or T=1; Scard_error when the reader
// has no card or it cannot be reached.
std::shared_ptr<ISCard> attach_card(const std::string& reader_name);

// The card in the reader, attached as attach_card does, and what it is: Card_other_cns for a CNS
// answer-to-reset, Card_not_cns (the card stays attached in card), Card_none or Card_failure (card
// empty).
Card_kind attach_and_classify(const std::string& reader_name, std::shared_ptr<ISCard>& card);

class Card_access {
public:
    // The regional test, replaceable so that the search can be tested without a token.
    using Regional_test = bool (*)(const std::string& reader_name);
    explicit Card_access(Regional_test regional = nullptr);

    Card_access_result find_card() const;

private:
    Regional_test _regional;
};

} // namespace velin
