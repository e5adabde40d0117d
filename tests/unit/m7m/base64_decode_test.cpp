#include "VelinVerify/envelope/base64_decode.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <random>
#include <string>

namespace velin {
namespace {

std::string decoded(std::string_view text)
{
    Base64_decode decode;
    if (!decode.decode(text))
        return "<failed: " + decode.message() + ">";
    const auto& bytes = decode.value();
    return {bytes.begin(), bytes.end()};
}

TEST(Base64_decode, DecodesPaddedUnpaddedAndWrappedText)
{
    EXPECT_EQ(decoded(""), "");
    EXPECT_EQ(decoded("Zg=="), "f");
    EXPECT_EQ(decoded("Zm8="), "fo");
    EXPECT_EQ(decoded("Zm9v"), "foo");
    EXPECT_EQ(decoded("Zm9vYmFy"), "foobar");
    EXPECT_EQ(decoded("Zg"), "f");
    EXPECT_EQ(decoded("Zm8"), "fo");
    // Line ends and blanks may split a group anywhere.
    EXPECT_EQ(decoded("Zm\r\n9vYm\nFy\r\n"), "foobar");
    EXPECT_EQ(decoded(" Zm9v\tYmFy \r\n"), "foobar");
    EXPECT_EQ(decoded("Zm9vYg==\r\n"), "foob");
    EXPECT_EQ(decoded("\r\n\r\n"), "");
}

TEST(Base64_decode, RefusesDamagedText)
{
    for (const char* bad : {"Zm9v!", "Zm9v YmF*", "Z", "Zm9vY", "Zg=", "Zg==Zg==", "=", "Zg===", "Zm=8",
                            "\xc3\xa8Zm9v"}) {
        Base64_decode decode;
        EXPECT_FALSE(decode.decode(bad)) << bad;
        EXPECT_EQ(decode.message(), "Il testo base64 non è valido.") << bad;
        EXPECT_THROW(decode.value(), std::logic_error);
    }
    // The zero byte in the middle is part of the text, not its end.
    Base64_decode decode;
    EXPECT_FALSE(decode.decode(std::string_view("Zm9v\0YmFy", 9)));
}

TEST(Base64_decode, MatchesOpenSslOnLargeWrappedInput)
{
    std::mt19937 random(7);
    std::vector<unsigned char> data(300001);
    for (auto& b : data)
        b = static_cast<unsigned char>(random());
    std::string encoded(4 * ((data.size() + 2) / 3) + 1, '\0');
    encoded.resize(static_cast<size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                                       data.data(), static_cast<int>(data.size()))));
    std::string wrapped;
    for (size_t i = 0; i < encoded.size(); i += 76)
        wrapped += encoded.substr(i, 76) + "\r\n";

    Base64_decode decode;
    ASSERT_TRUE(decode.decode(wrapped));
    EXPECT_EQ(decode.value(), std::vector<byte>(data.begin(), data.end()));
}

} // namespace
} // namespace velin
