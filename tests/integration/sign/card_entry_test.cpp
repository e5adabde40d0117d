// The signer's card search and PIN check against the simulated card behind the real pcscd. Each
// test leaves the bed as it found it: the regional card with PIN 12345 in reader 0, reader 1 empty.
#include "card_bed.h"
#include "norax_sign/card_entry.h"
#include "test_folder.h"

#include <gtest/gtest.h>

namespace velin {
namespace {

const std::string Reader0 = "Virtual PCD 00 00";
const std::string Reader1 = "Virtual PCD 00 01";

class Card_entry : public testing::Test {
protected:
    void SetUp() override
    {
        test::private_environment();
        ASSERT_TRUE(bed.running()) << "the card bed is not running: run through ctest (fixture card_bed)";
    }
    void TearDown() override
    {
        bed.empty(0);
        bed.empty(1);
        bed.insert(0, "regional --reset-state");
    }

    test::Card_bed bed;
};

TEST_F(Card_entry, the_search_takes_the_first_reader_with_a_cns_card)
{
    // A card that is not CNS in the first reader, another issuer's CNS card in the second.
    bed.insert(0, "noncns");
    bed.insert(1, "other --reset-state");
    Card_search search;
    ASSERT_TRUE(search.list_readers());
    ASSERT_TRUE(search.search());
    EXPECT_EQ(search.reader_name(), Reader1);
    EXPECT_EQ(search.reader_index(), 1u);
    ASSERT_TRUE(search.card());
    EXPECT_EQ(search.card()->reader_name(), Reader1);

    // No CNS card anywhere: the search goes on finding nothing until one is inserted, in a
    // reader list read once.
    Card_search waiting;
    bed.empty(1);
    ASSERT_TRUE(waiting.list_readers());
    EXPECT_FALSE(waiting.search());
    EXPECT_FALSE(waiting.search());
    bed.insert(1, "regional --reset-state");
    EXPECT_TRUE(waiting.search());
    EXPECT_EQ(waiting.reader_index(), 1u);
}

TEST_F(Card_entry, pin_block_and_the_answers_of_the_card)
{
    EXPECT_FALSE(pin_can_be_confirmed("1234"));
    EXPECT_TRUE(pin_can_be_confirmed("12345"));
    EXPECT_TRUE(pin_can_be_confirmed("12345678"));
    EXPECT_FALSE(pin_can_be_confirmed("123456789"));
    EXPECT_FALSE(pin_can_be_confirmed("1234a"));

    Card_search search;
    ASSERT_TRUE(search.list_readers());
    ASSERT_TRUE(search.search());
    ISCard& card = *search.card();

    const size_t logged = bed.apdu_log(0).size();
    EXPECT_EQ(verify_card_pin(card, "12345"), 0u);
    EXPECT_EQ(bed.state(0, "regional")["pin_tries"], "3");
    // VERIFY with the 8-byte block (the simulated card refuses any other form), then SELECT 3F00;
    // the PIN never reaches the card's log.
    const std::string log = bed.apdu_log(0).substr(logged);
    EXPECT_NE(log.find("00 20 00 10 08"), std::string::npos) << log;
    EXPECT_NE(log.find("00 A4 00 00 02 3F 00"), std::string::npos) << log;
    EXPECT_EQ(log.find("31 32 33 34 35"), std::string::npos) << "a PIN reached the log";

    EXPECT_EQ(verify_card_pin(card, "11111"), Pin_wrong);
    EXPECT_EQ(bed.state(0, "regional")["pin_tries"], "2");
    EXPECT_EQ(verify_card_pin(card, "12345"), 0u);
    EXPECT_EQ(bed.state(0, "regional")["pin_tries"], "3");
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(verify_card_pin(card, "11111"), Pin_wrong);
    EXPECT_EQ(verify_card_pin(card, "12345"), Pin_blocked);
}

} // namespace
} // namespace velin
