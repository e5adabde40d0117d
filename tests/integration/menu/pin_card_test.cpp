// PIN change and unblock against the simulated card behind the real pcscd. Every test leaves the
// bed as it found it: the regional card with PIN 12345 in reader 0, reader 1 empty.
#include "VelinMenu/pin/pin_dialog_logic.h"
#include "card_bed.h"
#include "card_channel/card_provider.h"
#include "card_io/status_words.h"
#include "common/message_box.h"
#include "common/registry.h"
#include "test_folder.h"
#include "trace_records.h"

#include <gtest/gtest.h>
#include <winscard.h>

#include <chrono>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
#include <thread>

namespace {

using namespace velin;

const std::string Reader0 = "Virtual PCD 00 00";
const std::string Reader1 = "Virtual PCD 00 01";

struct Scripted_view : Pin_dialog_view {
    std::vector<std::string> messages;
    std::function<int(const std::string&)> answer = [](const std::string&) { return IDOK; };
    int first_field_resets = 0;
    int new_pin_resets = 0;

    int message(const std::string& text, unsigned) override
    {
        messages.push_back(text);
        return answer(text);
    }
    void reset_new_pin() override { ++new_pin_resets; }
    void reset_first_field() override { ++first_field_resets; }
};

// Connects to the reader and leaves the card unpowered, as pcscd does with an idle card.
void power_down(const std::string& reader)
{
    SCARDCONTEXT context = 0;
    ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context), SCARD_S_SUCCESS);
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    EXPECT_EQ(SCardConnect(context, reader.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card,
                           &protocol),
              SCARD_S_SUCCESS);
    if (card)
        SCardDisconnect(card, SCARD_UNPOWER_CARD);
    SCardReleaseContext(context);
}

class Pin_on_card : public testing::Test {
protected:
    void SetUp() override
    {
        test::private_environment();
        ASSERT_TRUE(bed.running()) << "the card bed is not running: run through ctest (fixture card_bed)";
        // The card's keys as the middleware offers them: the bed's SoftHSM tokens.
        ::setenv("SOFTHSM2_CONF", bed.env("SOFTHSM2_CONF").c_str(), 1);
        ASSERT_EQ(
            write_text(Registry_root::Local_machine, Settings_key, "ModuloPKCS11", bed.env("CARD_BED_PKCS11_MODULE")),
            0u);
    }
    void TearDown() override
    {
        bed.empty(0);
        bed.empty(1);
        bed.insert(0, "regional --reset-state");
    }
    void insert(int index, const std::string& profile_and_options) { bed.insert(index, profile_and_options); }

    test::Card_bed bed;
    Scripted_view view;
};

TEST_F(Pin_on_card, change_with_the_right_old_pin_stores_the_new_one)
{
    insert(0, "regional --reset-state");
    const size_t logged = bed.apdu_log(0).size();
    Pin_change_logic change(view, nullptr);
    EXPECT_EQ(change.on_ok("12345", "54321", "54321"), Pin_close_ok);
    EXPECT_EQ(change.kind(), Card_regional_cns);
    EXPECT_EQ(view.messages, std::vector<std::string>{"Il PIN è stato cambiato."});
    EXPECT_EQ(bed.state(0, "regional")["pin"], "54321");
    // The command went out as CHANGE REFERENCE DATA with both secrets, masked in the card's log.
    const std::string log = bed.apdu_log(0).substr(logged);
    EXPECT_NE(log.find("00 24 00 10 10"), std::string::npos) << log;
    EXPECT_EQ(log.find("31 32 33 34 35"), std::string::npos) << "a PIN reached the log";
}

TEST_F(Pin_on_card, wrong_old_pin_answers_by_status_word)
{
    // The card counts the tries left (63Cx): each wrong old PIN says how many, the last one
    // blocks the PIN, and the card's counter is the one the dialog told.
    insert(0, "regional --reset-state");
    {
        Pin_change_logic change(view, nullptr);
        EXPECT_EQ(change.on_ok("11111", "54321", "54321"), Pin_stay_open);
        EXPECT_EQ(bed.state(0, "regional")["pin_tries"], "2");
        EXPECT_EQ(change.on_ok("11111", "54321", "54321"), Pin_stay_open);
        EXPECT_EQ(change.on_ok("11111", "54321", "54321"), Pin_close_cancel);
        EXPECT_EQ(view.messages,
                  (std::vector<std::string>{"Il vecchio PIN è sbagliato.\n\nRiprova. Tentativi rimasti: 2.",
                                            "Il vecchio PIN è sbagliato.\n\nRiprova. Tentativi rimasti: 1.",
                                            "Il PIN è bloccato."}));
        EXPECT_EQ(view.first_field_resets, 2);
        EXPECT_EQ(bed.state(0, "regional")["pin_tries"], "0");
    }
    insert(0, "regional --reset-state --pin-fail-sw 6300");
    view = Scripted_view();
    {
        Pin_change_logic change(view, nullptr);
        EXPECT_EQ(change.on_ok("11111", "54321", "54321"), Pin_stay_open);
        EXPECT_EQ(view.messages, std::vector<std::string>{"Il vecchio PIN è sbagliato.\n\nRiprova."});
        EXPECT_EQ(view.first_field_resets, 1);
        EXPECT_EQ(view.new_pin_resets, 0);
        EXPECT_EQ(bed.state(0, "regional")["pin"], "12345");
    }
    // A status word without a text of its own.
    insert(0, "regional --reset-state --answer 24=6F00");
    view = Scripted_view();
    Pin_change_logic change(view, nullptr);
    EXPECT_EQ(change.on_ok("11111", "54321", "54321"), Pin_stay_open);
    EXPECT_EQ(view.messages, std::vector<std::string>{"Operazione fallita."});
    EXPECT_TRUE(test::traced(Level_warn, {std::to_string(0x6F00)}));
    EXPECT_EQ(view.first_field_resets, 0);
}

TEST_F(Pin_on_card, blocked_pin_is_unblocked_with_the_puk)
{
    insert(0, "regional --reset-state --pin-fail-sw 6300");
    Pin_change_logic change(view, nullptr);
    for (int attempt = 0; attempt < 3; ++attempt)
        change.on_ok("11111", "54321", "54321");
    view.messages.clear();
    EXPECT_EQ(change.on_ok("12345", "54321", "54321"), Pin_close_cancel);
    EXPECT_EQ(view.messages, std::vector<std::string>{"Il PIN è bloccato."});

    {
        Pin_unblock_logic wrong(view, nullptr);
        view.messages.clear();
        const int resets = view.first_field_resets;
        EXPECT_EQ(wrong.on_ok("87654321", "24680", "24680"), Pin_stay_open);
        EXPECT_EQ(view.messages, std::vector<std::string>{"Il codice PUK è sbagliato.\n\nRiprova."});
        EXPECT_EQ(view.first_field_resets, resets + 1);
    }
    Pin_unblock_logic unblock(view, nullptr);
    view.messages.clear();
    EXPECT_EQ(unblock.on_ok("12345678", "24680", "24680"), Pin_close_ok);
    EXPECT_EQ(view.messages, std::vector<std::string>{"Il PIN è stato sbloccato."});
    auto state = bed.state(0, "regional");
    EXPECT_EQ(state["pin"], "24680");
    EXPECT_EQ(state["pin_tries"], "3");
}

TEST_F(Pin_on_card, regional_card_takes_five_digits_another_issuer_six)
{
    insert(0, "regional --reset-state");
    const size_t logged = bed.apdu_log(0).size();
    {
        Pin_change_logic change(view, nullptr);
        EXPECT_EQ(change.on_ok("12345", "123456", "123456"), Pin_stay_open);
        EXPECT_EQ(view.messages, std::vector<std::string>{"Il nuovo PIN deve essere di 5 cifre."});
    }
    EXPECT_EQ(bed.apdu_log(0).substr(logged).find("00 24 00 10"), std::string::npos) << "a refused PIN was sent";
    // Reader 0 empty, another issuer's card in reader 1: kind 2, six digits accepted.
    bed.empty(0);
    insert(1, "other --reset-state");
    view.messages.clear();
    Pin_change_logic change(view, nullptr);
    EXPECT_EQ(change.on_ok("12345", "123456", "123456"), Pin_close_ok);
    EXPECT_EQ(change.kind(), Card_other_cns);
    EXPECT_EQ(change.card()->reader_name(), Reader1);
    EXPECT_EQ(bed.state(1, "other")["pin"], "123456");
}

TEST_F(Pin_on_card, regional_rule_sees_the_holders_issuer_behind_a_ca_certificate)
{
    // The token of reader 1 lists the regional CA's certificate (no key) before its holder's,
    // whose issuer is another one: the card is not regional, and its signing certificate is the
    // holder's.
    auto fixture = [this](const std::string& name) {
        std::ifstream in(bed.env("CARD_BED_FIXTURES") + "/" + name, std::ios::binary);
        return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    EXPECT_EQ(Card_provider(pkcs11_module_path(), Reader1).user_certificate(), fixture("holder-other.cert.der"));
    EXPECT_EQ(Card_provider(pkcs11_module_path(), Reader0).user_certificate(), fixture("holder-regional.cert.der"));
    EXPECT_FALSE(is_regional_card(Reader1));
    EXPECT_TRUE(is_regional_card(Reader0));

    bed.empty(0);
    insert(1, "other --reset-state");
    EXPECT_EQ(Card_access().find_card().kind, Card_other_cns);
}

TEST_F(Pin_on_card, card_taken_out_under_the_command_is_said_so)
{
    // The card leaves on CHANGE REFERENCE DATA without answering: the dialog hears of a removal
    // (in its own words), not of an empty reply it would pass over in silence.
    insert(0, "regional --reset-state --remove-during 1");
    Pin_change_logic change(view, nullptr);
    try {
        change.on_ok("12345", "54321", "54321");
        ADD_FAILURE() << "no failure for a card taken out";
    } catch (const Scard_error& error) {
        EXPECT_EQ(error.code(), Scard_w_removed_card);
        EXPECT_EQ(card_failure_text(error.code()), "La carta è stata rimossa dal lettore.");
    }
    EXPECT_TRUE(view.messages.empty());
}

TEST_F(Pin_on_card, card_search_across_two_readers)
{
    // A CNS card in the first reader: it is taken and the second reader's card is not touched.
    insert(1, "noncns");
    const std::string log_before = bed.apdu_log(1);
    const std::string second_before = bed.apdu_exchanges(1);
    // pcscd powers an idle card down (and up again) by itself: that is not the search touching it.
    power_down(Reader1);
    for (int i = 0; i < 50 && bed.apdu_log(1) == log_before; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_NE(bed.apdu_log(1), log_before) << "the card's log shows no power-down";
    Card_access_result found = Card_access().find_card();
    EXPECT_EQ(found.kind, Card_regional_cns);
    ASSERT_TRUE(found.card);
    EXPECT_EQ(found.card->reader_name(), Reader0);
    found.card.reset();
    EXPECT_EQ(bed.apdu_exchanges(1), second_before);

    // The first reader empty and a card that is not CNS in the second: kind 3 with that card.
    bed.empty(0);
    found = Card_access().find_card();
    EXPECT_EQ(found.kind, Card_not_cns);
    ASSERT_TRUE(found.card);
    EXPECT_EQ(found.card->reader_name(), Reader1);
}

TEST_F(Pin_on_card, no_card_then_card_inserted_after_the_prompt)
{
    bed.empty(0);
    view.answer = [this](const std::string& text) {
        if (text == "Inserisci la carta nel lettore e clicca su OK.")
            insert(0, "regional --reset-state");
        return IDOK;
    };
    Pin_change_logic change(view, nullptr);
    EXPECT_EQ(change.on_ok("12345", "54321", "54321"), Pin_close_ok);
    EXPECT_EQ(view.messages,
              (std::vector<std::string>{"Inserisci la carta nel lettore e clicca su OK.", "Il PIN è stato cambiato."}));
}

TEST_F(Pin_on_card, card_that_is_not_cns_only_with_the_holders_yes)
{
    bed.empty(0);
    insert(1, "noncns --reset-state");
    const size_t logged = bed.apdu_log(1).size();
    view.answer = [](const std::string& text) {
        return text.find("Eseguire comunque") != std::string::npos ? IDNO : IDOK;
    };
    Pin_change_logic refused(view, nullptr);
    EXPECT_EQ(refused.on_ok("12345", "54321", "54321"), Pin_close_cancel);
    EXPECT_EQ(bed.apdu_log(1).substr(logged).find("00 24 00 10"), std::string::npos);

    view.answer = [](const std::string&) { return IDYES; };
    view.messages.clear();
    Pin_change_logic accepted(view, nullptr);
    accepted.on_ok("12345", "54321", "54321");
    EXPECT_NE(bed.apdu_log(1).substr(logged).find("00 24 00 10"), std::string::npos);
}

TEST_F(Pin_on_card, opensc_and_the_menu_leave_the_card_in_the_same_pin_state)
{
    // Each case runs twice on a fresh card, once through OpenSC's pkcs15-tool and once through
    // the menu's dialog logic: the card's PIN and PUK with their counters must come out the same.
    test::Test_folder folder;
    const std::string conf = (folder / "opensc.conf").string();
    test::write_file(conf, "app default {\n\tframework pkcs15 {\n\t\tuse_file_caching = no;\n\t}\n}\n");
    ::setenv("OPENSC_CONF", conf.c_str(), 1);
    auto block = [this] {
        Pin_change_logic change(view, nullptr);
        for (int attempt = 0; attempt < 3; ++attempt)
            change.on_ok("11111", "54321", "54321");
    };
    struct Case {
        const char* what;
        bool blocked_first;
        std::string opensc;
        std::function<void(Scripted_view&)> menu;
    };
    const Case cases[] = {
        {"change", false, "--change-pin --auth-id 01 --pin 12345 --new-pin 54321",
         [](Scripted_view& v) { Pin_change_logic(v, nullptr).on_ok("12345", "54321", "54321"); }},
        {"wrong old PIN", false, "--change-pin --auth-id 01 --pin 11111 --new-pin 54321",
         [](Scripted_view& v) { Pin_change_logic(v, nullptr).on_ok("11111", "54321", "54321"); }},
        {"unblock", true, "--unblock-pin --auth-id 01 --puk 12345678 --new-pin 24680",
         [](Scripted_view& v) { Pin_unblock_logic(v, nullptr).on_ok("12345678", "24680", "24680"); }},
        {"wrong PUK", true, "--unblock-pin --auth-id 01 --puk 87654321 --new-pin 24680",
         [](Scripted_view& v) { Pin_unblock_logic(v, nullptr).on_ok("87654321", "24680", "24680"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        insert(0, "regional --reset-state");
        if (c.blocked_first)
            block();
        const auto before = bed.state(0, "regional");
        const std::string command =
            "pkcs15-tool --reader 0 " + c.opensc + " </dev/null >>" + (folder / "opensc.log").string() + " 2>&1";
        const int status = std::system(command.c_str());
        const auto by_opensc = bed.state(0, "regional");
        EXPECT_NE(by_opensc, before) << "pkcs15-tool (exit status " << status << ") left the card untouched:\n"
                                     << test::read_file(folder / "opensc.log");

        insert(0, "regional --reset-state");
        if (c.blocked_first)
            block();
        c.menu(view);
        EXPECT_EQ(bed.state(0, "regional"), by_opensc);
    }

    // With OpenSC's module as the menu's (the default), the card is known as the regional one
    // through its certificates, and the tries the dialog tells are the card's.
    ASSERT_EQ(write_text(Registry_root::Local_machine, Settings_key, "ModuloPKCS11", ""), 0u);
    insert(0, "regional --reset-state");
    view = Scripted_view();
    Pin_change_logic change(view, nullptr);
    EXPECT_EQ(change.on_ok("11111", "54321", "54321"), Pin_stay_open);
    EXPECT_EQ(change.kind(), Card_regional_cns);
    EXPECT_EQ(view.messages, std::vector<std::string>{"Il vecchio PIN è sbagliato.\n\nRiprova. Tentativi rimasti: 2."});
    EXPECT_EQ(bed.state(0, "regional")["pin_tries"], "2");
    ::unsetenv("OPENSC_CONF");
}

} // namespace
