// The card's answers to SELECT, READ BINARY and the PIN commands, as a host sees them.
#include "test_support.h"

#include <gtest/gtest.h>

namespace cns_sim::test {
namespace {

// Reads the currently selected EF whole, the way a host does: size from the FCI, then chunks
// of at most 254 bytes.
Bytes read_selected(Test_card& t, const Bytes& select_reply, std::size_t chunk = 254)
{
    const long size = fci_size(data_of(select_reply));
    if (size < 0)
        throw std::runtime_error("no size in the FCI");
    Bytes out;
    while (out.size() < static_cast<std::size_t>(size)) {
        const std::size_t n = std::min(chunk, static_cast<std::size_t>(size) - out.size());
        Bytes cmd = {0x00, 0xB0, static_cast<std::uint8_t>(out.size() >> 8),
                     static_cast<std::uint8_t>(out.size() & 0xFF), static_cast<std::uint8_t>(n)};
        const Bytes reply = t.card->process(cmd);
        if (status_of(reply) != sw::ok)
            throw std::runtime_error("READ BINARY failed: " + to_hex(reply));
        const Bytes data = data_of(reply);
        out.insert(out.end(), data.begin(), data.end());
    }
    return out;
}

const std::string verify_12345 = "00 20 00 10 08 31 32 33 34 35 FF FF FF";
const std::string verify_99999 = "00 20 00 10 08 39 39 39 39 39 FF FF FF";

TEST(Select, EveryWayOfNamingAFileReachesTheSameFile)
{
    Test_card t;
    // By path from the MF.
    const Bytes by_path = t.send("00 A4 08 00 04 11 00 11 02 00");
    ASSERT_EQ(status_of(by_path), sw::ok);
    EXPECT_EQ(fci_size(data_of(by_path)), 400);
    const Bytes content = read_selected(t, by_path);

    // Step by step: MF with no data, then each identifier.
    EXPECT_EQ(t.sw("00 A4 00 00 00"), sw::ok);
    EXPECT_EQ(t.sw("00 A4 00 00 02 11 00 00"), sw::ok);
    const Bytes by_id = t.send("00 A4 00 00 02 11 02 00");
    ASSERT_EQ(status_of(by_id), sw::ok);
    EXPECT_EQ(read_selected(t, by_id, 100), content);

    // A sibling DF is found from inside another DF; the parent is reachable with P1 03.
    EXPECT_EQ(t.sw("00 A4 00 00 02 12 00 00"), sw::ok);
    EXPECT_EQ(t.sw("00 A4 03 00 00"), sw::ok);
    EXPECT_EQ(t.sw("00 A4 01 00 02 11 00 00"), sw::ok);
    EXPECT_EQ(t.sw("00 A4 02 00 02 11 02 00"), sw::ok);
    EXPECT_EQ(t.sw("00 A4 00 00 00"), sw::ok);
    EXPECT_EQ(t.sw("00 A4 02 00 02 11 00 00"), sw::file_not_found) << "P1 02 selects EFs only";
    EXPECT_EQ(t.sw("00 A4 01 00 02 2F 01 00"), sw::file_not_found) << "P1 01 selects DFs only";
    // Relative path from the current DF.
    EXPECT_EQ(t.sw("00 A4 00 00 00"), sw::ok);
    EXPECT_EQ(t.sw("00 A4 09 00 04 11 00 11 01 00"), sw::ok);

    // By application name.
    const Bytes app = t.send("00 A4 04 00 05 A0 00 00 00 73 00");
    ASSERT_EQ(status_of(app), sw::ok);
    EXPECT_NE(to_hex(data_of(app)).find("84 05 A0 00 00 00 73"), std::string::npos);
    EXPECT_EQ(t.sw("00 A4 04 00 05 A0 00 00 00 74 00"), sw::file_not_found);
}

TEST(Select, RefusalsFollowIso7816)
{
    Test_card t;
    EXPECT_EQ(t.sw("00 A4 08 00 04 11 00 99 99 00"), sw::file_not_found);
    EXPECT_EQ(t.sw("00 A4 08 00 06 3F 00 11 00 11 02 00"), sw::file_not_found) << "the MF is never in a path";
    EXPECT_EQ(t.sw("00 A4 08 00 03 11 00 11 00"), sw::wrong_length);
    EXPECT_EQ(t.sw("00 A4 08 00 06 11 00 11 02 11 02 00"), sw::file_not_found) << "no path runs through an EF";
    EXPECT_EQ(t.sw("00 A4 00 00 03 11 00 11 00"), sw::wrong_length);
    EXPECT_EQ(t.sw("00 A4 05 00 02 11 00 00"), sw::wrong_p1p2);
    EXPECT_EQ(t.sw("00 A4 00 01 02 11 00 00"), sw::wrong_p1p2);
    EXPECT_EQ(t.sw("80 A4 00 00 02 11 00 00"), sw::cla_not_supported);
    EXPECT_EQ(t.sw("00 CA 00 00 00"), sw::ins_not_supported);
    EXPECT_EQ(t.sw("00 A4 00 00 00 00 02 3F 00"), sw::wrong_length) << "extended lengths are not offered";
    // A failed SELECT keeps the previous selection.
    ASSERT_EQ(t.sw("00 A4 08 00 04 10 00 10 03 00"), sw::ok);
    EXPECT_EQ(t.sw("00 A4 08 00 04 10 00 99 99 00"), sw::file_not_found);
    EXPECT_EQ(data_of(t.send("00 B0 00 00 10")).size(), 16u);
}

TEST(Select, ReplyDataDependsOnP2AndLe)
{
    Test_card t;
    EXPECT_EQ(t.send("00 A4 08 00 04 11 00 11 02"), hex("90 00")) << "no Le: no data";
    EXPECT_EQ(t.send("00 A4 08 0C 04 11 00 11 02 00"), hex("90 00")) << "P2 0C: no data";
    const Bytes fcp = t.send("00 A4 08 04 04 11 00 11 02 00");
    EXPECT_EQ(fcp.front(), 0x62);
    EXPECT_EQ(fci_size(data_of(fcp)), 400);
    const Bytes full = t.send("00 A4 08 00 04 11 00 11 02 00");
    EXPECT_EQ(full.front(), 0x6F);
    const Bytes short_le = t.send("00 A4 08 00 04 11 00 11 02 04");
    EXPECT_EQ(status_of(short_le), sw::wrong_le(full.size() - 2));
}

TEST(Select, ProfileSwitchesChangeFciTemplateAndPathSupport)
{
    Profile_options o = profile(Profile_kind::regional);
    o.fci = Fci_style::fcp_62_size_81;
    o.path_select = false;
    Test_card t(o);
    EXPECT_EQ(t.sw("00 A4 08 00 04 11 00 11 02 00"), sw::wrong_length);
    EXPECT_EQ(t.sw("00 A4 09 00 02 11 00 00"), sw::wrong_length);
    EXPECT_EQ(t.sw("00 A4 00 00 00"), sw::ok);
    EXPECT_EQ(t.sw("00 A4 00 00 02 11 00 00"), sw::ok);
    const Bytes fci = t.send("00 A4 00 00 02 11 02 00");
    ASSERT_EQ(status_of(fci), sw::ok);
    EXPECT_EQ(fci.front(), 0x62);
    EXPECT_NE(to_hex(fci).find("81 02 01 90"), std::string::npos);
    EXPECT_EQ(to_hex(fci).find("80 02"), std::string::npos);
    EXPECT_EQ(fci_size(data_of(fci)), 400);
}

TEST(ReadBinary, OffsetsLeAndEndOfFile)
{
    Test_card t;
    EXPECT_EQ(t.sw("00 B0 00 00 10"), sw::no_current_ef) << "the MF is selected after reset";
    ASSERT_EQ(t.sw("00 A4 08 00 04 11 00 11 02 00"), sw::ok);
    const Bytes head = data_of(t.send("00 B0 00 00 06"));
    EXPECT_EQ(head.size(), 6u);
    const Bytes tail = t.send("00 B0 01 80 20"); // offset 384 of 400
    EXPECT_EQ(status_of(tail), sw::end_of_file);
    EXPECT_EQ(data_of(tail).size(), 16u);
    EXPECT_EQ(status_of(t.send("00 B0 01 8F 01")), sw::ok);
    EXPECT_EQ(t.sw("00 B0 01 90 01"), sw::offset_outside_ef);
    EXPECT_EQ(t.sw("00 B0 7F FF 01"), sw::offset_outside_ef);
    EXPECT_EQ(t.sw("00 B0 00 00"), sw::wrong_length) << "no Le";
    EXPECT_EQ(t.sw("00 B0 00 00 01 00 10"), sw::wrong_length) << "data where none belongs";
    EXPECT_EQ(t.sw("00 B0 81 00 10"), sw::file_not_found) << "no short file identifiers";
    const Bytes le00 = t.send("00 B0 00 00 00");
    EXPECT_EQ(data_of(le00).size(), 256u);
    EXPECT_EQ(status_of(le00), sw::ok);

    // An empty EF reports size 0 and has nothing to read.
    const Bytes empty = t.send("00 A4 08 00 04 12 00 12 01 00");
    EXPECT_EQ(fci_size(data_of(empty)), 0);
    EXPECT_EQ(t.sw("00 B0 00 00 01"), sw::offset_outside_ef);
    // A DF is not readable.
    ASSERT_EQ(t.sw("00 A4 08 00 02 12 00 00"), sw::ok);
    EXPECT_EQ(t.sw("00 B0 00 00 01"), sw::no_current_ef);
}

TEST(Pin, VerifyCountsDownBlocksAndAResetForgetsIt)
{
    Test_card t;
    EXPECT_EQ(t.sw("00 20 00 10"), sw::retries_left(3)) << "no data asks for the counter";
    EXPECT_EQ(t.sw(verify_99999), sw::retries_left(2));
    EXPECT_EQ(t.store.state().pin_tries, 2);
    EXPECT_EQ(t.sw(verify_12345), sw::ok);
    EXPECT_EQ(t.store.state().pin_tries, 3) << "a right PIN restores the counter";
    EXPECT_EQ(t.sw("00 20 00 10"), sw::ok) << "verified";
    t.card->reset();
    EXPECT_EQ(t.sw("00 20 00 10"), sw::retries_left(3)) << "reset ends the verification";

    ASSERT_EQ(t.sw(verify_12345), sw::ok);
    EXPECT_EQ(t.sw("00 20 00 10 08 31 32 33 34 35 FF FF 00"), sw::retries_left(2));
    EXPECT_FALSE(t.card->pin_verified()) << "a wrong PIN drops an earlier verification";
    EXPECT_EQ(t.sw(verify_99999), sw::retries_left(1));
    EXPECT_EQ(t.sw(verify_99999), sw::retries_left(0));
    EXPECT_EQ(t.sw(verify_12345), sw::auth_blocked) << "blocked even for the right PIN";
    EXPECT_EQ(t.sw("00 20 00 10"), sw::auth_blocked);
    EXPECT_EQ(t.store.state().pin_tries, 0);

    EXPECT_EQ(t.sw("00 20 00 11 08 31 32 33 34 35 FF FF FF"), sw::reference_not_found);
    EXPECT_EQ(t.sw("00 20 01 10 08 31 32 33 34 35 FF FF FF"), sw::wrong_p1p2);
}

TEST(Pin, OnlyTheEightByteBlockIsThePin)
{
    // A real card compares the stored 8-byte block: the bare digits of the right PIN, or the
    // block cut short or made longer, are wrong PINs and cost a try.
    Test_card t;
    EXPECT_EQ(t.sw("00 20 00 10 05 31 32 33 34 35"), sw::retries_left(2)) << "bare digits";
    EXPECT_EQ(t.sw("00 20 00 10 09 31 32 33 34 35 FF FF FF FF"), sw::retries_left(1)) << "9 bytes";
    EXPECT_EQ(t.sw("00 20 00 10 07 31 32 33 34 35 FF FF"), sw::retries_left(0)) << "7 bytes";
    EXPECT_EQ(t.store.state().pin_tries, 0);
    EXPECT_FALSE(t.card->pin_verified());

    // An APDU whose Lc does not match its data is not a VERIFY at all: no try is counted.
    Test_card u;
    EXPECT_EQ(u.sw("00 20 00 10 08 31 32 33"), sw::wrong_length);
    EXPECT_EQ(u.store.state().pin_tries, 3);

    // The PIN commands of the menu use the same blocks: an unpadded old PIN or PUK is wrong.
    EXPECT_EQ(u.sw("00 24 00 10 0A 31 32 33 34 35 35 34 33 32 31 00"), sw::retries_left(2));
    EXPECT_EQ(u.store.state().pin, "12345");
    EXPECT_EQ(u.sw("00 2C 00 10 0D 31 32 33 34 35 36 37 38 35 34 33 32 31 00"), sw::retries_left(9));
    EXPECT_EQ(u.store.state().puk_tries, 9);
}

TEST(Pin, ProtectedFilesNeedTheVerifiedPin)
{
    Profile_options o = profile(Profile_kind::regional);
    o.extra_protected.push_back({0x1000, 0x1003});
    Test_card t(o);
    ASSERT_EQ(t.sw("00 A4 08 00 06 14 00 14 10 D0 08 00"), sw::ok) << "selecting is free";
    EXPECT_EQ(t.sw("00 B0 00 00 10"), sw::security_not_satisfied);
    ASSERT_EQ(t.sw("00 A4 08 00 04 10 00 10 03 00"), sw::ok);
    EXPECT_EQ(t.sw("00 B0 00 00 10"), sw::security_not_satisfied) << "made protected by the option";
    ASSERT_EQ(t.sw(verify_12345), sw::ok);
    EXPECT_EQ(t.sw("00 B0 00 00 10"), sw::ok);
    EXPECT_EQ(t.sw("00 A4 08 00 06 14 00 14 10 D0 08 00"), sw::ok);
    EXPECT_EQ(t.sw("00 B0 00 00 10"), sw::ok);
    EXPECT_EQ(t.sw("00 20 FF 10"), sw::ok) << "the verification can be dropped on purpose";
    EXPECT_EQ(t.sw("00 B0 00 00 10"), sw::security_not_satisfied);
    EXPECT_EQ(t.sw(verify_12345), sw::ok);
    t.card->reset();
    EXPECT_EQ(t.sw("00 A4 08 00 06 14 00 14 10 D0 08 00"), sw::ok);
    EXPECT_EQ(t.sw("00 B0 00 00 10"), sw::security_not_satisfied);
}

TEST(Pin, ChangeReferenceDataChecksOldPinAndNewFormat)
{
    Test_card t;
    const std::string old_right = "31 32 33 34 35 FF FF FF";
    const std::string old_wrong = "31 31 31 31 31 FF FF FF";
    auto change = [&](const std::string& old_block, const std::string& new_block) {
        return t.sw("00 24 00 10 10 " + old_block + " " + new_block + " 00");
    };
    EXPECT_EQ(change(old_wrong, "35 34 33 32 31 FF FF FF"), sw::retries_left(2));
    EXPECT_EQ(t.store.state().pin, "12345");
    EXPECT_EQ(change(old_right, "31 32 33 34 FF FF FF FF"), sw::wrong_data) << "4 digits";
    EXPECT_EQ(change(old_right, "31 32 33 34 35 FF 36 FF"), sw::wrong_data) << "digit after padding";
    EXPECT_EQ(change(old_right, "31 32 33 34 41 FF FF FF"), sw::wrong_data) << "a letter";
    EXPECT_EQ(t.store.state().pin, "12345");
    EXPECT_EQ(t.store.state().pin_tries, 3) << "the right old PIN restored the counter";
    EXPECT_EQ(t.sw("00 24 00 10 08 " + old_right), sw::retries_left(2)) << "no new PIN block: not a valid old block";
    EXPECT_EQ(t.sw(verify_12345), sw::ok);
    EXPECT_EQ(t.sw("00 24 01 10 08 31 32 33 34 35 36 FF FF"), sw::wrong_p1p2);

    EXPECT_EQ(change(old_right, "38 37 36 35 34 33 32 31"), sw::ok);
    EXPECT_EQ(t.store.state().pin, "87654321");
    EXPECT_EQ(t.sw(verify_12345), sw::retries_left(2));
    EXPECT_EQ(t.sw("00 20 00 10 08 38 37 36 35 34 33 32 31"), sw::ok);

    for (int i = 0; i < 3; ++i)
        change(old_wrong, "35 34 33 32 31 FF FF FF");
    EXPECT_EQ(t.store.state().pin_tries, 0);
    EXPECT_EQ(change("38 37 36 35 34 33 32 31", "35 34 33 32 31 FF FF FF"), sw::auth_blocked);
}

TEST(Pin, ResetRetryCounterWithPukUnblocksAndSetsPin)
{
    Test_card t(profile(Profile_kind::regional), Pin_state{"12345", 0, "12345678", 10});
    const std::string puk_right = "31 32 33 34 35 36 37 38";
    const std::string puk_wrong = "38 37 36 35 34 33 32 31";
    EXPECT_EQ(t.sw(verify_12345), sw::auth_blocked);
    EXPECT_EQ(t.sw("00 2C 00 10 10 " + puk_wrong + " 35 35 35 35 35 FF FF FF 00"), sw::retries_left(9));
    EXPECT_EQ(t.store.state().puk_tries, 9);
    EXPECT_EQ(t.sw("00 2C 00 10 10 " + puk_right + " 35 35 35 FF FF FF FF FF 00"), sw::wrong_data);
    EXPECT_EQ(t.store.state().pin_tries, 0) << "still blocked after a refused new PIN";
    EXPECT_EQ(t.store.state().puk_tries, 10);
    EXPECT_EQ(t.sw("00 2C 00 10 10 " + puk_right + " 35 35 35 35 35 FF FF FF 00"), sw::ok);
    EXPECT_EQ(t.store.state(), (Pin_state{"55555", 3, "12345678", 10}));
    EXPECT_EQ(t.sw("00 20 00 10 08 35 35 35 35 35 FF FF FF"), sw::ok);

    // P1 01: unblock only, the PIN stays.
    for (int i = 0; i < 3; ++i)
        t.sw(verify_12345);
    EXPECT_EQ(t.sw("00 2C 01 10 08 " + puk_right), sw::ok);
    EXPECT_EQ(t.store.state(), (Pin_state{"55555", 3, "12345678", 10}));
    EXPECT_EQ(t.sw("00 2C 00 10 08 " + puk_right), sw::retries_left(9)) << "PUK without the new PIN block";
    EXPECT_EQ(t.sw("00 2C 01 10 08 " + puk_right), sw::ok);
    EXPECT_EQ(t.sw("00 2C 02 10 08 35 35 35 35 35 FF FF FF"), sw::wrong_p1p2);

    for (int i = 10; i > 0; --i)
        EXPECT_EQ(t.sw("00 2C 01 10 08 " + puk_wrong), sw::retries_left(static_cast<unsigned>(i - 1)));
    EXPECT_EQ(t.sw("00 2C 01 10 08 " + puk_right), sw::auth_blocked);
}

TEST(Pin, PlainWrongPinStatusOnRequest)
{
    Profile_options o = profile(Profile_kind::regional);
    o.pin_failure = Pin_failure_style::plain_6300;
    Test_card t(o);
    EXPECT_EQ(t.sw(verify_99999), sw::wrong_pin_no_info);
    EXPECT_EQ(t.sw("00 24 00 10 10 39 39 39 39 39 FF FF FF 35 35 35 35 35 FF FF FF 00"), sw::wrong_pin_no_info);
    EXPECT_EQ(t.sw(verify_99999), sw::wrong_pin_no_info);
    EXPECT_EQ(t.sw(verify_12345), sw::auth_blocked);
}

TEST(Switches, ForcedStatusWordsAndReplacedAtr)
{
    Profile_options o = profile(Profile_kind::regional);
    o.forced_status = {{0x24, 0x9300}, {0xB0, 0x6100}};
    o.reader_atr = hex("3B 0E 00 11 22 33 44 55 66 77 43 4E 53 88 99 AA");
    Test_card t(o);
    EXPECT_EQ(t.card->atr().size(), 16u);
    EXPECT_EQ(t.send("00 24 00 10 10 31 32 33 34 35 FF FF FF 35 34 33 32 31 FF FF FF 00"), hex("93 00"));
    EXPECT_EQ(t.store.state().pin, "12345") << "a forced answer executes nothing";
    ASSERT_EQ(t.sw("00 A4 08 00 04 11 00 11 02 00"), sw::ok);
    EXPECT_EQ(t.send("00 B0 00 00 10"), hex("61 00"));
    o.reader_atr = hex("3B");
    EXPECT_THROW(build_card(o), std::invalid_argument);
}

TEST(T0, DataAfterDataComesThroughGetResponse)
{
    Profile_options o = profile(Profile_kind::regional);
    o.t0 = true;
    Test_card t(o);
    // The reader sends case 4 as case 3; the card announces the FCI.
    const Bytes announced = t.send("00 A4 08 00 04 11 00 11 02");
    ASSERT_EQ(announced.size(), 2u);
    ASSERT_EQ(announced[0], 0x61);
    const std::size_t length = announced[1];
    const Bytes part = t.send("00 C0 00 00 04");
    EXPECT_EQ(data_of(part).size(), 4u);
    EXPECT_EQ(status_of(part), sw::bytes_available(length - 4));
    const Bytes rest = t.send("00 C0 00 00 00");
    EXPECT_EQ(status_of(rest), sw::ok);
    Bytes fci = data_of(part);
    const Bytes tail = data_of(rest);
    fci.insert(fci.end(), tail.begin(), tail.end());
    EXPECT_EQ(fci_size(fci), 400);
    EXPECT_EQ(t.sw("00 C0 00 00 00"), sw::no_response_pending);
    // Case 2 needs no GET RESPONSE.
    EXPECT_EQ(data_of(t.send("00 B0 00 00 06")).size(), 6u);
    // Asking for more than is pending gives the exact count; another command drops it.
    ASSERT_EQ(t.send("00 A4 08 00 04 11 00 11 02")[0], 0x61);
    EXPECT_EQ(t.sw("00 C0 00 00 FE"), sw::wrong_le(length));
    EXPECT_EQ(t.sw("00 B0 00 00 01"), sw::ok);
    EXPECT_EQ(t.sw("00 C0 00 00 00"), sw::no_response_pending);
}

} // namespace
} // namespace cns_sim::test
