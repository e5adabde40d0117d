// Revocation lists fetched on the calling thread: saved, refused, cancelled, timed out.
#include "loopback_server.h"
#include "net/file_download.h"
#include "net/http_fetch.h"
#include "net/http_status.h"
#include "trace_records.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <mutex>
#include <thread>

namespace {

using namespace std::chrono_literals;
using velin::Level_error;
using velin::Level_info;
using velin::Level_trace;
using velin::test::count_traced;
using velin::test::Http_answer;
using velin::test::Loopback_server;
using velin::test::trace_mark;

constexpr char Crl_literal[] = "0\x82\x01\x10 lista delle revoche \x00\xff fine";
const std::string Crl_bytes(Crl_literal, sizeof Crl_literal - 1); // the zero byte inside is data
constexpr std::size_t Huge_size = 64u * 1024u * 1024u;

Http_answer crl_site(const std::string&, const std::string& path)
{
    if (path == "/lista.crl")
        return velin::test::answer(200, Crl_bytes);
    if (path == "/vuota.crl")
        return velin::test::answer(200, "");
    if (path == "/spostata.crl")
        return velin::test::answer(302, "", {{"Location", "/lista.crl"}});
    if (path == "/fuori.crl")
        return velin::test::answer(302, "", {{"Location", "file:///etc/hostname"}});
    if (path == "/troncata.crl") {
        auto cut = velin::test::answer(200, Crl_bytes);
        cut.declared_length = Crl_bytes.size() + 100;
        return cut;
    }
    if (path == "/giro.crl")
        return velin::test::answer(302, "", {{"Location", "/giro.crl"}});
    if (path == "/errore.crl")
        return velin::test::answer(500, "guasto");
    if (path == "/muta.crl")
        return velin::test::silent_answer();
    if (path == "/enorme.crl")
        return velin::test::generated_answer(Huge_size);
    if (path == "/infinita.crl")
        return velin::test::endless_answer();
    return velin::test::answer(404, "<html>non c'è</html>");
}

// Files the folder holds besides the expected ones: a failed save must leave nothing behind.
std::vector<std::string> folder_names(const std::filesystem::path& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(Crl_download, saves_the_list_replacing_the_cached_file)
{
    Loopback_server server(crl_site);
    velin::test::Test_folder cache;
    const auto path = cache / "lista.crl";
    velin::test::write_file(path, "vecchia lista, più lunga di quella nuova, da sostituire per intero");
    std::atomic<bool> cancel{false};
    const size_t mark = trace_mark();

    ASSERT_TRUE(velin::download_crl_file(server.url("/lista.crl"), path.string(), cancel));
    EXPECT_EQ(velin::test::read_file(path), Crl_bytes);
    EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::all, std::filesystem::perms(0600));
    EXPECT_EQ(folder_names(cache.path()), std::vector<std::string>{"lista.crl"});
    // The transfer is traced step by step: the address, the request, the connection, the saving.
    EXPECT_EQ(count_traced(Level_trace, {server.url("/lista.crl")}, mark), 1u);
    EXPECT_EQ(count_traced(Level_trace, {"HTTP"}, mark), 1u);
    EXPECT_EQ(count_traced(Level_trace, {"connessione"}, mark), 2u);
    EXPECT_EQ(count_traced(Level_trace, {"salvataggio"}, mark), 1u);
    EXPECT_EQ(count_traced(Level_trace, {"scaricato"}, mark), 1u);

    // A redirect to another path of the server is followed.
    const auto moved = cache / "spostata.crl";
    EXPECT_TRUE(velin::download_crl_file(server.url("/spostata.crl"), moved.string(), cancel));
    EXPECT_EQ(velin::test::read_file(moved), Crl_bytes);
}

TEST(Crl_download, an_answer_without_a_list_writes_nothing)
{
    Loopback_server server(crl_site);
    velin::test::Test_folder cache;
    std::atomic<bool> cancel{false};

    size_t mark = trace_mark();
    EXPECT_FALSE(velin::download_crl_file(server.url("/manca.crl"), (cache / "a.crl").string(), cancel));
    EXPECT_FALSE(velin::download_crl_file(server.url("/errore.crl"), (cache / "b.crl").string(), cancel));
    // A redirect may not leave http: the list is not read from the local disk.
    EXPECT_FALSE(velin::download_crl_file(server.url("/fuori.crl"), (cache / "c.crl").string(), cancel));
    // A list cut short by the connection is never saved.
    EXPECT_FALSE(velin::download_crl_file(server.url("/troncata.crl"), (cache / "t.crl").string(), cancel));
    // Nor does a redirect that leads back to itself go on for ever.
    EXPECT_FALSE(velin::download_crl_file(server.url("/giro.crl"), (cache / "g.crl").string(), cancel));
    EXPECT_EQ(count_traced(Level_error, {}, mark), 5u);

    mark = trace_mark();
    EXPECT_FALSE(velin::download_crl_file(server.url("/vuota.crl"), (cache / "d.crl").string(), cancel));
    EXPECT_FALSE(velin::download_crl_file(server.url("/lista.crl"), "/dev/null/cache/e.crl", cancel));
    EXPECT_EQ(count_traced(Level_trace, {"Errore", "salvataggio"}, mark), 2u);
    EXPECT_TRUE(folder_names(cache.path()).empty());

    // Addresses that are no http address never go out.
    mark = trace_mark();
    for (const char* url : {"file:///etc/hostname", "ftp://127.0.0.1/lista.crl", "http://[::1", "non è un indirizzo"})
        EXPECT_FALSE(velin::download_crl_file(url, (cache / "f.crl").string(), cancel)) << url;
    EXPECT_EQ(count_traced(Level_info, {"Errore"}, mark), 4u);
    EXPECT_TRUE(folder_names(cache.path()).empty());
    EXPECT_EQ(velin::test::assertion_text([&] { velin::download_crl_file("", "x.crl", cancel); }),
              "Assertion failed: not is_empty (remote_path)");
}

TEST(Crl_download, a_cancel_request_aborts_within_100_ms)
{
    Loopback_server server(crl_site);
    velin::test::Test_folder cache;
    std::atomic<bool> cancel{false};
    const size_t mark = trace_mark();

    auto fetch = std::async(std::launch::async, [&] {
        const bool written = velin::download_crl_file(server.url("/muta.crl"), (cache / "a.crl").string(), cancel);
        return std::make_pair(written, std::chrono::steady_clock::now());
    });
    std::this_thread::sleep_for(300ms);
    const auto requested = std::chrono::steady_clock::now();
    cancel = true;
    ASSERT_EQ(fetch.wait_for(5s), std::future_status::ready);
    const auto [written, ended] = fetch.get();
    EXPECT_FALSE(written);
    EXPECT_LT(ended - requested, 250ms); // 100 ms, with room for a loaded machine
    EXPECT_EQ(count_traced(Level_info, {"annullato"}, mark), 1u);
    EXPECT_TRUE(folder_names(cache.path()).empty());

    // Already set: nothing is waited for.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(velin::download_crl_file(server.url("/lista.crl"), (cache / "b.crl").string(), cancel));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 250ms);
    EXPECT_TRUE(folder_names(cache.path()).empty());
}

TEST(File_download, network_failures_arrive_as_numbered_statuses)
{
    const auto status_of = [](const std::string& url, const velin::Http_time_limits& limits = {}) {
        velin::File_download download;
        download.set_time_limits(limits);
        download.start(url);
        EXPECT_TRUE(download.started()) << url;
        EXPECT_TRUE(download.succeeded());
        const auto end = std::chrono::steady_clock::now() + 20s;
        while (!download.completed() && std::chrono::steady_clock::now() < end)
            download.wait(100ms);
        EXPECT_FALSE(download.exists());
        return download.http_status();
    };

    const long refused = status_of("http://127.0.0.1:" + std::to_string(velin::test::closed_port()) + "/lista.crl");
    EXPECT_EQ(refused, 12029);
    EXPECT_EQ(velin::http_status_text(refused), "Impossibile connettersi al server.");

    const long unresolved = status_of("http://server-delle-revoche.invalid/lista.crl");
    EXPECT_EQ(unresolved, 12007);
    EXPECT_EQ(velin::http_status_text(unresolved), "Indirizzo del server non risolto.");

    Loopback_server server(crl_site);
    const auto start = std::chrono::steady_clock::now();
    const long silent = status_of(server.url("/muta.crl"), {std::chrono::seconds(60), std::chrono::seconds(1)});
    EXPECT_EQ(silent, 12002);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(velin::http_status_text(silent), "Il server non risponde.");

    EXPECT_EQ(status_of(server.url("/manca.crl")), 404);
}

TEST(File_download, huge_bodies_are_saved_whole_and_endless_ones_are_cut_off)
{
    Loopback_server server(crl_site);
    velin::test::Test_folder cache;
    std::atomic<bool> cancel{false};
    const auto path = cache / "enorme.crl";
    ASSERT_TRUE(velin::download_crl_file(server.url("/enorme.crl"), path.string(), cancel));
    ASSERT_EQ(std::filesystem::file_size(path), Huge_size);
    const std::string saved = velin::test::read_file(path);
    for (std::size_t position : {std::size_t(0), Huge_size / 3, Huge_size - 1})
        EXPECT_EQ(saved[position], Loopback_server::generated_byte(position)) << position;

    // A body past the limit ends the transfer instead of filling the memory.
    velin::File_download download;
    download.set_body_limit(4u * 1024u * 1024u);
    download.start(server.url("/infinita.crl"));
    const auto end = std::chrono::steady_clock::now() + 20s;
    while (!download.completed() && std::chrono::steady_clock::now() < end)
        download.wait(100ms);
    ASSERT_TRUE(download.completed());
    EXPECT_EQ(download.http_status(), 12030);
    EXPECT_EQ(velin::http_status_text(12030), "Codice HTTP: 12030");
}

TEST(File_download, misuse_is_reported_as_an_assertion)
{
    using velin::test::assertion_text;
    Loopback_server server(crl_site);
    velin::File_download download;
    EXPECT_EQ(assertion_text([&] { download.abort(); }), "Assertion failed: started ()");
    EXPECT_EQ(assertion_text([&] { download.http_status(); }), "Assertion failed: completed ()");
    download.start(server.url("/manca.crl"));
    while (!download.completed())
        download.wait(100ms);
    EXPECT_EQ(assertion_text([&] { download.save("x.crl"); }), "Assertion failed: exists ()");
    download.start(server.url("/lista.crl"));
    while (!download.completed())
        download.wait(100ms);
    EXPECT_EQ(assertion_text([&] { download.save(""); }), "Assertion failed: not is_empty (file_name)");
    download.abort();
    EXPECT_EQ(download.result(), velin::E_ABORT_CODE);
}

TEST(Http_status_text, names_the_known_numbers_and_counts_the_others)
{
    EXPECT_EQ(velin::http_status_text(401), "Accesso negato.");
    EXPECT_EQ(velin::http_status_text(404), "File non trovato.");
    EXPECT_EQ(velin::http_status_text(500), "Errore interno del server.");
    EXPECT_EQ(velin::http_status_text(12002), "Il server non risponde.");
    EXPECT_EQ(velin::http_status_text(12007), "Indirizzo del server non risolto.");
    EXPECT_EQ(velin::http_status_text(12029), "Impossibile connettersi al server.");
    EXPECT_EQ(velin::http_status_text(403), "Codice HTTP: 403");
    EXPECT_EQ(velin::http_status_text(0), "Codice HTTP: 0");
}

// Credentials go to the address the caller named and nowhere else: a redirect is not followed.
TEST(Http_fetch, credentials_never_follow_a_redirect_and_bodies_keep_their_limit)
{
    std::mutex mutex;
    std::vector<std::string> authorizations;
    Loopback_server server([&](const velin::test::Http_request_seen& request) {
        const std::lock_guard lock(mutex);
        authorizations.push_back(request.path + " " + request.header("Authorization"));
        if (request.path == "/spostato")
            return velin::test::answer(302, "", {{"Location", "/altrove"}});
        return velin::test::answer(200, std::string(2000, 'x'));
    });
    const std::atomic<bool> never{false};
    velin::Http_fetch_request request;
    request.url = server.url("/spostato");
    request.user = "mario";
    request.password = "segreta";
    const velin::Http_fetch_result moved = velin::http_fetch(request, never);
    EXPECT_EQ(moved.status, 302);
    // Without credentials the same redirect is followed.
    request.user = nullptr;
    EXPECT_EQ(velin::http_fetch(request, never).status, 200);
    {
        const std::lock_guard lock(mutex);
        EXPECT_EQ(authorizations,
                  (std::vector<std::string>{"/spostato Basic bWFyaW86c2VncmV0YQ==", "/spostato ", "/altrove "}));
    }

    request.url = server.url("/grande");
    request.body_limit = 1000;
    const velin::Http_fetch_result cut = velin::http_fetch(request, never);
    EXPECT_TRUE(cut.too_large);
    EXPECT_TRUE(cut.body.empty());
    request.url = "ftp://127.0.0.1/lista.crl";
    EXPECT_EQ(velin::http_fetch(request, never).status, velin::Http_error_unrecognized_scheme);
}

} // namespace
