// Time stamps from a loopback authority: `openssl ts -reply` with the test PKI's accredited
// authority behind a small HTTP server with basic authentication. The client's checks against the
// authority's answers, good and bad, and batches signed with a SoftHSM key and time-stamped in each
// form, read back by velin-verify and by `openssl ts -verify`; PDFs signed with a document time stamp
// after the signature, read back by our verifier and pdfsig. An authority whose chain is on no
// trusted list gives no time stamp.
#include "batch_verifier.h"
#include "common/failure.h"
#include "envelope/mime_envelope_split.h"
#include "envelope/timestamped_data.h"
#include "envelope/xml_signature.h"
#include "java_bridge/java_vm.h"
#include "java_bridge/pdf_verify.h"
#include "loopback_server.h"
#include "norax_sign/pdf_card_signer.h"
#include "norax_sign/sign_batch.h"
#include "norax_sign/timestamp_batch.h"
#include "softhsm_token.h"
#include "test_folder.h"
#include "trace_records.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>

#include <openssl/cms.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <mutex>

namespace velin {
namespace {

namespace fs = std::filesystem;

constexpr const char* User = "mario.rossi";
constexpr const char* Password = "Segreta-Parola-42";

std::string hex_of(std::span<const uint8_t> bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (const uint8_t byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

std::span<const uint8_t> bytes_of(const std::string& text)
{
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

bool run(const std::string& command)
{
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// A DER TimeStampResp refusing the request: rejection, the authority's words, a failure bit.
std::string refusal_reply(const std::string& words, int failure_bit)
{
    const auto tlv = [](uint8_t tag, const std::string& content) {
        return std::string(1, static_cast<char>(tag)) + static_cast<char>(content.size()) + content;
    };
    std::string bits(static_cast<size_t>(failure_bit / 8 + 1), '\0');
    bits.back() = static_cast<char>(0x80 >> (failure_bit % 8));
    const std::string unused(1, static_cast<char>(7 - failure_bit % 8));
    const std::string status = tlv(0x02, std::string(1, '\2')) + tlv(0x30, tlv(0x0C, words)) + tlv(0x03, unused + bits);
    return tlv(0x30, tlv(0x30, status));
}

// The authority: checks the credentials, then answers each request as the test's mode says.
class Loopback_authority {
public:
    enum class Mode { Granted, Forbidden, Other_nonce, Other_imprint, Refused, Silent, Huge, Garbage, Unlisted };

    explicit Loopback_authority(const fs::path& folder)
        : _folder(folder), _server([this](const test::Http_request_seen& request) { return answer(request); })
    {}

    std::string url() const { return _server.url("/tsa"); }
    void set_mode(Mode mode) { _mode = mode; }
    size_t requests() const { return _server.requests().size(); }

private:
    test::Http_answer answer(const test::Http_request_seen& request)
    {
        std::lock_guard lock(_mutex);
        const std::string expected = "Basic " + base64(std::string(User) + ":" + Password);
        if (request.header("Authorization") != expected)
            return test::answer(401, "", {{"WWW-Authenticate", "Basic realm=\"marca\""}});
        if (request.header("Content-Type") != "application/timestamp-query")
            return test::answer(415, "");
        switch (_mode) {
        case Mode::Forbidden:
            return test::answer(403, "");
        case Mode::Refused:
            return test::answer(200, refusal_reply("Credito esaurito", 17));
        case Mode::Silent:
            return test::silent_answer();
        case Mode::Huge:
            return test::generated_answer(3 << 20);
        case Mode::Garbage:
            return test::answer(200, "<html>non una marca</html>");
        default:
            break;
        }
        std::string query = request.body;
        if (_mode == Mode::Other_nonce) {
            // A fresh query for the same imprint: another nonce.
            const std::string digest = query.substr(query.find(std::string("\x04\x20", 2)) + 2, 32);
            run("openssl ts -query -sha256 -cert -digest " + hex_of(bytes_of(digest)) + " -out '" +
                (_folder / "query.tsq").string() + "'");
            query = test::read_file(_folder / "query.tsq");
        } else if (_mode == Mode::Other_imprint) {
            // The same query, nonce included, over other bytes.
            const size_t at = query.find(std::string("\x04\x20", 2)) + 2;
            query.replace(at, 32, std::string(32, '\x5A'));
        }
        test::write_file(_folder / "query.tsq", query);
        const std::string reply = (_folder / "reply.tsr").string();
        fs::remove(reply);
        const std::string signer = _mode == Mode::Unlisted ? "tsa-untrusted" : "tsa";
        run("cd '" + _folder.string() + "' && openssl ts -reply -config openssl.cnf -queryfile query.tsq -signer " +
            signer + ".cert.pem -inkey " + signer + ".key.pem -out reply.tsr");
        return test::answer(200, test::read_file(reply), {{"Content-Type", "application/timestamp-reply"}});
    }

    static std::string base64(const std::string& text)
    {
        std::string encoded(4 * ((text.size() + 2) / 3) + 1, '\0');
        const int size =
            EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                            reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
        encoded.resize(static_cast<size_t>(size));
        return encoded;
    }

    fs::path _folder;
    std::mutex _mutex;
    Mode _mode = Mode::Granted;
    test::Loopback_server _server;
};

class Timestamp_signing_test : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // The lists the client judges the authorities on, as the verifier would.
        fs::create_directories(test::private_environment() / "data");
        fs::copy(fs::path(VELIN_PKI_FIXTURES) / "velin-data" / "data", test::private_environment() / "data" / "data",
                 fs::copy_options::recursive | fs::copy_options::skip_existing);
        authority_folder = new test::Test_folder;
        const std::string command = std::string("'") + VELIN_SOURCE_DIR +
                                    "/tools/make-timestamp-fixtures/make-timestamp-fixtures' --authority '" +
                                    authority_folder->path().string() + "'";
        ASSERT_TRUE(run(command)) << "the authority could not be made: " << command;
        test::write_file(authority_folder->path() / "ca.pem",
                         test::read_file(fs::path(VELIN_PKI_FIXTURES) / "accredited-ca.cert.pem") +
                             test::read_file(fs::path(VELIN_PKI_FIXTURES) / "accredited-root.cert.pem"));
    }
    static void TearDownTestSuite()
    {
        delete authority_folder;
        authority_folder = nullptr;
    }

    Timestamp_authority settings(const std::string& url, const std::string& password = Password) const
    {
        Timestamp_authority made;
        made.url = url;
        made.user = User;
        made.password = password;
        return made;
    }

    // `openssl ts -verify` of a reply (or a bare token) over the data, with the test PKI's chain.
    static bool openssl_verifies(const std::vector<uint8_t>& stamp, bool token, std::span<const uint8_t> data)
    {
        const fs::path folder = authority_folder->path();
        test::write_file(folder / "verified.data", std::string(data.begin(), data.end()));
        test::write_file(folder / "verified.stamp", std::string(stamp.begin(), stamp.end()));
        return run("openssl ts -verify -data '" + (folder / "verified.data").string() + "' -in '" +
                   (folder / "verified.stamp").string() + "'" + (token ? " -token_in" : "") + " -CAfile '" +
                   (folder / "ca.pem").string() + "'");
    }

    // velin-verify --batch --json of the file, with the test PKI's lists and its CRLs in the cache.
    test::Verdict verify(const fs::path& file) { return verifier.verify(file); }

    static test::Test_folder* authority_folder;
    test::Test_folder folder;
    test::Batch_verifier verifier;
};

test::Test_folder* Timestamp_signing_test::authority_folder = nullptr;

TEST_F(Timestamp_signing_test, the_authoritys_answers_are_checked_before_use)
{
    Loopback_authority authority(authority_folder->path());
    using Mode = Loopback_authority::Mode;
    const struct {
        const char* name;
        Mode mode;
        std::string url;
        std::string password;
        std::string policy;
        std::string failure; // empty: a time stamp is expected
    } cases[] = {
        {"granted", Mode::Granted, authority.url(), Password, "", ""},
        {"granted under the policy asked for", Mode::Granted, authority.url(), Password, "1.3.6.1.4.1.99999.1.1", ""},
        {"wrong password", Mode::Granted, authority.url(), "sbagliata", "", Text_tsa_credentials},
        {"forbidden", Mode::Forbidden, authority.url(), Password, "", Text_tsa_credentials},
        {"no credit left", Mode::Refused, authority.url(), Password, "",
         std::string(Text_tsa_refused) +
             ": informazioni aggiuntive non disponibili (credito esaurito?) (\"Credito esaurito\")."},
        {"a policy the authority does not follow", Mode::Granted, authority.url(), Password, "1.2.3.4",
         std::string(Text_tsa_refused) + ": politica di marcatura non accettata (\"Requested policy is not "
                                         "supported.\")."},
        {"another nonce", Mode::Other_nonce, authority.url(), Password, "", Text_tsa_wrong_nonce},
        {"another imprint", Mode::Other_imprint, authority.url(), Password, "", Text_tsa_wrong_imprint},
        {"slow authority", Mode::Silent, authority.url(), Password, "", Text_tsa_timeout},
        {"huge answer", Mode::Huge, authority.url(), Password, "", Text_tsa_too_large},
        {"not a reply", Mode::Garbage, authority.url(), Password, "", Text_tsa_unreadable},
        {"an authority on no list", Mode::Unlisted, authority.url(), Password, "", Text_tsa_not_trusted},
        {"unreachable", Mode::Granted, "http://127.0.0.1:" + std::to_string(test::closed_port()) + "/tsa", Password, "",
         Text_tsa_unreachable},
        {"no authority set", Mode::Granted, "", Password, "", Text_tsa_not_configured},
    };
    const std::string data = "Delibera n. 12 del 3 marzo.";
    for (const auto& test_case : cases) {
        SCOPED_TRACE(test_case.name);
        authority.set_mode(test_case.mode);
        Timestamp_authority chosen = settings(test_case.url, test_case.password);
        chosen.policy = test_case.policy;
        Timestamp_limits limits;
        limits.total = std::chrono::milliseconds(1500);
        const Timestamp_client client(chosen, limits);
        std::string failure;
        const auto stamp = client.stamp({bytes_of(data)}, failure);
        EXPECT_EQ(failure, test_case.failure);
        EXPECT_EQ(stamp.has_value(), test_case.failure.empty());
        if (stamp) {
            EXPECT_TRUE(openssl_verifies(stamp->reply, false, bytes_of(data)));
            EXPECT_TRUE(openssl_verifies(stamp->token, true, bytes_of(data)));
        }
    }
    // The password went to the authority, never to the trace.
    EXPECT_TRUE(test::traced(Level_info, {User}));
    EXPECT_FALSE(test::in_trace(Password));
    EXPECT_FALSE(test::in_trace("sbagliata"));
}

// The batch's questions answered without a person: the documents' folder, the token's reader and
// PIN, yes to every question.
class Scripted_ui : public Sign_batch_ui {
public:
    std::optional<std::string> choose_output_folder() override { return std::nullopt; }
    std::optional<Found_card> find_card() override { return Found_card{nullptr, test::Softhsm_token::Label, 0}; }
    std::optional<Pin_text> enter_pin(const Found_card&) override { return Pin_text(test::Softhsm_token::Pin); }
    int ask(const std::string& text, unsigned) override
    {
        questions.push_back(text);
        return 6; // IDYES
    }
    std::optional<std::string> save_as(const std::string&, bool) override { return std::nullopt; }
    void progress(size_t, size_t, const std::string&) override {}
    void show_pending_errors() override {}

    std::vector<std::string> questions;
};

TEST_F(Timestamp_signing_test, a_batch_signed_and_time_stamped_verifies_in_our_verifier_and_openssl)
{
    ASSERT_TRUE(fs::exists(test::Softhsm_token::Module)) << "SoftHSM is missing (Debian package softhsm2)";
    test::Softhsm_token token;
    token.key_pair_from(VELIN_PKI_FIXTURES, "signer-legal", "01");
    Loopback_authority authority(authority_folder->path());

    const std::vector<std::string> documents = {"Verbale della seduta.\n", "Allegato tecnico, versione 2.\n"};
    const struct {
        Timestamp_form form;
        const char* suffix;
    } forms[] = {{Timestamp_form::Signature, ".p7m"},
                 {Timestamp_form::M7m, ".m7m"},
                 {Timestamp_form::Tsd, ".p7m.tsd"},
                 {Timestamp_form::Tsr, ".p7m.tsr"}};
    for (const auto& chosen : forms) {
        SCOPED_TRACE(chosen.suffix);
        const fs::path documents_folder = folder / ("documenti" + std::string(chosen.suffix));
        fs::create_directories(documents_folder);
        std::vector<std::string> paths;
        for (size_t i = 0; i < documents.size(); ++i) {
            paths.push_back((documents_folder / ("documento-" + std::to_string(i) + ".txt")).string());
            test::write_file(paths.back(), documents[i]);
        }
        Sign_batch_options options;
        options.make_signer = [](const Found_card& card, unsigned) -> std::unique_ptr<Card_signer> {
            return std::make_unique<Pkcs7_card_signer>(card.reader_name, test::Softhsm_token::Module);
        };
        options.timestamp_form = chosen.form;
        options.timestamps = std::make_shared<const Timestamp_client>(settings(authority.url()));
        Scripted_ui ui;
        size_t failed = 0;
        const size_t requests_before = authority.requests();
        ASSERT_EQ(sign_batch(ui, paths, 0, documents_folder.string(), options, &failed), 0u);
        EXPECT_EQ(failed, 0u);
        // One time stamp per document.
        EXPECT_EQ(authority.requests() - requests_before, documents.size());

        for (size_t i = 0; i < paths.size(); ++i) {
            const fs::path signed_file = paths[i] + chosen.suffix;
            ASSERT_TRUE(fs::exists(signed_file));
            const test::Verdict verdict = verify(signed_file);
            EXPECT_EQ(verdict.exit_code, 0) << QJsonDocument(verdict.report).toJson().toStdString();
            const QJsonObject stamp =
                verdict.report["layers"].toArray()[0].toObject()["timestamps"].toArray()[0].toObject();
            EXPECT_TRUE(stamp["verified"].toBool());
            EXPECT_TRUE(stamp["trusted"].toBool());

            // The same time stamp, read out of the file, for OpenSSL.
            const std::vector<uint8_t> bytes = test::read_bytes(signed_file);
            if (chosen.form == Timestamp_form::Signature) {
                const unsigned char* in = bytes.data();
                CMS_ContentInfo* cms = d2i_CMS_ContentInfo(nullptr, &in, static_cast<long>(bytes.size()));
                ASSERT_NE(cms, nullptr);
                CMS_SignerInfo* signer = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms), 0);
                const auto* token_string = static_cast<const ASN1_STRING*>(CMS_unsigned_get0_data_by_OBJ(
                    signer, OBJ_nid2obj(NID_id_smime_aa_timeStampToken), -3, V_ASN1_SEQUENCE));
                const ASN1_OCTET_STRING* value = CMS_SignerInfo_get0_signature(signer);
                ASSERT_NE(token_string, nullptr);
                const std::vector<uint8_t> token_bytes(ASN1_STRING_get0_data(token_string),
                                                       ASN1_STRING_get0_data(token_string) +
                                                           ASN1_STRING_length(token_string));
                EXPECT_TRUE(openssl_verifies(
                    token_bytes, true, {ASN1_STRING_get0_data(value), static_cast<size_t>(ASN1_STRING_length(value))}));
                CMS_ContentInfo_free(cms);
            } else if (chosen.form == Timestamp_form::M7m) {
                Mime_envelope_split split;
                ASSERT_TRUE(split.split(bytes));
                EXPECT_TRUE(openssl_verifies(split.value().timestamp_reply, false, split.value().envelope));
            } else if (chosen.form == Timestamp_form::Tsr) {
                // The reply as received, over the envelope beside it, which is the next layer.
                EXPECT_TRUE(openssl_verifies(bytes, false, test::read_bytes(paths[i] + ".p7m")));
                EXPECT_EQ(verdict.layers().size(), 2);
            } else {
                std::string problem;
                const auto tsd = read_timestamped_data(bytes, problem);
                ASSERT_TRUE(tsd && tsd->content) << problem;
                EXPECT_EQ(tsd->file_name, fs::path(paths[i]).filename().string() + ".p7m");
                EXPECT_TRUE(openssl_verifies(tsd->chain.at(0).token, true, *tsd->content));
            }
        }
    }

    // An authority that refuses stops the batch at the first document, whose envelope is not
    // written without its time stamp.
    const fs::path refused_folder = folder / "rifiutati";
    fs::create_directories(refused_folder);
    const std::vector<std::string> paths = {(refused_folder / "uno.txt").string(),
                                            (refused_folder / "due.txt").string()};
    for (const auto& path : paths)
        test::write_file(path, "Documento.\n");
    authority.set_mode(Loopback_authority::Mode::Refused);
    for (const Timestamp_form form : {Timestamp_form::Signature, Timestamp_form::M7m}) {
        Sign_batch_options options;
        options.make_signer = [](const Found_card& card, unsigned) -> std::unique_ptr<Card_signer> {
            return std::make_unique<Pkcs7_card_signer>(card.reader_name, test::Softhsm_token::Module);
        };
        options.timestamp_form = form;
        options.timestamps = std::make_shared<const Timestamp_client>(settings(authority.url()));
        Scripted_ui ui;
        size_t failed = 0;
        EXPECT_EQ(sign_batch(ui, paths, 0, refused_folder.string(), options, &failed), Result_failed);
        EXPECT_EQ(failed, 2u);
        EXPECT_TRUE(ui.questions.empty());
        EXPECT_FALSE(fs::exists(paths[0] + ".p7m"));
        EXPECT_FALSE(fs::exists(paths[0] + ".m7m"));
    }
    // The failure the user is shown is recorded as an error, with the document it stopped at.
    EXPECT_TRUE(test::traced(Level_error, {Text_signature_failed, paths[0], Text_tsa_refused}));
}

// XAdES-T: the invoice signed in place with the token's key, its SignatureValue time-stamped by the
// authority; our verifier checks the time stamp, OpenSSL checks it over the canonical element.
TEST_F(Timestamp_signing_test, an_invoice_signed_as_xades_t)
{
    ASSERT_TRUE(fs::exists(test::Softhsm_token::Module)) << "SoftHSM is missing (Debian package softhsm2)";
    test::Softhsm_token token;
    token.key_pair_from(VELIN_PKI_FIXTURES, "signer-legal", "01");
    Loopback_authority authority(authority_folder->path());
    const std::string original =
        test::read_file(fs::path(VELIN_PKI_FIXTURES).parent_path() / "invoice" / "fattura-v12.xml");
    const fs::path invoice = folder / "IT01234567890_00042.xml";
    test::write_file(invoice, original);
    Sign_batch_options options;
    options.make_signer = [](const Found_card& card, unsigned) -> std::unique_ptr<Card_signer> {
        return std::make_unique<Xades_card_signer>(card.reader_name, test::Softhsm_token::Module);
    };
    options.timestamp_form = Timestamp_form::Signature;
    options.timestamps = std::make_shared<const Timestamp_client>(settings(authority.url()));
    Scripted_ui ui;
    size_t failed = 0;
    const size_t requests_before = authority.requests();
    ASSERT_EQ(sign_batch(ui, {invoice.string()}, Flag_xades, {}, options, &failed), 0u);
    EXPECT_EQ(failed, 0u);
    EXPECT_EQ(authority.requests() - requests_before, 1u);
    EXPECT_EQ(ui.questions.front(), Text_overwrite_original);

    const test::Verdict verdict = verify(invoice);
    EXPECT_EQ(verdict.exit_code, 0) << QJsonDocument(verdict.report).toJson().toStdString();
    const QJsonObject stamp = verdict.report["layers"].toArray()[0].toObject()["timestamps"].toArray()[0].toObject();
    EXPECT_TRUE(stamp["verified"].toBool()) << QJsonDocument(verdict.report).toJson().toStdString();
    EXPECT_TRUE(stamp["trusted"].toBool());

    const std::vector<uint8_t> bytes = test::read_bytes(invoice);
    Xml_signature reader;
    reader.parse(bytes);
    ASSERT_TRUE(reader.parsed());
    reader.read_signatures();
    reader.extract_original_document();
    ASSERT_EQ(reader.signatures_count(), 1u);
    reader.select_signature(0);
    const auto tokens = reader.signer_timestamp_tokens(Timestamp_scope::Signature);
    ASSERT_EQ(tokens.size(), 1u);
    EXPECT_TRUE(openssl_verifies(tokens.front(), true, reader.signature_value()));

    // An authority that refuses: the invoice is not written without its time stamp.
    test::write_file(invoice, original);
    authority.set_mode(Loopback_authority::Mode::Refused);
    EXPECT_EQ(sign_batch(ui, {invoice.string()}, Flag_xades, {}, options, &failed), Result_failed);
    EXPECT_EQ(test::read_file(invoice), original);
}

TEST_F(Timestamp_signing_test, files_already_signed_get_their_time_stamps_without_the_card)
{
    Loopback_authority authority(authority_folder->path());
    const Timestamp_client client(settings(authority.url()));
    const fs::path pki(VELIN_PKI_FIXTURES);
    test::write_file(folder / "atto.txt", "Atto firmato da due.\n");
    // Two signers, one envelope in DER and the same in PEM.
    ASSERT_TRUE(run("openssl cms -sign -nodetach -binary -md sha256 -outform DER -in '" +
                    (folder / "atto.txt").string() + "' -signer '" + (pki / "signer-legal.cert.pem").string() +
                    "' -inkey '" + (pki / "signer-legal.key.pem").string() + "' -out '" +
                    (folder / "uno.p7m").string() + "'"));
    ASSERT_TRUE(run("openssl cms -resign -binary -md sha256 -inform DER -outform DER -in '" +
                    (folder / "uno.p7m").string() + "' -signer '" + (pki / "signer-card.cert.pem").string() +
                    "' -inkey '" + (pki / "signer-card.key.pem").string() + "' -out '" +
                    (folder / "atto.txt.p7m").string() + "'"));
    ASSERT_TRUE(run("openssl cms -cmsout -inform DER -outform PEM -in '" + (folder / "atto.txt.p7m").string() +
                    "' -out '" + (folder / "testo.txt.p7m").string() + "'"));

    // The envelopes are time-stamped on their signatures first, then as a whole.
    const struct {
        std::string file;
        Timestamp_form form;
        std::string output;
        size_t requests;
        size_t stamps; // all that the verifier finds in the file
        int exit_code; // a document that is not signed has only its time stamp: a warning
    } cases[] = {
        {"atto.txt.p7m", Timestamp_form::Signature, "atto.txt.p7m", 2, 2, 0},
        {"testo.txt.p7m", Timestamp_form::Signature, "testo.txt.p7m", 2, 2, 0},
        {"atto.txt.p7m", Timestamp_form::M7m, "atto.txt.m7m", 1, 3, 0},
        {"testo.txt.p7m", Timestamp_form::M7m, "testo.txt.m7m", 1, 3, 0},
        {"atto.txt", Timestamp_form::Tsd, "atto.txt.tsd", 1, 1, 1},
        // The reply as received beside the file; beside an envelope, the envelope is the next layer.
        {"atto.txt", Timestamp_form::Tsr, "atto.txt.tsr", 1, 1, 1},
        {"atto.txt.p7m", Timestamp_form::Tsr, "atto.txt.p7m.tsr", 1, 1, 0},
    };
    for (const auto& test_case : cases) {
        SCOPED_TRACE(test_case.file + " -> " + test_case.output);
        const std::vector<uint8_t> before = test::read_bytes(folder / test_case.file);
        Scripted_ui ui;
        const size_t requests = authority.requests();
        ASSERT_EQ(timestamp_batch(ui, {(folder / test_case.file).string()}, test_case.form, {}, client), 0u);
        EXPECT_EQ(authority.requests() - requests, test_case.requests);
        const std::vector<uint8_t> after = test::read_bytes(folder / test_case.output);
        if (test_case.form == Timestamp_form::Signature) {
            // Every signer keeps its bytes: OpenSSL still verifies both signatures, and every time
            // stamp covers its signer's value.
            EXPECT_TRUE(run("openssl cms -verify -noverify -binary -inform " +
                            std::string(after[0] == 0x30 ? "DER" : "PEM") + " -in '" +
                            (folder / test_case.output).string() + "' -out /dev/null"));
            EXPECT_GT(after.size(), before.size());
            // A second run finds nothing left to stamp.
            std::string failure;
            EXPECT_FALSE(add_signature_timestamps(
                after, [](auto, std::string&) { return std::nullopt; }, failure));
            EXPECT_EQ(failure, "Ogni firma della busta ha già la sua marca temporale.");
        }
        if (test_case.form == Timestamp_form::Tsr) {
            EXPECT_EQ(after[0], 0x30);
            EXPECT_TRUE(openssl_verifies(after, false, before));
        }
        const test::Verdict verdict = verify(folder / test_case.output);
        EXPECT_EQ(verdict.exit_code, test_case.exit_code) << QJsonDocument(verdict.report).toJson().toStdString();
        const QJsonArray stamps = verdict.report["layers"].toArray()[0].toObject()["timestamps"].toArray();
        EXPECT_EQ(static_cast<size_t>(stamps.size()), test_case.stamps);
        for (const auto& stamp : stamps)
            EXPECT_TRUE(stamp.toObject()["verified"].toBool());
    }
    // A document that is not an envelope has no signature to stamp.
    Scripted_ui ui;
    size_t failed = 0;
    EXPECT_EQ(timestamp_batch(ui, {(folder / "atto.txt").string()}, Timestamp_form::Signature, {}, client, &failed),
              0u);
    EXPECT_EQ(failed, 1u);
}

// A PDF signed with a document time stamp after the signature (PAdES-T), through the loopback
// authority: one time stamp per document, over the signed revision, seen by our verifier and by
// pdfsig. The same for a PDF already signed, without the card. Forms that do not suit the format
// and an authority on no list are refused before anything is written.
TEST_F(Timestamp_signing_test, pdfs_get_a_document_time_stamp_after_the_signature)
{
    ASSERT_TRUE(fs::exists(test::Softhsm_token::Module)) << "SoftHSM is missing (Debian package softhsm2)";
    // The last test of the program: the Java machine keeps the token's module loaded.
    test::Softhsm_token token;
    token.key_pair_from(VELIN_PKI_FIXTURES, "signer-legal", "01");
    const SEH_translation translation;
    Java_vm::instance().set_sources_for_tests(Runtime_root, std::string(), VELIN_JAVA_FOLDER);
    ASSERT_TRUE(run(std::string(VELIN_MAKE_PDFS) + " '" + folder.path().string() + "' " + VELIN_PKI_FIXTURES));
    Loopback_authority authority(authority_folder->path());
    const std::vector<std::string> paths = {(folder / "uno.pdf").string(), (folder / "due.pdf").string()};
    for (const auto& path : paths)
        fs::copy_file(folder / "plain.pdf", path);

    const auto options = [&](Timestamp_form form) {
        Sign_batch_options made;
        made.make_signer = [](const Found_card& card, unsigned) -> std::unique_ptr<Card_signer> {
            return std::make_unique<Pdf_card_signer>(
                card.reader_index, card.reader_name, [](const std::string&, unsigned) { return 6; },
                test::Softhsm_token::Module);
        };
        made.timestamp_form = form;
        made.timestamps = std::make_shared<const Timestamp_client>(settings(authority.url()));
        return made;
    };
    // The form must suit the format, or nothing is signed.
    for (const auto& [flags, form, refusal] : {std::tuple{Flag_pdf, Timestamp_form::M7m, Text_timestamp_pdf},
                                               std::tuple{0u, Timestamp_form::Pdf, Text_timestamp_not_pdf}}) {
        Scripted_ui ui;
        EXPECT_EQ(sign_batch(ui, paths, flags, folder.path().string(), options(form)), Result_failed);
        EXPECT_TRUE(test::traced(Level_error, {refusal}));
    }
    EXPECT_EQ(authority.requests(), 0u);
    // An authority on no list: the batch stops at the first document, which stays as it was.
    authority.set_mode(Loopback_authority::Mode::Unlisted);
    {
        Scripted_ui ui;
        size_t failed = 0;
        EXPECT_EQ(sign_batch(ui, paths, Flag_pdf, folder.path().string(), options(Timestamp_form::Pdf), &failed),
                  Result_failed);
        EXPECT_EQ(failed, 2u);
        EXPECT_EQ(test::read_file(paths[0]), test::read_file(folder / "plain.pdf"));
        EXPECT_TRUE(test::traced(Level_error, {Text_tsa_not_trusted}));
    }

    authority.set_mode(Loopback_authority::Mode::Granted);
    const size_t before = authority.requests();
    Scripted_ui ui;
    ASSERT_EQ(sign_batch(ui, paths, Flag_pdf, folder.path().string(), options(Timestamp_form::Pdf)), 0u);
    EXPECT_EQ(authority.requests() - before, paths.size());
    // Already signed, time-stamped again afterwards without the card; a file that is not a PDF is not.
    test::write_file(folder / "nota.txt", "Non un PDF.\n");
    size_t failed = 0;
    EXPECT_EQ(timestamp_batch(ui, {paths[1], (folder / "nota.txt").string()}, Timestamp_form::Pdf,
                              folder.path().string(), *options(Timestamp_form::Pdf).timestamps, &failed),
              0u);
    EXPECT_EQ(failed, 1u);
    EXPECT_EQ(test::read_file(folder / "nota.txt"), "Non un PDF.\n");

    for (size_t i = 0; i < paths.size(); ++i) {
        SCOPED_TRACE(paths[i]);
        const size_t stamps = i + 1;
        Pdf_verify verified;
        verified.parse(test::read_bytes(paths[i]));
        ASSERT_EQ(verified.outcome(), Pdf_outcome::Verified);
        // The signature is the file's one signer; each document time stamp is the file's own.
        ASSERT_EQ(verified.signatures_count(), 1u);
        EXPECT_FALSE(verified.bytes_after_signatures());
        verified.select_signature(0);
        EXPECT_TRUE(verified.signature_integrity().is_assigned() &&
                    verified.signature_integrity().value() == Signature_integrity::Intact);
        EXPECT_EQ(verified.kind(0), "ETSI.CAdES.detached");
        const std::vector<Timestamp_info> timestamps = verified.document_timestamps();
        ASSERT_EQ(timestamps.size(), stamps);
        for (const Timestamp_info& timestamp : timestamps)
            EXPECT_TRUE(timestamp.verified()) << timestamp.problem;
        const test::Verdict verdict = verify(paths[i]);
        const std::string report = QJsonDocument(verdict.report).toJson().toStdString();
        EXPECT_NE(report.find("ROSSI MARIO"), std::string::npos) << report;
        EXPECT_NE(report.find("TSA Accreditata Demo"), std::string::npos) << report;
        // The time stamps after the signature are what the form is made of: information only.
        const std::string lines = verdict.lines(0);
        EXPECT_TRUE(test::has_line(
            lines, "info: Il documento è stato modificato dopo la firma: marche temporali del documento aggiunte."))
            << lines;
        EXPECT_EQ(lines.find("warning: Il documento è stato modificato"), std::string::npos) << lines;
        EXPECT_EQ(lines.find(std::string("warning: ") + changed_after_signatures_text), std::string::npos) << lines;
        // pdfsig checks the signature and lists the time stamp over the whole file (it does not
        // check that form).
        const fs::path checked = folder / "pdfsig.txt";
        std::system(("pdfsig '" + paths[i] + "' > '" + checked.string() + "' 2>&1").c_str());
        const std::string words = test::read_file(checked);
        EXPECT_NE(words.find("Signature #1:"), std::string::npos) << words;
        EXPECT_NE(words.find("Signature Validation: Signature is Valid."), std::string::npos) << words;
        EXPECT_NE(words.find("Signature #" + std::to_string(1 + stamps) + ":\n  - Signature Field Name"),
                  std::string::npos)
            << words;
        EXPECT_NE(words.find("TSA Accreditata Demo"), std::string::npos) << words;
        EXPECT_NE(words.find("Total document signed"), std::string::npos) << words;
    }
}

} // namespace
} // namespace velin
