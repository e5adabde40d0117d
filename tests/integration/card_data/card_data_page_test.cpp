// The card-data page reading the simulated card through the card library: every field of the
// holder's file, the card's number, certificate and properties; a malformed file said plainly;
// the holder's refusal; no card (nothing asked); the window and its clipboard; nothing personal in
// the trace.
#include "card_bed.h"
#include "card_data/app/card_data_window.h"
#include "card_data/card_data.h"
#include "dialog_answerer.h"
#include "test_folder.h"

#include <QClipboard>
#include <QLabel>
#include <QtTest>

#include <filesystem>

using namespace velin;

namespace {

std::string value_of(const Card_data& data, const std::string& key)
{
    for (const Card_data_row& row : data.rows)
        if (row.key == key)
            return row.value;
    return "<assente>";
}

// The holder says yes to every question of the library.
std::deque<std::string> yes_to_all()
{
    return std::deque<std::string>(12, "yes");
}

} // namespace

class Test_card_data_page : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<Card_library> _library;
    std::unique_ptr<test::Test_folder> _folder;

    // The holder's questions the reading asked: one answer each.
    size_t _asked = 0;

    Card_data read(std::deque<std::string> answers)
    {
        const size_t given = answers.size();
        norax_read::Dialog_answerer answerer(std::move(answers));
        Card_data data = read_card_data(*_library);
        _asked = given - answerer.answers_left();
        return data;
    }

private slots:
    void initTestCase()
    {
        test::private_environment();
        QVERIFY2(test::Card_bed().running(), "the card bed is not running: run through ctest (fixture card_bed)");
        std::string error;
        _library = Card_library::load(NORAXCARD_PATH, error);
        QVERIFY2(_library, error.c_str());
        _folder = std::make_unique<test::Test_folder>();
    }
    void cleanup()
    {
        test::Card_bed bed;
        bed.empty(0);
        bed.insert(0, "regional --reset-state");
    }

    void every_field_of_the_regional_card()
    {
        const Card_data data = read(yes_to_all());
        QVERIFY2(data.failures.empty(), data.as_text().c_str());
        QCOMPARE(value_of(data, "cognome"), std::string("VERDELLI"));
        QCOMPARE(value_of(data, "nome"), std::string("MARTA"));
        QCOMPARE(value_of(data, "codice_fiscale"), std::string("VRDMRT85C54L999W"));
        QCOMPARE(value_of(data, "nascita"), std::string("14/03/1985, L999"));
        QCOMPARE(value_of(data, "sesso"), std::string("Femminile"));
        QCOMPARE(value_of(data, "statura"), std::string(""));
        QCOMPARE(value_of(data, "cittadinanza"), std::string("ITA"));
        QCOMPARE(value_of(data, "residenza"), std::string("VIA DEI LECCI 12, comune L999"));
        QCOMPARE(value_of(data, "ente_emettitore"), std::string("RVD01"));
        QCOMPARE(value_of(data, "rilasciata_il"), std::string("15/01/2025"));
        QCOMPARE(value_of(data, "scade_il"), std::string("15/01/2031"));
        QCOMPARE(value_of(data, "numero_carta"), std::string("7420091000000001"));
        QCOMPARE(value_of(data, "certificato_titolare"), std::string("MARTA VERDELLI"));
        QVERIFY(value_of(data, "certificato_emittente").find("Regione Valdora") != std::string::npos);
        // Each thing once: the holder's file and the certificate (which names the card's number),
        // then the four technical questions the library asks one by one.
        QCOMPARE(_asked, size_t(6));
        QVERIFY(value_of(data, "atr").rfind("3B ", 0) == 0);
        QVERIFY(value_of(data, "produttore") != "<assente>");
        // The trace has lengths, never the data.
        const std::string trace = test::trace_content();
        for (const char* personal : {"VERDELLI", "VRDMRT85C54L999W", "VIA DEI LECCI"})
            QVERIFY2(trace.find(personal) == std::string::npos, personal);
    }

    void a_malformed_file_is_said_plainly()
    {
        const std::filesystem::path file = *_folder / "overrun.bin";
        std::string bytes = "00002005VERDE40MARTA";
        bytes.resize(400, '\0');
        test::write_file(file, bytes);
        test::Card_bed().insert(0, "regional --personal-data " + file.string());
        const Card_data data = read(yes_to_all());
        QCOMPARE(value_of(data, "cognome"), std::string("<assente>"));
        QVERIFY(!data.failures.empty());
        QCOMPARE(data.failures.front().text, std::string(Text_malformed_personal_data));
        QCOMPARE(value_of(data, "numero_carta"), std::string("7420091000000001"));
    }

    void a_refusal_stops_the_reading()
    {
        const Card_data data = read({"no"});
        QVERIFY(data.refused);
        QVERIFY(data.rows.empty());
        QCOMPARE(data.failures.size(), size_t(1));
        QCOMPARE(data.failures.front().code, Norax_cancelled);
        QVERIFY(!data.failures.front().text.empty());
    }

    void no_card_gives_the_librarys_text_and_code()
    {
        test::Card_bed().empty(0);
        const Card_data data = read(yes_to_all());
        QVERIFY(data.rows.empty());
        QVERIFY(!data.failures.empty());
        // The card is looked for first: with none, the holder is asked nothing.
        QCOMPARE(_asked, size_t(0));
        QCOMPARE(data.failures.size(), size_t(1));
        for (const Card_data_failure& failure : data.failures) {
            QVERIFY(failure.code != 0);
            QVERIFY2(!failure.text.empty(), failure.what.c_str());
        }
    }

    void the_window_shows_and_copies()
    {
        norax_read::Dialog_answerer answerer(std::deque<std::string>(24, "yes"));
        Card_data_window window([this] { return read_card_data(*_library); });
        window.show();
        window.refresh();
        auto* surname = window.findChild<QLabel*>("cognome");
        QVERIFY(surname);
        QCOMPARE(surname->text(), QString("VERDELLI"));
        window.copy_to_clipboard();
        QVERIFY(QGuiApplication::clipboard()->text().contains("Codice fiscale: VRDMRT85C54L999W"));
        window.refresh(); // "Aggiorna" reads again
        QCOMPARE(window.findChild<QLabel*>("cognome")->text(), QString("VERDELLI"));
    }

    void copied_data_leave_the_clipboard_with_the_window()
    {
        norax_read::Dialog_answerer answerer(std::deque<std::string>(12, "yes"));
        {
            Card_data_window window([this] { return read_card_data(*_library); });
            window.refresh();
            window.copy_to_clipboard();
            QVERIFY(QGuiApplication::clipboard()->text().contains("VRDMRT85C54L999W"));
        }
        QCOMPARE(QGuiApplication::clipboard()->text(), QString());

        // What the user copied afterwards from elsewhere is not ours to clear.
        {
            Card_data_window window([this] { return read_card_data(*_library); });
            window.refresh();
            window.copy_to_clipboard();
            QGuiApplication::clipboard()->setText("altro testo");
        }
        QCOMPARE(QGuiApplication::clipboard()->text(), QString("altro testo"));
    }
};

QTEST_MAIN(Test_card_data_page)
#include "card_data_page_test.moc"
