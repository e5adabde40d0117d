// The card channel's pure parts: command building, buffers, status texts, the CNS ATR test.
#include "card_channel/card_access.h"
#include "card_channel/card_provider.h"
#include "card_io/status_words.h"
#include "common/registry.h"
#include "test_folder.h"
#include "trace_records.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace {

using namespace velin;

using velin::test::assertion_text;

TEST(Channel, build_cmd_always_writes_lc_and_le_when_given)
{
    ISCardCmd command;
    command.BuildCmd(0x00, 0x24, 0x00, 0x10, std::vector<uint8_t>(16, 0x31), uint8_t{0});
    const auto& apdu = command.command_apdu();
    ASSERT_EQ(apdu.size(), 22u);
    EXPECT_EQ(std::vector<uint8_t>(apdu.begin(), apdu.begin() + 5),
              (std::vector<uint8_t>{0x00, 0x24, 0x00, 0x10, 0x10}));
    EXPECT_EQ(apdu.back(), 0x00);

    command.BuildCmd(0x00, 0xA4, 0x00, 0x00, {}, std::nullopt);
    EXPECT_EQ(command.command_apdu(), (std::vector<uint8_t>{0x00, 0xA4, 0x00, 0x00, 0x00}));
    EXPECT_EQ(assertion_text([&] { command.BuildCmd(0, 0xD6, 0, 0, std::vector<uint8_t>(256), std::nullopt); }),
              "Assertion failed: data.size () <= 255");
}

TEST(Channel, byte_buffer_reads_what_is_left_and_checks_its_arguments)
{
    const uint8_t two[] = {0x90, 0x00};
    IByteBuffer buffer(two, two + 2);
    uint8_t out[5] = {};
    uint32_t read = 99;
    buffer.Read(out, 5, &read);
    EXPECT_EQ(read, 2u);
    EXPECT_EQ(out[0], 0x90);
    buffer.Read(out, 5, &read);
    EXPECT_EQ(read, 0u);
    buffer.Read(out, 1, nullptr);

    buffer.Initialize(3, nullptr);
    buffer.Read(out, 5, &read);
    EXPECT_EQ(read, 3u);
    EXPECT_EQ(out[2], 0);

    EXPECT_EQ(assertion_text([] { IByteBuffer(nullptr, reinterpret_cast<const uint8_t*>(1)); }),
              "Assertion failed: first ne NULL");
    EXPECT_EQ(assertion_text([&] { IByteBuffer(two, nullptr); }), "Assertion failed: last ne NULL");
    EXPECT_EQ(assertion_text([&] { IByteBuffer(two + 1, two); }), "Assertion failed: first <=last");
    EXPECT_EQ(assertion_text([&] { buffer.Read(nullptr, 1, &read); }), "Assertion failed: pByte ne NULL");
}

TEST(Channel, status_texts_only_for_the_exact_pairs)
{
    EXPECT_EQ(status_text(0x63, 0x00), "PIN errato.");
    EXPECT_EQ(status_text(0x69, 0x83), "PIN bloccato.");
    EXPECT_EQ(status_text(0x93, 0x00), "La carta è occupata. Riprovare più tardi.");
    EXPECT_EQ(status_text(0x94, 0x04), "File non trovato");
    EXPECT_FALSE(status_text(0x90, 0x01));
    EXPECT_FALSE(status_text(0x63, 0xC2));
    EXPECT_FALSE(status_text(0x69, 0x82));
    EXPECT_TRUE(is_blocked_status(0x6982));
    EXPECT_TRUE(is_blocked_status(0x6983));
    EXPECT_FALSE(is_blocked_status(0x6984));
}

TEST(Channel, card_failures_in_the_holders_words)
{
    EXPECT_EQ(card_failure_text(0x80100069u), "La carta è stata rimossa dal lettore.");
    EXPECT_EQ(card_failure_text(0x8010000Cu), "Nessuna carta nel lettore.");
    for (uint32_t gone : {0x80100009u, 0x80100017u, 0x8010002Eu})
        EXPECT_EQ(card_failure_text(gone), "Il lettore non è più disponibile.") << std::hex << gone;
    EXPECT_EQ(card_failure_text(0x8010000Au), "La carta non ha risposto in tempo.");
    EXPECT_EQ(card_failure_text(0x8010000Bu), "La carta è in uso da un altro programma.");
    EXPECT_EQ(card_failure_text(0x80100013u), "La comunicazione con la carta è fallita (codice 0x80100013).");
}

TEST(Channel, cns_atr_test_looks_seven_bytes_from_the_end)
{
    // 16 bytes with "CNS" at offsets 9 to 11.
    std::vector<uint8_t> atr = {0x3B, 0xFF, 0x18, 0x00, 0xFF, 0x81, 0x31, 0xFE,
                                0x55, 'C',  'N',  'S',  0x01, 0x02, 0x03, 0x04};
    EXPECT_TRUE(is_cns_atr(atr));
    EXPECT_FALSE(is_cns_atr(std::vector<uint8_t>(atr.begin() + 1, atr.end()))) << "15 bytes are never a CNS ATR";
    atr.push_back(0x05);
    EXPECT_FALSE(is_cns_atr(atr));
}

std::vector<unsigned char> fixture(const std::string& name)
{
    std::ifstream in(std::string(VELIN_SOURCE_DIR) + "/tests/fixtures/card/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(Card_provider, issuer_display_name_of_the_card_certificates)
{
    const auto regional = fixture("holder-regional.cert.der");
    const auto other = fixture("holder-other.cert.der");
    ASSERT_FALSE(regional.empty()) << "card fixtures missing";
    EXPECT_NE(issuer_display_name(regional).find("Regione Valdora Certification Authority Cittadini"),
              std::string::npos);
    EXPECT_EQ(issuer_display_name(other).find("Regione Valdora Certification Authority Cittadini"), std::string::npos);
    EXPECT_FALSE(issuer_display_name(other).empty());
    EXPECT_EQ(issuer_display_name({0x30, 0x03, 0x02}), "");
}

TEST(Card_provider, missing_module_or_token_is_recorded_and_means_not_regional)
{
    velin::test::private_environment();
    ASSERT_EQ(write_text(Registry_root::Local_machine, Settings_key, "ModuloPKCS11", "/nonexistent/pkcs11.so"), 0u);
    EXPECT_EQ(pkcs11_module_path(), "/nonexistent/pkcs11.so");
    EXPECT_FALSE(is_regional_card("Virtual PCD 00 00"));
    EXPECT_TRUE(velin::test::traced(velin::Level_error, {"contesto crittografico"}));
    EXPECT_EQ(std::string(assertion_text([] { is_regional_card(""); })),
              "Assertion failed: not is_empty (reader_name)");
}

} // namespace
