// OCSP and missing authorities end to end: a responder of ours on loopback answering each case as
// the test asks, a CRL server behind it for the fall-back, and a server of authorities'
// certificates for chains the trusted lists leave incomplete.
#include "loopback_server.h"
#include "pki.h"
#include "revocation_pki.h"
#include "revocation_test_support.h"

#include "trust/authority_access.h"
#include "trust/chain_builder.h"
#include "trust/ocsp.h"
#include "trust/revocation.h"

#include <openssl/ocsp.h>

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

} // namespace
} // namespace velin::test
