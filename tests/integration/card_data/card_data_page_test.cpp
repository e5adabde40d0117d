// The card-data page reading the simulated card through the card library: every field of the
// holder's file, the card's number, certificate and properties; a malformed file said plainly;
// the holder's refusal; no card (nothing asked); the window and its clipboard; nothing personal in
// the trace.
#include "card_bed.h"
#include "card_data/app/card_data_window.h"
#include "card_data/card_data.h"
#include "dialog_answerer.h"
#include "terminal_program.h"
#include "test_folder.h"

#include <QClipboard>
#include <QLabel>
#include <QtTest>

#include <filesystem>
#include <string>
#include <vector>

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

// velin-dati-carta --json without a display, the card library found by its installed name:
// standard input a terminal the holder types answers into (typed), or /dev/null. extra: more of
// the environment ("NAME=value").
test::Terminal_run run_json(const test::Test_folder& folder, const std::string* typed,
                            const std::vector<std::string>& extra = {})
{
    std::vector<std::string> environment = {
        "PATH=/usr/bin:/bin",
        "HOME=" + folder.path().string(),
        "XDG_RUNTIME_DIR=" + folder.path().string(),
        "TMPDIR=" + folder.path().string(),
        "LD_LIBRARY_PATH=" + std::filesystem::path(NORAXCARD_PATH).parent_path().string(),
        "LANG=C.UTF-8",
    };
    environment.insert(environment.end(), extra.begin(), extra.end());
    return test::run_with_terminal(folder.path(), {VELIN_DATI_CARTA, "--json"}, typed, environment);
}

} // namespace

class Test_card_data_page : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<Card_library> _library;
    std::unique_ptr<test::Test_folder> _folder;

    // The holder's questions the reading asked: one answer each, and what each one showed.
    size_t _asked = 0;
    std::vector<std::string> _questions;

    Card_data read(std::deque<std::string> answers)
    {
        const size_t given = answers.size();
        norax_read::Dialog_answerer answerer(std::move(answers));
        Card_data data = read_card_data(*_library);
        _asked = given - answerer.answers_left();
        _questions = answerer.seen();
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
        // One question for the whole page, listing what it reads.
        QCOMPARE(_asked, size_t(1));
        QCOMPARE(_questions.size(), size_t(1));
        QVERIFY2(_questions.front().find("L'applicazione ha chiesto di leggere | - i dati anagrafici;\n- i dati del "
                                         "certificato di autenticazione;\n- il numero seriale della Carta;\n- le "
                                         "informazioni tecniche della Carta | registrati sulla tua Carta Velin.") !=
                     std::string::npos,
                 _questions.front().c_str());
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

    void without_a_window_the_holder_answers_on_the_terminal()
    {
        test::Test_folder folder;
        // Yes to every question: the holder's file, the certificate, the technical questions.
        const std::string yes = "s\ns\ns\ns\ns\ns\ns\n";
        const test::Terminal_run read = run_json(folder, &yes);
        QVERIFY2(read.exit_code == 0, (read.output + read.errors).c_str());
        QVERIFY2(read.output.find("\"codice_fiscale\": \"VRDMRT85C54L999W\"") != std::string::npos,
                 read.output.c_str());
        QVERIFY2(read.output.find("\"atr\": \"3B ") != std::string::npos, read.output.c_str());
        QVERIFY2(read.errors.find("L'applicazione ha chiesto di leggere\n- i dati anagrafici;\n") != std::string::npos,
                 read.errors.c_str());
        // One question for everything the page reads.
        QVERIFY2(read.errors.find("(s/n): ") != std::string::npos, read.errors.c_str());
        QVERIFY2(read.errors.find("(s/n): ") == read.errors.rfind("(s/n): "), read.errors.c_str());

        // No to the first question: nothing read, the refusal said.
        const std::string no = "n\n";
        const test::Terminal_run refused = run_json(folder, &no);
        QCOMPARE(refused.exit_code, 1);
        QVERIFY2(refused.output.find("\"campi\": {}") != std::string::npos, refused.output.c_str());
        QVERIFY2(refused.output.find("0x80040234") != std::string::npos, refused.output.c_str());

        // Not on a terminal: nobody to ask, said in our words, and nothing read.
        const test::Terminal_run nobody = run_json(folder, nullptr);
        QCOMPARE(nobody.exit_code, 1);
        QVERIFY2(nobody.output.find("\"campi\": {}") != std::string::npos, nobody.output.c_str());
        QVERIFY2(nobody.output.find(Text_nobody_to_ask) != std::string::npos, nobody.output.c_str());
        QVERIFY2(nobody.errors.find(Text_nobody_to_ask) != std::string::npos, nobody.errors.c_str());
        QVERIFY2(nobody.output.find("Lo stato corrente") == std::string::npos, nobody.output.c_str());
    }

    // The service's socket is named for this run only (the client library reads the name once
    // per process, so the window's reading cannot be pointed elsewhere in this one).
    void without_the_service_json_says_what_the_window_says()
    {
        test::Test_folder folder;
        const std::string socket = "PCSCLITE_CSOCK_NAME=" + (folder / "no-pcscd.comm").string();
        const test::Terminal_run run = run_json(folder, nullptr, {socket});
        QCOMPARE(run.exit_code, 1);
        QVERIFY2(run.output.find("Il servizio di accesso alle smart card non è attivo.") != std::string::npos,
                 run.output.c_str());
        QVERIFY2(run.output.find("Carta non rilevata.") == std::string::npos, run.output.c_str());
        QVERIFY2(run.output.find("\"codice\": \"0x8010001D\"") != std::string::npos, run.output.c_str());
        QVERIFY2(run.errors.find("(s/n)") == std::string::npos, run.errors.c_str());
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
