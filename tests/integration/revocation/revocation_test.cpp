// Revocation checking end to end: lists served by a loopback HTTP server and a private slapd,
// the user's own CRL cache and the installation's seed in the test's folders, certificates issued
// on the fly by the test PKI's accredited CA with distribution points naming the servers' real
// ports.
#include "directory_server.h"
#include "eventually.h"
#include "loopback_server.h"
#include "revocation_pki.h"
#include "revocation_test_support.h"

#include "trust/ldap_crl.h"
#include "trust/revocation.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include <sys/stat.h>

namespace velin::test {
namespace {

constexpr long Revoked_serial = 0x1006; // listed in crl/accredited-ca.crl
constexpr std::time_t May_2025 = 1746057600; // before crl/accredited-ca.crl and its revocation
constexpr std::uintmax_t Mebibyte = 1024 * 1024;
const std::vector<std::string> No_requests;

Revocation_outcome outcome(Revocation_status status, int issuer)
{
    return Revocation_outcome{status, issuer};
}

// Bytes this process has read so far, from files or anything else (/proc/self/io rchar).
std::uint64_t bytes_read()
{
    std::ifstream io("/proc/self/io");
    for (std::string name; io >> name;) {
        std::uint64_t value = 0;
        io >> value;
        if (name == "rchar:")
            return value;
    }
    ADD_FAILURE() << "/proc/self/io has no rchar";
    return 0;
}

std::string text_of(const Revocation_outcome& value)
{
    return "{" + std::to_string(static_cast<int>(value.status)) + ", " + std::to_string(value.revocation_issuer) + "}";
}

#define EXPECT_OUTCOME(expected, actual) EXPECT_EQ(text_of(expected), text_of(actual))

class Revocation_test : public Revocation_test_base {
protected:
    static void SetUpTestSuite()
    {
        // Every server is on loopback: no proxy stands in between.
        for (const char* variable :
             {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
            ::unsetenv(variable);
        ::setenv("no_proxy", "*", 1);
    }

    Revocation_test()
        : _server([this](const std::string&, const std::string& path) {
              // Held while the test says so: downloads then overlap for certain.
              _held.wait(true);
              std::lock_guard lock(_mutex);
              const auto found = _served.find(path);
              return found == _served.end() ? answer(404, "") : answer(200, string_of(found->second));
          })
    {}

    void serve(const std::string& path, const std::vector<uint8_t>& bytes)
    {
        std::lock_guard lock(_mutex);
        _served[path] = bytes;
    }
    std::string http_url(const std::string& name) const { return _server.url("/crl/" + name); }
    void put_in_cache(const std::string& url, const std::vector<uint8_t>& bytes)
    {
        write_file(cache_file_name(url), string_of(bytes));
    }
    std::string cached(const std::string& url) const { return read_file(cache_file_name(url)); }
    // The installation's copy, owned by root (who runs the tests) unless given another owner.
    std::filesystem::path put_in_seed(const std::string& url, const std::vector<uint8_t>& bytes, uid_t owner = 0)
    {
        const std::filesystem::path path = _seed / (escape_cache_name(url) + ".crl");
        write_file(path, string_of(bytes));
        if (::chown(path.c_str(), owner, owner) != 0)
            ADD_FAILURE() << "chown " << path << " to " << owner << " (the test runs as root)";
        return path;
    }

    Certificate signer(std::vector<std::string> urls, long serial = 0x7001)
    {
        Certificate_recipe recipe;
        recipe.serial = serial;
        for (const std::string& url : urls)
            recipe.points.push_back(uri_point(url));
        return make_certificate(recipe, new_key(), _ca, _ca_key);
    }

    Revocation_outcome check(const Certificate& certificate, std::optional<Certificate> issuer, bool download = true)
    {
        return check_revocations({Revocation_subject{certificate, std::move(issuer)}}, Revocation_settings{download},
                                 _cancel)
            .at(0);
    }
    Revocation_outcome check(const Certificate& certificate, bool download = true)
    {
        return check(certificate, _ca, download);
    }

    std::vector<std::string> requests() const { return _server.requests(); }

    Certificate _ca = fixture_certificate("accredited-ca");
    Key _ca_key = fixture_key("accredited-ca");
    std::vector<uint8_t> _current = fixture_crl("accredited-ca");
    std::vector<uint8_t> _expired = fixture_crl("accredited-ca-expired");
    std::atomic<bool> _cancel{false};
    std::atomic<bool> _held{false};
    std::mutex _mutex;
    std::map<std::string, std::vector<uint8_t>> _served;
    Loopback_server _server;
};

TEST_F(Revocation_test, certificates_outside_their_dates_are_judged_without_any_network)
{
    serve("/crl/accredited-ca.crl", _current);
    const std::string url = http_url("accredited-ca.crl");
    const std::time_t today = today_midnight();
    auto dated = [&](std::time_t not_before, std::time_t not_after) {
        Certificate_recipe recipe;
        recipe.not_before = not_before;
        recipe.not_after = not_after;
        recipe.points = {uri_point(url)};
        return make_certificate(recipe, new_key(), _ca, _ca_key);
    };
    const std::vector<Revocation_subject> signers = {
        {dated(today - 30 * Day, today - 1), _ca}, // expired yesterday
        {dated(today + Day, today + 30 * Day), _ca}, // valid from tomorrow
        {Certificate(), _ca}, // no certificate at all
        {dated(today - 30 * Day, today - 2 * Day), std::nullopt},
    };
    const std::vector<Revocation_outcome> outcomes = check_revocations(signers, Revocation_settings{true}, _cancel);

    ASSERT_EQ(4u, outcomes.size());
    EXPECT_OUTCOME(outcome(Revocation_status::Expired, 0), outcomes[0]);
    EXPECT_OUTCOME(outcome(Revocation_status::Not_yet_valid, 0), outcomes[1]);
    EXPECT_OUTCOME(outcome(Revocation_status::Not_determinable, 0), outcomes[2]);
    EXPECT_OUTCOME(outcome(Revocation_status::Expired, 0), outcomes[3]);
    EXPECT_EQ(No_requests, requests());
    EXPECT_EQ(0u, traced_since_start(Any_level, {url}));

    // The date test has the precision of a day: a certificate that ended at midnight is valid
    // all today, and its list is fetched.
    EXPECT_OUTCOME(outcome(Revocation_status::Valid, 1), check(dated(today - 30 * Day, today)));
    EXPECT_EQ(1u, requests().size());
}

// An expired certificate judged at an earlier time stamp, through its distribution point: the list
// served today was issued after the expiry, and its silence counts only when it says it keeps
// expired certificates; a revocation it names counts always.
TEST_F(Revocation_test, a_list_downloaded_after_the_expiry_speaks_for_an_expired_certificate_only_when_it_keeps_it)
{
    const std::string url = http_url("accredited-ca.crl");
    const std::time_t today = today_midnight();
    const std::time_t expiry = today - 300 * Day, proof = today - 400 * Day;
    Certificate_recipe recipe{.serial = 0x7101, .not_before = today - 700 * Day, .not_after = expiry};
    recipe.points = {uri_point(url)};
    const Certificate expired = make_certificate(recipe, new_key(), _ca, _ca_key);
    const auto judged = [&](const std::vector<uint8_t>& list) {
        std::remove(cache_file_name(url).c_str());
        serve("/crl/accredited-ca.crl", list);
        return check_revocations({Revocation_subject{expired, _ca, proof}}, Revocation_settings{true}, _cancel).at(0);
    };

    const Revocation_outcome silent = judged(make_crl({}, _ca, _ca_key));
    EXPECT_OUTCOME(outcome(Revocation_status::Not_determinable, 0), silent);
    EXPECT_TRUE(silent.silent_after_expiry);
    EXPECT_EQ(1u, traced_since_start(Level_info, {"CRL, emessa dopo la scadenza"}));

    const Revocation_outcome kept = judged(make_crl({.expired_certs_on_crl = expiry - Day}, _ca, _ca_key));
    EXPECT_OUTCOME(outcome(Revocation_status::Valid, 1), kept);
    EXPECT_EQ(Revocation_source::Crl, kept.source);

    const Revocation_outcome revoked = judged(make_crl({.revoked = {0x7101}, .revoked_at = proof - Day}, _ca, _ca_key));
    EXPECT_OUTCOME(outcome(Revocation_status::Revoked, 1), revoked);
    EXPECT_FALSE(revoked.silent_after_expiry);

    // A list the cache kept from before the expiry, still reaching the time stamp, counts as ever.
    std::remove(cache_file_name(url).c_str());
    put_in_cache(url, make_crl({.this_update = proof + Day, .next_update = today + 30 * Day}, _ca, _ca_key));
    EXPECT_OUTCOME(
        outcome(Revocation_status::Valid, 1),
        check_revocations({Revocation_subject{expired, _ca, proof}}, Revocation_settings{false}, _cancel).at(0));
}

TEST_F(Revocation_test, a_current_cached_list_is_used_without_any_download)
{
    const std::string url = http_url("accredited-ca.crl");
    put_in_cache(url, _current);

    for (const bool download : {true, false}) {
        EXPECT_OUTCOME(outcome(Revocation_status::Valid, 1), check(signer({url}), download));
        EXPECT_OUTCOME(outcome(Revocation_status::Revoked, 1), check(signer({url}, Revoked_serial), download));
    }
    EXPECT_EQ(No_requests, requests());

    // Each certificate was checked through its HTTP point, the list's address traced.
    EXPECT_EQ(4u, traced_since_start(Level_trace, {"revoca"}));
    EXPECT_EQ(4u, traced_since_start(Level_info, {"HTTP"}));
    EXPECT_EQ(4u, traced_since_start(Level_trace, {"result", url}));
    // Only the source that decided is told, once per certificate.
    EXPECT_EQ(std::vector<std::string>(4, "I: Revoca verificata tramite CRL: Firmatario di prova."), _reports.lines());
}

TEST_F(Revocation_test, a_missing_list_is_downloaded_into_the_cache_and_then_reused)
{
    const std::string url = http_url("accredited-ca.crl");
    serve("/crl/accredited-ca.crl", _current);

    EXPECT_OUTCOME(outcome(Revocation_status::Revoked, 1), check(signer({url}, Revoked_serial)));
    EXPECT_EQ((std::vector<std::string>{"GET /crl/accredited-ca.crl"}), requests());
    EXPECT_EQ(string_of(_current), cached(url));

    EXPECT_OUTCOME(outcome(Revocation_status::Valid, 1), check(signer({url})));
    EXPECT_EQ(1u, requests().size());
}

TEST_F(Revocation_test, an_expired_cached_list_is_downloaded_again_once)
{
    const std::string url = http_url("accredited-ca.crl");
    put_in_cache(url, _expired);
    serve("/crl/accredited-ca.crl", _expired);

    // The server still has the expired list: one download, then no usable list.
    EXPECT_OUTCOME(outcome(Revocation_status::Not_determinable, 0), check(signer({url})));
    EXPECT_EQ(1u, requests().size());
    EXPECT_EQ(2u, traced_since_start(Level_info, {"scaduta"}));

    // Downloads off: the expired list stays and the check cannot be made.
    EXPECT_OUTCOME(outcome(Revocation_status::Update_disabled, 0), check(signer({url}), false));
    EXPECT_EQ(1u, requests().size());

    serve("/crl/accredited-ca.crl", _current);
    EXPECT_OUTCOME(outcome(Revocation_status::Valid, 1), check(signer({url})));
    EXPECT_EQ(2u, requests().size());
    EXPECT_EQ(string_of(_current), cached(url));
}

TEST_F(Revocation_test, signers_sharing_a_certificate_issuer_and_time_are_checked_once)
{
    const std::string url = http_url("accredited-ca.crl");
    const Certificate legal = signer({url});
    const Certificate revoked = signer({url}, Revoked_serial);
    // The same bytes decoded again: equal certificates count as one, whatever object holds them.
    const Certificate legal_again(std::span<const uint8_t>(legal.der()));
    const auto job = [&](std::vector<Revocation_subject> subjects) {
        return check_revocations(subjects, Revocation_settings{true}, _cancel);
    };

    // No list anywhere: one failed download for the certificate, not one per signer.
    std::vector<Revocation_outcome> outcomes =
        job({{legal, _ca}, {legal, _ca}, {legal_again, _ca}, {legal, _ca}, {legal_again, _ca}});
    EXPECT_EQ(5u, outcomes.size());
    for (const Revocation_outcome& each : outcomes)
        EXPECT_OUTCOME(outcome(Revocation_status::Not_determinable, 0), each);
    EXPECT_EQ((std::vector<std::string>{"GET /crl/accredited-ca.crl"}), requests());

    // Each signer keeps the outcome of its own certificate, issuer and time.
    serve("/crl/accredited-ca.crl", _current);
    outcomes = job({{legal, _ca},
                    {revoked, _ca},
                    {legal_again, _ca},
                    {revoked, _ca},
                    {revoked, _ca, May_2025}, // before the certificate's first day
                    {legal, std::nullopt},
                    {revoked, _ca},
                    {legal, std::nullopt}});
    const std::vector<Revocation_outcome> expected = {
        outcome(Revocation_status::Valid, 1),         outcome(Revocation_status::Revoked, 1),
        outcome(Revocation_status::Valid, 1),         outcome(Revocation_status::Revoked, 1),
        outcome(Revocation_status::Not_yet_valid, 0), outcome(Revocation_status::Update_disabled, 2),
        outcome(Revocation_status::Revoked, 1),       outcome(Revocation_status::Update_disabled, 2)};
    ASSERT_EQ(expected.size(), outcomes.size());
    for (std::size_t n = 0; n < expected.size(); ++n)
        EXPECT_OUTCOME(expected[n], outcomes[n]) << "signer " << n;
    EXPECT_EQ(2u, requests().size());
    // Checked: the first job's certificate, then legal, revoked and legal without an issuer.
    EXPECT_EQ(4u, traced_since_start(Level_trace, {"revoca"}));
}

TEST_F(Revocation_test, an_older_list_planted_by_another_user_in_the_shared_folder_is_never_read)
{
    // A list that the authority really signed and that is still current, but issued before the
    // revocation: planted, it would make a revoked signer valid.
    const std::string url = http_url("accredited-ca.crl");
    const std::vector<uint8_t> older =
        make_crl({.this_update = May_2025, .next_update = std::time(nullptr) + 30 * Day}, _ca, _ca_key);
    const std::filesystem::path planted = put_in_seed(url, older, 65534);
    serve("/crl/accredited-ca.crl", _current);

    EXPECT_OUTCOME(outcome(Revocation_status::Revoked, 1), check(signer({url}, Revoked_serial)));
    EXPECT_EQ(1u, requests().size());
    EXPECT_EQ(string_of(_current), cached(url));
    EXPECT_EQ(string_of(older), read_file(planted));

    // With downloads off it is not taken either; nor through a link to a file of root's, nor as a
    // FIFO, which is not waited on.
    std::filesystem::remove(cache_file_name(url));
    EXPECT_OUTCOME(outcome(Revocation_status::Update_disabled, 0), check(signer({url}, Revoked_serial), false));
    std::filesystem::remove(planted);
    const std::filesystem::path elsewhere = private_environment() / "older.crl";
    write_file(elsewhere, string_of(older));
    std::filesystem::create_symlink(elsewhere, planted);
    EXPECT_OUTCOME(outcome(Revocation_status::Update_disabled, 0), check(signer({url}, Revoked_serial), false));
    std::filesystem::remove(planted);
    ASSERT_EQ(0, ::mkfifo(planted.c_str(), 0666));
    EXPECT_OUTCOME(outcome(Revocation_status::Update_disabled, 0), check(signer({url}, Revoked_serial), false));
    EXPECT_EQ(1u, requests().size());
}

TEST_F(Revocation_test, an_expired_list_of_another_user_is_replaced_in_the_users_own_cache)
{
    const std::string url = http_url("accredited-ca.crl");
    serve("/crl/accredited-ca.crl", _current);
    // Another user's expired list in the shared folder: the user downloads into their own cache,
    // and the shared folder is never written (another user's file there could not be replaced).
    for (const uid_t owner : {uid_t{65534}, uid_t{0}}) {
        std::filesystem::remove(cache_file_name(url));
        const std::filesystem::path seeded = put_in_seed(url, _expired, owner);
        EXPECT_OUTCOME(outcome(Revocation_status::Valid, 1), check(signer({url}))) << owner;
        EXPECT_EQ(string_of(_current), cached(url)) << owner;
        EXPECT_EQ(string_of(_expired), read_file(seeded)) << owner;
        struct stat info {};
        ASSERT_EQ(0, ::stat(seeded.c_str(), &info));
        EXPECT_EQ(owner, info.st_uid);
        EXPECT_EQ(std::filesystem::perms(0600),
                  std::filesystem::status(cache_file_name(url)).permissions() & std::filesystem::perms::all);
    }
    EXPECT_EQ(2u, requests().size());
    EXPECT_EQ(0u, traced_since_start(Level_trace, {"Errore", "salvataggio"}));
}

TEST_F(Revocation_test, of_the_users_list_and_the_installations_the_newest_is_used)
{
    const std::string url = http_url("accredited-ca.crl");
    const std::vector<uint8_t> older =
        make_crl({.this_update = May_2025, .next_update = std::time(nullptr) + 30 * Day}, _ca, _ca_key);
    for (const bool seed_is_older : {true, false}) {
        put_in_seed(url, seed_is_older ? older : _current);
        put_in_cache(url, seed_is_older ? _current : older);
        EXPECT_OUTCOME(outcome(Revocation_status::Revoked, 1), check(signer({url}, Revoked_serial), false))
            << seed_is_older;
    }
    // The higher CRL number is the newer list, whatever the dates say.
    const std::time_t now = std::time(nullptr);
    put_in_seed(url, make_crl({.this_update = now - Day, .number = 1}, _ca, _ca_key));
    put_in_cache(url, make_crl({.this_update = now - 5 * Day, .revoked = {Revoked_serial}, .number = 2}, _ca, _ca_key));
    EXPECT_OUTCOME(outcome(Revocation_status::Revoked, 1), check(signer({url}, Revoked_serial), false));
    // An unusable newer list does not hide a usable one.
    put_in_cache(url, make_crl({.this_update = now - Day, .revoked = {Revoked_serial}, .number = 9}, _ca, new_key()));
    EXPECT_OUTCOME(outcome(Revocation_status::Valid, 1), check(signer({url}, Revoked_serial), false));
    EXPECT_EQ(No_requests, requests());
}

TEST_F(Revocation_test, a_huge_file_is_not_read_and_a_list_is_read_once_per_verification)
{
    // The genuine list as PEM, then zeros: without a size limit it would be read whole and used.
    const std::string url = http_url("accredited-ca.crl");
    const std::filesystem::path seeded = put_in_seed(url, {});
    write_file(seeded, pem_of_crl(_current));
    std::filesystem::resize_file(seeded, 3'900'000'000ull); // sparse: costs no disk
    std::uint64_t start = bytes_read();
    EXPECT_OUTCOME(outcome(Revocation_status::Update_disabled, 0), check(signer({url}, Revoked_serial), false));
    EXPECT_LT(bytes_read() - start, Mebibyte);
    std::filesystem::resize_file(seeded, 64 * Mebibyte + 1);
    EXPECT_OUTCOME(outcome(Revocation_status::Update_disabled, 0), check(signer({url}, Revoked_serial), false));

    // Within the limit the list is used, and read once for all the signers of a verification.
    std::filesystem::resize_file(seeded, 40 * Mebibyte);
    start = bytes_read();
    const std::vector<Revocation_outcome> outcomes =
        check_revocations({{signer({url}, Revoked_serial), _ca}, {signer({url}), _ca}, {signer({url}, 0x7002), _ca}},
                          Revocation_settings{false}, _cancel);
    const std::uint64_t read = bytes_read() - start;
    ASSERT_EQ(3u, outcomes.size());
    EXPECT_OUTCOME(outcome(Revocation_status::Revoked, 1), outcomes[0]);
    EXPECT_OUTCOME(outcome(Revocation_status::Valid, 1), outcomes[1]);
    EXPECT_OUTCOME(outcome(Revocation_status::Valid, 1), outcomes[2]);
    EXPECT_GE(read, 40 * Mebibyte);
    EXPECT_LT(read, 2 * 40 * Mebibyte);
}

TEST_F(Revocation_test, a_list_of_another_authority_or_key_is_never_used)
{
    const std::string url = http_url("accredited-ca.crl");
    // Same name as the authority, another key: fails the signature check, downloaded once.
    const std::vector<uint8_t> forged = make_crl({}, _ca, new_key());
    serve("/crl/accredited-ca.crl", forged);
    EXPECT_OUTCOME(outcome(Revocation_status::Not_determinable, 0), check(signer({url}, Revoked_serial)));
    EXPECT_EQ(1u, requests().size());

    // Another authority's sound list cannot speak for this certificate, issuer known or not.
    const std::vector<uint8_t> other = fixture_crl("card-root");
    serve("/crl/accredited-ca.crl", other);
    EXPECT_OUTCOME(outcome(Revocation_status::Not_determinable, 0), check(signer({url}, Revoked_serial)));
    EXPECT_EQ(2u, requests().size());
    put_in_cache(url, other);
    put_in_seed(url, other);
    EXPECT_OUTCOME(outcome(Revocation_status::Update_disabled, 0), check(signer({url}), false));
    EXPECT_EQ(2u, requests().size());

    // The right list replaces it.
    serve("/crl/accredited-ca.crl", _current);
    EXPECT_OUTCOME(outcome(Revocation_status::Revoked, 1), check(signer({url}, Revoked_serial)));
    EXPECT_EQ(3u, requests().size());
}

TEST_F(Revocation_test, without_an_issuer_that_chain_building_accepts_no_list_is_used)
{
    const std::string url = http_url("accredited-ca.crl");
    put_in_cache(url, _current);
    serve("/crl/accredited-ca.crl", _current);
    const Revocation_outcome missing_issuer = outcome(Revocation_status::Update_disabled, 2);

    // A forged certificate with a genuine issuer name and serial, signed with another key: the
    // genuine list does not name it, but it must not be declared valid.
    const Certificate forged =
        make_certificate({.serial = 0x7001, .points = {uri_point(url)}}, new_key(), _ca, new_key());
    EXPECT_OUTCOME(missing_issuer, check(forged, std::nullopt));
    EXPECT_OUTCOME(missing_issuer, check(forged, _ca));
    EXPECT_OUTCOME(missing_issuer, check(signer({url}, Revoked_serial), std::nullopt));

    // Issued by an end entity, and by an authority without keyCertSign: each has signed a sound
    // list of its own, which is neither fetched nor read.
    const Key end_entity_key = new_key();
    const Certificate end_entity =
        make_certificate({.serial = 0x7100, .common_name = "Utente finale"}, end_entity_key, _ca, _ca_key);
    const Key limited_key = new_key();
    const Certificate limited = make_certificate({.serial = 0x7200,
                                                  .common_name = "Autorita senza keyCertSign",
                                                  .authority = true,
                                                  .key_usage = "critical,digitalSignature,cRLSign"},
                                                 limited_key, _ca, _ca_key);
    for (const auto& [issuer, key] : {std::pair{end_entity, end_entity_key}, std::pair{limited, limited_key}}) {
        const std::string name = issuer.display_name();
        const std::string own_url = http_url(escape_cache_name(name) + ".crl");
        serve("/crl/" + escape_cache_name(name) + ".crl", make_crl({}, issuer, key));
        const Certificate issued =
            make_certificate({.serial = 0x7300, .points = {uri_point(own_url)}}, new_key(), issuer, key);
        EXPECT_OUTCOME(missing_issuer, check(issued, std::nullopt)) << name;
        EXPECT_OUTCOME(missing_issuer, check(issued, issuer)) << name;
        EXPECT_OUTCOME(missing_issuer, check(issued, issuer, false)) << name;
    }
    EXPECT_EQ(No_requests, requests());
    EXPECT_EQ(0u, traced_since_start(Level_info, {"HTTP"}));
    EXPECT_EQ(9u, traced_since_start(Level_info, {"emittente"}));
}

TEST_F(Revocation_test, a_self_signed_signer_is_the_issuer_of_its_own_list)
{
    const std::string url = http_url("self.crl");
    const Key key = new_key();
    Certificate_recipe recipe;
    recipe.serial = 0x5001;
    recipe.common_name = "Firmatario autocertificato";
    recipe.points = {uri_point(url)};
    recipe.authority = true;
    const Certificate self_signed = make_certificate(recipe, key, {}, {});

    serve("/crl/self.crl", make_crl({}, self_signed, key));
    EXPECT_OUTCOME(outcome(Revocation_status::Valid, 1), check(self_signed, std::nullopt));

    std::filesystem::remove(cache_file_name(url));
    serve("/crl/self.crl", make_crl({.revoked = {0x5001}}, self_signed, key));
    EXPECT_OUTCOME(outcome(Revocation_status::Revoked, 1), check(self_signed, std::nullopt));

    std::filesystem::remove(cache_file_name(url));
    serve("/crl/self.crl", make_crl({}, self_signed, new_key()));
    EXPECT_OUTCOME(outcome(Revocation_status::Not_determinable, 0), check(self_signed, std::nullopt));
    EXPECT_EQ(3u, requests().size());

    // A self-signed end entity is no authority: not even its own list is taken.
    recipe.authority = false;
    const Certificate end_entity = make_certificate(recipe, key, {}, {});
    serve("/crl/self.crl", make_crl({}, end_entity, key));
    EXPECT_OUTCOME(outcome(Revocation_status::Update_disabled, 2), check(end_entity, std::nullopt));
    EXPECT_EQ(3u, requests().size());
}

TEST_F(Revocation_test, two_http_points_both_fetch_the_first)
{
    serve("/crl/second.crl", _current);
    const Certificate certificate = signer({http_url("first.crl"), http_url("second.crl")});
    EXPECT_OUTCOME(outcome(Revocation_status::Not_determinable, 0), check(certificate));
    EXPECT_EQ((std::vector<std::string>{"GET /crl/first.crl", "GET /crl/first.crl"}), requests());
    EXPECT_EQ(2u, traced_since_start(Level_info, {"HTTP"}));
}

TEST_F(Revocation_test, no_distribution_point_leaves_the_revocation_undetectable)
{
    EXPECT_OUTCOME(outcome(Revocation_status::Update_disabled, 0), check(signer({})));
    // A warning: the revocation stays unknown, which the certificate's lines give as a warning too.
    EXPECT_EQ((std::vector<std::string>{"W: La CRL non ha un punto di distribuzione HTTP(S)."}), _reports.lines());
}

// Nowhere to ask is the certificate's doing, downloads allowed or not; a certificate that names
// its list and finds none with downloads off owes it to the setting.
TEST_F(Revocation_test, a_certificate_that_names_no_source_is_told_from_a_disabled_update)
{
    for (const bool download : {true, false}) {
        const Revocation_outcome sourceless = check(signer({}), download);
        EXPECT_EQ(Revocation_status::Update_disabled, sourceless.status);
        EXPECT_TRUE(sourceless.no_source) << download;
    }
    const Revocation_outcome disabled = check(signer({http_url("accredited-ca.crl")}), false);
    EXPECT_EQ(Revocation_status::Update_disabled, disabled.status);
    EXPECT_FALSE(disabled.no_source);
    EXPECT_EQ(No_requests, requests());
}

TEST_F(Revocation_test, without_a_cache_folder_or_after_a_cancel_no_list_is_obtained)
{
    const std::string url = http_url("accredited-ca.crl");
    serve("/crl/accredited-ca.crl", _current);
    const std::string cache_home = std::getenv("XDG_CACHE_HOME");
    ::setenv("XDG_CACHE_HOME", "/dev/null/cache", 1);
    EXPECT_OUTCOME(outcome(Revocation_status::Not_determinable, 0), check(signer({url})));
    EXPECT_OUTCOME(outcome(Revocation_status::Update_disabled, 0), check(signer({url}), false));
    EXPECT_TRUE(traced_since_start(Level_trace, {"Errore", "salvataggio"}));
    EXPECT_EQ(No_requests, requests());
    // The seed is still read.
    put_in_seed(url, _current);
    EXPECT_OUTCOME(outcome(Revocation_status::Revoked, 1), check(signer({url}, Revoked_serial), false));
    std::filesystem::remove(_seed / (escape_cache_name(url) + ".crl"));
    ::setenv("XDG_CACHE_HOME", cache_home.c_str(), 1);

    _cancel = true;
    EXPECT_OUTCOME(outcome(Revocation_status::Not_determinable, 0), check(signer({url})));
    EXPECT_FALSE(std::filesystem::exists(cache_file_name(url)));
}

TEST_F(Revocation_test, analyses_at_once_that_need_the_same_list_download_it_once)
{
    // Six analyses (the files of a batch) need the same list at the same time: one downloads, the
    // others wait for it and read what it saved.
    const std::string url = http_url("accredited-ca.crl");
    serve("/crl/accredited-ca.crl", _current);
    const Certificate revoked = signer({url}, Revoked_serial);
    const Certificate valid = signer({url});
    const auto check_at_once = [&](std::vector<Revocation_outcome>& outcomes) {
        const std::size_t waiting_before = traced_since_start(Level_trace, {"Attesa", url});
        _held = true;
        std::vector<std::thread> threads;
        for (std::size_t i = 0; i < outcomes.size(); ++i)
            threads.emplace_back([&, i] { outcomes[i] = check(i % 2 ? revoked : valid); });
        // Released once all but the downloading one wait for it.
        const bool all_waiting = eventually([&] {
            return traced_since_start(Level_trace, {"Attesa", url}) == waiting_before + outcomes.size() - 1;
        });
        _held = false;
        _held.notify_all();
        for (std::thread& thread : threads)
            thread.join();
        return all_waiting;
    };
    std::vector<Revocation_outcome> outcomes(6);
    ASSERT_TRUE(check_at_once(outcomes));
    EXPECT_EQ((std::vector<std::string>{"GET /crl/accredited-ca.crl"}), requests());
    EXPECT_EQ(string_of(_current), cached(url));
    for (std::size_t i = 0; i < outcomes.size(); ++i)
        EXPECT_OUTCOME(outcome(i % 2 ? Revocation_status::Revoked : Revocation_status::Valid, 1), outcomes[i]);

    // A server that has only an expired list: asked once, not once per waiting analysis, and none
    // of them takes the expired list.
    put_in_cache(url, _expired);
    serve("/crl/accredited-ca.crl", _expired);
    ASSERT_TRUE(check_at_once(outcomes));
    EXPECT_EQ(2u, requests().size());
    for (const Revocation_outcome& checked : outcomes)
        EXPECT_OUTCOME(outcome(Revocation_status::Not_determinable, 0), checked);
}

class Ldap_revocation_test : public Revocation_test {
protected:
    void SetUp() override
    {
        Revocation_test::SetUp();
        // Made after the private environment is in place, so the database lives in it.
        _folder = std::make_unique<Test_folder>();
        const std::vector<uint8_t> other = fixture_crl("card-root");
        _directory = std::make_unique<Directory_server>(
            _folder->path(), std::vector<Directory_entry>{{"CA", {_current}},
                                                          {"Scaduta", {_expired}},
                                                          {"Vuota", {}},
                                                          {"Altra autorita", {other}},
                                                          {"Falsa", {make_crl({}, _ca, new_key())}}});
    }
    void TearDown() override
    {
        _directory.reset();
        _folder.reset();
        Revocation_test::TearDown();
    }
    std::string ldap_url(const std::string& name) const { return _directory->url(name); }

    std::unique_ptr<Test_folder> _folder;
    std::unique_ptr<Directory_server> _directory;
};

TEST_F(Ldap_revocation_test, a_directory_list_is_read_and_checked)
{
    EXPECT_OUTCOME(outcome(Revocation_status::Valid, 1), check(signer({ldap_url("CA")})));
    EXPECT_OUTCOME(outcome(Revocation_status::Revoked, 1), check(signer({ldap_url("CA")}, Revoked_serial)));
    // Without the issuer the directory is not even read.
    EXPECT_OUTCOME(outcome(Revocation_status::Update_disabled, 2),
                   check(signer({ldap_url("CA")}, Revoked_serial), std::nullopt));
    EXPECT_EQ(2u, traced_since_start(Level_info, {"LDAP"}));

    // Expired, forged, or another authority's: no result.
    EXPECT_OUTCOME(outcome(Revocation_status::Not_determinable, 0), check(signer({ldap_url("Scaduta")})));
    EXPECT_TRUE(traced_since_start(Level_info, {"scaduta"}));
    EXPECT_OUTCOME(outcome(Revocation_status::Not_determinable, 0), check(signer({ldap_url("Falsa")}, Revoked_serial)));
    EXPECT_OUTCOME(outcome(Revocation_status::Not_determinable, 0),
                   check(signer({ldap_url("Altra autorita")}, Revoked_serial)));

    EXPECT_OUTCOME(outcome(Revocation_status::Not_determinable, 0), check(signer({ldap_url("Vuota")})));
    EXPECT_TRUE(traced_since_start(Level_info, {"CRL", "16"}));
    EXPECT_OUTCOME(outcome(Revocation_status::Not_determinable, 0), check(signer({ldap_url("Nessuna")})));
    EXPECT_TRUE(traced_since_start(Level_info, {"LDAP", "32"}));
    const std::string closed = "ldap://127.0.0.1:" + std::to_string(unused_loopback_port()) + "/cn=CA";
    EXPECT_OUTCOME(outcome(Revocation_status::Not_determinable, 0), check(signer({closed})));
    EXPECT_TRUE(traced_since_start(Level_info, {"LDAP", "-1"}));
    for (const std::string& odd : {std::string("ldapi://%2Frun%2Fslapd%2Fldapi/cn=CA"), std::string("ldap:///cn=CA"),
                                   std::string("file:///etc/passwd"), std::string("ldap://[::1")}) {
        EXPECT_OUTCOME(outcome(Revocation_status::Not_determinable, 0), check(signer({odd}))) << odd;
    }
    EXPECT_EQ(No_requests, requests());
}

TEST_F(Ldap_revocation_test, an_http_point_after_an_ldap_point_decides)
{
    const std::string http = http_url("accredited-ca.crl");
    // The directory's answer is replaced by the HTTP failure (revocation_issuer keeps saying that
    // a list gave a result)...
    EXPECT_OUTCOME(outcome(Revocation_status::Not_determinable, 1), check(signer({ldap_url("CA"), http})));
    EXPECT_EQ(1u, requests().size());
    const std::vector<Trace_record> records = trace_records(trace_start());
    const auto first = [&](const std::string& kind) {
        return std::find_if(records.begin(), records.end(),
                            [&](const Trace_record& record) {
                                return record.level == Level_info && record.message.find(kind) != std::string::npos;
                            }) -
               records.begin();
    };
    EXPECT_LT(first("LDAP"), first("HTTP"));

    // ...and by its success, also after a directory that cannot be reached.
    serve("/crl/accredited-ca.crl", _current);
    EXPECT_OUTCOME(outcome(Revocation_status::Valid, 1), check(signer({ldap_url("Vuota"), http})));
    const std::string closed = "ldap://127.0.0.1:" + std::to_string(unused_loopback_port()) + "/cn=CA";
    EXPECT_OUTCOME(outcome(Revocation_status::Valid, 1), check(signer({closed, http})));
    EXPECT_EQ(2u, requests().size());

    // A revocation read from the directory is final: an older HTTP list must not undo it.
    put_in_cache(http, make_crl({}, _ca, _ca_key));
    EXPECT_OUTCOME(outcome(Revocation_status::Revoked, 1), check(signer({ldap_url("CA"), http}, Revoked_serial)));
    EXPECT_EQ(2u, requests().size());
}

TEST_F(Ldap_revocation_test, with_downloads_off_no_directory_is_read)
{
    const std::string http = http_url("accredited-ca.crl");
    EXPECT_OUTCOME(outcome(Revocation_status::Update_disabled, 0), check(signer({ldap_url("CA")}), false));
    EXPECT_TRUE(traced_since_start(Level_info, {"Internet"}));
    EXPECT_OUTCOME(outcome(Revocation_status::Update_disabled, 0), check(signer({ldap_url("CA"), http}), false));

    put_in_cache(http, _current);
    EXPECT_OUTCOME(outcome(Revocation_status::Revoked, 1),
                   check(signer({ldap_url("CA"), http}, Revoked_serial), false));
    EXPECT_EQ(No_requests, requests());

    _cancel = true;
    EXPECT_OUTCOME(outcome(Revocation_status::Not_determinable, 0), check(signer({ldap_url("CA")})));
    EXPECT_TRUE(traced_since_start(Level_info, {"LDAP", "-8"}));
}

TEST_F(Ldap_revocation_test, a_directory_that_never_answers_is_given_up_within_the_time_limits)
{
    // Listening, so the connection is made, but nothing ever reads or answers.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(0, ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address));
    ASSERT_EQ(0, ::listen(listener, 4));
    ASSERT_EQ(0, ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length));
    const std::string url = "ldap://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/cn=CA%2Co=Velin%20Test";

    Ldap_crl_store store;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(store.open(url, Ldap_time_limits{std::chrono::milliseconds(500), std::chrono::milliseconds(500)}));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_NE(0, store.result());
    EXPECT_FALSE(store.message().empty());
    ::close(listener);

    // The same reader with the directory that answers.
    Ldap_crl_store answered;
    ASSERT_TRUE(answered.open(ldap_url("CA"))) << answered.message();
    ASSERT_EQ(1u, answered.lists().size());
    EXPECT_EQ(_current, answered.lists().front().der());
}

} // namespace
} // namespace velin::test
