// ATRs as a host reads them, and the short APDU encodings the card accepts.
#include "apdu.h"
#include "atr.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace cns_sim::test {
namespace {

// The CNS test written the way a host writes it, not with the simulator's own helpers.
bool host_sees_cns(const Bytes& atr)
{
    const std::size_t n = atr.size();
    return n >= 16 && atr[n - 7] == 'C' && atr[n - 6] == 'N' && atr[n - 5] == 'S';
}

std::uint8_t historical(const Bytes& atr, std::size_t i)
{
    return atr.at(atr.size() - 16 + i);
}

bool alternative_pattern(const Bytes& atr)
{
    return atr.size() > 8 && atr[0] == 0x3B && atr[6] == 0x31 && atr[8] == 0x55 && atr[9] == 0x00;
}

// Number of historical bytes announced by T0, and where they start after the interface bytes.
std::pair<std::size_t, std::size_t> historical_span(const Bytes& atr)
{
    std::size_t pos = 1;
    std::uint8_t y = atr[1] >> 4;
    for (;;) {
        pos += static_cast<std::size_t>(__builtin_popcount(y & 0x7));
        if (!(y & 0x8))
            break;
        pos += 1;
        y = atr[pos] >> 4;
    }
    return {pos + 1, atr[1] & 0x0F};
}

TEST(Atr, CnsContactAtrIsWellFormedT1WithCodesWhereHostsLook)
{
    const Bytes atr = cns_atr(0x05, 0x21, true);
    EXPECT_GE(atr.size(), 16u);
    EXPECT_EQ(atr[0], 0x3B);
    EXPECT_TRUE(host_sees_cns(atr));
    EXPECT_EQ(historical(atr, 3), 0x05);
    EXPECT_EQ(historical(atr, 7), 0x21);
    // TCK: XOR over T0..TCK is zero.
    std::uint8_t x = 0;
    for (std::size_t i = 1; i < atr.size(); ++i)
        x ^= atr[i];
    EXPECT_EQ(x, 0);
    // Only T=1 offered: TD1 and TD2 name protocol 1.
    EXPECT_EQ(atr[2] & 0x0F, 1);
    EXPECT_TRUE(atr_needs_tck(atr));
    // The interface bytes leave exactly T0's count of historical bytes before TCK.
    const auto [start, count] = historical_span(atr);
    EXPECT_EQ(start + count + 1, atr.size());

    const Bytes other = cns_atr(0x0A, 0xA1, true);
    EXPECT_EQ(historical(other, 3), 0x0A);
    EXPECT_EQ(historical(other, 7), 0xA1);
}

TEST(Atr, T0VariantHasNoProtocolBytesNoTckAndStillReadsAsCns)
{
    const Bytes atr = cns_atr(0x05, 0x21, false);
    EXPECT_EQ(atr[1] & 0x80, 0) << "TD1 would announce a protocol";
    EXPECT_FALSE(atr_needs_tck(atr));
    const auto [start, count] = historical_span(atr);
    EXPECT_EQ(start + count, atr.size()) << "no TCK after the historical bytes";
    EXPECT_TRUE(host_sees_cns(atr));
    EXPECT_EQ(historical(atr, 3), 0x05);
    EXPECT_EQ(historical(atr, 7), 0x21);
}

TEST(Atr, OtherCardsAreNotCnsAndOnlyTheAlternativeMatchesItsPattern)
{
    for (const Bytes& atr : {contactless_reader_atr(), foreign_atr(), alternative_pattern_atr()}) {
        EXPECT_FALSE(host_sees_cns(atr)) << to_hex(atr);
        std::uint8_t x = 0;
        for (std::size_t i = 1; i < atr.size(); ++i)
            x ^= atr[i];
        EXPECT_EQ(x, 0) << "TCK of " << to_hex(atr);
    }
    EXPECT_TRUE(alternative_pattern(alternative_pattern_atr()));
    EXPECT_FALSE(alternative_pattern(foreign_atr()));
    EXPECT_FALSE(alternative_pattern(cns_atr(5, 0x21, true)));
}

TEST(Apdu, ShortCasesParseAndAnythingElseIsRefused)
{
    auto c1 = parse_command_apdu(hex("00 A4 00 00"));
    ASSERT_TRUE(c1);
    EXPECT_FALSE(c1->has_lc);
    EXPECT_FALSE(c1->ne);

    auto c2 = parse_command_apdu(hex("00 B0 00 10 00"));
    ASSERT_TRUE(c2);
    EXPECT_EQ(c2->ne, 256u);
    EXPECT_EQ(c2->p2, 0x10);

    auto c3 = parse_command_apdu(hex("00 A4 00 00 02 3F 00"));
    ASSERT_TRUE(c3);
    EXPECT_EQ(c3->data, hex("3F 00"));
    EXPECT_FALSE(c3->ne);

    auto c4 = parse_command_apdu(hex("00 A4 08 00 02 11 00 FE"));
    ASSERT_TRUE(c4);
    EXPECT_EQ(c4->data, hex("11 00"));
    EXPECT_EQ(c4->ne, 0xFEu);

    EXPECT_FALSE(parse_command_apdu(hex("")));
    EXPECT_FALSE(parse_command_apdu(hex("00 A4 00")));
    EXPECT_FALSE(parse_command_apdu(hex("00 A4 00 00 03 3F 00"))); // Lc beyond the data
    EXPECT_FALSE(parse_command_apdu(hex("00 A4 00 00 01 3F 00 00 00"))); // too much after Le
    EXPECT_FALSE(parse_command_apdu(hex("00 B0 00 00 00 01 00"))); // extended Le
    EXPECT_FALSE(parse_command_apdu(hex("00 A4 00 00 00 00 02 3F 00"))); // extended Lc
}

} // namespace
} // namespace cns_sim::test
