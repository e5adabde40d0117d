// OCSP and missing authorities end to end: a responder of ours on loopback answering each case as
// the test asks, a CRL server behind it for the fall-back, and a server of authorities'
// certificates for chains the trusted lists leave incomplete.
#include "VelinVerify/app/batch_report.h"
#include "batch_verifier.h"
#include "common/owner.h"
#include "loopback_server.h"
#include "pki.h"
#include "revocation_pki.h"
#include "revocation_test_support.h"

#include "trust/authority_access.h"
#include "trust/carried_validation.h"
#include "trust/chain_builder.h"
#include "trust/ocsp.h"
#include "trust/revocation.h"

#include <openssl/cms.h>
#include <openssl/ocsp.h>

#include <QCryptographicHash>
#include <QProcess>
#include <QProcessEnvironment>

#include <sys/stat.h>

#include <functional>
#include <map>
#include <mutex>

namespace velin::test {
namespace {

const char* const By_ocsp = "I: Revoca verificata tramite OCSP: Firmatario di prova.";
const char* const By_crl = "I: Revoca verificata tramite CRL: Firmatario di prova.";

class Ocsp_test : public Revocation_test_base {
protected:
    using Reply = std::function<Http_answer(const std::string& request)>;

    static void SetUpTestSuite()
    {
        for (const char* variable :
             {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
            ::unsetenv(variable);
        ::setenv("no_proxy", "*", 1);
    }

    Ocsp_test()
        : _responder([this](const test::Http_request_seen& request) {
              std::lock_guard lock(_mutex);
              return request.path == "/ocsp" && _reply ? _reply(request.body) : answer(404, "");
          }),
          _files([this](const std::string&, const std::string& path) {
              std::lock_guard lock(_mutex);
              const auto found = _served.find(path);
              return found == _served.end() ? answer(404, "") : answer(200, found->second);
          })
    {
        forget_fetched_ca_issuers();
        serve("/ca.crl", string_of(make_crl({}, _ca, _ca_key)));
    }

    void reply(Reply made)
    {
        std::lock_guard lock(_mutex);
        _reply = std::move(made);
    }
    void serve(const std::string& path, std::string bytes)
    {
        std::lock_guard lock(_mutex);
        _served[path] = std::move(bytes);
    }
    // The answer of the CA itself, or of another signer, made from the request received.
    Reply signed_answer(Ocsp_answer_recipe recipe, std::optional<std::pair<Certificate, Key>> by = std::nullopt)
    {
        return [this, recipe, by](const std::string& request) {
            return answer(200, make_ocsp_answer(request, recipe, by ? by->first : _ca, by ? by->second : _ca_key));
        };
    }
    std::pair<Certificate, Key> responder(const std::string& usage, const Certificate& issuer, const Key& issuer_key)
    {
        Certificate_recipe recipe;
        recipe.serial = ++_serial;
        recipe.common_name = "Responder OCSP";
        recipe.extended_key_usage = usage;
        const Key key = new_key();
        return {make_certificate(recipe, key, issuer, issuer_key), key};
    }
    Certificate signer(std::string ocsp_url = {})
    {
        Certificate_recipe recipe;
        recipe.serial = ++_serial;
        recipe.points = {uri_point(_files.url("/ca.crl"))};
        recipe.ocsp_urls = {ocsp_url.empty() ? _responder.url("/ocsp") : ocsp_url};
        return make_certificate(recipe, new_key(), _ca, _ca_key);
    }
    // A responder the CA delegated, with the id-pkix-ocsp-nocheck mark or without it, answering
    // about itself at the addresses given.
    std::pair<Certificate, Key> delegate(bool no_check, std::vector<std::string> ocsp_urls = {})
    {
        Certificate_recipe recipe;
        recipe.serial = ++_serial;
        recipe.common_name = "Responder OCSP";
        recipe.extended_key_usage = "OCSPSigning";
        recipe.ocsp_no_check = no_check;
        recipe.ocsp_urls = std::move(ocsp_urls);
        const Key key = new_key();
        return {make_certificate(recipe, key, _ca, _ca_key), key};
    }
    static long serial_of(const Certificate& certificate)
    {
        return ASN1_INTEGER_get(X509_get0_serialNumber(certificate.raw_handle()));
    }
    // An answer about certificate without a nonce, as a file carries it or a server keeps it.
    std::string answer_about(const Certificate& certificate, Ocsp_answer_recipe recipe, const Certificate& by,
                             const Key& key)
    {
        const std::unique_ptr<OCSP_REQUEST, decltype(&OCSP_REQUEST_free)> request(OCSP_REQUEST_new(),
                                                                                  OCSP_REQUEST_free);
        OCSP_request_add0_id(request.get(), OCSP_cert_to_id(EVP_sha1(), certificate.raw_handle(), _ca.raw_handle()));
        unsigned char* der = nullptr;
        const int size = i2d_OCSP_REQUEST(request.get(), &der);
        const Owner<unsigned char, Openssl_free> owned(der);
        recipe.nonce = Nonce_reply::None;
        return make_ocsp_answer(std::string(reinterpret_cast<char*>(der), static_cast<std::size_t>(std::max(size, 0))),
                                recipe, by, key);
    }
    static std::size_t kept_answers()
    {
        std::size_t kept = 0;
        for (const auto& entry : std::filesystem::directory_iterator(own_cache_folder("ocsp")))
            kept += entry.path().extension() == ".ocsp";
        return kept;
    }
    // A signer's certificate that names the test's list and responder, and a .p7m it signed in the
    // verifier's folder.
    std::pair<Certificate, std::filesystem::path> signed_by_verdi(Batch_verifier& verifier, const Key& key)
    {
        Certificate_recipe recipe;
        recipe.serial = ++_serial;
        recipe.common_name = "VERDI ANNA";
        recipe.key_usage = "critical,digitalSignature,nonRepudiation";
        recipe.points = {uri_point(_files.url("/ca.crl"))};
        recipe.ocsp_urls = {_responder.url("/ocsp")};
        const Certificate certificate = make_certificate(recipe, key, _ca, _ca_key);
        const std::string text = "Contratto firmato oggi.\n";
        const Owner<BIO> content(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
        const Owner<CMS_ContentInfo> cms(
            CMS_sign(certificate.raw_handle(), key.get(), nullptr, content.get(), CMS_BINARY | CMS_CADES));
        EXPECT_TRUE(cms);
        unsigned char* der = nullptr;
        const int size = cms ? i2d_CMS_ContentInfo(cms.get(), &der) : 0;
        const Owner<unsigned char, Openssl_free> owned(der);
        const std::filesystem::path file = verifier.folder / "contratto.txt.p7m";
        write_file(file, std::string(reinterpret_cast<char*>(der), static_cast<std::size_t>(std::max(size, 0))));
        return {certificate, file};
    }
    Revocation_outcome check(const Certificate& certificate, Revocation_method method = Revocation_method::Both,
                             bool download = true, std::optional<std::time_t> at = std::nullopt)
    {
        _reports.clear();
        Revocation_settings settings{download, method};
        settings.ocsp_time_limit = std::chrono::seconds(1);
        return check_revocations({Revocation_subject{certificate, _ca, at}}, settings, _cancel).at(0);
    }

    Certificate _ca = fixture_certificate("accredited-ca");
    Key _ca_key = fixture_key("accredited-ca");
    long _serial = 0x7100;
    std::atomic<bool> _cancel{false};
    std::mutex _mutex;
    Reply _reply;
    std::map<std::string, std::string> _served;
    Loopback_server _responder;
    Loopback_server _files;
};

TEST_F(Ocsp_test, each_answer_decides_or_leaves_the_decision_to_the_crl)
{
    const Ocsp_answer_recipe good{};
    Ocsp_answer_recipe revoked{V_OCSP_CERTSTATUS_REVOKED};
    revoked.reason = OCSP_REVOKED_STATUS_KEYCOMPROMISE;
    const Ocsp_answer_recipe unknown{V_OCSP_CERTSTATUS_UNKNOWN};
    Ocsp_answer_recipe stale;
    stale.this_update = std::time(nullptr) - 10 * Day;
    stale.next_update = std::time(nullptr) - 2 * Day;
    Ocsp_answer_recipe old_without_next;
    old_without_next.this_update = std::time(nullptr) - 3 * Day;
    old_without_next.next_update = -1;
    Ocsp_answer_recipe replayed;
    replayed.nonce = Nonce_reply::Other;
    Ocsp_answer_recipe without_nonce;
    without_nonce.nonce = Nonce_reply::None;
    Ocsp_answer_recipe try_later;
    try_later.response_status = OCSP_RESPONSE_STATUS_TRYLATER;
    const Key stranger_key = new_key();
    Certificate_recipe stranger_recipe;
    stranger_recipe.common_name = "Altra CA";
    stranger_recipe.authority = true;
    const Certificate stranger = make_certificate(stranger_recipe, stranger_key, Certificate(), nullptr);

    const Revocation_status valid = Revocation_status::Valid;
    const struct {
        const char* name;
        Reply reply;
        Revocation_status status;
        bool by_ocsp;
        bool responder_down = false;
    } cases[] = {
        {"good, signed by the CA", signed_answer(good), valid, true},
        {"revoked", signed_answer(revoked), Revocation_status::Revoked, true},
        {"good, delegated responder", signed_answer(good, responder("OCSPSigning", _ca, _ca_key)), valid, true},
        {"good, no nonce returned", signed_answer(without_nonce), valid, true},
        {"unknown", signed_answer(unknown), valid, false},
        {"responder without OCSPSigning", signed_answer(good, responder("clientAuth", _ca, _ca_key)), valid, false},
        {"responder of another CA", signed_answer(good, responder("OCSPSigning", stranger, stranger_key)), valid,
         false},
        {"stale answer", signed_answer(stale), valid, false},
        {"old answer without nextUpdate", signed_answer(old_without_next), valid, false},
        {"replayed nonce", signed_answer(replayed), valid, false},
        {"tryLater", signed_answer(try_later), valid, false},
        {"huge answer", [](const std::string&) { return generated_answer(Ocsp_answer_limit + 1); }, valid, false},
        {"slow answer", [](const std::string&) { return silent_answer(); }, valid, false},
        {"garbage", [](const std::string&) { return answer(200, "\x30\x82\xff\xff"); }, valid, false},
        {"server error", [](const std::string&) { return answer(500, ""); }, valid, false},
        {"responder down", nullptr, valid, false, true},
    };
    std::size_t by_ocsp = 0;
    std::size_t by_crl = 0;
    for (const auto& one : cases) {
        SCOPED_TRACE(one.name);
        reply(one.reply);
        const std::size_t asked = _responder.requests().size();
        const Certificate certificate =
            signer(one.responder_down ? "http://127.0.0.1:" + std::to_string(closed_port()) + "/ocsp" : "");
        const Revocation_outcome outcome = check(certificate);
        EXPECT_EQ(one.status, outcome.status);
        EXPECT_EQ(1, outcome.revocation_issuer);
        EXPECT_EQ(one.by_ocsp ? Revocation_source::Ocsp : Revocation_source::Crl, outcome.source);
        EXPECT_EQ(one.responder_down ? asked : asked + 1, _responder.requests().size());
        ++(one.by_ocsp ? by_ocsp : by_crl);
        if (one.status == Revocation_status::Revoked) {
            EXPECT_NE(std::string::npos, _reports.lines().front().find("(motivo: compromissione della chiave)."));
        }
        EXPECT_EQ(one.by_ocsp ? By_ocsp : By_crl, _reports.lines().back());
    }
    EXPECT_EQ(by_ocsp, traced_since_start(Level_info, {"Revoca", "OCSP"}));
    EXPECT_EQ(by_crl, traced_since_start(Level_info, {"Revoca", "CRL"}));
}

// What decided is kept for the reports: the answer's bytes, its responder, its dates; a list's
// bytes and distribution point when the responder did not decide.
TEST_F(Ocsp_test, the_answer_or_list_that_decided_is_kept_with_its_source_and_dates)
{
    const std::time_t now = std::time(nullptr);
    std::string sent;
    Ocsp_answer_recipe revoked{V_OCSP_CERTSTATUS_REVOKED};
    revoked.revoked_at = now - 5 * Day;
    revoked.reason = OCSP_REVOKED_STATUS_KEYCOMPROMISE;
    revoked.this_update = now - 60;
    revoked.next_update = now + 2 * Day;
    const Reply made = signed_answer(revoked);
    reply([&sent, made](const std::string& request) {
        Http_answer given = made(request);
        sent = given.body;
        return given;
    });
    const Certificate certificate = signer();
    const Revocation_outcome asked = check(certificate);
    ASSERT_EQ(Revocation_status::Revoked, asked.status);
    EXPECT_EQ(_responder.url("/ocsp"), asked.evidence.url);
    EXPECT_FALSE(asked.evidence.from_cache);
    ASSERT_TRUE(asked.evidence.der);
    EXPECT_EQ(sent, std::string(asked.evidence.der->begin(), asked.evidence.der->end()));
    ASSERT_TRUE(asked.evidence.issued && asked.evidence.next_update);
    EXPECT_LE(std::abs(*asked.evidence.issued - now), 120);
    EXPECT_EQ(now + 2 * Day, *asked.evidence.next_update);
    EXPECT_EQ(now - 5 * Day, asked.revoked_at);
    EXPECT_EQ(OCSP_REVOKED_STATUS_KEYCOMPROMISE, asked.reason);

    // Asked again, the kept answer decides: the same bytes, its one responder still named.
    const Revocation_outcome kept = check(certificate, Revocation_method::Both, false);
    EXPECT_TRUE(kept.evidence.from_cache);
    EXPECT_EQ(_responder.url("/ocsp"), kept.evidence.url);
    ASSERT_TRUE(kept.evidence.der);
    EXPECT_EQ(*asked.evidence.der, *kept.evidence.der);

    // A responder that does not know the certificate leaves it to the list, which is named.
    reply(signed_answer(Ocsp_answer_recipe{V_OCSP_CERTSTATUS_UNKNOWN}));
    const Revocation_outcome by_list = check(signer());
    EXPECT_EQ(Revocation_status::Valid, by_list.status);
    EXPECT_EQ(Revocation_source::Crl, by_list.source);
    EXPECT_TRUE(by_list.unknown_to_responder);
    EXPECT_EQ(_files.url("/ca.crl"), by_list.evidence.url);
}

// An expired certificate judged at an earlier time stamp: the responder answers today, after the
// expiry, and may call good a certificate it no longer tracks. Its good counts only with an
// archiveCutoff no later than the expiry; the CA's list of today is as silent.
TEST_F(Ocsp_test, a_good_answer_given_after_the_expiry_counts_only_with_an_archive_cutoff)
{
    const std::time_t now = std::time(nullptr);
    const std::time_t expiry = now - 300 * Day, proof = now - 400 * Day;
    const auto expired = [&] {
        Certificate_recipe recipe{.serial = ++_serial, .not_before = now - 700 * Day, .not_after = expiry};
        recipe.points = {uri_point(_files.url("/ca.crl"))};
        recipe.ocsp_urls = {_responder.url("/ocsp")};
        return make_certificate(recipe, new_key(), _ca, _ca_key);
    };

    reply(signed_answer({}));
    for (const Revocation_method method : {Revocation_method::Only_ocsp, Revocation_method::Both}) {
        const Revocation_outcome silent = check(expired(), method, true, proof);
        EXPECT_EQ(Revocation_status::Not_determinable, silent.status) << static_cast<int>(method);
        EXPECT_TRUE(silent.silent_after_expiry);
        EXPECT_TRUE(_reports.lines().empty());
    }
    reply(signed_answer({.archive_cutoff = expiry + Day}));
    EXPECT_EQ(Revocation_status::Not_determinable, check(expired(), Revocation_method::Only_ocsp, true, proof).status);

    reply(signed_answer({.archive_cutoff = expiry - 30 * Day}));
    const Revocation_outcome archived = check(expired(), Revocation_method::Only_ocsp, true, proof);
    EXPECT_EQ(Revocation_status::Valid, archived.status);
    EXPECT_EQ(Revocation_source::Ocsp, archived.source);
    EXPECT_FALSE(archived.silent_after_expiry);

    reply(signed_answer({.certificate_status = V_OCSP_CERTSTATUS_REVOKED, .revoked_at = proof - Day}));
    EXPECT_EQ(Revocation_status::Revoked, check(expired(), Revocation_method::Only_ocsp, true, proof).status);
}

TEST_F(Ocsp_test, answers_are_cached_privately_and_the_setting_chooses_the_source)
{
    reply(signed_answer({}));
    const Certificate certificate = signer();
    EXPECT_EQ(Revocation_source::Ocsp, check(certificate).source);
    EXPECT_EQ(Revocation_source::Ocsp, check(certificate, Revocation_method::Both, false).source);
    EXPECT_EQ(1u, _responder.requests().size()); // the second answer came from the cache
    const std::filesystem::path folder = own_cache_folder("ocsp");
    struct stat info {};
    ASSERT_EQ(0, ::stat(folder.c_str(), &info));
    EXPECT_EQ(0700u, info.st_mode & 07777);
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        ASSERT_EQ(0, ::stat(entry.path().c_str(), &info));
        EXPECT_EQ(0600u, info.st_mode & 07777);
    }

    // MetodoRevoca: 1 only OCSP, 2 only the CRL, anything else both.
    EXPECT_EQ(Revocation_method::Only_ocsp, revocation_method_of(1));
    EXPECT_EQ(Revocation_method::Only_crl, revocation_method_of(2));
    EXPECT_EQ(Revocation_method::Both, revocation_method_of(7));

    // Only the CRL: the responder is not asked.
    const Revocation_outcome crl_only = check(signer(), Revocation_method::Only_crl);
    EXPECT_EQ(Revocation_source::Crl, crl_only.source);
    EXPECT_EQ(1u, _responder.requests().size());

    // Only OCSP: an answer that does not decide leaves the revocation unknown, without the list.
    reply(signed_answer(Ocsp_answer_recipe{V_OCSP_CERTSTATUS_UNKNOWN}));
    const std::size_t lists = _files.requests().size();
    EXPECT_EQ(Revocation_status::Not_determinable, check(signer(), Revocation_method::Only_ocsp).status);
    EXPECT_EQ(Revocation_status::Update_disabled, check(signer(), Revocation_method::Only_ocsp, false).status);
    EXPECT_EQ(lists, _files.requests().size());

    // Revoked after the time stamp: the signature was made while the certificate was valid.
    reply(signed_answer(Ocsp_answer_recipe{V_OCSP_CERTSTATUS_REVOKED}));
    const Certificate stamped = signer();
    EXPECT_EQ(Revocation_status::Valid,
              check(stamped, Revocation_method::Both, true, std::time(nullptr) - 3 * Day).status);
    EXPECT_EQ(Revocation_status::Revoked,
              check(stamped, Revocation_method::Both, true, std::time(nullptr) - Day).status);
}

TEST_F(Ocsp_test, a_missing_intermediate_is_fetched_once_and_never_becomes_a_root)
{
    Test_folder data;
    copy_fixture_data(data.path());
    const Trusted_store store(data.path().string(), pki_text("publisher.cert.pem"));
    const Certificate root = fixture_certificate("accredited-root");
    const Key root_key = fixture_key("accredited-root");
    Certificate_recipe authority;
    authority.serial = 0x7200;
    authority.common_name = "Intermedia scaricata";
    authority.authority = true;
    authority.key_usage = "critical,keyCertSign,cRLSign";
    const Key intermediate_key = new_key();
    const Certificate intermediate = make_certificate(authority, intermediate_key, root, root_key);
    authority.common_name = "Radice non fidata";
    const Key untrusted_key = new_key();
    const Certificate untrusted_root = make_certificate(authority, untrusted_key, Certificate(), nullptr);
    serve("/ca.cer", string_of(intermediate.der()));
    serve("/ca.p7c", make_certificate_bundle({untrusted_root, intermediate}));
    serve("/root.cer", string_of(untrusted_root.der()));
    serve("/huge.cer", std::string(Ca_issuers_limit + 1, '\x30'));

    const auto signed_under = [&](const Certificate& issuer, const Key& key, const std::string& path) {
        Certificate_recipe recipe;
        recipe.serial = ++_serial;
        recipe.ca_issuer_urls = {_files.url(path)};
        return make_certificate(recipe, new_key(), issuer, key);
    };
    const Certificate missing = signed_under(intermediate, intermediate_key, "/ca.cer");
    const Issuer_source fetched = [this](const Certificate& subject) {
        return fetch_ca_issuers(subject, true, _cancel);
    };
    EXPECT_FALSE(build_chain(store, missing).complete);

    // Many files signed under the same missing authority: one download.
    for (int file = 0; file < 5; ++file) {
        const Chain_outcome outcome = build_chain(store, missing, std::nullopt, fetched);
        ASSERT_TRUE(outcome.complete);
        ASSERT_EQ(3u, outcome.chain.size());
        EXPECT_EQ("Intermedia scaricata", outcome.chain[1].display_name());
        EXPECT_EQ(root.der(), outcome.chain[2].der());
    }
    EXPECT_EQ(1u, _files.requests().size());

    // The next run of the program reads its own cache, also with downloads off.
    forget_fetched_ca_issuers();
    EXPECT_TRUE(build_chain(store, missing, std::nullopt, [this](const Certificate& subject) {
                    return fetch_ca_issuers(subject, false, _cancel);
                }).complete);
    EXPECT_EQ(1u, _files.requests().size());

    // A bundle counts for its intermediate; a self-signed authority, served alone or in the bundle,
    // never ends a chain; a huge answer gives nothing.
    EXPECT_TRUE(
        build_chain(store, signed_under(intermediate, intermediate_key, "/ca.p7c"), std::nullopt, fetched).complete);
    EXPECT_FALSE(
        build_chain(store, signed_under(untrusted_root, untrusted_key, "/root.cer"), std::nullopt, fetched).complete);
    EXPECT_FALSE(
        build_chain(store, signed_under(untrusted_root, untrusted_key, "/ca.p7c"), std::nullopt, fetched).complete);
    EXPECT_FALSE(
        build_chain(store, signed_under(intermediate, intermediate_key, "/huge.cer"), std::nullopt, fetched).complete);
    EXPECT_TRUE(parse_ca_issuers("\x30\x03\x02\x01").empty());
}

TEST_F(Ocsp_test, a_delegated_responder_revoked_or_unchecked_is_not_believed_nor_its_answer_kept)
{
    // Delegated without the no-check mark, revoked on the CA's list, and answering "good" about a
    // signer the same list revokes: directly, and from another server after a 307 redirect.
    const auto revoked_responder = delegate(false);
    const Certificate revoked_signer = signer();
    serve("/ca.crl", string_of(make_crl({.revoked = {serial_of(revoked_responder.first), serial_of(revoked_signer)}},
                                        _ca, _ca_key)));
    serve("/elsewhere", answer_about(revoked_signer, {}, revoked_responder.first, revoked_responder.second));
    const Reply redirected = [this](const std::string&) {
        return answer(307, "", {{"Location", _files.url("/elsewhere")}});
    };
    for (const auto& [name, made] :
         {std::pair{"direct", signed_answer({}, revoked_responder)}, std::pair{"redirected", redirected}}) {
        SCOPED_TRACE(name);
        reply(made);
        const Revocation_outcome both = check(revoked_signer);
        EXPECT_EQ(Revocation_status::Revoked, both.status);
        EXPECT_EQ(Revocation_source::Crl, both.source);
        EXPECT_EQ(Revocation_status::Not_determinable, check(revoked_signer, Revocation_method::Only_ocsp).status);
        EXPECT_EQ(0u, kept_answers());
    }
    const std::vector<std::string> served = _files.requests();
    EXPECT_EQ(2, std::count(served.begin(), served.end(), "POST /elsewhere"));

    // Not revoked, but its status cannot be found: with only OCSP allowed the list is not read for
    // it, and it names no responder of its own.
    const auto sound = delegate(false);
    reply(signed_answer({}, sound));
    EXPECT_EQ(Revocation_status::Not_determinable, check(signer(), Revocation_method::Only_ocsp).status);
    EXPECT_EQ(0u, kept_answers());

    // Found on the list and not named there: believed, and its answer kept.
    const Certificate good_signer = signer();
    const Revocation_outcome believed = check(good_signer);
    EXPECT_EQ(Revocation_status::Valid, believed.status);
    EXPECT_EQ(Revocation_source::Ocsp, believed.source);
    EXPECT_EQ(1u, kept_answers());
    EXPECT_EQ(Revocation_source::Ocsp, check(good_signer, Revocation_method::Both, false).source);

    // A list of a part of the CA's certificates speaks for that part only: the signer's does not
    // clear a responder that names no list of its own, and the signer's list decides.
    serve("/part.crl", string_of(make_crl({.partition = _files.url("/part.crl")}, _ca, _ca_key)));
    Certificate_recipe partial;
    partial.serial = ++_serial;
    partial.points = {uri_point(_files.url("/part.crl"))};
    partial.ocsp_urls = {_responder.url("/ocsp")};
    const Revocation_outcome by_part = check(make_certificate(partial, new_key(), _ca, _ca_key));
    EXPECT_EQ(Revocation_status::Valid, by_part.status);
    EXPECT_EQ(Revocation_source::Crl, by_part.source);

    // Marked as needing no check: believed with only OCSP allowed.
    reply(signed_answer({}, delegate(true)));
    const Revocation_outcome marked = check(signer(), Revocation_method::Only_ocsp);
    EXPECT_EQ(Revocation_status::Valid, marked.status);
    EXPECT_EQ(Revocation_source::Ocsp, marked.source);
}

TEST_F(Ocsp_test, a_responder_is_checked_through_the_responder_it_names_and_never_through_itself)
{
    // Only OCSP: the responder's own address answers about it. The CA's word counts; the
    // responder's word about itself, or a revocation of its key, does not.
    Ocsp_answer_recipe compromised{V_OCSP_CERTSTATUS_REVOKED};
    compromised.reason = OCSP_REVOKED_STATUS_KEYCOMPROMISE;
    const struct {
        const char* name;
        bool by_ca;
        Ocsp_answer_recipe about_responder;
        Revocation_status status;
    } cases[] = {
        {"good from the CA", true, {}, Revocation_status::Valid},
        {"good from itself", false, {}, Revocation_status::Not_determinable},
        {"key compromised", true, compromised, Revocation_status::Not_determinable},
    };
    int path = 0;
    for (const auto& one : cases) {
        SCOPED_TRACE(one.name);
        const std::string own = "/responder-" + std::to_string(++path);
        const auto responder = delegate(false, {_files.url(own)});
        serve(own, answer_about(responder.first, one.about_responder, one.by_ca ? _ca : responder.first,
                                one.by_ca ? _ca_key : responder.second));
        reply(signed_answer({}, responder));
        const Revocation_outcome outcome = check(signer(), Revocation_method::Only_ocsp);
        EXPECT_EQ(one.status, outcome.status);
        const std::vector<std::string> served = _files.requests();
        EXPECT_EQ(1, std::count(served.begin(), served.end(), "POST " + own));
    }
}

TEST_F(Ocsp_test, a_carried_list_of_another_part_of_the_issuers_certificates_does_not_clear_the_signer)
{
    // The file carries a list the CA really signed, silent about the signer, but partitioned to
    // another distribution point: it proves nothing. The same list for the signer's own point does.
    const Certificate certificate = signer();
    for (const bool own_point : {false, true}) {
        SCOPED_TRACE(own_point ? "the signer's own point" : "another point");
        const auto carried = std::make_shared<Carried_validation>();
        carried->crls.emplace_back(
            make_crl({.partition = _files.url(own_point ? "/ca.crl" : "/authorities.crl")}, _ca, _ca_key));
        Revocation_settings settings{false, Revocation_method::Only_crl};
        settings.carried = carried;
        const Revocation_outcome outcome =
            check_revocations({Revocation_subject{certificate, _ca, std::nullopt}}, settings, _cancel).at(0);
        EXPECT_EQ(outcome.from_file, own_point);
        if (own_point) {
            EXPECT_EQ(outcome.status, Revocation_status::Valid);
        }
    }
}

TEST_F(Ocsp_test, a_carried_answer_rests_on_its_responder_at_the_time_that_counts)
{
    // The file carries a delegated responder's "good" and the CA's list, which names the responder
    // (and the signer, in the first case) as revoked two days ago. Checked without the network.
    const std::time_t now = std::time(nullptr);
    const auto responder = delegate(false);
    const struct {
        const char* name;
        int reason;
        std::time_t responder_revoked;
        std::optional<std::time_t> at;
        bool signer_revoked;
        Revocation_status status;
        Revocation_source source;
    } cases[] = {
        {"revoked, judged now", -1, now - 2 * Day, std::nullopt, true, Revocation_status::Revoked,
         Revocation_source::Crl},
        {"key compromised after the time stamp", OCSP_REVOKED_STATUS_KEYCOMPROMISE, now - 2 * Day, now - 3 * Day, false,
         Revocation_status::Valid, Revocation_source::Crl},
        {"superseded after the time stamp", OCSP_REVOKED_STATUS_SUPERSEDED, now - 2 * Day, now - 3 * Day, false,
         Revocation_status::Valid, Revocation_source::Ocsp},
        {"superseded before the time stamp", OCSP_REVOKED_STATUS_SUPERSEDED, now - 4 * Day, now - 3 * Day, false,
         Revocation_status::Valid, Revocation_source::Crl},
        {"superseded, judged now", OCSP_REVOKED_STATUS_SUPERSEDED, now - 2 * Day, std::nullopt, false,
         Revocation_status::Valid, Revocation_source::Crl},
    };
    for (const auto& one : cases) {
        SCOPED_TRACE(one.name);
        const Certificate certificate = signer();
        std::vector<long> revoked{serial_of(responder.first)};
        if (one.signer_revoked)
            revoked.push_back(serial_of(certificate));
        const auto carried = std::make_shared<Carried_validation>();
        const std::string answer = answer_about(certificate, {}, responder.first, responder.second);
        carried->ocsp_answers.emplace_back(answer.begin(), answer.end());
        carried->crls.emplace_back(
            make_crl({.revoked = revoked, .reason = one.reason, .revoked_at = one.responder_revoked}, _ca, _ca_key));
        Revocation_settings settings{false, Revocation_method::Both};
        settings.carried = carried;
        const Revocation_outcome outcome =
            check_revocations({Revocation_subject{certificate, _ca, one.at}}, settings, _cancel).at(0);
        EXPECT_EQ(one.status, outcome.status);
        EXPECT_EQ(one.source, outcome.source);
        EXPECT_TRUE(outcome.from_file);
    }
    EXPECT_TRUE(_responder.requests().empty());
    EXPECT_TRUE(_files.requests().empty());
}

// velin-verify itself, asking the responder and the list on loopback for an envelope signed today.
// The verifier's settings: revocation checked, downloads on, MetodoRevoca method.
void revocation_settings(Batch_verifier& verifier, int method)
{
    write_file(verifier.folder / "user.reg",
               "Windows Registry Editor Version 5.00\n\n"
               "[HKEY_CURRENT_USER\\SOFTWARE\\Valdora Vidizoved\\Velin Manager\\Impostazioni]\n"
               "\"VerificaCRL\"=dword:00000001\n\"AggiornaCRL\"=dword:00000001\n"
               "\"MetodoRevoca\"=dword:0000000" +
                   std::to_string(method) + "\n\n");
}

TEST_F(Ocsp_test, velin_verify_does_not_take_a_revoked_responder_at_its_word)
{
    Batch_verifier verifier;
    const Key key = new_key();
    const auto [certificate, file] = signed_by_verdi(verifier, key);
    const auto settings = [&](int method) { revocation_settings(verifier, method); };
    const std::filesystem::path kept = verifier.folder / "user-cache" / "velin-manager" / "ocsp";
    const auto kept_files = [&] {
        return std::filesystem::exists(kept)
                   ? std::distance(std::filesystem::directory_iterator(kept), std::filesystem::directory_iterator{})
                   : 0;
    };

    // The controls: a responder marked as needing no check, and one the list finds unrevoked.
    settings(0);
    for (const bool marked : {true, false}) {
        SCOPED_TRACE(marked ? "marked" : "checked on the list");
        reply(signed_answer({}, delegate(marked)));
        std::filesystem::remove_all(kept);
        const Verdict verdict = verifier.verify(file);
        EXPECT_EQ(Exit_success, verdict.exit_code) << verdict.text;
        EXPECT_TRUE(has_line(verdict.lines(0), "info: Il certificato è valido.")) << verdict.text;
        EXPECT_EQ(1, kept_files());
    }

    // The responder's certificate and the signer's revoked on the list.
    const auto revoked = delegate(false);
    serve("/ca.crl",
          string_of(make_crl({.revoked = {serial_of(revoked.first), serial_of(certificate)}}, _ca, _ca_key)));
    reply(signed_answer({}, revoked));
    const struct {
        int method;
        const char* line;
    } cases[] = {
        {0, "error: Il certificato è stato revocato."},
        {1, "error: La validità del certificato non può essere rilevata."},
    };
    for (const auto& one : cases) {
        SCOPED_TRACE(one.method);
        settings(one.method);
        std::filesystem::remove_all(verifier.folder / "user-cache");
        const Verdict verdict = verifier.verify(file);
        EXPECT_EQ(Exit_errors, verdict.exit_code) << verdict.text;
        EXPECT_TRUE(has_line(verdict.lines(0), one.line)) << verdict.text;
        EXPECT_FALSE(has_line(verdict.lines(0), "info: Il certificato è valido.")) << verdict.text;
        EXPECT_EQ(0, kept_files());
    }
}

// The reports of a signer the responder calls revoked: the PDF names the responder, the date and
// the reason; the ETSI report lists its answer, by the digest of the bytes it sent, as what the
// revocation rests on, and still validates.
TEST_F(Ocsp_test, velin_verify_reports_name_the_responder_and_list_its_answer)
{
    Batch_verifier verifier;
    const Key key = new_key();
    const auto [certificate, file] = signed_by_verdi(verifier, key);
    revocation_settings(verifier, 0);
    Ocsp_answer_recipe revoked{V_OCSP_CERTSTATUS_REVOKED};
    revoked.revoked_at = std::time(nullptr) / Day * Day - Day; // yesterday, at midnight
    revoked.reason = OCSP_REVOKED_STATUS_KEYCOMPROMISE;
    std::string sent;
    const Reply made = signed_answer(revoked);
    reply([&sent, made](const std::string& request) {
        Http_answer given = made(request);
        sent = given.body;
        return given;
    });
    const std::filesystem::path pdf = verifier.folder / "rapporto.pdf";
    const std::filesystem::path xml = verifier.folder / "rapporto.xml";
    const Verdict verdict = verifier.verify(file, {"--rapporto", QString::fromStdString(pdf.string()),
                                                   "--rapporto-etsi", QString::fromStdString(xml.string())});
    EXPECT_EQ(Exit_errors, verdict.exit_code) << verdict.text << verdict.err;
    ASSERT_FALSE(sent.empty());

    std::tm day{};
    const std::time_t at = revoked.revoked_at;
    gmtime_r(&at, &day);
    char date[24];
    std::strftime(date, sizeof date, "%d/%m/%Y 00:00:00", &day);
    char iso[24];
    std::strftime(iso, sizeof iso, "%Y-%m-%dT00:00:00Z", &day);

    QProcess pdftotext;
    pdftotext.start("pdftotext", {QString::fromStdString(pdf.string()), "-"});
    ASSERT_TRUE(pdftotext.waitForFinished(30000));
    // The text as one line: a value that goes on in the next line of its cell is joined again.
    const std::string text = QString::fromUtf8(pdftotext.readAllStandardOutput()).simplified().toStdString();
    for (const std::string& expected :
         {"risposta OCSP del responder " + _responder.url("/ocsp"),
          "certificato revocato il " + std::string(date) + " (UTC)", std::string("compromissione della chiave")})
        EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n--- text:\n" << text;

    const std::string report = read_file(xml);
    const std::string digest =
        QCryptographicHash::hash(QByteArray::fromStdString(sent), QCryptographicHash::Sha256).toBase64().toStdString();
    EXPECT_NE(report.find("<vr:ObjectType>urn:etsi:019102:validationObject:OCSPResponse</vr:ObjectType>"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("<ds:DigestValue>" + digest + "</ds:DigestValue>"), std::string::npos) << report;
    EXPECT_NE(report.find("<vr:RevocationTime>" + std::string(iso) +
                          "</vr:RevocationTime>\n"
                          "          <vr:RevocationObject VOReference=\"O-"),
              std::string::npos)
        << report;
    QProcess xmllint;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const std::filesystem::path schemas = VELIN_ETSI_SCHEMAS;
    environment.insert("XML_CATALOG_FILES", QString::fromStdString((schemas / "catalog.xml").string()));
    xmllint.setProcessEnvironment(environment);
    xmllint.setProcessChannelMode(QProcess::MergedChannels);
    xmllint.start("xmllint",
                  {"--nonet", "--noout", "--schema", QString::fromStdString((schemas / "TS119102-2-v141.xsd").string()),
                   QString::fromStdString(xml.string())});
    ASSERT_TRUE(xmllint.waitForFinished(30000));
    EXPECT_EQ(0, xmllint.exitCode()) << xmllint.readAll().toStdString() << report;
}

} // namespace
} // namespace velin::test
