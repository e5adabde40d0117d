// The certificate list dialog and the viewer driven offscreen: importing, exporting and removing
// user certificates with the file on disk and the merged store following, the pages shown when
// the national list is missing, and what the viewer shows of a certificate and its path.
#include "box_recorder.h"
#include "pki.h"
#include "test_folder.h"
#include "trace_records.h"

#include "VelinVerify/certificates/certificate_viewer.h"
#include "VelinVerify/certificates/dialog_certificates.h"
#include "VelinVerify/certificates/trusted_lists_page.h"
#include "common/file_dialog.h"
#include "common/message_box.h"
#include "common/registry.h"
#include "trust/chain_builder.h"
#include "trust/common_data_folder.h"
#include "trust/serialized_store.h"
#include "trust/trusted_list_refresh.h"
#include "trust/trusted_list_store.h"
#include "trust/trusted_store.h"

#include <QApplication>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

#include <deque>
#include <optional>

using namespace velin;
using namespace velin::test;

namespace {

const std::string User_root_text = "Studio Notarile Demo CA Interna, Studio Notarile Demo, IT";

// Runs check on the next certificate viewer that waits for the user, then closes it.
void on_next_viewer(std::function<void(Certificate_viewer*)> check, bool* seen)
{
    auto* timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, check, seen] {
        auto* viewer = qobject_cast<Certificate_viewer*>(QApplication::activeModalWidget());
        if (!viewer)
            return;
        timer->stop();
        timer->deleteLater();
        *seen = true;
        check(viewer);
        viewer->reject();
    });
    timer->start();
}

QString label_text(QWidget* parent, const char* name)
{
    return parent->findChild<QLabel*>(name)->text();
}

} // namespace

class Test_verify_certificates_gui : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<Test_folder> _folder;
    std::unique_ptr<Report_capture> _reports;
    test::Box_recorder _boxes;
    std::vector<File_dialog_request> _file_requests;
    std::deque<std::optional<std::string>> _file_answers;

    std::shared_ptr<Trusted_store> load()
    {
        return std::make_shared<Trusted_store>(_folder->path().string(), pki_text("publisher.cert.pem"));
    }
    std::filesystem::path user_list() const { return _folder->path() / "data" / "user.sst"; }
    std::shared_ptr<Certificate_store> user_list_on_disk() const
    {
        return Certificate_store::open_file(user_list().string());
    }

    static CCertificatesDialog* page(Dialog_certificates& dialog, int index)
    {
        return qobject_cast<CCertificatesDialog*>(dialog.findChild<QTabWidget*>("tabs")->widget(index));
    }
    static QStringList items(CCertificatesDialog* page)
    {
        QStringList texts;
        auto* list = page->findChild<QListWidget*>("certificate_list");
        for (int i = 0; i < list->count(); ++i)
            texts << list->item(i)->text();
        return texts;
    }
    static void select(CCertificatesDialog* page, const std::string& text)
    {
        auto* list = page->findChild<QListWidget*>("certificate_list");
        const auto found = list->findItems(QString::fromStdString(text), Qt::MatchExactly);
        QVERIFY(found.size() == 1);
        list->setCurrentItem(found.front());
    }
    static QPushButton* button(CCertificatesDialog* page, const char* name)
    {
        return page->findChild<QPushButton*>(name);
    }
    void import_file(CCertificatesDialog* page, const std::filesystem::path& path)
    {
        _file_answers.push_back(path.string());
        button(page, "import_button")->click();
    }

private slots:
    void initTestCase()
    {
        private_environment();
        _boxes.install();
        set_file_dialog_answerer([this](const File_dialog_request& request) -> std::optional<std::string> {
            _file_requests.push_back(request);
            if (_file_answers.empty())
                return std::nullopt;
            auto answer = _file_answers.front();
            _file_answers.pop_front();
            return answer;
        });
    }

    void init()
    {
        _folder = std::make_unique<Test_folder>();
        copy_fixture_data(_folder->path());
        _reports = std::make_unique<Report_capture>();
        _boxes.clear();
        _boxes.answers.clear();
        _file_requests.clear();
        _file_answers.clear();
    }

    void cleanup()
    {
        _reports.reset();
        _folder.reset();
    }

    void both_lists_are_shown_sorted_and_the_buttons_follow_the_selection()
    {
        Dialog_certificates dialog(load());
        QCOMPARE(dialog.windowTitle(), QString("Certificati"));
        auto* tabs = dialog.findChild<QTabWidget*>("tabs");
        QCOMPARE(tabs->count(), 3);
        QCOMPARE(tabs->tabText(0), QString("Personale"));
        QCOMPARE(tabs->tabText(1), QString("Fonti attendibili (CNIPA)"));
        QCOMPARE(tabs->tabText(2), QString("Liste di fiducia"));
        QCOMPARE(tabs->currentIndex(), 0);
        QVERIFY(_boxes.empty());

        CCertificatesDialog* personal = page(dialog, 0);
        QCOMPARE(items(personal), QStringList{QString::fromStdString(User_root_text)});
        for (const char* name : {"export_button", "remove_button", "view_button"})
            QVERIFY2(!button(personal, name)->isEnabled(), name);
        QVERIFY(button(personal, "import_button")->isEnabled());
        select(personal, User_root_text);
        for (const char* name : {"export_button", "remove_button", "view_button"})
            QVERIFY2(button(personal, name)->isEnabled(), name);

        CCertificatesDialog* national = page(dialog, 1);
        const QStringList listed = items(national);
        QCOMPARE(listed.size(), 3);
        QStringList sorted = listed;
        sorted.sort(Qt::CaseInsensitive);
        QCOMPARE(listed, sorted);
        QVERIFY(listed.contains("Certificatore Accreditato Demo Root CA, Certificatore Accreditato Demo S.p.A., IT"));
        for (const char* name : {"import_button", "export_button", "remove_button"})
            QVERIFY2(button(national, name)->isHidden(), name);
        QVERIFY(!button(national, "view_button")->isHidden());
    }

    void import_takes_der_pem_and_replaces_a_duplicate()
    {
        auto store = load();
        Dialog_certificates dialog(store);
        CCertificatesDialog* personal = page(dialog, 0);

        button(personal, "import_button")->click(); // cancelled: nothing happens
        QCOMPARE(_file_requests.at(0).title, std::string("Scegli il certificato da importare"));
        QCOMPARE(_file_requests.at(0).filter, std::string("Certificato X509 (*.cer;*.crt)"));
        QVERIFY(_reports->lines().empty());

        import_file(personal, pki_folder() / "card-root.cert.pem");
        QCOMPARE(_reports->lines(),
                 (std::vector<std::string>{"I: Aggiunto nuovo certificato utente.", "I: Lista utente salvata."}));
        const Certificate authority = pki_certificate("orphan-ca");
        write_file(_folder->path() / "orphan.cer", std::string(authority.der().begin(), authority.der().end()));
        import_file(personal, _folder->path() / "orphan.cer");
        import_file(personal, pki_folder() / "user-root.cert.pem");
        QCOMPARE(items(personal).size(), 3);
        QCOMPARE(items(personal).count(QString::fromStdString(User_root_text)), 1);

        // Saved at once, and at once seen by chain building: the orphan's intermediate is now trusted.
        QCOMPARE(user_list_on_disk()->size(), size_t(3));
        QVERIFY(user_list_on_disk()->contains(authority));
        QVERIFY(build_chain(*store, pki_certificate("signer-orphan")).complete);
        QVERIFY(_boxes.empty());
    }

    void import_refuses_what_is_not_one_certificate()
    {
        Dialog_certificates dialog(load());
        CCertificatesDialog* personal = page(dialog, 0);
        const std::string before = read_file(user_list());
        import_file(personal, pki_folder() / "documents" / "contratto-signer-legal.txt.p7m");
        write_file(_folder->path() / "garbage.crt", "-----BEGIN CERTIFICATE-----\nnot base64\n");
        import_file(personal, _folder->path() / "garbage.crt");
        QCOMPARE(_reports->lines(), (std::vector<std::string>{"E: Il file non contiene un certificato valido.",
                                                              "E: La decodifica del certificato è fallita."}));
        QCOMPARE(items(personal).size(), 1);
        QCOMPARE(read_file(user_list()), before);
        // The decoder's code is recorded (0x80092009).
        QVERIFY(traced(Level_error, {"2148081673"}));
    }

    void export_writes_an_element_that_imports_back()
    {
        Dialog_certificates dialog(load());
        CCertificatesDialog* personal = page(dialog, 0);
        select(personal, User_root_text);
        const std::filesystem::path exported = _folder->path() / "esportato.crt";
        _file_answers.push_back(exported.string());
        button(personal, "export_button")->click();
        QCOMPARE(_file_requests.at(0).kind, File_dialog_request::Kind::Save);
        QCOMPARE(_file_requests.at(0).title, std::string("Scegli dove salvare il certificato"));
        QCOMPARE(_file_requests.at(0).proposed_name, std::string("Studio_20Notarile_20Demo_20CA_20Interna.crt"));
        QVERIFY(_reports->lines().empty());
        const std::string bytes = read_file(exported);
        const auto element = parse_serialized_element(std::vector<uint8_t>(bytes.begin(), bytes.end()));
        QVERIFY(element.has_value());
        QVERIFY(element->content == pki_certificate("user-root").der());

        // Removed, then imported from the exported file: back in the list and on disk.
        _boxes.answers.push_back(IDYES);
        button(personal, "remove_button")->click();
        QVERIFY(items(personal).isEmpty());
        import_file(personal, exported);
        QCOMPARE(items(personal), QStringList{QString::fromStdString(User_root_text)});
        QVERIFY(user_list_on_disk()->contains(pki_certificate("user-root")));

        // A cancelled dialog, and a folder that does not exist, are both failed exports.
        _reports.reset(); // before the next one installs its handler
        _reports = std::make_unique<Report_capture>();
        select(personal, User_root_text);
        button(personal, "export_button")->click();
        _file_answers.push_back((_folder->path() / "nessuna" / "x.crt").string());
        button(personal, "export_button")->click();
        QCOMPARE(_reports->lines(), (std::vector<std::string>{"E: L'esportazione del certificato è fallita.",
                                                              "E: L'esportazione del certificato è fallita."}));
    }

    void remove_asks_first_and_then_rewrites_the_list()
    {
        auto store = load();
        Dialog_certificates dialog(store);
        CCertificatesDialog* personal = page(dialog, 0);
        select(personal, User_root_text);
        _boxes.answers = {IDNO, IDYES};
        button(personal, "remove_button")->click();
        QCOMPARE(_boxes.size(), size_t(1));
        QCOMPARE(_boxes[0].text, std::string("Cancellare il certificato:\n\nStudio Notarile Demo CA Interna"));
        QCOMPARE(_boxes[0].caption, std::string("Velin Manager"));
        QCOMPARE(_boxes[0].flags & (MB_TYPEMASK | MB_ICONMASK | MB_DEFMASK),
                 MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2);
        QCOMPARE(items(personal).size(), 1);
        QCOMPARE(user_list_on_disk()->size(), size_t(1));

        button(personal, "remove_button")->click();
        QVERIFY(items(personal).isEmpty());
        QCOMPARE(user_list_on_disk()->size(), size_t(0));
        QVERIFY(!store->merged_store()->contains(pki_certificate("user-root")));
        QVERIFY(!build_chain(*store, pki_certificate("signer-user")).complete);
        for (const char* name : {"export_button", "remove_button", "view_button"})
            QVERIFY2(!button(personal, name)->isEnabled(), name);
    }

    void missing_lists_are_said_and_their_pages_offer_nothing()
    {
        write_file(_folder->path() / "data" / "cnipa.sst.p7s", "corrotto");
        {
            Dialog_certificates dialog(load());
            QCOMPARE(_boxes.size(), size_t(1));
            QCOMPARE(_boxes[0].text,
                     std::string("La lista dei certificati accreditati dallo Stato Italiano non è disponibile."));
            QCOMPARE(_boxes[0].caption, std::string("Velin Manager"));
            QCOMPARE(_boxes[0].flags & MB_ICONMASK, MB_ICONERROR);
            auto* tabs = dialog.findChild<QTabWidget*>("tabs");
            QCOMPARE(tabs->count(), 2);
            QCOMPARE(tabs->tabText(0), QString("Personale"));
            QCOMPARE(tabs->tabText(1), QString("Liste di fiducia"));
        }

        // A user list that cannot be read: the dialog opens and the file is never overwritten.
        _boxes.clear();
        write_file(user_list(), "danneggiato");
        Dialog_certificates dialog(load());
        QCOMPARE(_boxes.at(0).text, std::string("La lista dei certificati utente non è disponibile."));
        CCertificatesDialog* personal = page(dialog, 0);
        QVERIFY(items(personal).isEmpty());
        QVERIFY(button(personal, "import_button")->isHidden());
        QCOMPARE(read_file(user_list()), std::string("danneggiato"));
    }

    // A machine where nobody installed a list: the dialog opens with no box (the personal page
    // empty, ready for an import), and the window's offer fetches the trusted lists as "Aggiorna
    // le liste" does, once, and only while nothing is installed.
    void a_fresh_installation_shows_no_box_and_is_offered_the_trusted_lists()
    {
        Test_folder empty;
        std::filesystem::create_directories(empty.path() / "data");
        {
            Dialog_certificates dialog(
                std::make_shared<Trusted_store>(empty.path().string(), pki_text("publisher.cert.pem")));
            QVERIFY(_boxes.empty());
            QVERIFY(_reports->lines().empty());
            auto* tabs = dialog.findChild<QTabWidget*>("tabs");
            QCOMPARE(tabs->count(), 2);
            QCOMPARE(tabs->tabText(0), QString("Personale"));
            QCOMPARE(tabs->tabText(1), QString("Liste di fiducia"));
            QVERIFY(items(page(dialog, 0)).isEmpty());
            QVERIFY(button(page(dialog, 0), "import_button")->isEnabled());
        }

        const std::filesystem::path lists = trusted_list_folder();
        const std::filesystem::path fixtures = std::filesystem::path(VELIN_SOURCE_DIR) / "tests/fixtures/tsl";
        std::filesystem::remove_all(lists);
        QVERIFY(no_lists_installed(common_data_folder(), lists.string()));
        QVERIFY(!no_lists_installed(_folder->path().string(), lists.string()));
        _boxes.answers = {IDNO};
        QVERIFY(!offer_trusted_lists(nullptr));
        QCOMPARE(_boxes.size(), size_t(1));
        QCOMPARE(_boxes[0].text, std::string(Offer_trusted_lists_text));
        QCOMPARE(_boxes[0].flags & (MB_TYPEMASK | MB_ICONMASK), MB_YESNO | MB_ICONQUESTION);
        QVERIFY(!std::filesystem::exists(lists / "eu-lotl.xml"));

        // Yes: the addresses of the settings (here, files), verified and kept.
        QCOMPARE(write_text(Registry_root::Local_machine, Settings_key, European_list_setting,
                            (fixtures / "eu-lotl.xml").string()),
                 0u);
        QCOMPARE(write_text(Registry_root::Local_machine, Settings_key, National_list_setting,
                            (fixtures / "it-tsl.xml").string()),
                 0u);
        _boxes.clear();
        _boxes.answers = {IDYES};
        QVERIFY(offer_trusted_lists(nullptr));
        QCOMPARE(_boxes.size(), size_t(2));
        QVERIFY(_boxes[1].text.find("Le liste di fiducia sono aggiornate") != std::string::npos);
        QCOMPARE(_boxes[1].flags & MB_ICONMASK, MB_ICONINFORMATION);
        QCOMPARE(read_file(lists / "TSL-IT.xml"), read_file(fixtures / "it-tsl.xml"));

        _boxes.clear();
        QVERIFY(!offer_trusted_lists(nullptr));
        QVERIFY(_boxes.empty());
        for (const char* setting : {European_list_setting, National_list_setting})
            QCOMPARE(write_text(Registry_root::Local_machine, Settings_key, setting, ""), 0u);
        std::filesystem::remove_all(lists);
    }

    void trusted_lists_page_shows_the_services_and_imports_lists_from_files()
    {
        const std::filesystem::path lists = trusted_list_folder();
        const std::filesystem::path fixtures = std::filesystem::path(VELIN_SOURCE_DIR) / "tests/fixtures/tsl";
        std::filesystem::remove_all(lists);
        std::filesystem::create_directories(lists);
        std::filesystem::copy_file(fixtures / "eu-lotl.xml", lists / "eu-lotl.xml");
        std::filesystem::copy_file(fixtures / "it-tsl-past-next-update.xml", lists / "TSL-IT.xml");
        auto store = std::make_shared<Trusted_store>(_folder->path().string(), pki_text("publisher.cert.pem"), "",
                                                     lists.string());
        QVERIFY(_reports->said("W: La lista di fiducia IT doveva essere aggiornata entro il 01/07/2019 00:00 UTC: è "
                               "usata comunque, ma va aggiornata al più presto."));
        Dialog_certificates dialog(store);
        auto* tabs = dialog.findChild<QTabWidget*>("tabs");
        QCOMPARE(tabs->tabText(2), QString("Liste di fiducia"));
        QWidget* page = tabs->widget(2);
        QVERIFY(label_text(page, "list_summary")
                    .contains("La lista di fiducia IT: numero 49 del 01/01/2019 00:00 UTC, "
                              "prossimo aggiornamento entro il 01/07/2019 00:00 UTC "
                              "(scaduto: aggiornare le liste)."));
        auto* services = page->findChild<QTreeWidget*>("trusted_list_services");
        QCOMPARE(services->topLevelItemCount(), 6);
        QMap<QString, QString> status;
        for (int i = 0; i < services->topLevelItemCount(); ++i)
            status[services->topLevelItem(i)->text(1)] = services->topLevelItem(i)->text(3);
        QCOMPARE(status["CA qualificata"], QString("Concesso"));
        QCOMPARE(status["CA ritirata"], QString("Ritirato"));
        QCOMPARE(services->findItems("CA ritirata", Qt::MatchExactly, 1).front()->text(0),
                 QString("Cessata Firme S.r.l."));

        // Newer lists imported from files, verified on the page's thread, then shown.
        _file_answers = {(fixtures / "eu-lotl.xml").string(), (fixtures / "it-tsl.xml").string()};
        QSignalSpy finished(page, SIGNAL(refresh_finished(bool)));
        page->findChild<QPushButton*>("import_lists_button")->click();
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 20000);
        QCOMPARE(finished.at(0).at(0).toBool(), true);
        QCOMPARE(_file_requests.size(), size_t(2));
        QCOMPARE(_file_requests[0].title, std::string("Scegli la lista europea delle liste di fiducia"));
        QVERIFY(_boxes.back().text.find("Le liste di fiducia sono aggiornate") != std::string::npos);
        QCOMPARE(_boxes.back().flags & MB_ICONMASK, MB_ICONINFORMATION);
        QVERIFY(label_text(page, "list_summary").contains("La lista di fiducia IT: numero 50 del 01/01/2025"));
        QCOMPARE(read_file(lists / "TSL-IT.xml"), read_file(fixtures / "it-tsl.xml"));

        // An older list is refused and the kept one stays.
        _file_answers = {(fixtures / "eu-lotl.xml").string(), (fixtures / "it-tsl-past-next-update.xml").string()};
        page->findChild<QPushButton*>("import_lists_button")->click();
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 2, 20000);
        QCOMPARE(finished.at(1).at(0).toBool(), false);
        QCOMPARE(_boxes.back().flags & MB_ICONMASK, MB_ICONERROR);
        QVERIFY(_boxes.back().text.find("è meno recente di quella in uso") != std::string::npos);
        QCOMPARE(read_file(lists / "TSL-IT.xml"), read_file(fixtures / "it-tsl.xml"));
        std::filesystem::remove_all(lists);
    }

    void viewer_shows_the_certificate_and_its_path()
    {
        auto store = load();
        Certificate_viewer viewer(pki_certificate("signer-legal"), store);
        QCOMPARE(label_text(&viewer, "issued_to_value"), QString("ROSSI MARIO"));
        QCOMPARE(label_text(&viewer, "issued_by_value"),
                 QString("Certificatore Accreditato Demo Firma Qualificata CA"));
        QCOMPARE(label_text(&viewer, "valid_from_value"), QString("01/01/2025"));
        QCOMPARE(label_text(&viewer, "valid_to_value"), QString("01/01/2045"));
        QCOMPARE(viewer.findChild<QListWidget*>("intended_uses_list")->count(), 2);

        auto* details = viewer.findChild<QTreeWidget*>("details_table");
        const auto subject = details->findItems("Soggetto", Qt::MatchExactly, 0);
        QCOMPARE(subject.size(), 1);
        details->setCurrentItem(subject.front());
        QVERIFY(viewer.findChild<QPlainTextEdit*>("details_text")->toPlainText().contains("CN = ROSSI MARIO"));

        auto* path = viewer.findChild<QTreeWidget*>("path_tree");
        QCOMPARE(path->topLevelItemCount(), 1);
        QTreeWidgetItem* root = path->topLevelItem(0);
        QCOMPARE(root->text(0), QString("Certificatore Accreditato Demo Root CA"));
        QCOMPARE(root->child(0)->text(0), QString("Certificatore Accreditato Demo Firma Qualificata CA"));
        QCOMPARE(root->child(0)->child(0)->text(0), QString("ROSSI MARIO"));
        QCOMPARE(path->currentItem(), root->child(0)->child(0));
        auto* view_button = viewer.findChild<QPushButton*>("view_path_certificate_button");
        QVERIFY(!view_button->isEnabled());
        QCOMPARE(viewer.findChild<QPlainTextEdit*>("status_text")->toPlainText(), QString("Il certificato è valido."));

        path->setCurrentItem(root);
        QVERIFY(view_button->isEnabled());
        bool seen = false;
        QString shown;
        on_next_viewer([&](Certificate_viewer* nested) { shown = label_text(nested, "issued_to_value"); }, &seen);
        view_button->click();
        QVERIFY(seen);
        QCOMPARE(shown, QString("Certificatore Accreditato Demo Root CA"));
    }

    void the_list_opens_the_viewer_and_a_certificate_that_cannot_be_shown_is_said()
    {
        Dialog_certificates dialog(load());
        CCertificatesDialog* personal = page(dialog, 0);
        select(personal, User_root_text);
        bool seen = false;
        int path_length = 0;
        on_next_viewer([&](Certificate_viewer* viewer) { path_length = int(viewer->path().certificates.size()); },
                       &seen);
        button(personal, "view_button")->click();
        QVERIFY(seen);
        QCOMPARE(path_length, 1);
        QVERIFY(_boxes.empty());

        view_certificate(Certificate());
        view_certificate_in_store(pki_certificate("signer-legal"), nullptr);
        QCOMPARE(_boxes.size(), size_t(2));
        for (const Message_box_request& box : _boxes) {
            QCOMPARE(box.text, std::string("La visualizzazione del certificato è fallita."));
            QCOMPARE(box.caption, std::string("Errore"));
            QCOMPARE(box.flags & MB_ICONMASK, MB_ICONERROR);
            QVERIFY(box.owner_rule != Message_box_owner::Given);
        }
        QVERIFY(!QApplication::overrideCursor());
    }
};

QTEST_MAIN(Test_verify_certificates_gui)
#include "test_verify_certificates_gui.moc"
