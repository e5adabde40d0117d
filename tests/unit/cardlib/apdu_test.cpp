// The bytes of each command the library sends, and the preconditions refused before sending.
#include "cardlib/card_exceptions.h"
#include "cardlib/iso7816_apdu.h"

#include <gtest/gtest.h>

namespace {

using namespace velin::cardlib;

std::string bytes_of(const ISO7816_COMMAND_APDU& command)
{
    return to_hex(command.serialise(), " ");
}

TEST(Card_commands, builders_produce_the_iso_bytes)
{
    // The PIN goes as the card stores it: 8 bytes padded with FF, and no Le.
    EXPECT_EQ(bytes_of(verify_command(0x00, 0x10, Bytes{'1', '2', '3', '4', '5'})),
              "00 20 00 10 08 31 32 33 34 35 FF FF FF");
    EXPECT_EQ(bytes_of(verify_command(0x00, 0x10, Bytes{'1', '2', '3', '4', '5', '6', '7', '8'})),
              "00 20 00 10 08 31 32 33 34 35 36 37 38");
    EXPECT_EQ(bytes_of(select_by_path_command(0x08, {0x1100, 0x1102})), "00 A4 08 00 04 11 00 11 02 00");
    EXPECT_EQ(bytes_of(select_by_file_id_command(0x00, 0x2F00)), "00 A4 00 00 02 2F 00 00");
    EXPECT_EQ(bytes_of(select_by_name_command(0x04, "A000000073")), "00 A4 04 00 05 A0 00 00 00 73 00");
    EXPECT_EQ(bytes_of(select_by_name_command(0x00, "")), "00 A4 00 00 00");
    EXPECT_EQ(bytes_of(read_binary_command(0x00FE, 0x92)), "00 B0 00 FE 92");
    EXPECT_TRUE(verify_command(0x00, 0x10, Bytes{'1'}).secret());
    EXPECT_FALSE(read_binary_command(0, 1).secret());
}

TEST(Card_commands, preconditions_are_refused_before_sending)
{
    EXPECT_THROW(read_binary_command(0, 0xFF), CRequireException);
    EXPECT_NO_THROW(read_binary_command(0, 0xFE));
    EXPECT_THROW(read_binary_command(0x8000, 1), CRequireException);
    EXPECT_THROW(verify_command(0x00, 0x20, Bytes{'1'}), CRequireException);
    EXPECT_THROW(verify_command(0x00, 0x10, Bytes(9, '1')), CRequireException);
    EXPECT_THROW(select_by_path_command(0x09, {0x1100}), CRequireException);
    for (const char* bad : {"A0 00", "A0G0", "A00", "-1"}) {
        try {
            select_by_name_command(0x04, bad);
            ADD_FAILURE() << bad;
        } catch (const CEnumException<BASIC_ERRORS::CError>& e) {
            EXPECT_EQ(e.code(), BASIC_ERRORS::Invalid_argument);
        }
    }
}

TEST(Card_commands, replies_split_into_data_and_status)
{
    const ISO7816_RESPONSE_APDU status_only(Bytes{0x90, 0x01});
    EXPECT_EQ(status_only.data_size(), 0u);
    EXPECT_EQ(status_only.status_word(), 0x9001);
    const ISO7816_RESPONSE_APDU reply(Bytes{0x01, 0x02, 0x6A, 0x82});
    EXPECT_EQ(reply.data(), (Bytes{0x01, 0x02}));
    EXPECT_EQ(reply.sw1(), 0x6A);
    EXPECT_EQ(reply.sw2(), 0x82);
    EXPECT_THROW(ISO7816_RESPONSE_APDU(Bytes{0x90}), CCheckException);
}

} // namespace
