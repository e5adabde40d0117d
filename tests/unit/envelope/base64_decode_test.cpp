#include "envelope/base64_decode.h"
#include "test_folder.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <optional>
#include <random>
#include <span>
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
    for (const char* bad :
         {"Zm9v!", "Zm9v YmF*", "Z", "Zm9vY", "Zg=", "Zg==Zg==", "=", "Zg===", "Zm=8", "\xc3\xa8Zm9v"}) {
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
    encoded.resize(static_cast<size_t>(
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()), data.data(), static_cast<int>(data.size()))));
    std::string wrapped;
    for (size_t i = 0; i < encoded.size(); i += 76)
        wrapped += encoded.substr(i, 76) + "\r\n";

    Base64_decode decode;
    ASSERT_TRUE(decode.decode(wrapped));
    EXPECT_EQ(decode.value(), std::vector<byte>(data.begin(), data.end()));
}

TEST(Base64_decode, SlicesJoinToWhatTheWholeDecodingGivesInEveryForm)
{
    // A few megabytes, so that slices end inside blocks, groups and line ends of each layout.
    std::mt19937 random(11);
    std::vector<unsigned char> data(3 * 1024 * 1024 + 5);
    for (auto& b : data)
        b = static_cast<unsigned char>(random());
    std::string encoded(4 * ((data.size() + 2) / 3) + 1, '\0');
    encoded.resize(static_cast<size_t>(
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()), data.data(), static_cast<int>(data.size()))));
    const auto wrapped = [&encoded](size_t width, const std::string& end) {
        std::string text;
        for (size_t i = 0; i < encoded.size(); i += width)
            text += encoded.substr(i, width) + end;
        return text;
    };
    std::string damaged = wrapped(76, "\n");
    damaged[damaged.size() / 3] = '*';
    struct Case {
        std::string text;
        Base64_decode::Form form;
    };
    const std::vector<Case> cases = {
        {encoded, Base64_decode::Form::Plain},           {wrapped(76, "\r\n"), Base64_decode::Form::Mail_lines},
        {wrapped(64, "\n"), Base64_decode::Form::Plain}, {wrapped(61, " \r\n"), Base64_decode::Form::Lenient},
        {damaged, Base64_decode::Form::Lenient},
    };
    for (const Case& c : cases) {
        Base64_decode whole;
        const bool decoded = whole.decode(c.text, c.form);
        std::vector<byte> joined;
        size_t slices = 0;
        const auto size = Base64_decode::decode_slices(c.text, c.form, [&](std::span<const byte> slice) {
            EXPECT_LE(slice.size(), Base64_decode::Slice + 36);
            joined.insert(joined.end(), slice.begin(), slice.end());
            ++slices;
            return true;
        });
        ASSERT_EQ(size.has_value(), decoded);
        if (!decoded)
            continue;
        EXPECT_EQ(*size, joined.size());
        EXPECT_EQ(joined, whole.value());
        EXPECT_GE(slices, 2u);
    }
    // A sink that says no stops the decoding.
    size_t calls = 0;
    EXPECT_FALSE(Base64_decode::decode_slices(encoded, Base64_decode::Form::Plain, [&](std::span<const byte>) {
        ++calls;
        return false;
    }));
    EXPECT_EQ(calls, 1u);
}

// A decoder written for clarity, not speed: the lenient form's rules one character at a time.
std::optional<std::vector<byte>> reference_decode(std::string_view text)
{
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::vector<byte> out;
    uint32_t bits = 0;
    int count = 0;
    size_t at = 0;
    for (; at < text.size() && text[at] != '='; ++at) {
        const char c = text[at];
        if (c == '\r' || c == '\n' || c == ' ' || c == '\t')
            continue;
        const size_t value = alphabet.find(c);
        if (value == std::string::npos)
            return std::nullopt;
        bits = (bits << 6) | static_cast<uint32_t>(value);
        if (++count == 4) {
            out.push_back(static_cast<byte>(bits >> 16));
            out.push_back(static_cast<byte>(bits >> 8));
            out.push_back(static_cast<byte>(bits));
            bits = 0;
            count = 0;
        }
    }
    int padding = 0;
    for (; at < text.size(); ++at) {
        if (text[at] == '=')
            ++padding;
        else if (text[at] != '\r' && text[at] != '\n' && text[at] != ' ' && text[at] != '\t')
            return std::nullopt;
    }
    if (count == 1 || (count == 0 && padding > 0) || (count == 2 && padding != 0 && padding != 2) ||
        (count == 3 && padding > 1))
        return std::nullopt;
    if (count == 2)
        out.push_back(static_cast<byte>(bits >> 4));
    if (count == 3) {
        out.push_back(static_cast<byte>(bits >> 10));
        out.push_back(static_cast<byte>(bits >> 2));
    }
    return out;
}

TEST(Base64_decode, EveryByteAnywhereInABlockDecodesAsOneCharacterAtATime)
{
    // Three blocks of 32 characters and a tail, so that the block decoder, the group loop and the
    // character loop each meet every byte value at every position.
    std::string good;
    for (size_t i = 0; i < 100; ++i)
        good += "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"[(i * 37 + 11) % 64];
    // Line ends and a pair of them anywhere, also where they end whole groups inside a block.
    for (size_t position = 0; position + 1 < good.size(); ++position)
        for (const char* pair : {"\r\n", "\n\n", "\n\r", "\r\r", "\n=", "=\n"}) {
            std::string text = good;
            text.replace(position, 2, pair);
            const auto expected = reference_decode(text);
            Base64_decode decode;
            ASSERT_EQ(decode.decode(text), expected.has_value()) << pair << " at " << position;
            if (expected) {
                ASSERT_EQ(decode.value(), *expected) << pair << " at " << position;
            }
        }
    for (size_t position = 0; position < good.size(); ++position)
        for (int value = 0; value < 256; ++value) {
            std::string text = good;
            text[position] = static_cast<char>(value);
            const auto expected = reference_decode(text);
            Base64_decode decode;
            const bool decoded = decode.decode(text);
            ASSERT_EQ(decoded, expected.has_value()) << "byte " << value << " at " << position;
            if (decoded) {
                ASSERT_EQ(decode.value(), *expected) << "byte " << value << " at " << position;
            }
        }
}

TEST(Base64_decode, DecodingOverTheTextItselfGivesWhatACopyGives)
{
    // Whatever the line width and wherever the text starts in the buffer (at its very start the
    // bytes written catch up with the text soonest), every byte is written where the text was
    // already read.
    std::mt19937 random(11);
    std::vector<unsigned char> data(5000);
    for (auto& b : data)
        b = static_cast<unsigned char>(random());
    std::string encoded(4 * ((data.size() + 2) / 3) + 1, '\0');
    encoded.resize(static_cast<size_t>(
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()), data.data(), static_cast<int>(data.size()))));
    for (size_t width : {1, 3, 4, 12, 31, 32, 33, 64, 76, 100, 5000})
        for (const std::string line_end : {"\n", "\r\n"})
            for (size_t offset : {0, 1, 7, 40}) {
                std::string text;
                for (size_t i = 0; i < encoded.size(); i += width)
                    text += encoded.substr(i, width) + line_end;
                std::vector<byte> buffer(offset, 'x');
                buffer.insert(buffer.end(), text.begin(), text.end());
                buffer.insert(buffer.end(), {'T', 'A', 'I', 'L'});
                const auto size = Base64_decode::decode_in_place(buffer, offset, text.size());
                ASSERT_TRUE(size.has_value()) << width << " " << offset;
                ASSERT_EQ(std::vector<byte>(buffer.begin(), buffer.begin() + static_cast<ptrdiff_t>(*size)),
                          std::vector<byte>(data.begin(), data.end()))
                    << width << " " << offset;
                // What follows the text is untouched.
                EXPECT_EQ(std::string(buffer.end() - 4, buffer.end()), "TAIL");
            }
    std::vector<byte> damaged = {'Z', 'm', '9', 'v', '*'};
    EXPECT_FALSE(Base64_decode::decode_in_place(damaged, 0, damaged.size()).has_value());
    EXPECT_EQ(test::assertion_text([&] { (void)Base64_decode::decode_in_place(damaged, 3, 3); }),
              "Assertion failed: text_offset + text_size <= buffer.size ()");
}

TEST(Base64_decode, PlainAndMailFormsTakeOnlyTextEveryReaderDecodesAlike)
{
    using Form = Base64_decode::Form;
    auto outcome = [](std::string_view text, Form form) {
        Base64_decode decode;
        if (!decode.decode(text, form))
            return std::string("<refused>");
        return std::string(decode.value().begin(), decode.value().end());
    };
    const std::string line(76, 'Q');
    const std::string decoded_line = [&] {
        const auto bytes = *reference_decode(line);
        return std::string(bytes.begin(), bytes.end());
    }();
    for (const Form form : {Form::Plain, Form::Mail_lines}) {
        EXPECT_EQ(outcome("Zm9vYg==\r\n", form), "foob");
        EXPECT_EQ(outcome("Zm9v\nYmFy\n", form), "foobar");
        EXPECT_EQ(outcome(line + "\r\n" + line + "\n", form), decoded_line + decoded_line);
        for (const char* refused : {"Zm9v YmFy", "Zm9v\tYmFy", "Zg", "Zm8", "Zm9vYg=", "Zg==Zg==", "Zm9v!"})
            EXPECT_EQ(outcome(refused, form), "<refused>") << refused;
    }
    // Lines: at most 76 characters, CR only before LF, empty lines only at the end.
    EXPECT_EQ(outcome("Zm9v\r\nYmFy\r\n\r\n\n", Form::Mail_lines), "foobar");
    EXPECT_EQ(outcome("Zm9vYmFy", Form::Mail_lines), "foobar");
    for (const std::string& refused :
         {line + "QQQQ\n", line + "\n" + line + "QQQQ", std::string("Zm9v\rYmFy"), std::string("Zm9v\n\nYmFy\n"),
          std::string("\nZm9v"), std::string("Zm9v\r"), std::string("Zm8\n\n=\n")})
        EXPECT_EQ(outcome(refused, Form::Mail_lines), "<refused>") << refused;
    EXPECT_EQ(outcome(line + "QQQQ\rYmFy\n\nZm9v", Form::Plain), decoded_line + decoded_line.substr(0, 3) + "barfoo");
}

} // namespace
} // namespace velin
