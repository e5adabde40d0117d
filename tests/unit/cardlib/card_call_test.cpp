// The card time of one exported call, with stand-in PC/SC calls that take as long as a slow card.
#include "cardlib/card_call.h"
#include "cardlib/card_exceptions.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace velin::cardlib;
using namespace std::chrono;

struct Card_time {
    explicit Card_time(milliseconds time) { set_card_time_for_tests(time); }
    ~Card_time() { set_card_time_for_tests(milliseconds(0)); }
};

TEST(Card_call, the_time_is_for_the_whole_call_and_a_late_card_is_left_behind)
{
    Card_time time(milliseconds(300));
    auto released = std::make_shared<std::atomic<int>>(0);
    {
        Card_call call;
        // Calls that return in time give their own result, on another thread than the caller's.
        const auto caller = std::this_thread::get_id();
        EXPECT_EQ(Card_call::run([caller] {
                      return std::this_thread::get_id() != caller ? SCARD_S_SUCCESS : SCARD_F_INTERNAL_ERROR;
                  }),
                  SCARD_S_SUCCESS);
        EXPECT_EQ(Card_call::run([] { return SCARD_W_REMOVED_CARD; }), SCARD_W_REMOVED_CARD);
        EXPECT_EQ(Card_call::run([] {
                      std::this_thread::sleep_for(milliseconds(200));
                      return SCARD_S_SUCCESS;
                  }),
                  SCARD_S_SUCCESS);

        // 200 ms were used: the next call has 100 ms left, not 300.
        const auto start = steady_clock::now();
        try {
            Card_call::run([] {
                std::this_thread::sleep_for(milliseconds(250));
                return SCARD_S_SUCCESS;
            });
            ADD_FAILURE() << "no time-out";
        } catch (const Winapi_exception& e) {
            EXPECT_EQ(e.code(), static_cast<uint32_t>(SCARD_E_TIMEOUT));
        }
        EXPECT_LT(steady_clock::now() - start, milliseconds(200));

        // Afterwards nothing more goes to the card, and releases do not wait for it.
        EXPECT_THROW(Card_call::run([] { return SCARD_S_SUCCESS; }), Winapi_exception);
        const auto release_start = steady_clock::now();
        EXPECT_FALSE(Card_call::release([released] {
            ++*released;
            return SCARD_S_SUCCESS;
        }));
        EXPECT_LT(steady_clock::now() - release_start, milliseconds(50));
    }
    // The call is over for the caller; its worker still releases once the card lets it.
    EXPECT_EQ(*released, 0);
    for (int i = 0; i < 100 && *released == 0; ++i)
        std::this_thread::sleep_for(milliseconds(10));
    EXPECT_EQ(*released, 1);
}

TEST(Card_call, without_a_call_and_each_call_with_its_own_time)
{
    // Outside an exported call nothing is timed.
    EXPECT_EQ(Card_call::run([] { return SCARD_E_NO_SMARTCARD; }), SCARD_E_NO_SMARTCARD);

    Card_time time(milliseconds(100));
    {
        Card_call call;
        EXPECT_THROW(Card_call::run([] {
                         std::this_thread::sleep_for(milliseconds(150));
                         return SCARD_S_SUCCESS;
                     }),
                     Winapi_exception);
    }
    Card_call next;
    EXPECT_EQ(Card_call::run([] { return SCARD_S_SUCCESS; }), SCARD_S_SUCCESS);
    EXPECT_TRUE(Card_call::release([] { return SCARD_S_SUCCESS; }));
}

} // namespace
