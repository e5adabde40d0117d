// The signer's batch offscreen with the real card dialogs, through OpenSC's module, the one the
// suite takes when the setting names none, on the bed's simulated cards: the PIN typed is checked
// by the card, the card makes every signature, and openssl, our verifier and pdfsig accept the
// results. PKCS#7 and PDF signatures share one process, and so the module, as in the window.
#include "box_recorder.h"
#include "card_bed.h"
#include "common/message_box.h"
#include "common/pkcs11_module.h"
#include "envelope/xml_signature.h"
#include "java_bridge/java_vm.h"
#include "java_bridge/pdf_verify.h"
#include "norax_sign/app/dialog_batch_ui.h"
#include "norax_sign/app/error_boxes.h"
#include "norax_sign/sign_batch.h"
#include "pin_typist.h"
#include "test_folder.h"
#include "verifier_matches.h"

#include <QtTest>

#include <filesystem>
#include <regex>

using namespace velin;
using velin::test::Pin_typist;
namespace fs = std::filesystem;

namespace {

const fs::path Pki = VELIN_PKI_FIXTURES;
// The card's RSA operation on a 1024-bit block: PERFORM SECURITY OPERATION, as a signature or,
// as OpenSC may make one with a key that also deciphers, a raw decipher of the padded block.
const std::string Card_signature = "> 00 2A (9E 9A|80 86) 8[01] ";

size_t matches(const std::string& text, const std::string& pattern)
{
    const std::regex expression(pattern);
    return static_cast<size_t>(
        std::distance(std::sregex_iterator(text.begin(), text.end(), expression), std::sregex_iterator()));
}

int run(const std::string& command)
{
    return std::system((command + " >/dev/null 2>&1").c_str());
}

} // namespace

class Test_sign_opensc_flow : public QObject {
    Q_OBJECT

private:
    test::Card_bed _bed;
    std::unique_ptr<test::Test_folder> _folder;
    test::Box_recorder _boxes;

    std::string document(const std::string& name, const std::string& text)
    {
        test::write_file(*_folder / name, text);
        return (*_folder / name).string();
    }
    std::string fixture(const std::string& name) { return _bed.env("CARD_BED_FIXTURES") + "/" + name; }
    uint32_t sign(const std::vector<std::string>& paths, unsigned flags, std::deque<QString> pins)
    {
        Pin_typist typist(std::move(pins));
        Dialog_batch_ui ui(nullptr);
        Sign_batch_options options;
        options.make_signer = program_signers(nullptr);
        return sign_batch(ui, paths, flags, _folder->path().string(), options);
    }
    // openssl cms -verify against the card's issuer; true when the content and the signer are
    // the ones expected.
    bool openssl_verifies(const std::string& envelope, const std::string& content, const std::string& certificate,
                          const std::string& issuer)
    {
        const fs::path signer = *_folder / "signer.pem", out = *_folder / "content";
        return run("openssl cms -verify -binary -inform DER -purpose any -in '" + envelope + "' -CAfile " +
                   fixture(issuer + ".cert.pem") + " -signer " + signer.string() + " -out " + out.string()) == 0 &&
               test::read_file(out) == content &&
               test::read_file(signer) == test::read_file(fixture(certificate + ".cert.pem"));
    }

private slots:
    void initTestCase()
    {
        test::private_environment();
        QVERIFY2(_bed.running(), "the card bed is not running: run through ctest (fixture card_bed)");
        // No setting: the module is the system's, OpenSC's.
        QCOMPARE(choose_pkcs11_module().origin, Pkcs11_module_origin::Opensc);
        // No file cache: the module reads the card in the reader, not what an earlier card left.
        const fs::path conf = test::private_environment() / "opensc.conf";
        test::write_file(conf, "app default {\n\tframework pkcs15 {\n\t\tuse_file_caching = no;\n\t}\n}\n");
        ::setenv("OPENSC_CONF", conf.c_str(), 1);
        install_error_box_hook();
        // Yes to every question: overwrite the PDF, sign it again.
        _boxes.question_answer = IDYES;
        _boxes.install();
        Java_vm::instance().set_sources_for_tests(Runtime_root, std::string(), VELIN_JAVA_FOLDER);
    }
    void init()
    {
        _boxes.clear();
        _folder = std::make_unique<test::Test_folder>();
        _bed.empty(1);
        _bed.insert(0, "regional --reset-state");
    }
    void cleanupTestCase()
    {
        _bed.empty(1);
        _bed.insert(0, "regional --reset-state");
    }

    void the_signature_pin_checked_by_the_card_then_every_signature_made_by_it()
    {
        // The regional card signs with its signature application's key: the dialog asks for that
        // PIN and the card checks it; a wrong one costs one try of that PIN, and the dialog tells
        // the card's own count.
        const std::string a = document("delibera.txt", "Delibera n. 12.\n");
        const std::string b = document("verbale.txt", "Verbale del 9 dicembre.\n");
        const size_t logged = _bed.apdu_log(0).size();
        QCOMPARE(sign({a, b}, 0, {"11111", "24680"}), 0u);
        QCOMPARE(_boxes.texts(), (std::vector<std::string>{"Il PIN è sbagliato.\n\nRiprova. Tentativi rimasti: 2.",
                                                           "I documenti sono stati firmati e salvati."}));
        auto state = _bed.state(0, "regional");
        QCOMPARE(state["sign_pin_tries"], std::string("3"));
        QCOMPARE(state["pin_tries"], std::string("3"));
        const std::string log = _bed.apdu_log(0).substr(logged);
        QVERIFY2(matches(log, "> 00 20 00 1A 08( \\*\\*){8}\n< 63 C2\n") == 1, log.c_str());
        QVERIFY2(matches(log, "> 00 20 00 10 08") == 0, "the card's other PIN was tried");
        QVERIFY2(matches(log, "> 00 22 F1 B[68] 03 83 01 10\n") == 2, log.c_str());
        QVERIFY2(matches(log, Card_signature) == 2, log.c_str());
        for (const auto& [path, content] :
             {std::pair{a, "Delibera n. 12.\n"}, std::pair{b, "Verbale del 9 dicembre.\n"}}) {
            QVERIFY(openssl_verifies(path + ".p7m", content, "holder-regional-sign", "regional-ca"));
            const std::string envelope = test::read_file(path + ".p7m");
            QCOMPARE(test::verifier_matches({envelope.begin(), envelope.end()}), std::vector<bool>{true});
        }

        // A card without a signature application: its PIN, and its authentication key.
        _boxes.clear();
        _bed.empty(0);
        _bed.insert(1, "other --reset-state");
        const size_t other_logged = _bed.apdu_log(1).size();
        QCOMPARE(sign({a}, 0, {"12345"}), 0u);
        const std::string other_log = _bed.apdu_log(1).substr(other_logged);
        QVERIFY2(matches(other_log, "> 00 20 00 10 08( \\*\\*){8}\n< 90 00\n") == 1, other_log.c_str());
        QVERIFY2(matches(other_log, Card_signature) == 1, other_log.c_str());
        QVERIFY(openssl_verifies(a + ".p7m", "Delibera n. 12.\n", "holder-other", "other-ca"));
    }

    void pdf_signed_by_the_card_and_an_envelope_after_it()
    {
        QCOMPARE(run(std::string(VELIN_MAKE_PDFS) + " " + _folder->path().string() + " " + Pki.string()), 0);
        const std::string pdf = (*_folder / "plain.pdf").string();
        auto pdf_signed = [&](size_t signatures) {
            const fs::path report = *_folder / "pdfsig.txt";
            std::system(("pdfsig '" + pdf + "' > " + report.string() + " 2>&1").c_str());
            const std::string checked = test::read_file(report);
            QVERIFY2(matches(checked, "Signature is Valid\\.") == signatures, checked.c_str());
            QVERIFY2(matches(checked, "Signer Certificate Common Name: VERDELLI MARTA") == signatures, checked.c_str());
            const std::string bytes = test::read_file(pdf);
            Pdf_verify verified;
            verified.parse(std::vector<uint8_t>(bytes.begin(), bytes.end()));
            QCOMPARE(verified.signatures_count(), signatures);
            for (size_t i = 0; i < signatures; ++i) {
                verified.select_signature(i);
                QVERIFY(verified.signature_integrity().is_assigned() &&
                        verified.signature_integrity().value() == Signature_integrity::Intact);
            }
        };

        size_t logged = _bed.apdu_log(0).size();
        QCOMPARE(sign({pdf}, Flag_pdf, {"24680"}), 0u);
        QCOMPARE(_boxes.back().text, std::string(Text_signed_and_saved));
        QVERIFY2(matches(_bed.apdu_log(0).substr(logged), Card_signature) == 1, _bed.apdu_log(0).c_str());
        pdf_signed(1);

        // An envelope, then the PDF signed again: the envelope's signer leaves the module the Java
        // machine holds initialised.
        const std::string a = document("atto.txt", "Atto.\n");
        QCOMPARE(sign({a}, 0, {"24680"}), 0u);
        QVERIFY(openssl_verifies(a + ".p7m", "Atto.\n", "holder-regional-sign", "regional-ca"));
        logged = _bed.apdu_log(0).size();
        QCOMPARE(sign({pdf}, Flag_pdf, {"24680"}), 0u);
        QCOMPARE(_boxes.back().text, std::string(Text_signed_and_saved));
        QVERIFY2(matches(_bed.apdu_log(0).substr(logged), Card_signature) == 1, _bed.apdu_log(0).c_str());
        pdf_signed(2);
    }

    void an_invoice_signed_as_xades_by_the_card()
    {
        // Every FatturaPA version the verifier shows: the card signs each, xmlsec1 verifies it
        // against the card's CA and our verifier calls it intact; the invoice's bytes stay as they were.
        const fs::path invoices = Pki.parent_path() / "invoice";
        std::vector<std::string> paths;
        std::vector<std::string> originals;
        for (const char* name : {"fattura-v11.xml", "fattura-v12.xml", "fattura-semplificata.xml"}) {
            originals.push_back(test::read_file(invoices / name));
            paths.push_back(document(std::string("IT01234567890_") + name, originals.back()));
        }
        const size_t logged = _bed.apdu_log(0).size();
        QCOMPARE(sign(paths, Flag_xades, {"24680"}), 0u);
        QCOMPARE(_boxes.back().text, std::string(Text_signed_and_saved));
        QVERIFY2(matches(_bed.apdu_log(0).substr(logged), Card_signature) == 3, _bed.apdu_log(0).c_str());
        for (size_t i = 0; i < paths.size(); ++i) {
            // Written beside the original, which the user agreed to replace.
            const std::string signed_xml = test::read_file(paths[i]);
            const size_t start = signed_xml.find("<ds:Signature ");
            const size_t end = signed_xml.find("</ds:Signature>");
            QVERIFY(start != std::string::npos && end != std::string::npos);
            QCOMPARE(signed_xml.substr(0, start) + signed_xml.substr(end + 15), originals[i]);
            const size_t id = signed_xml.find("Id=\"", start) + 4;
            QVERIFY2(run("xmlsec1 --verify --id-attr:Id http://www.w3.org/2000/09/xmldsig#:Signature --id-attr:Id "
                         "http://uri.etsi.org/01903/v1.3.2#:SignedProperties --node-id " +
                         signed_xml.substr(id, signed_xml.find('"', id) - id) + " --trusted-pem " +
                         fixture("regional-ca.cert.pem") + " '" + paths[i] + "'") == 0,
                     paths[i].c_str());
            Xml_signature reader;
            reader.parse(std::vector<uint8_t>(signed_xml.begin(), signed_xml.end()));
            reader.read_signatures();
            reader.extract_original_document();
            QCOMPARE(reader.signatures_count(), size_t(1));
            reader.select_signature(0);
            QVERIFY(reader.signature_integrity().is_assigned() &&
                    reader.signature_integrity().value() == Signature_integrity::Intact);
            QCOMPARE(reader.signer_certificate().der(), test::read_bytes(fixture("holder-regional-sign.cert.der")));
        }
    }
};

QTEST_MAIN(Test_sign_opensc_flow)
#include "opensc_sign_flow_test.moc"
