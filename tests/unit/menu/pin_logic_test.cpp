// The PIN dialogs' OK handler without a card: checks, prompts and card kinds.
#include "VelinMenu/pin/cns_rules.h"
#include "VelinMenu/pin/pin_dialog_logic.h"
#include "common/message_box.h"
#include "test_folder.h"
#include "trace_records.h"

#include <gtest/gtest.h>

#include <deque>

namespace {

using namespace velin;

const bool environment_ready = (test::private_environment(), true);

struct Recording_view : Pin_dialog_view {
    std::vector<std::pair<std::string, unsigned>> messages;
    std::deque<int> answers;
    int new_pin_resets = 0;
    int first_field_resets = 0;

    int message(const std::string& text, unsigned flags) override
    {
        messages.emplace_back(text, flags);
        if (answers.empty())
            return IDOK;
        const int answer = answers.front();
        answers.pop_front();
        return answer;
    }
    void reset_new_pin() override { ++new_pin_resets; }
    void reset_first_field() override { ++first_field_resets; }
};

// Counts searches and perform() calls; the card object is never attached, so nothing is sent.
class Probe_logic : public Pin_dialog_logic {
public:
    Probe_logic(Pin_dialog_view& view, std::deque<Card_kind> kinds, int action = Pin_close_ok)
        : Pin_dialog_logic(view, [this] { return next(); }), _kinds(std::move(kinds)), _action(action)
    {}
    int searches = 0;
    int performed = 0;

protected:
    int perform() override
    {
        ++performed;
        return _action;
    }

private:
    Card_access_result next()
    {
        ++searches;
        Card_access_result result;
        result.kind = _kinds.front();
        if (_kinds.size() > 1)
            _kinds.pop_front();
        if (result.kind <= Card_not_cns)
            result.card = std::make_shared<ISCard>();
        return result;
    }
    std::deque<Card_kind> _kinds;
    int _action;
};

TEST(Pin_logic, mismatched_confirmation_stops_before_any_card_search)
{
    Recording_view view;
    Probe_logic logic(view, {Card_other_cns});
    EXPECT_EQ(logic.on_ok("12345", "54321", "54322"), Pin_stay_open);
    EXPECT_EQ(logic.searches, 0);
    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_EQ(view.messages[0].first, "I PIN non corrispondono.");
    EXPECT_EQ(view.messages[0].second, MB_OK | MB_ICONERROR);
    EXPECT_EQ(view.new_pin_resets, 1);
}

TEST(Pin_logic, new_pin_rules_by_card_kind)
{
    {
        Recording_view view;
        Probe_logic logic(view, {Card_other_cns});
        EXPECT_EQ(logic.on_ok("12345", "1234", "1234"), Pin_stay_open);
        EXPECT_EQ(view.messages.at(0).first, "Il nuovo PIN deve essere di almeno 5 cifre.");
        EXPECT_EQ(logic.on_ok("12345", "12a45", "12a45"), Pin_stay_open);
        EXPECT_EQ(view.messages.at(1).first, "Il nuovo PIN deve essere di almeno 5 cifre.");
        EXPECT_EQ(logic.performed, 0);
        EXPECT_EQ(view.new_pin_resets, 2);
        // Another issuer's card accepts six digits; the card found first is reused.
        EXPECT_EQ(logic.on_ok("12345", "123456", "123456"), Pin_close_ok);
        EXPECT_EQ(logic.performed, 1);
        EXPECT_EQ(logic.searches, 1);
    }
    {
        Recording_view view;
        Probe_logic logic(view, {Card_regional_cns});
        EXPECT_EQ(logic.on_ok("12345", "123456", "123456"), Pin_stay_open);
        EXPECT_EQ(view.messages.at(0).first, "Il nuovo PIN deve essere di 5 cifre.");
        EXPECT_EQ(logic.performed, 0);
        EXPECT_EQ(logic.on_ok("12345", "54321", "54321"), Pin_close_ok);
        EXPECT_EQ(logic.performed, 1);
    }
}

TEST(Pin_logic, card_that_is_not_cns_needs_the_holders_yes)
{
    Recording_view view;
    view.answers = {IDNO};
    Probe_logic refused(view, {Card_not_cns});
    EXPECT_EQ(refused.on_ok("12345", "54321", "54321"), Pin_close_cancel);
    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_EQ(view.messages[0].first,
              "La carta inserita non è una Carta Nazionale dei Servizi.\n\nEseguire comunque l'operazione?");
    EXPECT_EQ(view.messages[0].second, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2);
    EXPECT_EQ(refused.performed, 0);

    view.answers = {IDYES};
    Probe_logic accepted(view, {Card_not_cns});
    EXPECT_EQ(accepted.on_ok("12345", "654321", "654321"), Pin_close_ok);
    EXPECT_EQ(accepted.performed, 1);
}

TEST(Pin_logic, no_card_prompts_and_searches_again)
{
    Recording_view view;
    view.answers = {IDOK, IDOK};
    Probe_logic logic(view, {Card_none, Card_none, Card_other_cns});
    EXPECT_EQ(logic.on_ok("12345", "54321", "54321"), Pin_close_ok);
    EXPECT_EQ(logic.searches, 3);
    ASSERT_EQ(view.messages.size(), 2u);
    EXPECT_EQ(view.messages[0].first, "Inserisci la carta nel lettore e clicca su OK.");
    EXPECT_EQ(view.messages[0].second, MB_OKCANCEL);

    Recording_view cancelled;
    cancelled.answers = {IDCANCEL};
    Probe_logic gave_up(cancelled, {Card_none});
    EXPECT_EQ(gave_up.on_ok("12345", "54321", "54321"), Pin_close_cancel);

    // Any other failure stays open without a word.
    Recording_view silent;
    Probe_logic failing(silent, {Card_failure});
    EXPECT_EQ(failing.on_ok("12345", "54321", "54321"), Pin_stay_open);
    EXPECT_TRUE(silent.messages.empty());
}

TEST(Pin_logic, unexpected_action_is_traced_and_stays_open)
{
    Recording_view view;
    Probe_logic logic(view, {Card_other_cns}, 7);
    EXPECT_EQ(logic.on_ok("12345", "54321", "54321"), Pin_stay_open);
    EXPECT_TRUE(test::traced(Level_trace, {"action", "7"}));
}

TEST(Pin_logic, invalid_old_pin_or_puk_is_stopped_before_sending)
{
    Recording_view view;
    const auto search = [] { return Card_access_result{std::make_shared<ISCard>(), Card_other_cns}; };
    Pin_change_logic change(view, search);
    try {
        change.on_ok("1234", "54321", "54321");
        FAIL() << "an invalid old PIN reached the card";
    } catch (const std::logic_error& error) {
        EXPECT_STREQ(error.what(), "Assertion failed: CNS::is_valid_PIN (_old_pin)");
    }
    Pin_unblock_logic unblock(view, search);
    try {
        unblock.on_ok("1234567", "54321", "54321");
        FAIL() << "an invalid PUK reached the card";
    } catch (const std::logic_error& error) {
        EXPECT_STREQ(error.what(), "Assertion failed: CNS::is_valid_PUK (_puk)");
    }
    EXPECT_TRUE(view.messages.empty());
}

TEST(Cns_rules, pin_and_puk_validity_and_encoding)
{
    EXPECT_TRUE(CNS::is_valid_PIN("12345"));
    EXPECT_TRUE(CNS::is_valid_PIN("12345678"));
    EXPECT_FALSE(CNS::is_valid_PIN("1234"));
    EXPECT_FALSE(CNS::is_valid_PIN("123456789"));
    EXPECT_FALSE(CNS::is_valid_PIN("1234a"));
    EXPECT_FALSE(CNS::is_valid_PIN(nullptr));
    EXPECT_TRUE(CNS::is_valid_PUK("12345678"));
    EXPECT_FALSE(CNS::is_valid_PUK("1234567"));
    EXPECT_FALSE(CNS::is_valid_PUK("1234567x"));
    EXPECT_EQ(CNS::encode_secret("12345"), (std::vector<uint8_t>{0x31, 0x32, 0x33, 0x34, 0x35, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(CNS::encode_secret("87654321"), (std::vector<uint8_t>{0x38, 0x37, 0x36, 0x35, 0x34, 0x33, 0x32, 0x31}));
}

} // namespace
