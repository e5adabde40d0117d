// The signer from end to end, offscreen: the real card dialogs against the simulated card behind
// pcscd (the PIN typed into the PIN dialog), the legal test signer's key on a SoftHSM token that
// names the card's reader, the signed documents checked by openssl against the test roots and by
// velin-verify --batch, a co-signature, a wrong and a blocked PIN.
#include "box_recorder.h"
#include "card_bed.h"
#include "common/message_box.h"
#include "java_bridge/java_vm.h"
#include "java_bridge/pdf_verify.h"
#include "norax_sign/app/card_dialogs.h"
#include "norax_sign/app/dialog_batch_ui.h"
#include "norax_sign/app/error_boxes.h"
#include "norax_sign/envelope_signature.h"
#include "norax_sign/pdf_card_signer.h"
#include "norax_sign/xades_signature.h"
#include "pin_typist.h"
#include "softhsm_token.h"
#include "test_folder.h"
#include "trace_records.h"

#include <QApplication>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <deque>
#include <filesystem>

using namespace velin;
using velin::test::Pin_typist;
namespace fs = std::filesystem;

namespace {

const std::string Reader0 = "Virtual PCD 00 00";
const fs::path Pki = VELIN_PKI_FIXTURES;

int run(const std::string& command)
{
    return std::system((command + " >/dev/null 2>&1").c_str());
}

// The keyboard of a program started with Qt's VNC platform: an RFB client that sends key events
// to the window that has the focus, as a user at the screen would.
class Vnc_keyboard {
public:
    static int free_port()
    {
        const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t size = sizeof address;
        ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size);
        ::close(probe);
        return ntohs(address.sin_port);
    }

    // Connects (the program opens its server when it starts) and completes the handshake.
    bool connect(int port, std::chrono::seconds patience)
    {
        const auto deadline = std::chrono::steady_clock::now() + patience;
        while (std::chrono::steady_clock::now() < deadline) {
            _socket = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(static_cast<uint16_t>(port));
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::connect(_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
                return handshake();
            ::close(_socket);
            _socket = -1;
            QTest::qWait(100);
        }
        return false;
    }
    ~Vnc_keyboard()
    {
        if (_socket >= 0)
            ::close(_socket);
    }

    void key(uint32_t keysym)
    {
        for (const uint8_t down : {1, 0}) {
            const uint8_t event[8] = {4,
                                      down,
                                      0,
                                      0,
                                      static_cast<uint8_t>(keysym >> 24),
                                      static_cast<uint8_t>(keysym >> 16),
                                      static_cast<uint8_t>(keysym >> 8),
                                      static_cast<uint8_t>(keysym)};
            (void)::send(_socket, event, sizeof event, MSG_NOSIGNAL);
        }
    }
    void type(const std::string& text)
    {
        for (const char c : text)
            key(static_cast<uint8_t>(c));
    }
    static constexpr uint32_t Backspace = 0xFF08, Return = 0xFF0D;

private:
    bool read_exactly(void* out, size_t size)
    {
        auto* bytes = static_cast<uint8_t*>(out);
        for (size_t done = 0; done < size;) {
            const ssize_t got = ::recv(_socket, bytes + done, size - done, 0);
            if (got <= 0)
                return false;
            done += static_cast<size_t>(got);
        }
        return true;
    }
    // Qt's server speaks RFB 3.3: the server picks the security type (1, none) itself.
    bool handshake()
    {
        char version[12];
        uint8_t security[4], init[24];
        const uint8_t shared = 1;
        if (!read_exactly(version, sizeof version) || ::send(_socket, "RFB 003.003\n", 12, MSG_NOSIGNAL) != 12 ||
            !read_exactly(security, 4) || security[3] != 1 || ::send(_socket, &shared, 1, MSG_NOSIGNAL) != 1 ||
            !read_exactly(init, 24))
            return false;
        std::vector<char> name(static_cast<size_t>(init[20]) << 24 | init[21] << 16 | init[22] << 8 | init[23]);
        return read_exactly(name.data(), name.size());
    }

    int _socket = -1;
};

struct Program_run {
    int exit_code = -1;
    int pin_rounds = 0;
};

// Runs velin-sign with these arguments on Qt's VNC screen and answers it from the keyboard until
// it ends: the PIN typed into its PIN dialog (after clearing the field), then Return for the box
// that follows.
Program_run run_velin_sign(const QStringList& arguments)
{
    const int port = Vnc_keyboard::free_port();
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", QString("vnc:port=%1").arg(port));
    program.setProcessEnvironment(environment);
    program.start(VELIN_SIGN_PROGRAM, arguments);
    Program_run result;
    Vnc_keyboard keyboard;
    if (!program.waitForStarted(10000) || !keyboard.connect(port, std::chrono::seconds(20)))
        return result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!program.waitForFinished(1000) && std::chrono::steady_clock::now() < deadline) {
        for (int i = 0; i < 8; ++i)
            keyboard.key(Vnc_keyboard::Backspace);
        keyboard.type("12345");
        keyboard.key(Vnc_keyboard::Return);
        ++result.pin_rounds;
    }
    if (program.state() != QProcess::NotRunning) {
        program.kill();
        program.waitForFinished();
        return result;
    }
    result.exit_code = program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -1;
    return result;
}

} // namespace

class Test_sign_flow : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<test::Softhsm_token> _token;
    std::unique_ptr<test::Test_folder> _folder;
    test::Box_recorder _boxes;

    Sign_batch_options options(bool parallel = false)
    {
        Sign_batch_options options;
        options.parallel_signature = parallel;
        options.make_signer = program_signers(nullptr);
        return options;
    }
    std::string document(const std::string& name, const std::string& text)
    {
        test::write_file(*_folder / name, text);
        return (*_folder / name).string();
    }
    std::vector<std::string> box_texts() const
    {
        std::vector<std::string> texts;
        for (const Message_box_request& box : _boxes)
            texts.push_back(box.text);
        return texts;
    }
    // openssl cms -verify of every signature against the test roots; the signers' certificates
    // go to signers.pem.
    bool openssl_verifies(const fs::path& envelope, const std::string& content)
    {
        const fs::path roots = *_folder / "roots.pem";
        test::write_file(roots, test::read_file(Pki / "accredited-root.cert.pem") +
                                    test::read_file(Pki / "accredited-ca.cert.pem"));
        const fs::path out = *_folder / "verified-content";
        return run("openssl cms -verify -binary -inform DER -purpose any -in '" + envelope.string() + "' -CAfile " +
                   roots.string() + " -signer " + (*_folder / "signers.pem").string() + " -out " + out.string()) == 0 &&
               test::read_file(out) == content;
    }
    std::string cms_print(const fs::path& envelope)
    {
        const fs::path out = *_folder / "print.txt";
        run("openssl cms -cmsout -print -inform DER -in '" + envelope.string() + "' -out " + out.string());
        return test::read_file(out);
    }
    // velin-verify --batch with the test PKI's data folder; its standard output.
    std::string velin_verify(const fs::path& envelope)
    {
        const fs::path data = *_folder / "velin-data";
        if (!fs::exists(data)) {
            fs::create_directories(data / "cache");
            fs::copy(Pki / "velin-data" / "data", data / "data", fs::copy_options::recursive);
        }
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("VELIN_DATA_DIR", QString::fromStdString(data.string()));
        environment.insert("XDG_CACHE_HOME", QString::fromStdString((*_folder / "cache").string()));
        process.setProcessEnvironment(environment);
        process.start(VELIN_VERIFY_PROGRAM, {"--batch", QString::fromStdString(envelope.string())});
        process.waitForFinished(60000);
        return process.readAllStandardOutput().toStdString();
    }

private slots:
    void initTestCase()
    {
        test::private_environment();
        test::Card_bed bed;
        QVERIFY2(bed.running(), "the card bed is not running: run through ctest (fixture card_bed)");
        QVERIFY2(fs::exists(test::Softhsm_token::Module), "SoftHSM is missing (Debian package softhsm2)");
        _token = std::make_unique<test::Softhsm_token>(Reader0);
        _token->key_pair_from(Pki.string(), "signer-legal", "01");
        // The machine setting names the token's module, as an installation names the card's.
        test::write_file(std::getenv("VELIN_MACHINE_REGISTRY"),
                         "Windows Registry Editor Version 5.00\n\n"
                         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Valdora Vidizoved\\Velin Manager\\Impostazioni]\n"
                         "\"ModuloPKCS11\"=\"" +
                             std::string(test::Softhsm_token::Module) + "\"\n\"Aggiornamenti\"=dword:00000000\n\n");
        install_error_box_hook();
        _boxes.install();
    }
    void init()
    {
        _boxes.clear();
        _boxes.answers.clear();
        _folder = std::make_unique<test::Test_folder>();
        // The token's key stands for the card's own: the card has no signature application, whose
        // PIN the dialog would ask for instead.
        test::Card_bed().insert(0, "regional --reset-state --no-signature-app");
    }
    void cleanup()
    {
        test::Card_bed bed;
        bed.empty(0);
        bed.insert(0, "regional --reset-state");
    }

    void two_documents_one_pin_verified_everywhere_then_co_signed()
    {
        const std::string a = document("delibera.txt", "Delibera n. 12.\n");
        const std::string b = document("verbale.txt", "Verbale del 7 dicembre.\n");
        const time_t before = std::time(nullptr);
        Pin_typist typist({"12345"});
        Dialog_batch_ui ui(nullptr);
        QCOMPARE(sign_batch(ui, {a, b}, 0, _folder->path().string(), options()), 0u);
        QCOMPARE(typist.typed, 1);
        QCOMPARE(box_texts(), std::vector<std::string>{"I documenti sono stati firmati e salvati."});

        const fs::path signed_a = a + ".p7m";
        QVERIFY(openssl_verifies(signed_a, "Delibera n. 12.\n"));
        QVERIFY(openssl_verifies(b + ".p7m", "Verbale del 7 dicembre.\n"));
        QCOMPARE(test::read_file(*_folder / "signers.pem"), test::read_file(Pki / "signer-legal.cert.pem"));
        const std::string printed = cms_print(signed_a);
        for (const char* expected :
             {"contentType", "messageDigest", "signingTime", "id-smime-aa-signingCertificateV2", "sha256"})
            QVERIFY2(printed.find(expected) != std::string::npos, expected);
        QVERIFY(printed.find("md5") == std::string::npos);

        // The signing time is the real UTC time.
        const size_t at = printed.find("UTCTIME:", printed.find("signingTime"));
        QVERIFY(at != std::string::npos);
        const std::string when = printed.substr(at + 8, printed.find('\n', at) - at - 8);
        struct tm parsed {};
        QVERIFY(strptime(when.c_str(), "%b %d %H:%M:%S %Y", &parsed) != nullptr);
        const time_t signed_at = timegm(&parsed);
        QVERIFY2(signed_at >= before - 2 && signed_at <= std::time(nullptr) + 2, when.c_str());

        const std::string report = velin_verify(signed_a);
        QVERIFY2(report.find("Tipo di firma: Firma digitale (con validità legale)") != std::string::npos,
                 report.c_str());
        QVERIFY2(report.find("Il documento è firmato correttamente e integro.") != std::string::npos, report.c_str());

        // The same holder signing the envelope again is asked first; no leaves it as it was.
        _boxes.clear();
        _boxes.answers = {IDNO};
        const std::string signed_once = test::read_file(signed_a);
        {
            Pin_typist typist({"12345"});
            QCOMPARE(sign_batch(ui, {signed_a.string()}, 0, {}, options(true)), 0u);
        }
        QCOMPARE(box_texts(), std::vector<std::string>{Text_same_signer_again});
        QCOMPARE(test::read_file(signed_a), signed_once);

        // The co-signature: asked, then written over the envelope; both signers verify.
        _boxes.clear();
        _boxes.answers = {IDYES, IDYES};
        Pin_typist again({"12345"});
        QCOMPARE(sign_batch(ui, {signed_a.string()}, 0, {}, options(true)), 0u);
        QCOMPARE(box_texts(), (std::vector<std::string>{Text_same_signer_again, "Sovrascrivere il file originale?",
                                                        "I documenti sono stati firmati e salvati."}));
        QVERIFY(openssl_verifies(signed_a, "Delibera n. 12.\n"));
        const std::string cosigned = velin_verify(signed_a);
        QVERIFY2(cosigned.find("Firma 2: ") != std::string::npos, cosigned.c_str());
        QVERIFY2(cosigned.find("Firma 3: ") == std::string::npos, cosigned.c_str());
        const std::string printed_again = cms_print(signed_a);
        size_t certificates = 0;
        for (size_t at = printed_again.find("cert_info:"); at != std::string::npos;
             at = printed_again.find("cert_info:", at + 1))
            ++certificates;
        QCOMPARE(certificates, size_t(1)); // the same holder: no second copy of the certificate
    }

    void a_tampered_envelope_is_not_co_signed_and_a_base64_one_is()
    {
        // An envelope signed elsewhere, its document changed afterwards ("12" to "13").
        const std::string document_path = document("delibera.txt", "Delibera n. 12.\n");
        const std::string signer = " -signer " + (Pki / "signer-no-nr.cert.pem").string() + " -inkey " +
                                   (Pki / "signer-no-nr.key.pem").string();
        const fs::path der = *_folder / "delibera.txt.p7m";
        QCOMPARE(run("openssl cms -sign -binary -nodetach -md sha256 -outform DER -in " + document_path + " -out " +
                     der.string() + signer),
                 0);
        std::string tampered = test::read_file(der);
        tampered[tampered.find("n. 12") + 4] = '3';
        const fs::path broken = *_folder / "manomessa.txt.p7m";
        test::write_file(broken, tampered);

        Dialog_batch_ui ui(nullptr);
        {
            Pin_typist typist({"12345"});
            QCOMPARE(sign_batch(ui, {broken.string()}, 0, {}, options(true)), 0u);
            // Said why, then the document's failure; not asked to overwrite, nothing written.
            const std::vector<std::string> texts = box_texts();
            QCOMPARE(texts.size(), size_t(2));
            QCOMPARE(texts[0], std::string(Text_earlier_signature_mismatch));
            QVERIFY2(texts[1].starts_with("La firma è fallita."), texts[1].c_str());
            QCOMPARE(test::read_file(broken), tampered);
        }

        // The intact envelope as base64 text: co-signed, and written back as base64.
        _boxes.clear();
        _boxes.answers = {IDYES};
        const fs::path base64 = *_folder / "delibera-base64.txt.p7m";
        QCOMPARE(run("openssl base64 -in " + der.string() + " -out " + base64.string()), 0);
        Pin_typist typist({"12345"});
        QCOMPARE(sign_batch(ui, {base64.string()}, 0, {}, options(true)), 0u);
        QCOMPARE(box_texts(), (std::vector<std::string>{"Sovrascrivere il file originale?",
                                                        "I documenti sono stati firmati e salvati."}));
        const std::string written = test::read_file(base64);
        QVERIFY2(written.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=\n") ==
                     std::string::npos,
                 written.c_str());
        const std::string report = velin_verify(base64);
        QVERIFY2(report.find("Firma 2: ") != std::string::npos, report.c_str());
        const fs::path decoded = *_folder / "decoded.p7m";
        QCOMPARE(run("openssl base64 -d -in " + base64.string() + " -out " + decoded.string()), 0);
        QVERIFY(openssl_verifies(decoded, "Delibera n. 12.\n"));
    }

    void wrong_pin_then_right_and_a_blocked_card()
    {
        test::Card_bed bed;
        const std::string a = document("atto.txt", "Atto.\n");
        {
            Pin_typist typist({"11111", "12345"});
            Dialog_batch_ui ui(nullptr);
            QCOMPARE(sign_batch(ui, {a}, 0, {}, options()), 0u);
            QCOMPARE(typist.typed, 2);
            QCOMPARE(box_texts(), (std::vector<std::string>{"Il PIN è sbagliato.\n\nRiprova. Tentativi rimasti: 2.",
                                                            "I documenti sono stati firmati e salvati."}));
            QCOMPARE(bed.state(0, "regional")["pin_tries"], std::string("3"));
            QVERIFY(!test::in_trace("12345"));
        }
        _boxes.clear();
        fs::remove(a + ".p7m");
        {
            // Three wrong PINs use up the tries, as the card counts them: the third blocks the PIN.
            Pin_typist typist({"11111", "22222", "33333", "44444"});
            Dialog_batch_ui ui(nullptr);
            QCOMPARE(sign_batch(ui, {a}, 0, {}, options()), Result_cancelled);
            QCOMPARE(typist.typed, 3);
            QCOMPARE(box_texts(), (std::vector<std::string>{"Il PIN è sbagliato.\n\nRiprova. Tentativi rimasti: 2.",
                                                            "Il PIN è sbagliato.\n\nRiprova. Tentativi rimasti: 1.",
                                                            "Il PIN è bloccato."}));
            QVERIFY(!fs::exists(a + ".p7m"));
        }
    }

    void a_pin_the_token_refuses_is_offered_once()
    {
        // The card accepts 12345; the token behind it has been given another PIN.
        auto change_pin = [](const char* from, const char* to) {
            return run(std::string("pkcs11-tool --module ") + test::Softhsm_token::Module + " --token-label '" +
                       Reader0 + "' --login --pin " + from + " --change-pin --new-pin " + to);
        };
        QCOMPARE(change_pin("12345", "54321"), 0);
        const std::string a = document("uno.txt", "Uno.\n"), b = document("due.txt", "Due.\n"),
                          c = document("tre.txt", "Tre.\n");
        const size_t mark = test::trace_mark();
        Pin_typist typist({"12345"});
        Dialog_batch_ui ui(nullptr);
        size_t failed = 0;
        const uint32_t result = sign_batch(ui, {a, b, c}, 0, _folder->path().string(), options(), &failed);
        QCOMPARE(change_pin("54321", "12345"), 0);
        QCOMPARE(result, Result_failed);
        QCOMPARE(failed, size_t(3));
        QCOMPARE(box_texts(),
                 std::vector<std::string>{std::string(Text_signature_failed) + "\n" + a + "\n\n" + Text_pin_refused});
        // One refused login, not one per document.
        QCOMPARE(test::count_traced(test::Any_level, {"login"}, mark), size_t(1));
        for (const std::string& document : {a, b, c})
            QVERIFY(!fs::exists(document + ".p7m"));
        QVERIFY(!test::in_trace("12345"));
    }

    void the_pin_dialog_keeps_no_digits()
    {
        Card_search search;
        QVERIFY(search.list_readers() && search.search());
        Pin_typist typist({"12345"});
        Dlg_Pin dialog(search.card());
        QCOMPARE(dialog.run(), IDOK);
        // The field's own buffer is wiped as the dialog closes; the PIN moves out of the dialog.
        QCOMPARE(typist.held, QString(5, QChar(0)));
        const Pin_text pin = dialog.take_pin();
        QCOMPARE(pin.view(), std::string_view("12345"));
        QVERIFY(dialog.take_pin().empty());
    }

    void velin_sign_takes_absolute_paths_as_documents()
    {
        // As a file manager starts it (Exec=velin-sign %F): absolute paths, and "/dir=" before them.
        const fs::path out = *_folder / "uscita";
        fs::create_directory(out);
        const std::string a = document("contratto.txt", "Contratto.\n"), b = document("allegato.txt", "Allegato.\n");
        Program_run signed_run = run_velin_sign(
            {QString::fromStdString("/dir=" + out.string()), QString::fromStdString(a), QString::fromStdString(b)});
        QCOMPARE(signed_run.exit_code, 0);
        QVERIFY(openssl_verifies(out / "contratto.txt.p7m", "Contratto.\n"));
        QVERIFY(openssl_verifies(out / "allegato.txt.p7m", "Allegato.\n"));
        // One document without a folder: beside itself.
        QCOMPARE(run_velin_sign({QString::fromStdString(a)}).exit_code, 0);
        QVERIFY(openssl_verifies(a + ".p7m", "Contratto.\n"));

        // A document that cannot be signed (an empty file): said, and the exit status says so.
        const std::string empty = document("vuoto.txt", "");
        QCOMPARE(
            run_velin_sign({QString::fromStdString("/dir=" + out.string()), QString::fromStdString(empty)}).exit_code,
            1);
        QVERIFY(!fs::exists(out / "vuoto.txt.p7m"));
    }

    void a_pdf_signed_with_the_card_and_signed_again()
    {
        Java_vm::instance().set_sources_for_tests(Runtime_root, std::string(), VELIN_JAVA_FOLDER);
        QCOMPARE(run(std::string(VELIN_MAKE_PDFS) + " " + _folder->path().string() + " " + Pki.string()), 0);
        const std::string pdf = (*_folder / "plain.pdf").string();
        const fs::path report = *_folder / "pdfsig.txt";
        auto pdfsig = [&] {
            std::system(("pdfsig '" + pdf + "' > " + report.string() + " 2>&1").c_str());
            return test::read_file(report);
        };

        // As PDF the signed document replaces the original, once the user agrees, asked in the
        // words of a co-signed envelope.
        _boxes.answers = {IDYES};
        Pin_typist typist({"12345"});
        Dialog_batch_ui ui(nullptr);
        QCOMPARE(sign_batch(ui, {pdf}, Flag_pdf, {}, options()), 0u);
        QCOMPARE(box_texts(), (std::vector<std::string>{"Sovrascrivere il file originale?",
                                                        "I documenti sono stati firmati e salvati."}));
        std::string checked = pdfsig();
        QVERIFY2(checked.find("Signature Validation: Signature is Valid.") != std::string::npos, checked.c_str());
        QVERIFY2(checked.find("ETSI.CAdES.detached") != std::string::npos, checked.c_str());

        // Signed again: asked first; both signatures stay valid.
        _boxes.clear();
        _boxes.answers = {IDYES, IDYES};
        Pin_typist again({"12345"});
        QCOMPARE(sign_batch(ui, {pdf}, Flag_pdf, {}, options()), 0u);
        QCOMPARE(_boxes.front().text, std::string(Text_already_signed_question));
        checked = pdfsig();
        QVERIFY2(checked.find("Signature #2") != std::string::npos, checked.c_str());
        size_t valid = 0;
        for (size_t at = checked.find("Signature is Valid."); at != std::string::npos;
             at = checked.find("Signature is Valid.", at + 1))
            ++valid;
        QCOMPARE(valid, size_t(2));

        const std::string bytes = test::read_file(pdf);
        Pdf_verify verified;
        verified.parse(std::vector<uint8_t>(bytes.begin(), bytes.end()));
        QCOMPARE(verified.signatures_count(), size_t(2));
        for (size_t i = 0; i < 2; ++i) {
            verified.select_signature(i);
            QVERIFY(verified.signature_integrity().is_assigned() &&
                    verified.signature_integrity().value() == Signature_integrity::Intact);
        }

        // No to the question: the batch stops, the document stays as it was.
        _boxes.clear();
        _boxes.answers = {IDNO};
        Pin_typist third({"12345"});
        QCOMPARE(sign_batch(ui, {pdf}, Flag_pdf, {}, options()), Result_cancelled);
        QCOMPARE(test::read_file(pdf), bytes);
    }

    // xmlsec1 on the signature of that Id, against the test roots; true when it verifies.
    bool xmlsec_verifies(const fs::path& signed_xml, const std::string& id)
    {
        return run("xmlsec1 --verify --id-attr:Id http://www.w3.org/2000/09/xmldsig#:Signature --id-attr:Id "
                   "http://uri.etsi.org/01903/v1.3.2#:SignedProperties --node-id " +
                   id + " --trusted-pem " + (Pki / "accredited-root.cert.pem").string() + " --untrusted-pem " +
                   (Pki / "accredited-ca.cert.pem").string() + " '" + signed_xml.string() + "'") == 0;
    }
    // The Ids of the document's signatures, in order.
    static std::vector<std::string> signature_ids(const std::string& signed_xml)
    {
        std::vector<std::string> ids;
        const std::string head = "<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\" Id=\"";
        for (size_t at = signed_xml.find(head); at != std::string::npos; at = signed_xml.find(head, at + 1)) {
            const size_t start = at + head.size();
            ids.push_back(signed_xml.substr(start, signed_xml.find('"', start) - start));
        }
        return ids;
    }
    // The document without the signatures' text.
    static std::string without_signatures(std::string signed_xml)
    {
        for (size_t at = signed_xml.find("<ds:Signature "); at != std::string::npos;
             at = signed_xml.find("<ds:Signature ")) {
            const size_t end = signed_xml.find("</ds:Signature>", at);
            if (end == std::string::npos)
                break;
            signed_xml.erase(at, end + 15 - at);
        }
        return signed_xml;
    }

    void an_invoice_signed_as_xades_by_velin_sign_then_co_signed()
    {
        // The program, as a user starts it: /xades and /dir=, the PIN typed into its dialog.
        const std::string original = test::read_file(Pki.parent_path() / "invoice" / "fattura-v12.xml");
        const std::string invoice = document("IT01234567890_00042.xml", original);
        const fs::path out = *_folder / "firmate";
        fs::create_directory(out);
        const Program_run signed_run =
            run_velin_sign({"/xades", QString::fromStdString("/dir=" + out.string()), QString::fromStdString(invoice)});
        QCOMPARE(signed_run.exit_code, 0);
        const fs::path signed_invoice = out / "IT01234567890_00042.xml";
        QVERIFY(!fs::exists(out / "IT01234567890_00042.xml.p7m"));
        const std::string once = test::read_file(signed_invoice);
        QCOMPARE(without_signatures(once), original);
        QCOMPARE(signature_ids(once).size(), size_t(1));
        QVERIFY(xmlsec_verifies(signed_invoice, signature_ids(once).front()));
        const std::string report = velin_verify(signed_invoice);
        QVERIFY2(report.find("Il documento è firmato correttamente e integro.") != std::string::npos, report.c_str());
        QVERIFY2(report.find("Tipo di firma: Firma digitale (con validità legale)") != std::string::npos,
                 report.c_str());

        // Signed again beside itself by the same holder: asked, then the user agrees to replace it;
        // both signatures verify and the first is kept byte for byte.
        _boxes.answers = {IDYES, IDYES};
        Pin_typist typist({"12345"});
        Dialog_batch_ui ui(nullptr);
        QCOMPARE(sign_batch(ui, {signed_invoice.string()}, Flag_xades, {}, options()), 0u);
        QCOMPARE(box_texts(), (std::vector<std::string>{Text_same_signer_again_xml, "Sovrascrivere il file originale?",
                                                        "I documenti sono stati firmati e salvati."}));
        const std::string twice = test::read_file(signed_invoice);
        QCOMPARE(twice.substr(0, once.rfind("</p:FatturaElettronica>")), once.substr(0, once.rfind("</p:")));
        QCOMPARE(without_signatures(twice), original);
        const std::vector<std::string> ids = signature_ids(twice);
        QCOMPARE(ids.size(), size_t(2));
        for (const std::string& id : ids)
            QVERIFY2(xmlsec_verifies(signed_invoice, id), id.c_str());
        const std::string cosigned = velin_verify(signed_invoice);
        QVERIFY2(cosigned.find("Firma 2: ") != std::string::npos, cosigned.c_str());
        QVERIFY2(cosigned.find("Il documento è firmato correttamente e integro.") != std::string::npos,
                 cosigned.c_str());

        // What is no plain XML is refused before the card and the PIN are asked for.
        _boxes.clear();
        const std::string broken = document("IT01234567890_00043.xml", "<p:FatturaElettronica>");
        const std::string with_dtd = document("IT01234567890_00044.xml", "<!DOCTYPE a [<!ENTITY e \"x\">]><a>&e;</a>");
        Pin_typist unused({"12345"});
        QCOMPARE(sign_batch(ui, {broken, with_dtd}, Flag_xades, {}, options()), Result_failed);
        QCOMPARE(unused.typed, 0);
        std::string said;
        for (const std::string& text : box_texts())
            said += text + "\n";
        QVERIFY2(said.find(Text_xml_not_well_formed) != std::string::npos, said.c_str());
        QVERIFY2(said.find(Text_xml_dtd) != std::string::npos, said.c_str());
        QCOMPARE(test::read_file(broken), std::string("<p:FatturaElettronica>"));
    }

    void a_card_that_is_not_cns_is_not_taken()
    {
        test::Card_bed bed;
        bed.insert(0, "noncns");
        const std::string a = document("atto.txt", "Atto.\n");
        // The search dialog stays open; "Annulla" ends the batch.
        QTimer::singleShot(300, [] {
            if (auto* dialog = qobject_cast<InsertCardDialog*>(QApplication::activeModalWidget()))
                dialog->findChild<QPushButton*>("cancel_button")->click();
        });
        Dialog_batch_ui ui(nullptr);
        QCOMPARE(sign_batch(ui, {a}, 0, {}, options()), Result_cancelled);
        QVERIFY(_boxes.empty());
    }
};

QTEST_MAIN(Test_sign_flow)
#include "sign_flow_test.moc"
