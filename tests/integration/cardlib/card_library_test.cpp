// The card library's exports against the simulated card behind the real pcscd. The holder's
// answers are scripted through the library's internal hook; the simulator's APDU log shows what
// was really sent. Every test leaves the bed as it found it: the regional card with PIN 12345 in
// reader 0, reader 1 empty.
#include "card_bed.h"
#include "cardlib/card_call.h"
#include "cardlib/reading_prompt.h"
#include "noraxcard.h"
#include "test_folder.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <winscard.h>

#include <chrono>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>
#include <tuple>

namespace {

using namespace velin;
using namespace velin::cardlib;

using test::Card_bed;

// The lines of the simulator's log written since offset: commands ("> ..."), replies' status
// words and events ("# reset").
struct Card_log {
    std::vector<std::string> commands;
    std::vector<std::string> events;
    std::string text;
};

Card_log log_since(const std::string& log, size_t offset)
{
    Card_log result;
    result.text = log.substr(std::min(offset, log.size()));
    std::istringstream in(result.text);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("> ", 0) == 0)
            result.commands.push_back(line.substr(2));
        else if (line.rfind("# ", 0) == 0)
            result.events.push_back(line.substr(2));
    }
    return result;
}

std::string last_error()
{
    uint32_t size = 0;
    norax_error_message(nullptr, &size);
    std::vector<char> text(size + 1);
    size += 1;
    norax_error_message(text.data(), &size);
    return text.data();
}

struct Read_result {
    uint32_t code = 0;
    std::string data;
};

Read_result read(const char* name, uint32_t capacity = 65536)
{
    std::vector<uint8_t> buffer(capacity ? capacity : 1);
    uint32_t size = capacity;
    Read_result result;
    result.code = norax_read_binary(name, buffer.data(), &size);
    if (result.code == 0)
        result.data.assign(buffer.begin(), buffer.begin() + size);
    else if (result.code == 234)
        result.data = std::to_string(size);
    return result;
}

Read_result property(const char* name, uint32_t capacity = 8192)
{
    std::vector<char> buffer(capacity ? capacity : 1);
    uint32_t size = capacity;
    Read_result result;
    result.code = norax_card_property(name, buffer.data(), &size);
    if (result.code == 0)
        result.data.assign(buffer.data(), size);
    return result;
}

// The holder, scripted: each question takes the next answer ("yes", "no", or a PIN).
class Holder {
public:
    Holder()
    {
        set_prompt_answerer([this](const Prompt_request& request) {
            std::string what;
            switch (request.kind) {
            case Prompt_kind::Consent:
                what = "consent:" + request.info->short_description;
                for (size_t i = 1; request.items && i < request.items->size(); ++i)
                    what += " + " + (*request.items)[i].short_description;
                break;
            case Prompt_kind::Pin:
                what = "pin:" + request.info->short_description;
                break;
            case Prompt_kind::Wrong_pin:
                what = "wrong pin";
                break;
            case Prompt_kind::Property_consent:
                what = "property";
                break;
            }
            asked.push_back(what);
            std::this_thread::sleep_for(pause);
            Prompt_answer answer;
            if (request.kind == Prompt_kind::Wrong_pin)
                return answer;
            const std::string next = answers.empty() ? "no" : answers.front();
            if (!answers.empty())
                answers.pop_front();
            answer.accepted = next != "no";
            if (request.kind == Prompt_kind::Pin && answer.accepted)
                answer.pin = Pin_text(next);
            return answer;
        });
    }
    ~Holder() { set_prompt_answerer({}); }

    std::deque<std::string> answers;
    std::vector<std::string> asked;
    std::chrono::milliseconds pause{0}; // the holder's time before each answer
};

using Strings = std::vector<std::string>;

class Card_library : public testing::Test {
protected:
    void SetUp() override
    {
        test::private_environment();
        ASSERT_TRUE(bed.running()) << "the card bed is not running: run through ctest (fixture card_bed)";
    }
    void TearDown() override
    {
        bed.empty(1);
        bed.empty(0);
        bed.run("insert 0 regional --reset-state");
    }
    void insert(int index, const std::string& profile_and_options)
    {
        bed.empty(index);
        bed.run("insert " + std::to_string(index) + " " + profile_and_options);
    }
    size_t mark(int index = 0) const { return bed.apdu_log(index).size(); }
    Card_log since(size_t offset, int index = 0) const { return log_since(bed.apdu_log(index), offset); }

    // Nothing of this process still holds the card: an exclusive connection is granted at once.
    void expect_card_free(int index = 0)
    {
        SCARDCONTEXT context = 0;
        ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context), SCARD_S_SUCCESS);
        SCARDHANDLE card = 0;
        DWORD protocol = 0;
        const std::string reader = "Virtual PCD 00 0" + std::to_string(index);
        EXPECT_EQ(SCardConnect(context, reader.c_str(), SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T1 | SCARD_PROTOCOL_T0,
                               &card, &protocol),
                  SCARD_S_SUCCESS);
        if (card)
            SCardDisconnect(card, SCARD_LEAVE_CARD);
        SCardReleaseContext(context);
    }

    Card_bed bed;
    Holder holder;
};

const std::string Select_personal = "00 A4 08 00 04 11 00 11 02 00";

TEST_F(Card_library, personal_data_in_one_select_and_two_reads_with_consent)
{
    holder.answers = {"yes"};
    const size_t before = mark();
    const Read_result result = read("EF.Dati_personali");
    ASSERT_EQ(result.code, 0u) << last_error();
    EXPECT_EQ(result.data.size(), 400u);
    EXPECT_EQ(result.data.substr(0, 6), "000076");
    EXPECT_NE(result.data.find("VERDELLI"), std::string::npos);
    EXPECT_EQ(holder.asked, Strings{"consent:i dati anagrafici"});
    // The holder's data stays out of the trace log.
    EXPECT_EQ(test::trace_content().find("VERDELLI"), std::string::npos);
    EXPECT_EQ(test::trace_content().find("56 45 52 44 45 4C 4C 49"), std::string::npos);
    Card_log log = since(before);
    EXPECT_EQ(log.commands, (Strings{Select_personal, "00 B0 00 00 FE", "00 B0 00 FE 92"})) << log.text;
    // The connection ended with a reset: nothing verified on it survives. The reader passes the
    // reset on without waiting for the card, so its line may come a moment later.
    for (int i = 0; i < 50 && std::find(log.events.begin(), log.events.end(), "reset") == log.events.end(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        log = since(before);
    }
    EXPECT_NE(std::find(log.events.begin(), log.events.end(), "reset"), log.events.end()) << log.text;
    expect_card_free();

    // The same through its own export, by a path with the master file, and by a loose name:
    // each call asks again.
    holder.asked.clear();
    holder.answers = {"yes", "yes", "yes"};
    std::vector<uint8_t> buffer(400);
    uint32_t size = 400;
    EXPECT_EQ(norax_read_ef_dati_personali(buffer.data(), &size), 0u);
    EXPECT_EQ(std::string(buffer.begin(), buffer.end()), result.data);
    EXPECT_EQ(read("3F0011001102").data, result.data);
    EXPECT_EQ(read("ef.dati personali").data, result.data);
    EXPECT_EQ(holder.asked, Strings(3, "consent:i dati anagrafici"));
}

TEST_F(Card_library, buffer_too_small_reports_the_length)
{
    holder.answers = {"yes", "yes"};
    const Read_result small = read("EF.DATI_PERSONALI", 16);
    EXPECT_EQ(small.code, 234u);
    EXPECT_EQ(small.data, "400");
    EXPECT_EQ(last_error(), "Buffer insufficiente.");
    EXPECT_EQ(read("EF.DATI_PERSONALI", 400).code, 0u);
}

TEST_F(Card_library, refusal_and_unknown_names)
{
    holder.answers = {"no"};
    size_t before = mark();
    EXPECT_EQ(read("EF.DATI_PERSONALI").code, 0x80040234u);
    EXPECT_EQ(last_error(), "Operazione annullata dall'utente.");
    // The holder was asked before anything was selected.
    EXPECT_TRUE(since(before).commands.empty()) << since(before).text;

    EXPECT_EQ(read("EF.SERIALE").code, 0x8004020Fu);
    EXPECT_EQ(last_error(), "File non trovato.");
    before = mark();
    EXPECT_EQ(read("3F0022220001").code, 0x80040236u);
    EXPECT_EQ(last_error(), "Operazione non consentita.");
    EXPECT_TRUE(since(before).commands.empty()) << since(before).text;
    EXPECT_EQ(read("3F00").code, 0x80070057u);
    EXPECT_TRUE(holder.asked.size() == 1);
    expect_card_free();
}

TEST_F(Card_library, paths_resolve_to_netlink_entries_and_unknown_files_ask_after_reading)
{
    // EF.NKEF by the path the card's Netlink directory gives it.
    holder.answers = {"yes"};
    const Read_result nkef = read("1400D005");
    ASSERT_EQ(nkef.code, 0u) << last_error();
    EXPECT_EQ(nkef.data.rfind("NKEF;", 0), 0u);
    EXPECT_EQ(holder.asked, Strings{"consent:i dati di emergenza ad accesso libero"});

    // The pointer file is in no catalogue entry: read first, then shown to the holder, and
    // handed out only with consent.
    holder.asked.clear();
    holder.answers = {"no"};
    size_t before = mark();
    EXPECT_EQ(read("3F001400D004").code, 0x80040234u);
    EXPECT_EQ(holder.asked, Strings{"consent:i dati Netlink riservati"});
    const Card_log log = since(before);
    ASSERT_GE(log.commands.size(), 2u);
    EXPECT_EQ(log.commands[log.commands.size() - 2], "00 A4 08 00 04 14 00 D0 04 00") << log.text;
    EXPECT_EQ(log.commands.back(), "00 B0 00 00 62") << log.text;
    holder.answers = {"yes"};
    EXPECT_EQ(read("3F001400D004").data.size(), 0x62u);
}

// The items of one view: one question lists them all (each description once), then each is
// read as its single function would; a refusal reads nothing, a PIN file still asks its PIN, and
// without a card nobody is asked.
TEST_F(Card_library, one_question_for_the_items_of_a_view)
{
    struct Item {
        uint32_t kind;
        const char* name;
        std::vector<uint8_t> buffer = std::vector<uint8_t>(65535);
        char message[128] = "x";
    };
    auto read_items = [](std::vector<Item>& wanted) {
        std::vector<norax_item> items;
        for (Item& item : wanted)
            items.push_back({item.kind, item.name, item.buffer.data(), static_cast<uint32_t>(item.buffer.size()), 1,
                             item.message, sizeof item.message});
        const norax_result result = norax_read_items(items.data(), static_cast<uint32_t>(items.size()));
        for (size_t i = 0; i < items.size(); ++i)
            wanted[i].buffer.resize(items[i].result == 0 ? items[i].size : 0);
        std::vector<norax_result> results;
        for (const norax_item& item : items)
            results.push_back(item.result);
        return std::make_pair(result, results);
    };
    auto text = [](const Item& item) { return std::string(item.buffer.begin(), item.buffer.end()); };

    holder.answers = {"yes"};
    std::vector<Item> view = {{NORAX_ITEM_FILE, "EF.Dati_personali"}, {NORAX_ITEM_PROPERTY, "certificate"},
                              {NORAX_ITEM_FILE, "EF.ID_Carta"},       {NORAX_ITEM_PROPERTY, "atr"},
                              {NORAX_ITEM_PROPERTY, "manufacturer"},  {NORAX_ITEM_FILE, "EF.SERIALE"},
                              {NORAX_ITEM_FILE, "3F0011001102"}};
    auto [result, results] = read_items(view);
    EXPECT_EQ(holder.asked, Strings{"consent:i dati anagrafici + i dati del certificato di autenticazione + il numero "
                                    "seriale della Carta + le informazioni tecniche della Carta"});
    EXPECT_EQ(results, (std::vector<norax_result>{0, 0, 0, 0, 0, 0x8004020Fu, 0}));
    EXPECT_EQ(result, 0x8004020Fu);
    EXPECT_EQ(last_error(), "File non trovato.");
    EXPECT_EQ(std::string(view[5].message), "File non trovato.");
    EXPECT_EQ(std::string(view[0].message), "");
    EXPECT_EQ(view[0].buffer.size(), 400u);
    EXPECT_NE(text(view[0]).find("VERDELLI"), std::string::npos);
    EXPECT_EQ(text(view[6]), text(view[0]));
    EXPECT_EQ(view[2].buffer.size(), 16u);
    EXPECT_EQ(text(view[3]), "3B 8F 81 31 FE 45 00 6B 56 05 01 02 01 21 01 43 4E 53 10 31 80 61");
    EXPECT_EQ(text(view[4]), "Oberthur Card Systems");
    holder.answers = {"yes"};
    EXPECT_EQ(text(view[1]), property("certificate").data);
    expect_card_free();

    // No: nothing is read, and each item is refused as its own function would be.
    holder.asked.clear();
    holder.answers = {"no"};
    size_t before = mark();
    view.resize(4);
    std::tie(result, results) = read_items(view);
    EXPECT_EQ(result, 0x80040234u);
    EXPECT_EQ(results, (std::vector<norax_result>{0x80040234u, 0x80040234u, 0x80040234u, 0x80070005u}));
    EXPECT_EQ(std::string(view[3].message), "Accesso negato.");
    EXPECT_EQ(holder.asked.size(), 1u);
    for (const std::string& command : since(before).commands)
        EXPECT_NE(command.rfind("00 B0", 0), 0u) << command;

    // A file protected by the PIN is not covered by the list: its PIN is asked for.
    holder.asked.clear();
    holder.answers = {"yes", "no"};
    std::vector<Item> with_pin = {{NORAX_ITEM_FILE, "EF.Dati_personali"}, {NORAX_ITEM_FILE, "EF.NKEP"}};
    std::tie(result, results) = read_items(with_pin);
    EXPECT_EQ(holder.asked, (Strings{"consent:i dati anagrafici", "pin:i dati di emergenza riservati"}));
    EXPECT_EQ(results, (std::vector<norax_result>{0, 0x80040234u}));

    // Broken arguments, and an item without a buffer.
    EXPECT_EQ(norax_read_items(nullptr, 1), 0x80004003u);
    norax_item empty{NORAX_ITEM_FILE, "EF.Dati_personali", nullptr, 0, 0, nullptr, 0};
    EXPECT_EQ(norax_read_items(&empty, 0), 0x80070057u);
    holder.asked.clear();
    EXPECT_EQ(norax_read_items(&empty, 1), 0x80004003u);
    EXPECT_EQ(empty.result, 0x80004003u);
    EXPECT_TRUE(holder.asked.empty());

    // No card: every item says so, nobody is asked.
    bed.empty(0);
    std::tie(result, results) = read_items(view);
    EXPECT_EQ(result, 0x80040204u);
    EXPECT_EQ(results, std::vector<norax_result>(4, 0x80040204u));
    EXPECT_EQ(std::string(view[2].message), "Carta non rilevata.");
    EXPECT_TRUE(holder.asked.empty());
}

TEST_F(Card_library, chunks_of_254_and_an_empty_file)
{
    holder.answers = {"yes", "yes"};
    size_t before = mark();
    const Read_result nkaf = read("EF.NKAF");
    ASSERT_EQ(nkaf.code, 0u) << last_error();
    EXPECT_EQ(nkaf.data.size(), 600u);
    EXPECT_EQ(nkaf.data.rfind("NKAF;TITOLARE=VERDELLI MARTA", 0), 0u);
    Card_log log = since(before);
    ASSERT_GE(log.commands.size(), 4u) << log.text;
    const Strings tail(log.commands.end() - 4, log.commands.end());
    EXPECT_EQ(tail, (Strings{"00 A4 08 00 04 14 00 D0 03 00", "00 B0 00 00 FE", "00 B0 00 FE FE", "00 B0 01 FC 5C"}))
        << log.text;
    EXPECT_EQ(holder.asked, Strings{"consent:i dati amministrativi del titolare della carta"});

    before = mark();
    const Read_result empty = read("EF.DATI_PERSONALI_AGGIUNTIVI");
    EXPECT_EQ(empty.code, 0u) << last_error();
    EXPECT_TRUE(empty.data.empty());
    log = since(before);
    EXPECT_EQ(log.commands, Strings{"00 A4 08 00 04 12 00 12 01 00"}) << log.text;
}

TEST_F(Card_library, card_without_path_selection_is_read_step_by_step)
{
    insert(0, "regional --reset-state --no-path-select");
    holder.answers = {"yes"};
    const size_t before = mark();
    const Read_result result = read("EF.DATI_PERSONALI");
    ASSERT_EQ(result.code, 0u) << last_error();
    EXPECT_EQ(result.data.size(), 400u);
    EXPECT_EQ(since(before).commands, (Strings{Select_personal, "00 A4 00 00 00", "00 A4 00 00 02 11 00 00",
                                               "00 A4 00 00 02 11 02 00", "00 B0 00 00 FE", "00 B0 00 FE 92"}))
        << since(before).text;
}

TEST_F(Card_library, protected_free_file_asks_the_pin_and_tries_again)
{
    insert(0, "regional --reset-state --protect 11001102");
    holder.answers = {"yes", "12345"};
    const size_t before = mark();
    const Read_result result = read("EF.DATI_PERSONALI");
    ASSERT_EQ(result.code, 0u) << last_error();
    EXPECT_EQ(result.data.size(), 400u);
    EXPECT_EQ(holder.asked, (Strings{"consent:i dati anagrafici", "pin:i dati anagrafici"}));
    const Card_log log = since(before);
    // The PIN went as the 8-byte block the card compares (Lc 08, no Le) and was right at the
    // first try: the card's counter was never touched.
    EXPECT_EQ(log.commands, (Strings{Select_personal, "00 B0 00 00 FE", "00 20 00 10 08 ** ** ** ** ** ** ** **",
                                     Select_personal, "00 B0 00 00 FE", "00 B0 00 FE 92"}))
        << log.text;
    EXPECT_EQ(bed.state(0, "regional")["pin_tries"], "3");
    EXPECT_NE(log.text.find("> 00 20 00 10 08 ** ** ** ** ** ** ** **\n< 90 00\n"), std::string::npos) << log.text;
    // The PIN never reached the trace.
    EXPECT_EQ(test::trace_content().find("12345"), std::string::npos);
    EXPECT_EQ(test::trace_content().find("31 32 33 34 35"), std::string::npos);
}

TEST_F(Card_library, wrong_pin_then_right_pin_and_a_blocked_pin)
{
    holder.answers = {"11111", "12345"};
    Read_result result = read("EF.NKEP");
    ASSERT_EQ(result.code, 0u) << last_error();
    EXPECT_EQ(result.data.rfind("NKEP;", 0), 0u);
    EXPECT_EQ(holder.asked,
              (Strings{"pin:i dati di emergenza riservati", "wrong pin", "pin:i dati di emergenza riservati"}));

    holder.asked.clear();
    holder.answers = {"11111", "11111", "11111", "11111", "11111"};
    result = read("EF.NKEP");
    EXPECT_EQ(result.code, 0x8004021Cu);
    EXPECT_EQ(last_error(), "PIN bloccato.");
    EXPECT_EQ(std::count(holder.asked.begin(), holder.asked.end(), "wrong pin"), 3);

    // A PIN dialog cancelled by the holder.
    holder.answers = {"no"};
    EXPECT_EQ(read("EF.NKAP").code, 0x80040234u);
    EXPECT_EQ(last_error(), "Operazione annullata dall'utente.");
    expect_card_free();
}

TEST_F(Card_library, a_pin_of_the_wrong_length_is_not_sent)
{
    holder.answers = {"1234"};
    const size_t before = mark();
    EXPECT_EQ(read("EF.NKEP").code, 0x8004021Bu);
    EXPECT_EQ(last_error(), "Il formato del PIN non è corretto.");
    for (const std::string& command : since(before).commands)
        EXPECT_NE(command.rfind("00 20", 0), 0u) << command;
}

TEST_F(Card_library, properties_after_the_holders_yes)
{
    holder.answers = {"yes", "yes", "yes", "yes", "no"};
    Read_result atr = property("ATR");
    ASSERT_EQ(atr.code, 0u) << last_error();
    EXPECT_EQ(atr.data, "3B 8F 81 31 FE 45 00 6B 56 05 01 02 01 21 01 43 4E 53 10 31 80 61");
    EXPECT_EQ(property("manufacturer").data, "Oberthur Card Systems");
    EXPECT_EQ(property("Type").data, "Carta cittadino reale con il nuovo set di chiavi");
    EXPECT_EQ(
        property("issuer").data,
        "CN=Regione Valdora Certification Authority Cittadini, OU=Servizi di Certificazione, O=Regione Valdora, C=IT");
    EXPECT_EQ(property("issuer").code, 0x80070005u);
    EXPECT_EQ(last_error(), "Accesso negato.");
    EXPECT_EQ(holder.asked, Strings(5, "property"));

    // Bounded copy: exactly the length is too small and leaves *size alone.
    holder.answers = {"yes", "yes"};
    char buffer[80];
    uint32_t size = static_cast<uint32_t>(atr.data.size());
    EXPECT_EQ(norax_card_property("atr", buffer, &size), 234u);
    EXPECT_EQ(size, atr.data.size());
    size = 0x80000000u;
    EXPECT_EQ(norax_card_property("atr", buffer, &size), 0x80070057u);
}

TEST_F(Card_library, certificate_in_base64_lines)
{
    holder.answers = {"yes"};
    const Read_result certificate = property("certificate");
    ASSERT_EQ(certificate.code, 0u) << last_error();
    EXPECT_EQ(holder.asked, Strings{"consent:i dati del certificato di autenticazione"});
    const std::string der =
        test::read_file(std::string(VELIN_SOURCE_DIR) + "/tests/fixtures/card/holder-regional.cert.der");
    std::string encoded(4 * ((der.size() + 2) / 3) + 1, '\0');
    encoded.resize(static_cast<size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                                       reinterpret_cast<const unsigned char*>(der.data()),
                                                       static_cast<int>(der.size()))));
    std::string expected;
    for (size_t at = 0; at < encoded.size(); at += 76)
        expected += (at ? "\r\n" : "") + encoded.substr(at, 76);
    EXPECT_EQ(certificate.data, expected);
    EXPECT_NE(certificate.data.substr(certificate.data.size() - 2), "\r\n");

    // The file (2048 bytes) does not fit twice a capacity of 512.
    holder.answers = {"yes"};
    EXPECT_EQ(property("certificate", 512).code, 234u);
}

TEST_F(Card_library, contactless_card_is_known_by_its_atr_file)
{
    insert(0, "contactless --reset-state");
    holder.answers = {"yes", "yes", "yes"};
    const Read_result atr = property("atr");
    ASSERT_EQ(atr.code, 0u) << last_error();
    const auto separator = atr.data.find(" - CONTACTLESS: ");
    ASSERT_NE(separator, std::string::npos) << atr.data;
    EXPECT_NE(atr.data.substr(0, separator).find("43 4E 53"), std::string::npos);
    EXPECT_EQ(atr.data.substr(separator + 16, 11), "3B 88 81 01");
    EXPECT_EQ(property("manufacturer").data, "Oberthur Card Systems");
    EXPECT_EQ(read("EF.DATI_PERSONALI").data.size(), 400u);
}

TEST_F(Card_library, alternative_and_foreign_cards)
{
    insert(0, "alt --reset-state");
    holder.answers = {"yes", "yes"};
    EXPECT_EQ(read("EF.ID_CARTA").data, "7420091000000001");
    EXPECT_EQ(property("manufacturer").code, 0x8004023Cu);
    EXPECT_EQ(last_error(), "La carta inserita non è una Carta Nazionale dei Servizi.");

    insert(0, "noncns --reset-state");
    holder.asked.clear();
    holder.answers = {"yes"};
    EXPECT_EQ(read("EF.DATI_PERSONALI").code, 0x8004023Cu);
    EXPECT_EQ(last_error(), "La carta inserita non è una Carta Nazionale dei Servizi.");
    EXPECT_TRUE(holder.asked.empty()) << "the holder was asked about a card that cannot be read";
    // Its ATR is asked for through the ATR file, which this card does not have.
    holder.answers = {"yes"};
    EXPECT_EQ(property("atr").code, 0x8004020Fu);
    EXPECT_EQ(last_error(), "File non trovato.");
}

TEST_F(Card_library, unknown_manufacturer_is_a_general_failure)
{
    insert(0, "regional --reset-state --manufacturer 0A");
    holder.answers = {"yes"};
    EXPECT_EQ(property("manufacturer").code, 0x80004005u);
    EXPECT_EQ(last_error(), "Errore non definito.");
}

TEST_F(Card_library, t0_card_is_refused_before_sending)
{
    insert(0, "regional --reset-state --t0");
    holder.answers = {"yes"};
    const size_t before = mark();
    EXPECT_EQ(read("EF.DATI_PERSONALI").code, 0x80070057u);
    EXPECT_EQ(last_error(), "Parametri non validi.");
    EXPECT_TRUE(since(before).commands.empty()) << since(before).text;
}

TEST_F(Card_library, readers_without_a_card_and_the_second_reader)
{
    bed.empty(0);
    holder.answers = {"yes"};
    EXPECT_EQ(read("EF.DATI_PERSONALI").code, 0x80040204u);
    EXPECT_EQ(last_error(), "Carta non rilevata.");
    EXPECT_TRUE(holder.asked.empty());

    insert(1, "other --reset-state");
    const size_t before = mark(1);
    holder.answers = {"yes"};
    const Read_result result = read("EF.DATI_PERSONALI");
    ASSERT_EQ(result.code, 0u) << last_error();
    EXPECT_NE(result.data.find("BRANCALEONI"), std::string::npos);
    EXPECT_EQ(since(before, 1).commands.front(), Select_personal);

    // With cards in both readers the first one in the listing is used.
    insert(0, "regional --reset-state");
    holder.answers = {"yes"};
    EXPECT_NE(read("EF.DATI_PERSONALI").data.find("VERDELLI"), std::string::npos);
}

TEST_F(Card_library, a_slow_card_gets_the_calls_card_time_in_all)
{
    using namespace std::chrono;
    struct Restore_card_time {
        ~Restore_card_time() { set_card_time_for_tests(milliseconds(0)); }
    } restore;
    set_card_time_for_tests(milliseconds(1000));

    // Each reply 400 ms late: SELECT and two READ BINARY fit no card time of 1 s, though each
    // command alone would.
    insert(0, "regional --reset-state --delay-ms 400");
    holder.answers = {"yes"};
    const auto start = steady_clock::now();
    const Read_result result = read("EF.DATI_PERSONALI");
    const auto took = steady_clock::now() - start;
    EXPECT_EQ(result.code, 0x8010000Au);
    EXPECT_EQ(last_error(), "La carta non ha risposto in tempo.");
    EXPECT_GE(took, milliseconds(1000));
    EXPECT_LT(took, milliseconds(1190)) << "the caller waited for the card past its time";
    // The command left behind ends by itself and lets the card go.
    std::this_thread::sleep_for(milliseconds(600));
    expect_card_free();

    // The holder's time on the dialog is not card time.
    insert(0, "regional --reset-state");
    set_card_time_for_tests(milliseconds(300));
    holder.pause = milliseconds(500);
    holder.answers = {"yes"};
    EXPECT_EQ(read("EF.DATI_PERSONALI").code, 0u) << last_error();
}

TEST_F(Card_library, a_card_taken_out_under_a_command_is_said_so)
{
    // Out during the first SELECT of the Netlink discovery: not "File non trovato.".
    insert(0, "regional --reset-state --remove-during 1");
    holder.answers = {"yes"};
    EXPECT_EQ(read("EF.NKAF").code, 0x80040202u);
    EXPECT_EQ(last_error(), "La carta è stata rimossa.");

    // Out during the READ BINARY of a file with a fixed path: not a general failure.
    insert(0, "regional --reset-state --remove-during 2");
    holder.answers = {"yes"};
    EXPECT_EQ(read("EF.DATI_PERSONALI").code, 0x80040202u);
    EXPECT_EQ(last_error(), "La carta è stata rimossa.");

    // The card held by another program.
    insert(0, "regional --reset-state");
    SCARDCONTEXT context = 0;
    ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context), SCARD_S_SUCCESS);
    SCARDHANDLE other = 0;
    DWORD protocol = 0;
    ASSERT_EQ(SCardConnect(context, "Virtual PCD 00 00", SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T1, &other, &protocol),
              SCARD_S_SUCCESS);
    holder.answers = {"yes"};
    EXPECT_EQ(read("EF.DATI_PERSONALI").code, 0x80040227u);
    EXPECT_EQ(last_error(), "La carta è impegnata da un altro utente.");
    SCardDisconnect(other, SCARD_LEAVE_CARD);
    SCardReleaseContext(context);
}

TEST_F(Card_library, broken_replies_leave_the_card_free)
{
    insert(0, "regional --reset-state --short-reply 1");
    holder.answers = {"yes"};
    EXPECT_EQ(read("EF.DATI_PERSONALI").code, 0x80004005u);
    EXPECT_EQ(last_error(), "Errore non definito.");
    expect_card_free();

    // Bytes lost in the middle of the read: the protocol error of a short reply, card free.
    insert(0, "regional --reset-state --short-reply 1 --short-reply-after 1");
    holder.answers = {"yes"};
    const size_t before = mark();
    EXPECT_EQ(read("EF.DATI_PERSONALI").code, 0x80004005u);
    EXPECT_EQ(since(before).commands.size(), 2u) << since(before).text;
    expect_card_free();
}

} // namespace
