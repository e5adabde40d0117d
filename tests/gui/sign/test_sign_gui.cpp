// The signer offscreen: the batch with its questions answered (a signer that needs no card stands
// in for the card's), the main window's list and buttons, the PIN field, the card search without
// a smart-card service, and the command line.
#include "box_recorder.h"
#include "card_channel/scard.h"
#include "common/file_dialog.h"
#include "common/message_box.h"
#include "java_bridge/java_message.h"
#include "java_bridge/java_vm.h"
#include "norax_sign/app/card_dialogs.h"
#include "norax_sign/app/dialog_batch_ui.h"
#include "norax_sign/app/error_boxes.h"
#include "norax_sign/app/sign_main_window.h"
#include "norax_sign/pdf_card_signer.h"
#include "norax_sign/timestamp_client.h"
#include "test_folder.h"
#include "trace_records.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <sys/stat.h>

#include <cerrno>
#include <ctime>
#include <filesystem>

using namespace velin;
namespace fs = std::filesystem;

namespace {

// Wraps the document in recognisable bytes; fails for documents that hold "rifiuta", reports a
// removed card for "estrai", a cancel at the card for "annulla", and a PIN the token refused for
// "pin-errato".
class Stand_in_signer : public Card_signer {
public:
    void open() override {}
    void sign(const Pin_text& pin, std::span<const uint8_t> document, unsigned flags) override
    {
        const std::string text(document.begin(), document.end());
        pins.emplace_back(pin.view());
        flags_seen.push_back(flags);
        for (const auto& [word, code] : {std::pair<const char*, uint32_t>{"rifiuta", Result_failed},
                                         {"estrai", Scard_w_removed_card},
                                         {"annulla", Result_cancelled_by_user},
                                         {"pin-errato", Result_pin_wrong}})
            if (text.find(word) != std::string::npos) {
                fail(code);
                return;
            }
        Signed_output output;
        const std::string head = (flags & Flag_parallel) ? "COFIRMA[" : "FIRMA[";
        output.head.assign(head.begin(), head.end());
        output.document = document;
        output.tail = {']'};
        succeed(std::move(output));
    }

    static inline std::vector<std::string> pins;
    static inline std::vector<unsigned> flags_seen;
};

// The real boxes and file dialogs (answered by the test), a card and PIN given without a card.
class Scripted_ui : public Dialog_batch_ui {
public:
    Scripted_ui() : Dialog_batch_ui(nullptr) {}
    std::optional<Found_card> find_card() override
    {
        ++card_searches;
        if (!card_found)
            return std::nullopt;
        return Found_card{nullptr, "Lettore di prova", 1};
    }
    std::optional<Pin_text> enter_pin(const Found_card&) override
    {
        if (!pin_given)
            return std::nullopt;
        return Pin_text("12345");
    }

    bool card_found = true;
    bool pin_given = true;
    int card_searches = 0;
};

Sign_batch_options stand_in_options(bool parallel = false)
{
    Sign_batch_options options;
    options.parallel_signature = parallel;
    options.make_signer = [](const Found_card&, unsigned flags) -> std::unique_ptr<Card_signer> {
        if (flags & Flag_pdf)
            return std::make_unique<Pdf_card_signer>(0, "Lettore di prova", [](const std::string& text, unsigned box) {
                return message_box(text, box, nullptr, Suite_caption);
            });
        return std::make_unique<Stand_in_signer>();
    };
    return options;
}

} // namespace

class Test_sign_gui : public QObject {
    Q_OBJECT

private:
    test::Box_recorder _boxes;
    std::vector<File_dialog_request> _dialogs;
    std::vector<std::optional<std::string>> _dialog_answers;
    std::unique_ptr<test::Test_folder> _folder;

    fs::path document(const std::string& name, const std::string& content)
    {
        const fs::path path = *_folder / name;
        test::write_file(path, content);
        return path;
    }
    std::vector<std::string> box_texts() const { return _boxes.texts(); }

private slots:
    void initTestCase()
    {
        test::private_environment();
        install_error_box_hook();
        _boxes.install();
        set_file_dialog_answerer([this](const File_dialog_request& request) -> std::optional<std::string> {
            _dialogs.push_back(request);
            if (_dialog_answers.empty())
                return std::nullopt;
            std::optional<std::string> answer = _dialog_answers.front();
            _dialog_answers.erase(_dialog_answers.begin());
            return answer;
        });
    }
    void init()
    {
        _boxes.clear();
        _boxes.answers.clear();
        _dialogs.clear();
        _dialog_answers.clear();
        Stand_in_signer::pins.clear();
        Stand_in_signer::flags_seen.clear();
        _folder = std::make_unique<test::Test_folder>();
    }

    // A machine where nobody installed the lists (the program's data folder is empty): judging a
    // time-stamping authority loads them, and a list that is simply not there is no error box.
    void lists_not_installed_give_no_box()
    {
        show_pending_error_boxes();
        _boxes.clear();
        const std::string pem =
            test::read_file(fs::path(VELIN_SOURCE_DIR) / "tests/fixtures/pki/signer-legal.cert.pem");
        BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
        X509* x509 = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
        BIO_free(bio);
        QVERIFY(x509);
        const Signer_certificate authority = Signer_certificate::from_x509(x509);
        X509_free(x509);
        // Nothing is trusted without lists: said as the stamp's failure, in its own words.
        QCOMPARE(trusted_lists_judge()(authority, std::time(nullptr)), std::string(Text_tsa_not_trusted));
        show_pending_error_boxes();
        QVERIFY2(_boxes.empty(), _boxes.empty() ? "" : _boxes.front().text.c_str());
    }

    void command_line_switches_then_documents()
    {
        // Switches by name wherever they stand; everything else, absolute paths too, is a document.
        const char* argv[] = {"velin-sign",
                              "/parent=0x00001234",
                              "/home/utente/Documenti/contratto.txt",
                              "/DIR=/tmp/uscita",
                              "/Pdf",
                              "a.doc",
                              "/altro",
                              "/PARENT=0x1"};
        const Sign_command_line command = parse_sign_command_line(8, argv);
        QCOMPARE(command.output_folder, std::string("/tmp/uscita"));
        QCOMPARE(command.flags, Flag_pdf);
        QCOMPARE(command.documents,
                 (std::vector<std::string>{"/home/utente/Documenti/contratto.txt", "a.doc", "/altro"}));
        const char* none[] = {"velin-sign", "/pdfx"};
        QCOMPARE(parse_sign_command_line(2, none).flags, 0u);
        QCOMPARE(parse_sign_command_line(2, none).documents, std::vector<std::string>{"/pdfx"});
        const char* stamped[] = {"velin-sign", "/MARCA=TSD", "/solomarca", "a.txt", "/marca=altro", "/marca=m7m"};
        const Sign_command_line marked = parse_sign_command_line(6, stamped);
        QVERIFY(marked.timestamp_form == Timestamp_form::M7m && marked.timestamp_only);
        QCOMPARE(marked.invalid_switch, std::string("/marca=altro"));
        QCOMPARE(marked.documents, std::vector<std::string>{"a.txt"});
        const char* pades[] = {"velin-sign", "/pdf", "/marca=PAdES-T"};
        QVERIFY(parse_sign_command_line(3, pades).timestamp_form == Timestamp_form::Pdf);
        const char* detached[] = {"velin-sign", "/marca=TSR", "/solomarca"};
        QVERIFY(parse_sign_command_line(3, detached).timestamp_form == Timestamp_form::Tsr);
    }

    void help_and_version_without_a_display_touch_nothing()
    {
        const fs::path runtime = *_folder / "runtime";
        fs::create_directory(runtime);
        for (const auto& [argument, expected] :
             {std::pair<QString, QString>{"--help", "Uso: velin-sign [/dir=CARTELLA]"},
              {"--version", "velin-sign " VELIN_VERSION "\n"}}) {
            QProcess program;
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
                environment.remove(name);
            environment.insert("XDG_RUNTIME_DIR", QString::fromStdString(runtime.string()));
            program.setProcessEnvironment(environment);
            program.setWorkingDirectory(QString::fromStdString(_folder->path().string()));
            program.start(VELIN_SIGN_PROGRAM, {argument});
            QVERIFY(program.waitForFinished(20000));
            QCOMPARE(program.exitCode(), 0);
            QVERIFY2(QString::fromUtf8(program.readAllStandardOutput()).startsWith(expected), qPrintable(argument));
        }
        // No trace, no settings, no document called "--help".
        QVERIFY(fs::is_empty(runtime));
        QCOMPARE(std::distance(fs::directory_iterator(_folder->path()), fs::directory_iterator()), 1);
    }

    void two_documents_into_the_given_folder_with_one_pin()
    {
        const fs::path out = *_folder / "uscita";
        fs::create_directory(out);
        const std::string a = document("a.doc", "primo").string(), b = document("b.doc", "secondo").string();
        Scripted_ui ui;
        QCOMPARE(sign_batch(ui, {a, b}, 0, out.string(), stand_in_options()), 0u);
        QCOMPARE(test::read_file(out / "a.doc.p7m"), std::string("FIRMA[primo]"));
        QCOMPARE(test::read_file(out / "b.doc.p7m"), std::string("FIRMA[secondo]"));
        QCOMPARE(ui.card_searches, 1);
        QCOMPARE(Stand_in_signer::pins, (std::vector<std::string>{"12345", "12345"}));
        QVERIFY(_dialogs.empty()); // no folder browser
        QCOMPARE(box_texts(), std::vector<std::string>{Text_signed_and_saved});
        QCOMPARE(_boxes.front().flags & MB_ICONMASK, MB_ICONINFORMATION);
    }

    void output_folder_rule()
    {
        const std::string a = document("a.doc", "primo").string(), b = document("b.doc", "secondo").string();
        Scripted_ui ui;
        // A file named as the folder counts as none; one document goes beside itself.
        QCOMPARE(batch_output_folder(ui, {a}, a), std::optional<std::string>(_folder->path().string()));
        QVERIFY(_dialogs.empty());
        // Two documents and no folder: the browser; cancelled, the batch ends without a card.
        QCOMPARE(sign_batch(ui, {a, b}, 0, a, stand_in_options()), 0u);
        QCOMPARE(_dialogs.size(), size_t(1));
        QCOMPARE(_dialogs.front().kind, File_dialog_request::Kind::Folder);
        QCOMPARE(_dialogs.front().title, std::string("Scegli la cartella dove vuoi salvare il documento firmato:"));
        QCOMPARE(ui.card_searches, 0);
        // A choice that is not a folder ends it the same way.
        _dialog_answers = {std::string("/nonexistent/cartella")};
        QCOMPARE(sign_batch(ui, {a, b}, 0, {}, stand_in_options()), 0u);
        QCOMPARE(ui.card_searches, 0);
        _dialog_answers = {_folder->path().string()};
        QCOMPARE(sign_batch(ui, {a, b}, 0, {}, stand_in_options()), 0u);
        QVERIFY(fs::exists(*_folder / "b.doc.p7m"));
    }

    void giving_up_on_the_card_or_the_pin_cancels()
    {
        const std::string a = document("a.doc", "primo").string();
        Scripted_ui no_card;
        no_card.card_found = false;
        QCOMPARE(sign_batch(no_card, {a}, 0, {}, stand_in_options()), Result_cancelled);
        Scripted_ui no_pin;
        no_pin.pin_given = false;
        QCOMPARE(sign_batch(no_pin, {a}, 0, {}, stand_in_options()), Result_cancelled);
        QVERIFY(Stand_in_signer::pins.empty());
        QVERIFY(!fs::exists(*_folder / "a.doc.p7m"));
        QVERIFY(_boxes.empty());
    }

    void failed_documents_only_suppress_the_summary()
    {
        const std::string missing = (*_folder / "sparito.doc").string();
        const std::string empty = document("vuoto.doc", "").string();
        const std::string fifo = (*_folder / "coda").string();
        QCOMPARE(::mkfifo(fifo.c_str(), 0600), 0);
        const std::string refused = document("rifiutato.doc", "rifiuta").string();
        const std::string good = document("buono.doc", "buono").string();
        Scripted_ui ui;
        size_t failed = 0;
        QCOMPARE(sign_batch(ui, {missing, empty, fifo, refused, good}, 0, _folder->path().string(), stand_in_options(),
                            &failed),
                 0u);
        // Each failure names its document, and what is wrong with it when it cannot be read (said
        // before the card is asked for); no summary.
        const std::string failed_text = std::string(Text_signature_failed) + "\n";
        QCOMPARE(box_texts(), (std::vector<std::string>{failed_text + missing + "\n\n" + Text_input_missing,
                                                        failed_text + empty + "\n\n" + Text_input_empty,
                                                        failed_text + fifo + "\n\n" + Text_input_not_regular,
                                                        failed_text + refused}));
        QCOMPARE(failed, size_t(4));
        QCOMPARE(_boxes.front().flags & MB_ICONMASK, MB_ICONERROR);
        QCOMPARE(_boxes.front().caption, std::string(Suite_caption));
        QVERIFY(fs::exists(*_folder / "buono.doc.p7m"));
        QVERIFY(!fs::exists(*_folder / "rifiutato.doc.p7m"));
    }

    void a_removed_card_or_a_refused_pin_stops_the_batch()
    {
        const std::string second = document("secondo.doc", "secondo").string();
        const std::string third = document("terzo.doc", "terzo").string();
        // The card taken out: said once, nothing more is signed.
        const std::string removed = document("primo.doc", "estrai").string();
        Scripted_ui ui;
        size_t failed = 0;
        QCOMPARE(sign_batch(ui, {removed, second, third}, 0, _folder->path().string(), stand_in_options(), &failed),
                 Result_failed);
        QCOMPARE(Stand_in_signer::pins.size(), size_t(1));
        QCOMPARE(box_texts(), std::vector<std::string>{Text_card_removed});
        QCOMPARE(failed, size_t(3));
        QVERIFY(!fs::exists(*_folder / "secondo.doc.p7m"));

        // The token refused the PIN the card accepted: the PIN is not offered again.
        _boxes.clear();
        Stand_in_signer::pins.clear();
        const std::string refused = document("pin.doc", "pin-errato").string();
        QCOMPARE(sign_batch(ui, {second, refused, third}, 0, _folder->path().string(), stand_in_options(), &failed),
                 Result_failed);
        QCOMPARE(Stand_in_signer::pins.size(), size_t(2));
        QCOMPARE(box_texts(), std::vector<std::string>{std::string(Text_signature_failed) + "\n" + refused + "\n\n" +
                                                       Text_pin_refused});
        QCOMPARE(failed, size_t(2));
        QVERIFY(fs::exists(*_folder / "secondo.doc.p7m"));
        QVERIFY(!fs::exists(*_folder / "terzo.doc.p7m"));

        // Cancelled at the card (SCARD_W_CANCELLED_BY_USER): a cancel, without a word.
        _boxes.clear();
        Stand_in_signer::pins.clear();
        const std::string cancelled = document("annullato.doc", "annulla").string();
        QCOMPARE(sign_batch(ui, {cancelled, third}, 0, _folder->path().string(), stand_in_options()), Result_cancelled);
        QCOMPARE(Stand_in_signer::pins.size(), size_t(1));
        QVERIFY(_boxes.empty());
    }

    void an_existing_output_is_overwritten_kept_or_saved_elsewhere()
    {
        const std::string a = document("a.doc", "nuovo").string();
        const fs::path existing = document("a.doc.p7m", "vecchio");
        Scripted_ui ui;
        // Cancel: nothing written, the batch stops.
        _boxes.answers = {IDCANCEL};
        QCOMPARE(sign_batch(ui, {a}, 0, {}, stand_in_options()), Result_cancelled);
        QCOMPARE(box_texts(), std::vector<std::string>{existing.string() + Text_exists_overwrite});
        QCOMPARE(_boxes.front().flags & (MB_TYPEMASK | MB_ICONMASK | MB_DEFMASK),
                 MB_YESNOCANCEL | MB_ICONWARNING | MB_DEFBUTTON2);
        QCOMPARE(test::read_file(existing), std::string("vecchio"));
        // No: the save dialog, starting from the signed name; its choice is written.
        _boxes.clear();
        _boxes.answers = {IDNO};
        const fs::path other = *_folder / "altro.p7m";
        _dialog_answers = {other.string()};
        QCOMPARE(sign_batch(ui, {a}, 0, {}, stand_in_options()), 0u);
        QCOMPARE(_dialogs.back().kind, File_dialog_request::Kind::Save);
        QCOMPARE(_dialogs.back().title, std::string("Salva il documento firmato"));
        QCOMPARE(_dialogs.back().proposed_name, std::string("a.doc.p7m"));
        QCOMPARE(_dialogs.back().filter, std::string("File PKCS#7 (*.p7m)"));
        QCOMPARE(test::read_file(other), std::string("FIRMA[nuovo]"));
        QCOMPARE(test::read_file(existing), std::string("vecchio"));
        // Yes: replaced, keeping the file's own permissions.
        ::chmod(existing.c_str(), 0640);
        _boxes.answers = {IDYES};
        QCOMPARE(sign_batch(ui, {a}, 0, {}, stand_in_options()), 0u);
        QCOMPARE(test::read_file(existing), std::string("FIRMA[nuovo]"));
        struct stat status {};
        QCOMPARE(::stat(existing.c_str(), &status), 0);
        QCOMPARE(status.st_mode & 0777, 0640u);
    }

    void an_envelope_is_co_signed_in_place_only_with_the_setting()
    {
        const fs::path envelope = document("x.P7M", "busta");
        Scripted_ui ui;
        // Setting off: a new envelope around the old one.
        QCOMPARE(sign_batch(ui, {envelope.string()}, 0, {}, stand_in_options(false)), 0u);
        QCOMPARE(test::read_file(*_folder / "x.P7M.p7m"), std::string("FIRMA[busta]"));
        QCOMPARE(Stand_in_signer::flags_seen.back(), 0u);
        // Setting on: always asked, No as default; Yes overwrites the envelope.
        _boxes.clear();
        _boxes.answers = {IDYES};
        QCOMPARE(sign_batch(ui, {envelope.string()}, 0, {}, stand_in_options(true)), 0u);
        QCOMPARE(_boxes.front().text, std::string(Text_overwrite_original));
        QCOMPARE(_boxes.front().flags & (MB_TYPEMASK | MB_ICONMASK | MB_DEFMASK),
                 MB_YESNOCANCEL | MB_ICONQUESTION | MB_DEFBUTTON2);
        QCOMPARE(Stand_in_signer::flags_seen.back(), Flag_parallel);
        QCOMPARE(test::read_file(envelope), std::string("COFIRMA[busta]"));
    }

    void a_failed_write_says_so_and_leaves_nothing_behind()
    {
        const std::string z = document("z.doc", "zeta").string();
        // A folder stands where the signed document should go: the write cannot replace it.
        fs::create_directory(z + ".p7m");
        test::write_file(fs::path(z + ".p7m") / "dentro.txt", "resta");
        Scripted_ui ui;
        _boxes.answers = {IDYES};
        QCOMPARE(sign_batch(ui, {z}, 0, {}, stand_in_options()), 0u);
        QCOMPARE(box_texts(), (std::vector<std::string>{z + ".p7m" + Text_exists_overwrite, Text_save_failed}));
        QCOMPARE(test::read_file(fs::path(z + ".p7m") / "dentro.txt"), std::string("resta"));
        // The system's reason is recorded: a folder stands there.
        QVERIFY(test::traced(Level_info, {"Errno", std::to_string(EISDIR)}));
        // No temporary file is left beside it.
        size_t files = 0;
        for ([[maybe_unused]] const auto& entry : fs::directory_iterator(_folder->path()))
            ++files;
        QCOMPARE(files, size_t(2));
    }

    void a_pdf_signature_without_java_signs_nothing()
    {
        // No runtime anywhere: the Java box (its first button opens the download page), the batch
        // stops as cancelled, nothing is written.
        Java_vm::instance().set_sources_for_tests(_folder->path().string(), std::string(), {});
        Java_vm::instance().set_no_runtime_handler(show_java_message);
        const std::string pdf = document("a.pdf", "%PDF-1.4").string();
        Scripted_ui ui;
        QCOMPARE(sign_batch(ui, {pdf}, Flag_pdf, {}, stand_in_options()), Result_cancelled);
        QCOMPARE(box_texts(), std::vector<std::string>{Text_java_needed});
        QCOMPARE(_boxes.front().buttons, (std::vector<std::string>{"Scarica e installa Java", "OK"}));
        QCOMPARE(_boxes.front().default_button, IDNO);
        QCOMPARE(test::read_file(pdf), std::string("%PDF-1.4"));
        QVERIFY(!fs::exists(pdf + ".p7m"));
    }

    void main_window_list_buttons_and_format()
    {
        CVelinSignDlg window(stand_in_options());
        auto* sign = window.findChild<QPushButton*>("sign_button");
        auto* read = window.findChild<QPushButton*>("read_button");
        auto* add = window.findChild<QPushButton*>("add_button");
        auto* pdf = window.findChild<QRadioButton*>("pdf_radio");
        QVERIFY(!sign->isEnabled() && !read->isEnabled() && add->isDefault());
        QVERIFY(pdf->isEnabled());

        const std::string a = document("a.pdf", "%PDF").string(), b = document("b.doc", "b").string();
        std::string upper = a;
        upper.replace(upper.size() - 5, 5, "A.PDF");
        _dialog_answers = {a + "\n" + a};
        window.add_documents_from_dialog();
        QCOMPARE(_dialogs.back().kind, File_dialog_request::Kind::Open_many);
        QCOMPARE(_dialogs.back().title, std::string("Scegli i documenti da firmare"));
        QCOMPARE(_dialogs.back().more_filters.size(), size_t(7));
        QCOMPARE(_dialogs.back().selected_filter, size_t(7));
        window.add_document(upper);
        QCOMPARE(window.documents().paths().size(), size_t(1));
        QVERIFY(sign->isEnabled() && sign->isDefault() && pdf->isEnabled());
        pdf->setChecked(true);
        QCOMPARE(window.documents().format(), Signature_format::Pdf);
        // A PDF takes the document's own time stamp only, an envelope every form but that one.
        auto* stamp = window.findChild<QPushButton*>("timestamp_button");
        window.set_timestamp_form(Timestamp_form::M7m);
        QVERIFY(window.timestamp_form() == Timestamp_form::None && !stamp->isEnabled());
        window.set_timestamp_form(Timestamp_form::Pdf);
        QVERIFY(window.timestamp_form() == Timestamp_form::Pdf && stamp->isEnabled());
        window.add_document(b);
        QVERIFY(!pdf->isEnabled() && !pdf->isChecked());
        QCOMPARE(window.documents().format(), Signature_format::Pkcs7);
        QVERIFY(window.timestamp_form() == Timestamp_form::None && !stamp->isEnabled());
        window.set_timestamp_form(Timestamp_form::M7m);
        QVERIFY(window.timestamp_form() == Timestamp_form::M7m && stamp->isEnabled());
        window.set_timestamp_form(Timestamp_form::Tsr);
        QVERIFY(window.timestamp_form() == Timestamp_form::Tsr && stamp->isEnabled());
        window.findChild<QComboBox*>("timestamp_combo")->setCurrentIndex(0);
        QVERIFY(window.timestamp_form() == Timestamp_form::None && !stamp->isEnabled());

        // "&Firma": one folder for two documents; cancelling the card keeps the window open.
        _dialog_answers = {_folder->path().string()};
        window.show();
        QCOMPARE(window.sign_all(), Result_cancelled); // no smart-card service in this test
        QVERIFY(window.isVisible());
        QVERIFY(std::find(box_texts().begin(), box_texts().end(),
                          std::string("Errore durante la rilevazione dei lettori.")) != box_texts().end());
        window.remove_selected();
        window.remove_selected();
        QVERIFY(window.documents().paths().empty() && !sign->isEnabled());
    }

    // "XML (XAdES)" only for XML documents, with the time stamp on the signature as its one form.
    void main_window_xades_format()
    {
        CVelinSignDlg window(stand_in_options());
        auto* xades = window.findChild<QRadioButton*>("xades_radio");
        auto* pkcs7 = window.findChild<QRadioButton*>("pkcs7_radio");
        auto* combo = window.findChild<QComboBox*>("timestamp_combo");
        QVERIFY(xades && pkcs7 && combo);
        QCOMPARE(xades->text(), QString("XML (XAdES)"));
        window.add_document(document("IT01234567890_00042.xml", "<a/>").string());
        QVERIFY(xades->isEnabled());
        xades->setChecked(true);
        QCOMPARE(window.documents().format(), Signature_format::Xades);
        QCOMPARE(combo->itemText(static_cast<int>(Timestamp_form::Signature)), QString("Sulla firma (XAdES-T)"));
        window.set_timestamp_form(Timestamp_form::M7m);
        QVERIFY(window.timestamp_form() == Timestamp_form::None);
        window.set_timestamp_form(Timestamp_form::Signature);
        QVERIFY(window.timestamp_form() == Timestamp_form::Signature);
        // The time stamp comes with the signature: "&Marca" alone has nothing to stamp.
        auto* stamp = window.findChild<QPushButton*>("timestamp_button");
        QVERIFY(!stamp->isEnabled());
        window.add_document(document("b.doc", "b").string());
        QVERIFY(stamp->isEnabled());
        QVERIFY(!xades->isEnabled() && !xades->isChecked() && pkcs7->isChecked());
        QCOMPARE(window.documents().format(), Signature_format::Pkcs7);
        QCOMPARE(combo->itemText(static_cast<int>(Timestamp_form::Signature)), QString("Sulla firma (CAdES-T)"));
    }

    void card_search_without_readers_and_the_pin_field()
    {
        InsertCardDialog search;
        QCOMPARE(search.run(), Dialog_failed);
        QCOMPARE(box_texts(), std::vector<std::string>{"Errore durante la rilevazione dei lettori."});

        Dlg_Pin pin(nullptr);
        auto* field = pin.findChild<QLineEdit*>("pin_field");
        auto* ok = pin.findChild<QPushButton*>("ok_button");
        QCOMPARE(field->echoMode(), QLineEdit::Password);
        QTest::keyClicks(field, "12a34");
        QCOMPARE(field->text(), QString("1234"));
        QVERIFY(!ok->isEnabled());
        QTest::keyClicks(field, "5");
        QVERIFY(ok->isEnabled());
        QTest::keyClicks(field, "67890");
        QCOMPARE(field->text(), QString("12345678"));
        QVERIFY(ok->isEnabled());

        // Closing wipes the field's own buffer, which every copy of its text shares.
        const QString held = field->text();
        pin.findChild<QPushButton*>("cancel_button")->click();
        QVERIFY(field->text().isEmpty());
        QCOMPARE(held, QString(8, QChar(0)));
    }

    void a_pin_leaves_no_digits_behind()
    {
        // Moved: the source is wiped, not just emptied.
        Pin_text first("12345678");
        Pin_text second(std::move(first));
        QCOMPARE(second.view(), std::string_view("12345678"));
        QVERIFY(first.empty());
        QCOMPARE(std::string(first.data(), Pin_text::Capacity), std::string(Pin_text::Capacity, '\0'));
        Pin_text third;
        third = std::move(second);
        QCOMPARE(std::string(second.data(), Pin_text::Capacity), std::string(Pin_text::Capacity, '\0'));
        QCOMPARE(std::string(third.c_str()), std::string("12345678"));

        // Destroyed: its bytes are gone.
        alignas(Pin_text) unsigned char storage[sizeof(Pin_text)];
        auto* pin = new (storage) Pin_text("87654321");
        pin->~Pin_text();
        QVERIFY(std::search(std::begin(storage), std::end(storage), "8765", "8765" + 4) == std::end(storage));

        // Too long for the buffer: no PIN at all rather than part of one.
        QVERIFY(Pin_text(std::string(Pin_text::Capacity + 1, '1')).empty());
    }
};

QTEST_MAIN(Test_sign_gui)
#include "test_sign_gui.moc"
