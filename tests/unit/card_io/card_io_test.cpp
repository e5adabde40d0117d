// The card layer without a card: the bytes of a command, the PIN block, and the reader listing
// driven by a stand-in for SCardListReaders.
#include "card_io/apdu.h"
#include "card_io/pcsc.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using namespace velin::card_io;

TEST(Card_io, command_apdu_writes_lc_only_for_data_and_le_only_when_given)
{
    const Bytes data{0x3F, 0x00};
    EXPECT_EQ(command_apdu(0x00, 0xA4, 0x00, 0x0C, &data), (Bytes{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}));
    EXPECT_EQ(command_apdu(0x00, 0xB0, 0x01, 0x02, nullptr, 0xFE), (Bytes{0x00, 0xB0, 0x01, 0x02, 0xFE}));
    const Bytes empty;
    EXPECT_EQ(command_apdu(0x00, 0xA4, 0x00, 0x00, &empty, 0x00), (Bytes{0x00, 0xA4, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(command_apdu(0x80, 0xCA, 0x9F, 0x7F, nullptr), (Bytes{0x80, 0xCA, 0x9F, 0x7F}));

    const Bytes longest(255, 0x31);
    EXPECT_EQ(command_apdu(0x00, 0xD6, 0x00, 0x00, &longest).size(), 4u + 1u + 255u);
    const Bytes too_long(256, 0x31);
    EXPECT_THROW(command_apdu(0x00, 0xD6, 0x00, 0x00, &too_long), std::length_error);
}

TEST(Card_io, pin_block_pads_with_ff_and_refuses_more_than_eight_characters)
{
    std::array<uint8_t, Pin_block_size> block{};
    put_pin_block("12345", block);
    EXPECT_EQ(Bytes(block.begin(), block.end()), (Bytes{'1', '2', '3', '4', '5', 0xFF, 0xFF, 0xFF}));
    put_pin_block("87654321", block);
    EXPECT_EQ(Bytes(block.begin(), block.end()), (Bytes{'8', '7', '6', '5', '4', '3', '2', '1'}));
    put_pin_block("", block);
    EXPECT_EQ(Bytes(block.begin(), block.end()), Bytes(8, 0xFF));

    block.fill(0x00);
    EXPECT_THROW(put_pin_block("123456789", block), std::length_error);
    EXPECT_EQ(Bytes(block.begin(), block.end()), Bytes(8, 0x00));
}

// SCardListReaders over a list that may grow between the size asked and the names read.
struct Service {
    std::vector<std::string> sizes; // the multi-string each call sees, in order; the last stays
    size_t call = 0;
    std::string now() { return sizes[std::min(call++, sizes.size() - 1)]; }

    LONG operator()(char* names, DWORD* length)
    {
        const std::string list = now();
        if (!names) {
            *length = static_cast<DWORD>(list.size());
            return SCARD_S_SUCCESS;
        }
        if (*length < list.size()) {
            *length = static_cast<DWORD>(list.size());
            return SCARD_E_INSUFFICIENT_BUFFER;
        }
        std::memcpy(names, list.data(), list.size());
        *length = static_cast<DWORD>(list.size());
        return SCARD_S_SUCCESS;
    }
};

TEST(Card_io, reader_listing_is_sized_by_the_service_and_grows_with_it)
{
    using namespace std::string_literals;
    const std::string one = "Lettore A\0\0"s;
    const std::string two = "Lettore A\0Lettore B con un nome lungo\0\0"s;

    std::vector<std::string> names{"stale"};
    Service steady{{one}};
    EXPECT_EQ(list_reader_names(std::ref(steady), names), SCARD_S_SUCCESS);
    EXPECT_EQ(names, (std::vector<std::string>{"Lettore A"}));

    // A reader plugged in after the size was asked: asked again, both names come back.
    Service growing{{one, two}};
    EXPECT_EQ(list_reader_names(std::ref(growing), names), SCARD_S_SUCCESS);
    EXPECT_EQ(names, (std::vector<std::string>{"Lettore A", "Lettore B con un nome lungo"}));

    // A list longer than a fixed buffer would hold.
    std::string many;
    for (int i = 0; i < 200; ++i)
        many += "Lettore virtuale numero " + std::to_string(i) + std::string(40, 'x') + '\0';
    many += '\0';
    Service large{{many}};
    EXPECT_EQ(list_reader_names(std::ref(large), names), SCARD_S_SUCCESS);
    ASSERT_EQ(names.size(), 200u);
    EXPECT_EQ(names.back().rfind("Lettore virtuale numero 199", 0), 0u);

    // A list that never stops growing ends the tries with the service's answer, no names.
    std::vector<std::string> ever;
    for (int i = 1; i < 20; ++i)
        ever.push_back(std::string(static_cast<size_t>(i) * 10, 'r') + "\0\0"s);
    Service endless{ever};
    EXPECT_EQ(list_reader_names(std::ref(endless), names), SCARD_E_INSUFFICIENT_BUFFER);
    EXPECT_TRUE(names.empty());

    auto no_readers = [](char*, DWORD*) -> LONG { return SCARD_E_NO_READERS_AVAILABLE; };
    EXPECT_EQ(list_reader_names(no_readers, names), SCARD_E_NO_READERS_AVAILABLE);
    EXPECT_TRUE(names.empty());
}

TEST(Card_io, reader_names_stay_within_the_length_whatever_the_terminators)
{
    using namespace std::string_literals;
    const std::string unterminated = "Uno\0Due"s;
    EXPECT_EQ(reader_names(unterminated.data(), unterminated.size()), (std::vector<std::string>{"Uno", "Due"}));
    const std::string early_end = "Uno\0\0Tre\0\0"s;
    EXPECT_EQ(reader_names(early_end.data(), early_end.size()), (std::vector<std::string>{"Uno"}));
    EXPECT_TRUE(reader_names("", 0).empty());
}

} // namespace
