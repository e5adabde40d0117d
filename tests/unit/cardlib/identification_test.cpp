// What the ATR says about the card, and the issuer named in the holder's certificate.
#include "cardlib/card_identification.h"

#include "test_folder.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

using namespace velin::cardlib;

// A 16-byte ATR with "CNS" at bytes 9–11, manufacturer m at H[3] and type t at H[7].
Bytes cns_atr(uint8_t m, uint8_t t)
{
    return {0x3B, 0xAA, 0x11, m, 0x22, 0x33, 0x44, t, 0x55, 'C', 'N', 'S', 0x10, 0x31, 0x80, 0x63};
}

TEST(Card_identification, cns_atr_needs_cns_seven_bytes_from_the_end)
{
    EXPECT_TRUE(is_cns_atr(cns_atr(5, 0x21)));
    Bytes shifted = cns_atr(5, 0x21);
    shifted[8] = 'C';
    shifted[9] = 'N';
    shifted[10] = 'S';
    shifted[11] = 0x00;
    EXPECT_FALSE(is_cns_atr(shifted));
    const Bytes full = cns_atr(5, 0x21);
    EXPECT_FALSE(is_cns_atr(Bytes(full.begin() + 1, full.end()))); // 15 bytes
    EXPECT_FALSE(is_cns_atr({}));

    const Bytes h = historical_part(cns_atr(0x05, 0x21));
    ASSERT_EQ(h.size(), 15u);
    EXPECT_EQ(h[3], 0x05);
    EXPECT_EQ(h[7], 0x21);
    try {
        historical_part(Bytes(15, 0x3B));
        ADD_FAILURE();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "L'ATR non segue le specifiche della Carta Velin.");
    }
}

TEST(Card_identification, alternative_pattern)
{
    const Bytes alternative{0x3B, 0xFA, 0x11, 0x00, 0x00, 0x81, 0x31, 0xFE, 0x55, 0x00, 0x01};
    EXPECT_TRUE(matches_alternative_atr(alternative));
    EXPECT_FALSE(matches_alternative_atr(Bytes(alternative.begin(), alternative.begin() + 9)));
    Bytes other = alternative;
    other[8] = 0x45;
    EXPECT_FALSE(matches_alternative_atr(other));
    EXPECT_FALSE(matches_alternative_atr(cns_atr(5, 0x21)));
}

TEST(Card_identification, manufacturer_and_type_tables)
{
    EXPECT_EQ(manufacturer_name(0x04), "Giesecke & Devrient");
    EXPECT_EQ(manufacturer_name(0x09), "STIncard");
    EXPECT_EQ(manufacturer_name(0x11), "EPS Corp");
    EXPECT_EQ(card_type_text(0x21), "Carta cittadino reale con il nuovo set di chiavi");
    EXPECT_EQ(card_type_text(0xA1), "Carta cittadino demo con il nuovo set di chiavi");
    for (uint8_t unknown : {0x00, 0x0A, 0x12, 0xFF}) {
        try {
            manufacturer_name(unknown);
            ADD_FAILURE();
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Codice produttore sconosciuto.");
        }
    }
    try {
        card_type_text(0x02);
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Codice tipo carta sconosciuto.");
    }
}

TEST(Card_identification, issuer_most_specific_component_first)
{
    const std::string der =
        velin::test::read_file(std::string(VELIN_SOURCE_DIR) + "/tests/fixtures/card/holder-regional.cert.der");
    EXPECT_EQ(
        certificate_issuer(Bytes(der.begin(), der.end())),
        "CN=Regione Valdora Certification Authority Cittadini, OU=Servizi di Certificazione, O=Regione Valdora, C=IT");
    EXPECT_EQ(certificate_issuer({0x30, 0x03, 0x02, 0x01, 0x00}), "Dato non disponibile");
    EXPECT_EQ(certificate_issuer(Bytes(der.begin(), der.begin() + 100)), "Dato non disponibile");
}

} // namespace
