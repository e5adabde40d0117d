// Requests of the user-interface thread: progress on the event loop, polled, read, aborted.
#include "loopback_server.h"
#include "net/file_download.h"
#include "net/http_request.h"
#include "test_folder.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>

#include <fstream>
#include <sstream>

namespace {

using namespace std::chrono_literals;
using velin::test::assertion_text;
using velin::test::Http_answer;
using velin::test::Loopback_server;

constexpr std::size_t Stream_size = 250000;

Http_answer update_site(const std::string&, const std::string& path)
{
    if (path == "/components/velin-desktop/versione.txt")
        return velin::test::answer(200, "3.4.0\r\n");
    if (path == "/components/velin-desktop/pacchetto.bin")
        return velin::test::generated_answer(Stream_size);
    if (path == "/muto")
        return velin::test::silent_answer();
    if (path == "/vietato")
        return velin::test::answer(401, "no");
    return velin::test::answer(404, "non c'è");
}

// Polls like the owner's timer does, while the event loop runs; false on time-out.
bool poll_until_completed(velin::Http_request& request, std::chrono::milliseconds limit = 10s)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!request.completed()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    return true;
}

TEST(Http_request, reads_the_answer_as_text_and_as_a_stream)
{
    Loopback_server server(update_site);
    velin::Http_request request;
    EXPECT_EQ(request.state(), velin::Http_request::Not_started);
    request.start(velin::Http_request::Get, server.url("/components/velin-desktop/versione.txt").c_str());
    EXPECT_EQ(request.state(), velin::Http_request::Started);
    EXPECT_EQ(assertion_text([&] { request.response_text(); }), "Assertion failed: response_text_read ()");

    // The request's own timer moves the transfer on: the owner only looks once a while.
    QEventLoop loop;
    QTimer::singleShot(1000, &loop, &QEventLoop::quit);
    loop.exec();
    ASSERT_TRUE(request.completed());
    ASSERT_TRUE(request.succeeded());
    EXPECT_EQ(request.http_status(), 200);
    request.read_response_text();
    EXPECT_EQ(request.response_text(), "3.4.0\r\n");

    request.start(velin::Http_request::Get, server.url("/components/velin-desktop/pacchetto.bin").c_str());
    ASSERT_TRUE(poll_until_completed(request));
    ASSERT_TRUE(request.succeeded());
    EXPECT_EQ(assertion_text([&] { request.response_stream(); }), "Assertion failed: response_stream_read ()");
    request.read_response_stream();
    std::ostringstream file;
    velin::save_response_stream(request.response_stream(), file);
    const std::string saved = file.str();
    ASSERT_EQ(saved.size(), Stream_size);
    for (std::size_t position : {std::size_t(0), std::size_t(99999), std::size_t(100000), Stream_size - 1})
        EXPECT_EQ(saved[position], Loopback_server::generated_byte(position)) << position;

    // A write error on the file ends the save with an exception without a message.
    request.read_response_stream();
    std::ofstream full("/dev/full", std::ios::binary);
    try {
        velin::save_response_stream(request.response_stream(), full);
        ADD_FAILURE() << "writing to a full device must fail";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "");
    }
}

TEST(Http_request, failures_are_statuses_to_read_after_completion)
{
    Loopback_server server(update_site);
    velin::Http_request request;
    request.start(velin::Http_request::Get, server.url("/vietato").c_str());
    ASSERT_TRUE(poll_until_completed(request));
    EXPECT_FALSE(request.succeeded());
    EXPECT_EQ(request.http_status(), 401);
    EXPECT_EQ(assertion_text([&] { request.read_response_text(); }), "Assertion failed: succeeded ()");
    EXPECT_EQ(assertion_text([&] { request.read_response_stream(); }), "Assertion failed: succeeded ()");

    request.start(velin::Http_request::Get,
                  ("http://127.0.0.1:" + std::to_string(velin::test::closed_port()) + "/versione.txt").c_str());
    ASSERT_TRUE(poll_until_completed(request));
    EXPECT_EQ(request.http_status(), 12029);

    request.start(velin::Http_request::Get, "http://aggiornamenti.invalid/components/velin-desktop/versione.txt");
    ASSERT_TRUE(poll_until_completed(request));
    EXPECT_EQ(request.http_status(), 12007);

    request.set_time_limits({std::chrono::seconds(60), std::chrono::seconds(1)});
    request.start(velin::Http_request::Get, server.url("/muto").c_str());
    ASSERT_TRUE(poll_until_completed(request));
    EXPECT_EQ(request.http_status(), 12002);

    // An address that is no http address is refused before anything goes out.
    request.start(velin::Http_request::Get, "file:///etc/hostname");
    EXPECT_EQ(request.state(), velin::Http_request::Request_failed);
    EXPECT_FALSE(request.completed());
    EXPECT_FALSE(request.error_description().empty());
}

TEST(Http_request, abort_ends_a_silent_request_at_once)
{
    Loopback_server server(update_site);
    velin::Http_request request;
    request.start(velin::Http_request::Get, server.url("/muto").c_str());
    const auto end = std::chrono::steady_clock::now() + 300ms;
    while (std::chrono::steady_clock::now() < end)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    ASSERT_FALSE(request.completed());

    const auto start = std::chrono::steady_clock::now();
    request.abort();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
    EXPECT_EQ(request.state(), velin::Http_request::Request_failed);
    EXPECT_EQ(request.error_code(), velin::E_ABORT_CODE);
    EXPECT_FALSE(request.completed());
    // The server sees the connection go.
    const auto closed = std::chrono::steady_clock::now() + 3s;
    while (server.abandoned_connections() == 0 && std::chrono::steady_clock::now() < closed)
        std::this_thread::sleep_for(20ms);
    EXPECT_EQ(server.abandoned_connections(), 1);
}

TEST(Http_request, sends_the_methods_of_its_table)
{
    Loopback_server server(update_site);
    velin::Http_request request;
    for (int method : {0, 1, 2, 3}) {
        request.start(method, server.url("/metodo").c_str());
        ASSERT_TRUE(poll_until_completed(request));
    }
    EXPECT_EQ(server.requests(),
              (std::vector<std::string>{"GET /metodo", "POST /metodo", "PUT /metodo", "PROPFIND /metodo"}));
    EXPECT_EQ(assertion_text([&] { request.start(4, server.url("/").c_str()); }), "Assertion failed: false");
    EXPECT_EQ(assertion_text([&] { request.start(0, nullptr); }), "Assertion failed: url ne NULL");
    velin::Http_request fresh;
    EXPECT_EQ(assertion_text([&] { fresh.http_status(); }), "Assertion failed: completed ()");
    EXPECT_EQ(assertion_text([&] { fresh.succeeded(); }), "Assertion failed: completed ()");
}

} // namespace
