// The vpcd framing and the deliberate faults, the state file, and the APDU log.
#include "apdu_log.h"
#include "atr.h"
#include "test_support.h"
#include "vpcd_session.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace cns_sim::test {
namespace {

Bytes frame(const Bytes& payload)
{
    // Sized first and filled in place: GCC 12 at -O3 warns falsely about inserting after an
    // initialiser list.
    Bytes out(payload.size() + 2);
    out[0] = static_cast<std::uint8_t>(payload.size() >> 8);
    out[1] = static_cast<std::uint8_t>(payload.size() & 0xFF);
    std::copy(payload.begin(), payload.end(), out.begin() + 2);
    return out;
}

// Splits a stream of frames back into payloads.
std::vector<Bytes> frames(const Bytes& stream)
{
    std::vector<Bytes> out;
    for (std::size_t pos = 0; pos + 2 <= stream.size();) {
        const std::size_t n = static_cast<std::size_t>(stream[pos] << 8 | stream[pos + 1]);
        out.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(pos + 2),
                         stream.begin() + static_cast<std::ptrdiff_t>(pos + 2 + n));
        pos += 2 + n;
    }
    return out;
}

struct Temp_dir {
    Temp_dir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "cns-sim-test-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path = pattern;
    }
    ~Temp_dir() { std::filesystem::remove_all(path); }
    std::filesystem::path path;
};

std::string slurp(const std::filesystem::path& p)
{
    std::ifstream in(p);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(Session, AnswersControlCodesAndApdusWhateverTheSplit)
{
    const Bytes stream =
        concat({frame({0x01}), frame({0x04}), frame(hex("00 A4 08 00 04 11 00 11 02 00")), frame(hex("00 B0 00 00 08")),
                frame({0x02}), frame(hex("00 B0 00 00 08")), frame({}), frame({0x7E})});
    std::vector<Bytes> expected;
    for (std::size_t piece : {stream.size(), std::size_t{1}, std::size_t{3}, std::size_t{7}}) {
        Test_card t;
        Apdu_log log;
        Vpcd_session session(*t.card, {}, log);
        Bytes out;
        std::size_t answered = 0;
        for (std::size_t pos = 0; pos < stream.size(); pos += piece) {
            const auto step = session.feed(Byte_view(stream).subspan(pos, std::min(piece, stream.size() - pos)));
            out.insert(out.end(), step.output.begin(), step.output.end());
            answered += step.answered;
            EXPECT_FALSE(step.leave);
        }
        const auto replies = frames(out);
        EXPECT_EQ(answered, 3u);
        ASSERT_EQ(replies.size(), 4u) << "ATR + three APDU replies; power, reset and junk get none";
        EXPECT_EQ(replies[0], t.card->atr());
        EXPECT_EQ(status_of(replies[1]), sw::ok);
        EXPECT_EQ(status_of(replies[2]), sw::ok);
        EXPECT_EQ(status_of(replies[3]), sw::no_current_ef) << "reset forgot the selection";
        if (expected.empty())
            expected = replies;
        EXPECT_EQ(replies, expected) << "split into pieces of " << piece;
    }
}

TEST(Session, ShortRepliesAndRemovalHappenWhereAsked)
{
    const Bytes select = frame(hex("00 A4 08 00 04 11 00 11 02 00"));
    {
        Test_card t;
        Apdu_log log;
        Vpcd_session s(*t.card, Session_faults{1, 1, {}, {}}, log);
        EXPECT_EQ(frames(s.feed(select).output)[0].size(), 18u) << "first command answered in full";
        EXPECT_EQ(frames(s.feed(select).output)[0], Bytes{0x6F}) << "then one byte";
    }
    {
        Test_card t;
        Apdu_log log;
        Vpcd_session s(*t.card, Session_faults{0, 0, {}, {}}, log);
        const auto step = s.feed(select);
        EXPECT_TRUE(step.output.empty()) << "vpcd cannot carry an empty frame";
        EXPECT_TRUE(step.leave) << "the host gets its 0-byte reply from the hang-up";
    }
    {
        Test_card t;
        Apdu_log log;
        Vpcd_session s(*t.card, Session_faults{{}, 0, 2, {}}, log);
        EXPECT_FALSE(s.feed(select).leave);
        const auto second = s.feed(concat({select, select}));
        EXPECT_TRUE(second.leave);
        EXPECT_EQ(frames(second.output).size(), 1u) << "the card is gone after the second reply";
        EXPECT_TRUE(s.feed(select).leave);
    }
    {
        Test_card t;
        Apdu_log log;
        Vpcd_session s(*t.card, Session_faults{{}, 0, {}, 2}, log);
        EXPECT_EQ(frames(s.feed(select).output).size(), 1u);
        const auto second = s.feed(select);
        EXPECT_TRUE(second.leave);
        EXPECT_TRUE(second.output.empty()) << "pulled out before answering";
    }
}

TEST(Log, SecretsAreMaskedAndEverythingElseIsVerbatim)
{
    EXPECT_EQ(format_command(hex("00 20 00 10 08 31 32 33 34 35 FF FF FF")),
              "> 00 20 00 10 08 ** ** ** ** ** ** ** **");
    EXPECT_EQ(format_command(hex("00 24 00 10 10 31 32 33 34 35 FF FF FF 35 34 33 32 31 FF FF FF 00")),
              "> 00 24 00 10 10 ** ** ** ** ** ** ** ** ** ** ** ** ** ** ** ** 00");
    EXPECT_EQ(format_command(hex("00 2C 01 10 08 31 32 33 34 35 36 37 38")),
              "> 00 2C 01 10 08 ** ** ** ** ** ** ** **");
    // A lying Lc does not let a digit through.
    EXPECT_EQ(format_command(hex("00 20 00 10 02 31 32 33 34")), "> 00 20 00 10 02 ** ** 33 34");
    EXPECT_EQ(format_command(hex("00 20 00 10 7F 31 32 33")), "> 00 20 00 10 7F ** ** **");
    EXPECT_EQ(format_command(hex("00 20 00 10")), "> 00 20 00 10");
    EXPECT_EQ(format_command(hex("00 A4 08 00 02 31 32 00")), "> 00 A4 08 00 02 31 32 00");
    EXPECT_EQ(format_response(hex("63 C2")), "< 63 C2");
    EXPECT_EQ(format_response({}), "<");
}

TEST(Log, SessionWritesOneLinePerEventToTheFile)
{
    Temp_dir dir;
    const auto path = dir.path / "apdu.log";
    {
        Test_card t;
        Apdu_log log(path);
        Vpcd_session s(*t.card, {}, log);
        s.feed(concat({frame({0x01}), frame({0x04}), frame({0x04}), frame({0x04}),
                       frame(hex("00 20 00 10 08 31 32 33 34 35 FF FF FF")), frame(hex("00 A4 00 00 02 10 00")),
                       frame({0x04})}));
    }
    const std::string atr = "# atr " + to_hex(cns_atr(0x05, 0x21, true)) + "\n";
    EXPECT_EQ(slurp(path), "# power on\n" + atr +
                               "> 00 20 00 10 08 ** ** ** ** ** ** ** **\n< 90 00\n> 00 A4 00 00 02 10 00\n< 90 00\n" +
                               atr)
        << "repeated ATR polls make one line";
    EXPECT_THROW(Apdu_log("/dev/null/apdu.log"), std::runtime_error);
}

TEST(State, PersistsEveryChangeAndSurvivesARestart)
{
    Temp_dir dir;
    const auto path = dir.path / "card.state";
    {
        Pin_store store(path, Pin_state{"24680", 3, "11223344", 10}, false);
        EXPECT_EQ(parse_pin_state(slurp(path)).pin, "24680") << "written at creation";
        Card_image image = build_card(profile(Profile_kind::regional));
        Simulated_card card(std::move(image.config), std::move(image.files), store);
        card.process(hex("00 20 00 10 08 31 31 31 31 31 FF FF FF"));
        EXPECT_EQ(parse_pin_state(slurp(path)).pin_tries, 2);
        card.process(hex("00 24 00 10 10 32 34 36 38 30 FF FF FF 31 33 35 37 39 FF FF FF 00"));
        EXPECT_EQ(parse_pin_state(slurp(path)), (Pin_state{"13579", 3, "11223344", 10}));
        card.process(hex("00 2C 01 10 08 31 31 31 31 31 31 31 31"));
    }
    Pin_store again(path, Pin_state{}, false);
    EXPECT_EQ(again.state(), (Pin_state{"13579", 3, "11223344", 9})) << "the file wins over the defaults";
    Pin_store fresh(path, Pin_state{}, true);
    EXPECT_EQ(fresh.state(), Pin_state{});
    EXPECT_EQ(parse_pin_state(slurp(path)), Pin_state{});
    EXPECT_FALSE(std::filesystem::exists(dir.path / "card.state.tmp"));
    EXPECT_THROW(Pin_store(dir.path / "missing" / "card.state", Pin_state{}, false), std::runtime_error);
}

TEST(State, HostileStateFilesAreRefusedWithAReason)
{
    const std::string good = "pin=12345\npin_tries=3\npuk=12345678\npuk_tries=10\n";
    EXPECT_EQ(parse_pin_state(good), Pin_state{});
    EXPECT_EQ(parse_pin_state("# x\r\n\npin=98765\r\npin_tries=0\npuk=00000000\npuk_tries=1"),
              (Pin_state{"98765", 0, "00000000", 1}));
    for (const std::string& bad : {
             std::string(""),
             std::string("pin=12345\n"),
             good + "pin=12345\n",
             good + "colour=blue\n",
             std::string("pin=1234\npin_tries=3\npuk=12345678\npuk_tries=10\n"),
             std::string("pin=12345a\npin_tries=3\npuk=12345678\npuk_tries=10\n"),
             std::string("pin=12345\npin_tries=4\npuk=12345678\npuk_tries=10\n"),
             std::string("pin=12345\npin_tries=-1\npuk=12345678\npuk_tries=10\n"),
             std::string("pin=12345\npin_tries=3\npuk=1234567\npuk_tries=10\n"),
             std::string("pin=12345\npin_tries=3\npuk=12345678\npuk_tries=99999999999999\n"),
             std::string("pin 12345\n"),
             good + std::string(5000, '#'),
         }) {
        EXPECT_THROW(parse_pin_state(bad), std::runtime_error) << bad.substr(0, 60);
    }
}

} // namespace
} // namespace cns_sim::test
