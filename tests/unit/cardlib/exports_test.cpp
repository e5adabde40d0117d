// The exported functions' checks that come before any card access, and the last error text.
#include "common/version.h"
#include "noraxcard.h"
#include "test_folder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string last_error()
{
    uint32_t size = 0;
    EXPECT_EQ(norax_error_message(nullptr, &size), 234u);
    std::vector<char> text(size + 1, 'x');
    uint32_t capacity = size + 1;
    EXPECT_EQ(norax_error_message(text.data(), &capacity), 0u);
    EXPECT_EQ(capacity, size);
    return std::string(text.data());
}

TEST(Card_exports, version_is_the_suites)
{
    // "3.3.0" gives 0x03030000: each part one byte, the fourth 0.
    uint32_t expected = 0;
    int parts = 0;
    std::istringstream text(velin::Suite_version);
    for (std::string part; std::getline(text, part, '.'); ++parts)
        expected |= static_cast<uint32_t>(std::stoul(part)) << (24 - 8 * parts);
    ASSERT_EQ(parts, 3);
    EXPECT_EQ(norax_dll_version(), expected);
}

TEST(Card_exports, error_message_buffer_protocol)
{
    char buffer[64];
    uint32_t size = sizeof buffer;
    ASSERT_EQ(norax_card_property("serial", buffer, &size), 0x80070057u);
    const std::string text = "Parametri non validi.";
    EXPECT_EQ(norax_error_message(nullptr, nullptr), 0x80004003u);
    size = 0;
    EXPECT_EQ(norax_error_message(buffer, &size), 234u);
    EXPECT_EQ(size, text.size());
    // Exactly the length is still too small: the zero needs its byte.
    size = static_cast<uint32_t>(text.size());
    EXPECT_EQ(norax_error_message(buffer, &size), 234u);
    size = static_cast<uint32_t>(text.size()) + 1;
    EXPECT_EQ(norax_error_message(nullptr, &size), 0x80004003u);
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(norax_error_message(buffer, &size), 0u);
    EXPECT_EQ(size, text.size());
    EXPECT_STREQ(buffer, text.c_str());
    // Asking for the text does not change it.
    EXPECT_EQ(last_error(), text);
}

TEST(Card_exports, pointer_and_name_checks_come_before_the_card)
{
    uint32_t size = 16;
    uint8_t bytes[16];
    char text[16];
    EXPECT_EQ(norax_read_binary("EF.Dati_personali", nullptr, &size), 0x80004003u);
    EXPECT_EQ(last_error(), "Puntatore non valido.");
    EXPECT_EQ(norax_read_binary("EF.Dati_personali", bytes, nullptr), 0x80004003u);
    EXPECT_EQ(norax_read_ef_dati_personali(nullptr, &size), 0x80004003u);
    EXPECT_EQ(norax_card_property("atr", nullptr, &size), 0x80004003u);
    EXPECT_EQ(norax_card_property("atr", text, nullptr), 0x80004003u);
    EXPECT_EQ(norax_card_property(nullptr, text, &size), 0x80070057u);
    EXPECT_EQ(norax_card_property("serial", text, &size), 0x80070057u);
    EXPECT_EQ(last_error(), "Parametri non validi.");
    EXPECT_EQ(size, 16u);
}

} // namespace

namespace {

TEST(Card_exports, without_the_smart_card_service_the_code_passes_unchanged)
{
    // The client library reaches the service through this socket; nothing listens there.
    const std::string socket = velin::test::private_environment().string() + "/no-pcscd.comm";
    ::setenv("PCSCLITE_CSOCK_NAME", socket.c_str(), 1);
    uint8_t buffer[16];
    uint32_t size = sizeof buffer;
    EXPECT_EQ(norax_read_binary("EF.Dati_personali", buffer, &size), 0x8010001Du);
    EXPECT_EQ(last_error(), "Il servizio di accesso alle smart card non è attivo.");
    EXPECT_EQ(size, 16u);
}

} // namespace
