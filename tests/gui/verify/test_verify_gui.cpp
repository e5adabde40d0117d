// The verifier's windows as a person sees them: tabs, lines, the outcome shown and the final box for real
// fixture files, reading and saving the document, and closing while a layer works. Boxes and file
// dialogs are answered by the test; documents are "opened" by a recorder.
#include "VelinVerify/app/invoice_view_dialog.h"
#include "VelinVerify/app/text_progress_bar.h"
#include "VelinVerify/app/verify_app.h"
#include "VelinVerify/app/verify_layer_dialog.h"
#include "VelinVerify/app/verify_main_window.h"
#include "VelinVerify/certificates/certificate_viewer.h"
#include "VelinVerify/pipeline/container_listing.h"
#include "VelinVerify/pipeline/report_channel.h"
#include "box_recorder.h"
#include "common/file_dialog.h"
#include "common/message_box.h"
#include "common/settings_record.h"
#include "common/trace.h"
#include "preview/preview.h"
#include "test_folder.h"
#include "trust/crl_cache.h"
#include "trust/trusted_store.h"

#include <QAction>
#include <QApplication>
#include <QCryptographicHash>
#include <QLabel>
#include <QListWidget>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPrinter>
#include <QProcess>
#include <QPushButton>
#include <QTabWidget>
#include <QtTest>

#include <atomic>
#include <filesystem>
#include <thread>

#include <sys/stat.h>

using namespace velin;
namespace fs = std::filesystem;

namespace {

const fs::path source = VELIN_SOURCE_DIR;
const fs::path pki = source / "tests/fixtures/pki";
const fs::path samples = source / "tests/integration/pipeline/fixtures";

std::vector<std::string> item_texts(const QListWidget* list)
{
    std::vector<std::string> texts;
    for (int i = 0; i < list->count(); ++i)
        texts.push_back(list->item(i)->text().toStdString());
    return texts;
}

bool contains(const std::vector<std::string>& texts, const std::string& text)
{
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

} // namespace

class Test_verify_gui : public QObject {
    Q_OBJECT

    fs::path _data;
    fs::path _opened_file;
    test::Box_recorder _boxes;
    std::vector<File_dialog_request> _dialogs;
    std::optional<std::string> _dialog_answer;
    Settings_record _settings;

    fs::path folder() const { return test::private_environment(); }

    std::vector<std::vector<std::string>> opened() const { return test::recorded_runs(_opened_file); }

    size_t boxes_with(const std::string& text) const
    {
        const std::vector<std::string> texts = _boxes.texts();
        return size_t(std::count(texts.begin(), texts.end(), text));
    }

    // Waits until every layer of the window has finished and the queued boxes were shown.
    static bool settled(const Dlg_verify_onion& window)
    {
        const bool done = QTest::qWaitFor([&] { return window.session() && window.session()->finished(); }, 30000);
        QTest::qWait(20);
        return done;
    }

    static QTabWidget* tabs(Dlg_verify_onion& window) { return window.findChild<QTabWidget*>("layer_tabs"); }

    template <class T>
    static T* control(CVelinVerifyDlg* page, const char* name)
    {
        return page->findChild<T*>(QString::fromLatin1(name));
    }

    // The layer's bar at its end: full, as the layer's progress says, in the colour of the
    // layer's outcome.
    static bool outcome_shown(CVelinVerifyDlg* page, Progress_background outcome)
    {
        const Text_progress_bar* bar = control<Text_progress_bar>(page, "progress_bar");
        const Layer_progress& progress = page->layer().progress();
        return progress.background == outcome && bar->background().isValid() && bar->position() == bar->maximum() &&
               bar->maximum() == progress.maximum;
    }

private slots:
    void a_detached_signature_without_its_document_asks_for_it_once()
    {
        Dlg_verify_onion window(_settings, default_services());
        const fs::path envelopes = fs::path(VELIN_SOURCE_DIR) / "tests/fixtures/envelope";
        const fs::path signature = folder() / "lettera.txt.p7s";
        fs::copy_file(envelopes / "detached.p7m", signature, fs::copy_options::overwrite_existing);
        fs::remove(folder() / "lettera.txt");
        _dialog_answer = (envelopes / "document.txt").string();
        window.open_path(signature.string());
        QVERIFY(settled(window));
        // Asked once; the chosen document is then verified.
        QTRY_COMPARE(_dialogs.size(), size_t(1));
        QCOMPARE(_dialogs[0].title, std::string("Scegli il documento della firma separata"));
        QVERIFY(settled(window));
        const Layer_analysis& layer = *window.session()->layers().front();
        QVERIFY(std::find(layer.activity().begin(), layer.activity().end(),
                          Status_line{Line_severity::Information, "Il documento è firmato correttamente e integro."}) !=
                layer.activity().end());
        QCOMPARE(layer.document_name(), std::string("document.txt"));
        QTest::qWait(50);
        QCOMPARE(_dialogs.size(), size_t(1));
    }

    void initTestCase()
    {
        // The data folder of the test PKI, with the CRLs already in its seed (downloads are off).
        _data = folder() / "velin-data";
        fs::create_directories(_data / "cache");
        fs::copy(pki / "velin-data" / "data", _data / "data", fs::copy_options::recursive);
        for (const char* crl : {"accredited-ca", "card-root"})
            fs::copy_file(pki / "crl" / (std::string(crl) + ".crl"),
                          _data / "cache" /
                              (escape_cache_name(std::string("http://127.0.0.1:8799/crl/") + crl + ".crl") + ".crl"));
        ::setenv("VELIN_DATA_DIR", _data.c_str(), 1);
        _opened_file = folder() / "opened.txt";
        ::setenv("VELIN_TEST_ARGV_FILE", _opened_file.c_str(), 1);
        ::setenv("VELIN_OPEN_COMMAND", VELIN_OPEN_RECORDER, 1);

        _boxes.install();
        set_file_dialog_answerer([this](const File_dialog_request& request) {
            _dialogs.push_back(request);
            return _dialog_answer;
        });
    }

    void init()
    {
        _boxes.clear();
        _dialogs.clear();
        _dialog_answer.reset();
        _settings.VerificaCRL = true;
        _settings.AggiornaCRL = false;
        fs::remove(_opened_file);
    }

    void command_line_takes_the_first_file_and_the_switches_before_it()
    {
        const char* arguments[] = {"velin-verify", "/UPDATE", "/parent=0x00001234", "/Quiet", "a.p7m",
                                   "/update",      "b.p7m"};
        Verify_command_line line = parse_verify_command_line(7, arguments);
        QCOMPARE(line.file, std::optional<std::string>("a.p7m"));
        QVERIFY(line.update && line.quiet);
        const char* only_file[] = {"velin-verify", "contratto.pdf.p7m", "/update"};
        line = parse_verify_command_line(3, only_file);
        QVERIFY(!line.update && !line.quiet);
        QCOMPARE(line.file, std::optional<std::string>("contratto.pdf.p7m"));
        // What a file manager hands over: an absolute path.
        const char* absolute[] = {"velin-verify", "/parent=0x00000001", "/home/anna/Scaricati/contratto.pdf.p7m"};
        QCOMPARE(parse_verify_command_line(3, absolute).file,
                 std::optional<std::string>("/home/anna/Scaricati/contratto.pdf.p7m"));
        QVERIFY(!parse_verify_command_line(1, only_file).file);
    }

    void the_report_is_saved_as_pdf_or_as_xml_by_the_name_chosen()
    {
        Dlg_verify_onion window(_settings, default_services());
        // Nothing verified yet: nothing to report, and the user is told so.
        window.save_report();
        QCOMPARE(boxes_with("Il rapporto si può salvare o stampare solo quando la verifica di un file è conclusa."),
                 size_t(1));
        QVERIFY(_dialogs.empty());

        window.open_path((pki / "documents/contratto-signer-legal.txt.p7m").string());
        QVERIFY(settled(window));
        const fs::path pdf = folder() / "rapporto-finestra.pdf";
        _dialog_answer = pdf.string();
        window.action("save_report_action")->trigger();
        QCOMPARE(_dialogs.size(), size_t(1));
        QCOMPARE(_dialogs[0].title, std::string("Salva rapporto"));
        QCOMPARE(_dialogs[0].proposed_name, std::string("contratto-signer-legal.txt.p7m.pdf"));
        QCOMPARE(test::read_file(pdf).substr(0, 5), std::string("%PDF-"));

        const fs::path xml = folder() / "rapporto-finestra.xml";
        _dialog_answer = xml.string();
        window.save_report();
        const std::string report = test::read_file(xml);
        QVERIFY(report.find("urn:etsi:019102:mainindication:total-passed") != std::string::npos);
        QVERIFY(report.find("<vr:Signer>ROSSI MARIO</vr:Signer>") != std::string::npos);

        // A folder that is not there: the user is told where and why, nothing is written.
        const fs::path missing = folder() / "manca" / "rapporto.pdf";
        _dialog_answer = missing.string();
        window.save_report();
        const std::vector<std::string> texts = _boxes.texts();
        QVERIFY(std::any_of(texts.begin(), texts.end(), [&](const std::string& text) {
            return text.rfind("Il rapporto non può essere scritto in " + missing.string() + ": ", 0) == 0;
        }));
        QVERIFY(!fs::exists(missing.parent_path()));
        QVERIFY(window.action("print_action"));
    }

    void printing_paints_the_report_on_the_printer_the_dialog_gives()
    {
        Dlg_verify_onion window(_settings, default_services());
        const fs::path printed = folder() / "rapporto-stampato.pdf";
        fs::remove(printed);
        std::vector<QString> documents;
        bool print = true;
        // The dialog's answer: the printer writes a PDF file instead of going to a real one.
        window.set_print_dialog([&](QPrinter& printer, QWidget*) {
            documents.push_back(printer.docName());
            printer.setOutputFormat(QPrinter::PdfFormat);
            printer.setOutputFileName(QString::fromStdString(printed.string()));
            return print;
        });
        // Nothing verified yet: no dialog, the user is told why.
        window.print_report();
        QVERIFY(documents.empty());
        QCOMPARE(boxes_with("Il rapporto si può salvare o stampare solo quando la verifica di un file è conclusa."),
                 size_t(1));

        const fs::path file = pki / "documents/contratto-signer-legal.txt.p7m";
        window.open_path(file.string());
        QVERIFY(settled(window));
        window.action("print_action")->trigger();
        QCOMPARE(documents.size(), size_t(1));
        QCOMPARE(documents[0], QStringLiteral("Rapporto di verifica - contratto-signer-legal.txt.p7m"));
        QProcess pdftotext;
        pdftotext.start("pdftotext", {"-layout", QString::fromStdString(printed.string()), "-"});
        QVERIFY2(pdftotext.waitForFinished(30000), "pdftotext did not end");
        const std::string text = pdftotext.readAllStandardOutput().toStdString();
        const std::string sha256 =
            QCryptographicHash::hash(QByteArray::fromStdString(test::read_file(file)), QCryptographicHash::Sha256)
                .toHex()
                .toStdString();
        QVERIFY2(text.find("Rapporto di verifica") != std::string::npos, text.c_str());
        QVERIFY2(text.find("ROSSI MARIO") != std::string::npos, text.c_str());
        QVERIFY2(text.find("RSSMRA80A01L999X") != std::string::npos, text.c_str());
        QVERIFY2(text.find("SHA-256 " + sha256) != std::string::npos, text.c_str());
        QVERIFY2(text.find("Esito positivo") != std::string::npos, text.c_str());
        QVERIFY(boxes_with("La stampa del rapporto non è riuscita.") == 0);

        // Cancelled: nothing printed, nothing said.
        fs::remove(printed);
        print = false;
        const size_t boxes = _boxes.texts().size();
        window.print_report();
        QCOMPARE(documents.size(), size_t(2));
        QVERIFY(!fs::exists(printed));
        QCOMPARE(_boxes.texts().size(), boxes);

        // A printer that cannot print (its output in a folder that is not there): the user is told.
        print = true;
        window.set_print_dialog([&](QPrinter& printer, QWidget*) {
            printer.setOutputFormat(QPrinter::PdfFormat);
            printer.setOutputFileName(QString::fromStdString((folder() / "manca" / "rapporto.pdf").string()));
            return true;
        });
        window.print_report();
        QCOMPARE(boxes_with("La stampa del rapporto non è riuscita."), size_t(1));
    }

    void legally_valid_signature_is_green_with_its_lines_and_one_box()
    {
        Dlg_verify_onion window(_settings, default_services());
        const std::string path = (pki / "documents/contratto-signer-legal.txt.p7m").string();
        window.open_path(path);
        QVERIFY(settled(window));

        QCOMPARE(window.findChild<QLabel*>("file_path")->text().toStdString(), path);
        QCOMPARE(tabs(window)->count(), 1);
        QCOMPARE(tabs(window)->tabText(0), QStringLiteral("contratto-signer-legal.txt.p7m"));
        CVelinVerifyDlg* page = window.layer_pages().at(0);
        const auto activity = item_texts(control<QListWidget>(page, "activity_list"));
        QVERIFY(contains(activity, "Analisi del file in corso..."));
        QVERIFY(contains(activity, "Il documento è firmato correttamente e integro."));
        QCOMPARE(activity.back(), std::string("Analisi del file completata con successo."));
        QCOMPARE(control<QLabel>(page, "document_name")->text(), QStringLiteral("contratto-signer-legal.txt"));
        QCOMPARE(control<QListWidget>(page, "signer_list")->count(), 1);
        QCOMPARE(control<QLabel>(page, "signature_kind_value")->text(),
                 QStringLiteral("Firma digitale (con validità legale)"));
        QVERIFY(QRegularExpression("^\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d$")
                    .match(control<QLabel>(page, "signing_time_value")->text())
                    .hasMatch());
        const auto status = item_texts(control<QListWidget>(page, "certificate_status_list"));
        QCOMPARE(status.size(), size_t(2));
        QCOMPARE(status[0], std::string("Il certificato è valido."));
        QVERIFY(status[1].starts_with("Stato della lista e qualifica valutati alla data della verifica: "));
        QVERIFY(outcome_shown(page, Progress_background::Green));
        QCOMPARE(control<Text_progress_bar>(page, "progress_bar")->caption(),
                 QStringLiteral("Analisi del file completata."));
        QVERIFY(control<QPushButton>(page, "read_button")->isEnabled());
        QVERIFY(control<QPushButton>(page, "save_button")->isEnabled());
        QVERIFY(control<QPushButton>(page, "show_certificate_button")->isEnabled());

        QCOMPARE(_boxes.size(), size_t(1));
        QCOMPARE(_boxes[0].text, std::string("Analisi del file completata con successo."));
        QCOMPARE(_boxes[0].caption, std::string("Velin Manager"));
        QCOMPARE(_boxes[0].flags & MB_ICONMASK, MB_ICONINFORMATION);
    }

    void show_certificate_opens_the_viewer_on_the_selected_signer()
    {
        Dlg_verify_onion window(_settings, default_services());
        window.open_path((samples / "contratto-two-signers.txt.p7m").string());
        QVERIFY(settled(window));
        CVelinVerifyDlg* page = window.layer_pages().at(0);
        QListWidget* signers = control<QListWidget>(page, "signer_list");
        QCOMPARE(signers->count(), 2);
        signers->setCurrentRow(1);
        QCOMPARE(page->layer().shown_index(), std::optional<size_t>(1));

        std::string shown_subject;
        QTimer::singleShot(0, [&] {
            if (auto* viewer = qobject_cast<Certificate_viewer*>(QApplication::activeModalWidget())) {
                const auto& path = viewer->path().certificates;
                shown_subject = path.empty() ? "" : path.back().display_name();
                viewer->reject();
            }
        });
        control<QPushButton>(page, "show_certificate_button")->click();
        QCOMPARE(shown_subject, page->layer().signer_records()[1].certificate.value().display_name());
    }

    // Lists nobody installed: one information line in the first layer that loads them, and the
    // same outcome for the same file whether it comes first or second; a list that is there but
    // damaged is an error line, which still does not decide the file's outcome.
    void the_lists_notices_are_the_runs_and_change_no_outcome()
    {
        const auto services_from = [](const fs::path& data) {
            Pipeline_services services = default_services();
            auto loaded = std::make_shared<std::shared_ptr<Trusted_store>>();
            services.trusted_store = [data, loaded] {
                if (!*loaded)
                    *loaded = std::make_shared<Trusted_store>(data.string());
                return *loaded;
            };
            return services;
        };
        // What the program installs: reports go to the current layer's window.
        const Report_channel reports([](const Status_line&) {});
        const fs::path fresh = folder() / "fresh-install";
        fs::create_directories(fresh / "data");
        const std::string notice = lists_not_installed_text({"cnipa.sst", "cns.sst"});
        const std::string legal = (pki / "documents/contratto-signer-legal.txt.p7m").string();
        std::vector<std::pair<Layer_outcome, std::vector<std::string>>> runs;
        {
            Dlg_verify_onion window(_settings, services_from(fresh));
            for (int round = 0; round < 2; ++round) {
                window.open_path(legal);
                QVERIFY(settled(window));
                const Layer_analysis& layer = *window.session()->layers().front();
                QVERIFY(layer.outcome());
                runs.emplace_back(*layer.outcome(),
                                  item_texts(control<QListWidget>(window.layer_pages().at(0), "activity_list")));
            }
        }
        QCOMPARE(std::count(runs[0].second.begin(), runs[0].second.end(), notice), std::ptrdiff_t(1));
        QVERIFY(!contains(runs[1].second, notice));
        QVERIFY(runs[0].first == runs[1].first);
        QVERIFY(runs[0].first != Layer_outcome::Errors);
        for (const std::string& line : runs[0].second)
            QVERIFY2(line.find("Impossibile caricare") == std::string::npos, line.c_str());

        const fs::path damaged = folder() / "damaged-card-list";
        fs::create_directories(damaged / "data");
        test::write_file(damaged / "data" / "cns.sst", "danneggiato");
        Dlg_verify_onion window(_settings, services_from(damaged));
        window.open_path(legal);
        QVERIFY(settled(window));
        QVERIFY(contains(item_texts(control<QListWidget>(window.layer_pages().at(0), "activity_list")),
                         "Impossibile caricare il file con la lista dei certificati per la Carta Velin."));
        QVERIFY(window.session()->layers().front()->outcome() == runs[0].first);
    }

    void revocation_off_ends_with_warnings()
    {
        _settings.VerificaCRL = false;
        Dlg_verify_onion window(_settings, default_services());
        window.open_path((pki / "documents/contratto-signer-legal.txt.p7m").string());
        QVERIFY(settled(window));
        CVelinVerifyDlg* page = window.layer_pages().at(0);
        const auto activity = item_texts(control<QListWidget>(page, "activity_list"));
        QVERIFY(contains(activity, "La verifica della revoca dei certificati è disabilitata."));
        QCOMPARE(activity.back(), std::string("Analisi del file completata con segnalazioni."));
        QVERIFY(outcome_shown(page, Progress_background::Yellow));
        QCOMPARE(boxes_with("Analisi del file completata con segnalazioni."), size_t(1));
        QCOMPARE(_boxes.back().flags & MB_ICONMASK, MB_ICONWARNING);
    }

    void tampered_document_ends_with_errors_and_is_never_called_intact()
    {
        Dlg_verify_onion window(_settings, default_services());
        window.open_path((samples / "contratto-tampered.txt.p7m").string());
        QVERIFY(settled(window));
        CVelinVerifyDlg* page = window.layer_pages().at(0);
        const auto activity = item_texts(control<QListWidget>(page, "activity_list"));
        QVERIFY(contains(activity, "La firma non corrisponde al documento."));
        QVERIFY(!contains(activity, "Il documento è firmato correttamente e integro."));
        QCOMPARE(activity.back(), std::string("Analisi del file completata con errori."));
        QVERIFY(outcome_shown(page, Progress_background::Red));
        QCOMPARE(_boxes.size(), size_t(1));
        QCOMPARE(_boxes[0].text, std::string("Analisi del file completata con errori."));
        QCOMPARE(_boxes[0].flags & MB_ICONMASK, MB_ICONERROR);
    }

    void revoked_signer_shows_the_revocation_as_an_error()
    {
        Dlg_verify_onion window(_settings, default_services());
        window.open_path((pki / "documents/contratto-signer-revoked.txt.p7m").string());
        QVERIFY(settled(window));
        CVelinVerifyDlg* page = window.layer_pages().at(0);
        QVERIFY(contains(item_texts(control<QListWidget>(page, "certificate_status_list")),
                         "Il certificato è stato revocato."));
        QCOMPARE(boxes_with("Analisi del file completata con errori."), size_t(1));
    }

    void nested_envelope_gives_two_tabs_and_one_box_with_the_worse_outcome()
    {
        Dlg_verify_onion window(_settings, default_services());
        window.open_path((samples / "contratto-tampered.txt.p7m.p7m").string());
        QVERIFY(settled(window));
        QCOMPARE(tabs(window)->count(), 2);
        QCOMPARE(tabs(window)->tabText(0), QStringLiteral("contratto-tampered.txt.p7m.p7m"));
        QCOMPARE(tabs(window)->tabText(1), QStringLiteral("contratto-tampered.txt.p7m"));
        QCOMPARE(tabs(window)->currentIndex(), 1);
        const auto pages = window.layer_pages();
        QCOMPARE(control<QLabel>(pages[0], "document_name")->text(), QStringLiteral("contratto-tampered.txt.p7m"));
        QCOMPARE(control<QLabel>(pages[1], "document_name")->text(), QStringLiteral("contratto-tampered.txt"));
        QCOMPARE(window.session()->completed_count(), size_t(2));
        QCOMPARE(_boxes.size(), size_t(1));
        QCOMPARE(_boxes[0].text, std::string("Analisi del file completata con errori."));
    }

    void unsupported_file_leaves_an_empty_tab_and_no_final_box()
    {
        Dlg_verify_onion window(_settings, default_services());
        window.open_path((pki / "documents/contratto.txt").string());
        QVERIFY(settled(window));
        QCOMPARE(tabs(window)->count(), 1);
        QVERIFY(item_texts(control<QListWidget>(window.layer_pages()[0], "activity_list")).empty());
        QCOMPARE(_boxes.size(), size_t(1));
        QCOMPARE(_boxes[0].text, std::string("Il file non è un documento firmato."));
        QCOMPARE(_boxes[0].caption, std::string("Errore"));
        QCOMPARE(_boxes[0].flags & MB_ICONMASK, MB_ICONERROR);
    }

    void open_dialog_refuses_unsupported_files_and_drop_opens_the_first_file()
    {
        Dlg_verify_onion window(_settings, default_services());
        _dialog_answer = (pki / "documents/contratto.txt").string();
        window.action("open_action")->trigger();
        QCOMPARE(_dialogs.size(), size_t(1));
        QCOMPARE(_dialogs[0].title, std::string("Scegli il documento da verificare"));
        QCOMPARE(_dialogs[0].filter, std::string("Tutti i documenti supportati (*.m7m;*.p7m;*.pdf)"));
        QCOMPARE(_dialogs[0].default_suffix, std::string("p7m"));
        QVERIFY(!window.session());
        QVERIFY(_dialogs[0].accept("/dati/CONTRATTO.P7M") && _dialogs[0].accept("a.pdf") &&
                _dialogs[0].accept("b.m7m"));

        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(QString::fromStdString((samples / "contratto.txt.p7m.p7m").string())),
                      QUrl::fromLocalFile(QStringLiteral("/altro.p7m"))});
        window.open_dropped(data);
        QVERIFY(settled(window));
        QCOMPARE(tabs(window)->count(), 2);
        QCOMPARE(boxes_with("Analisi del file completata con successo."), size_t(1));

        QMimeData remote;
        remote.setUrls({QUrl(QStringLiteral("https://127.0.0.1/contratto.p7m"))});
        window.open_dropped(remote);
        QCOMPARE(_boxes.back().text, std::string("L'acquisizione del documento trascinato è fallita."));
        QCOMPARE(tabs(window)->count(), 2);
    }

    void reading_makes_numbered_private_copies_removed_at_close()
    {
        Dlg_verify_onion window(_settings, default_services());
        window.open_path((pki / "documents/contratto-signer-legal.txt.p7m").string());
        QVERIFY(settled(window));
        CVelinVerifyDlg* page = window.layer_pages().at(0);
        control<QPushButton>(page, "read_button")->click();
        control<QPushButton>(page, "read_button")->click();
        const fs::path copies = fs::path(private_runtime_folder());
        const fs::path first = copies / "Velin Manager (1) - contratto-signer-legal.txt";
        const fs::path second = copies / "Velin Manager (2) - contratto-signer-legal.txt";
        QCOMPARE(page->preview_copies(), (std::vector<std::string>{first.string(), second.string()}));
        QCOMPARE(test::read_file(first), test::read_file(pki / "documents/contratto.txt"));
        struct stat status {};
        QCOMPARE(::stat(second.c_str(), &status), 0);
        QCOMPARE(status.st_mode & 0777, 0600u);
        QTRY_COMPARE(opened().size(), size_t(2));
        QCOMPARE(opened()[1], std::vector<std::string>{second.string()});

        window.open_path((samples / "contratto-tampered.txt.p7m").string());
        QVERIFY(!fs::exists(first) && !fs::exists(second));
        QVERIFY(settled(window));
    }

    void a_container_of_several_files_lists_them_under_leggi()
    {
        // The containers' generator, run into a folder of this test.
        const fs::path made = folder() / "contenitori";
        const std::string command = std::string("'") + VELIN_SOURCE_DIR +
                                    "/tools/make-asic-fixtures/make-asic-fixtures' '" + made.string() + "' >/dev/null";
        QCOMPARE(std::system(command.c_str()), 0);
        Dlg_verify_onion window(_settings, default_services());
        window.open_path((made / "pratica-file-in-piu.asice").string());
        QVERIFY(settled(window));
        CVelinVerifyDlg* page = window.layer_pages().at(0);
        QVERIFY(control<QPushButton>(page, "read_button")->isEnabled());
        QVERIFY(!control<QPushButton>(page, "save_button")->isEnabled());
        const std::vector<Container_listing_entry> listing = container_listing(page->layer());
        QCOMPARE(listing.size(), size_t(3));
        const std::string signer = page->layer().signer_names().at(0);
        QCOMPARE(listing[0].label, "contratto.txt (firmato da " + signer + ")");
        QCOMPARE(listing[1].label, "allegati/allegato tecnico.txt (firmato da " + signer + ")");
        QCOMPARE(listing[2].label, std::string("nota.txt (non coperto da alcuna firma)"));
        // Each file is read from memory through a private copy under its own name, no folders.
        page->read_container_file(1);
        QCOMPARE(page->preview_copies().size(), size_t(1));
        QVERIFY(page->preview_copies()[0].ends_with(") - allegato tecnico.txt"));
        QCOMPARE(test::read_file(page->preview_copies()[0]),
                 std::string("Allegato tecnico: nessuna modifica ammessa.\n"));
        QVERIFY(!fs::exists(made / "allegati"));
        page->read_container_file(7);
        QCOMPARE(page->preview_copies().size(), size_t(1));
        // The desktop's opener got the copy (and is done with it before the next test).
        QTRY_COMPARE(opened().size(), size_t(1));
        QCOMPARE(opened()[0], std::vector<std::string>{page->preview_copies()[0]});
    }

    void a_container_of_xml_signatures_lists_each_file_with_its_signers()
    {
        const fs::path made = folder() / "contenitori-xades";
        const std::string command = std::string("'") + VELIN_SOURCE_DIR +
                                    "/tools/make-asic-fixtures/make-asic-fixtures' '" + made.string() + "' >/dev/null";
        QCOMPARE(std::system(command.c_str()), 0);
        // Two signatures in one signatures file: the second over the attachment only.
        Dlg_verify_onion window(_settings, default_services());
        window.open_path((made / "pratica-xades-due-firme.asice").string());
        QVERIFY(settled(window));
        CVelinVerifyDlg* page = window.layer_pages().at(0);
        const std::vector<std::string> signers = page->layer().signer_names();
        QCOMPARE(signers.size(), size_t(2));
        const std::vector<Container_listing_entry> listing = container_listing(page->layer());
        QCOMPARE(listing.size(), size_t(2));
        QCOMPARE(listing[0].label, "contratto.txt (firmato da " + signers[0] + ")");
        QCOMPARE(listing[1].label, "allegati/allegato tecnico.txt (firmato da " + signers[0] + ", " + signers[1] + ")");

        // A file changed after signing: covered by no signature.
        Dlg_verify_onion changed(_settings, default_services());
        changed.open_path((made / "pratica-xades-file-cambiato.asice").string());
        QVERIFY(settled(changed));
        const std::vector<Container_listing_entry> unsigned_files =
            container_listing(changed.layer_pages().at(0)->layer());
        QCOMPARE(unsigned_files.size(), size_t(2));
        for (const Container_listing_entry& entry : unsigned_files)
            QCOMPARE(entry.label, entry.name + " (non coperto da alcuna firma)");
    }

    void a_signed_file_inside_a_container_opens_as_the_next_tab()
    {
        const fs::path made = folder() / "contenitori-busta";
        const std::string command = std::string("'") + VELIN_SOURCE_DIR +
                                    "/tools/make-asic-fixtures/make-asic-fixtures' '" + made.string() + "' >/dev/null";
        QCOMPARE(std::system(command.c_str()), 0);
        // Deflated, and stored: then the envelope is read where it lies in the container's file.
        for (const char* name : {"contratto-busta.asics", "contratto-busta-non-compressa.asics"}) {
            Dlg_verify_onion window(_settings, default_services());
            window.open_path((made / name).string());
            QVERIFY(settled(window));
            QCOMPARE(tabs(window)->count(), 2);
            QCOMPARE(tabs(window)->tabText(1), QStringLiteral("contratto.txt.p7m"));
            const auto pages = window.layer_pages();
            QCOMPARE(control<QLabel>(pages[1], "document_name")->text(), QStringLiteral("contratto.txt"));
            const auto activity = item_texts(control<QListWidget>(pages[1], "activity_list"));
            QVERIFY(contains(activity, "Il documento è firmato correttamente e integro."));
            QCOMPARE(window.session()->completed_count(), size_t(2));
        }
    }

    void envelopes_whose_names_give_no_document_name_read_as_documento()
    {
        // ".p7m" and the inner layer of "X/.p7m.p7m" leave nothing of the name for the document.
        const fs::path unnamed = folder() / "senza-nome";
        fs::create_directories(unnamed);
        fs::copy_file(pki / "documents/contratto-signer-legal.txt.p7m", unnamed / ".p7m",
                      fs::copy_options::overwrite_existing);
        fs::copy_file(samples / "contratto.txt.p7m.p7m", unnamed / ".p7m.p7m", fs::copy_options::overwrite_existing);
        for (const char* name : {".p7m", ".p7m.p7m"}) {
            Dlg_verify_onion window(_settings, default_services());
            window.open_path((unnamed / name).string());
            QVERIFY(settled(window));
            CVelinVerifyDlg* page = window.layer_pages().back();
            QCOMPARE(control<QLabel>(page, "document_name")->text(), QStringLiteral("documento"));
            QVERIFY(control<QPushButton>(page, "read_button")->isEnabled());
            QTest::mouseClick(control<QPushButton>(page, "read_button"), Qt::LeftButton);
            QCOMPARE(page->preview_copies().size(), size_t(1));
            QVERIFY(page->preview_copies()[0].ends_with("/Velin Manager (1) - documento"));
            QCOMPARE(test::read_file(page->preview_copies()[0]), test::read_file(pki / "documents/contratto.txt"));
            _dialog_answer = (unnamed / "salvato").string();
            control<QPushButton>(page, "save_button")->click();
            QCOMPARE(_dialogs.back().proposed_name, std::string("documento"));
            QVERIFY(fs::exists(unnamed / "salvato"));
            fs::remove(unnamed / "salvato");
            QCOMPARE(boxes_with("Si è verificato un errore."), size_t(0));
        }
    }

    void saving_applies_the_extension_rule_and_reports_in_the_list()
    {
        Dlg_verify_onion window(_settings, default_services());
        const fs::path envelope = folder() / "save" / "contratto.txt.p7m";
        fs::create_directories(envelope.parent_path());
        fs::copy_file(pki / "documents/contratto-signer-legal.txt.p7m", envelope, fs::copy_options::overwrite_existing);
        window.open_path(envelope.string());
        QVERIFY(settled(window));
        CVelinVerifyDlg* page = window.layer_pages().at(0);
        QListWidget* activity = control<QListWidget>(page, "activity_list");

        _dialog_answer = (envelope.parent_path() / "copia.pdf").string();
        control<QPushButton>(page, "save_button")->click();
        QCOMPARE(_dialogs.back().title, std::string("Salva il documento"));
        QCOMPARE(_dialogs.back().filter, std::string("Tutti i file (*.*)"));
        QCOMPARE(_dialogs.back().proposed_name, std::string("contratto.txt"));
        QCOMPARE(_dialogs.back().default_suffix, std::string("txt"));
        QCOMPARE(_dialogs.back().folder, envelope.parent_path().string());
        QCOMPARE(test::read_file(envelope.parent_path() / "copia.pdf.txt"),
                 test::read_file(pki / "documents/contratto.txt"));
        QCOMPARE(activity->item(activity->count() - 1)->text(), QStringLiteral("Il documento è stato salvato."));

        _dialog_answer = (envelope.parent_path() / "uguale.TXT").string();
        control<QPushButton>(page, "save_button")->click();
        QVERIFY(fs::exists(envelope.parent_path() / "uguale.TXT"));

        _dialog_answer = (envelope.parent_path() / "manca" / "x.txt").string();
        control<QPushButton>(page, "save_button")->click();
        QCOMPARE(activity->item(activity->count() - 1)->text(),
                 QStringLiteral("La scrittura su disco del documento è fallita."));

        _dialog_answer.reset();
        control<QPushButton>(page, "save_button")->click();
        QCOMPARE(activity->item(activity->count() - 1)->text(), QStringLiteral("Salvataggio annullato."));
    }

    void reading_an_invoice_shows_it_as_a_page_with_its_xml_and_attachments()
    {
        // An invoice as it arrives: inside an envelope, made here with the test PKI.
        const fs::path invoice = source / "tests/fixtures/invoice/fattura-allegati.xml";
        const fs::path envelope = folder() / "fatture" / "fattura-allegati.xml.p7m";
        fs::create_directories(envelope.parent_path());
        const auto arg = [](const fs::path& path) { return QString::fromStdString(path.string()); };
        QCOMPARE(QProcess::execute(QStringLiteral("openssl"),
                                   {"cms", "-sign", "-nodetach", "-binary", "-outform", "DER", "-in", arg(invoice),
                                    "-signer", arg(pki / "signer-legal.cert.pem"), "-inkey",
                                    arg(pki / "signer-legal.key.pem"), "-out", arg(envelope)}),
                 0);
        Dlg_verify_onion window(_settings, default_services());
        window.open_path(envelope.string());
        QVERIFY(settled(window));
        CVelinVerifyDlg* page = window.layer_pages().at(0);
        control<QPushButton>(page, "read_button")->click();
        auto* view = page->findChild<Invoice_view_dialog*>();
        QVERIFY(view && view->isVisible());
        // Shown here, not handed to the desktop.
        QVERIFY(page->preview_copies().empty());
        const QString shown = view->findChild<QTextBrowser*>("invoice_page")->toPlainText();
        for (const char* text : {"Azienda Sanitaria di Ferrara", "Nota di credito", "FPA 8/26", "Elenco del reso"})
            QVERIFY2(shown.contains(QString::fromUtf8(text)), text);
        QVERIFY(view->findChild<QPlainTextEdit*>("invoice_xml")->toPlainText().contains("<ns3:FatturaElettronica"));

        auto* attachments = view->findChild<QListWidget*>("attachment_list");
        QCOMPARE(attachments->count(), 2);
        attachments->setCurrentRow(1);
        _dialog_answer = (envelope.parent_path() / "reso-salvato.csv").string();
        view->findChild<QPushButton*>("save_attachment_button")->click();
        QCOMPARE(_dialogs.back().proposed_name, std::string("reso.csv"));
        QCOMPARE(test::read_file(*_dialog_answer), std::string("articolo;quantita\n6204;10\n"));

        _dialog_answer = (envelope.parent_path() / "fattura.html").string();
        view->findChild<QPushButton*>("save_page_button")->click();
        QCOMPARE(_dialogs.back().proposed_name, std::string("fattura-allegati.html"));
        QVERIFY(test::read_file(*_dialog_answer).find("FPA 8/26") != std::string::npos);

        // "Salva..." still saves the signed invoice itself.
        _dialog_answer = (envelope.parent_path() / "copia.xml").string();
        control<QPushButton>(page, "save_button")->click();
        QCOMPARE(test::read_file(*_dialog_answer), test::read_file(invoice));
    }

    void closing_while_a_layer_works_gives_no_summary_and_the_next_file_runs()
    {
        // A revocation job that works until it is cancelled or released.
        std::atomic<bool> release{false};
        std::atomic<bool> reached{false};
        Pipeline_services services = default_services();
        const auto real_job = services.check_revocations;
        services.check_revocations = [&, real_job](const std::vector<Revocation_subject>& subjects,
                                                   const Revocation_settings& settings,
                                                   const std::atomic<bool>& cancel) {
            reached = true;
            while (!release && !cancel)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            return real_job(subjects, settings, cancel);
        };
        Dlg_verify_onion window(_settings, services);
        window.open_path((pki / "documents/contratto-signer-legal.txt.p7m").string());
        QVERIFY(QTest::qWaitFor([&] { return reached.load(); }, 20000));
        CVelinVerifyDlg* page = window.layer_pages().at(0);
        QCOMPARE(control<Text_progress_bar>(page, "progress_bar")->caption(),
                 QStringLiteral("Verifica delle revoche in corso..."));
        QVERIFY(contains(item_texts(control<QListWidget>(page, "certificate_status_list")),
                         "La verifica dell'eventuale revoca è in corso..."));

        const auto started = std::chrono::steady_clock::now();
        reached = false;
        window.open_path((pki / "documents/contratto-signer-no-nr.txt.p7m").string());
        QVERIFY(std::chrono::steady_clock::now() - started < std::chrono::seconds(4));
        release = true;
        QVERIFY(settled(window));
        QCOMPARE(tabs(window)->count(), 1);
        QCOMPARE(tabs(window)->tabText(0), QStringLiteral("contratto-signer-no-nr.txt.p7m"));
        // One box only: the second file's; the first never reached its summary.
        QCOMPARE(_boxes.size(), size_t(1));
        QVERIFY(item_texts(control<QListWidget>(window.layer_pages()[0], "activity_list"))
                    .back()
                    .starts_with("Analisi del file completata"));

        window.close();
        QCOMPARE(tabs(window)->count(), 0);
    }
};

QTEST_MAIN(Test_verify_gui)
#include "test_verify_gui.moc"
