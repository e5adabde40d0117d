// The update run against a loopback update server: which versions count as newer, what ends the
// run, which packages are left for the user with LEGGIMI.txt and which are deleted, what a quiet
// run keeps to itself, and the trusted lists kept fresh on the way.
#include "VelinVerify/update/update_run.h"
#include "poll_transfer.h"

#include "VelinVerify/update/download_folder.h"
#include "VelinVerify/update/package_signature.h"
#include "VelinVerify/update/update_version.h"
#include "common/message_box.h"
#include "common/registry.h"
#include "common/settings_record.h"
#include "loopback_server.h"
#include "softhsm_token.h"
#include "test_folder.h"
#include "trust/trusted_list_store.h"
#include "update_packages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

namespace velin {
namespace {

namespace fs = std::filesystem;
using test::Test_folder;

const std::string base = "/components/velin-desktop/";
const fs::path list_fixtures = fs::path(VELIN_SOURCE_DIR) / "tests/fixtures/tsl";

// The names in a folder, sorted; none when it does not exist.
std::vector<std::string> names_in(const fs::path& folder)
{
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

struct Made_package {
    std::string deb;
    std::string signature;
};

// A package as the publisher makes it, by the update authority's tool: a .deb whose control data
// says name and version, and its detached signature by signer. Made once per test program.
const Made_package& made_package(const std::string& name, const std::string& version,
                                 const std::string& signer = "update-publisher")
{
    static std::map<std::string, Made_package> made;
    static Test_folder folder;
    const std::string key = name + "_" + version + "_" + signer;
    if (const auto found = made.find(key); found != made.end())
        return found->second;
    const fs::path file = folder / (key + ".deb");
    const std::string command = std::string("'") + VELIN_SOURCE_DIR + "/tools/make-update-authority' package '" + name +
                                "' '" + version + "' '" + file.string() + "' '" + signer + "'";
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error("tools/make-update-authority failed: " + command);
    return made[key] = {test::read_file(file), test::read_file(file.string() + ".p7s")};
}

// The package version that stands for a published one ("0x03010301" is the package 3.1.3.1).
std::string package_version(const std::string& published)
{
    const uint32_t number = parse_published_version(published).value_or(0);
    return std::to_string(number >> 24) + "." + std::to_string(number >> 16 & 0xff) + "." +
           std::to_string(number >> 8 & 0xff) + "." + std::to_string(number & 0xff);
}

// The update server: fixed answers by path, anything else 404.
class Update_server {
public:
    Update_server()
        : _server([this](const std::string&, const std::string& path) {
              const std::lock_guard<std::mutex> lock(_mutex);
              const auto found = _answers.find(path);
              return found == _answers.end() ? test::answer(404, "non trovato") : found->second;
          })
    {}
    void set(const std::string& path, test::Http_answer answer)
    {
        const std::lock_guard<std::mutex> lock(_mutex);
        _answers[path] = std::move(answer);
    }
    void set(const std::string& path, const std::string& body) { set(path, test::answer(200, body)); }
    // Versions and both packages at those versions, signed by the authority's publisher.
    void publish(const std::string& workstation, const std::string& suite)
    {
        set(base + "Install.exe-VERSION.txt", workstation);
        set(base + "version", suite);
        serve("aurea-desk.deb", made_package("aurea-desk", package_version(workstation)));
        serve("velin-manager.deb", made_package("velin-manager", package_version(suite)));
    }
    void serve(const std::string& file, const Made_package& package)
    {
        set(base + file, package.deb);
        set(base + file + ".p7s", package.signature);
        (file == "aurea-desk.deb" ? workstation_package : suite_package) = package.deb;
    }
    std::string address() const { return _server.url(""); }
    std::vector<std::string> requests() const { return _server.requests(); }

    // The bytes of the packages served now.
    std::string workstation_package;
    std::string suite_package;

private:
    std::mutex _mutex;
    std::map<std::string, test::Http_answer> _answers;
    test::Loopback_server _server;
};

struct Box {
    std::string text;
    unsigned flags;
    bool operator==(const Box&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Box& box)
{
    return out << "[" << box.flags << "] " << box.text;
}

// The windows of the run, without windows: transfers polled from a timer, boxes recorded.
class Recording_host : public Update_host {
public:
    void run_transfer(Update_transfer& transfer, bool show_errors) override
    {
        test::poll_to_end(transfer);
        if (show_errors && !transfer.error_text().empty())
            boxes.push_back({transfer.error_text(), MB_OK | transfer.error_icon()});
    }
    int message(const std::string& text, unsigned flags) override
    {
        boxes.push_back({text, flags});
        if ((flags & MB_TYPEMASK) != MB_YESNO)
            return IDOK;
        if (on_question)
            on_question();
        return answer;
    }
    bool open_folder(const std::string& folder) override
    {
        opened.push_back(folder);
        return true;
    }

    std::vector<Box> boxes;
    std::vector<std::string> opened;
    int answer = IDYES;
    std::function<void()> on_question;
};

const Box question{Text_update_question, MB_YESNO};
const Box up_to_date{Text_up_to_date, MB_OK | MB_ICONINFORMATION};

class Update_run_test : public ::testing::Test {
protected:
    Update_configuration configuration(bool interactive = true)
    {
        Update_configuration made;
        made.interactive = interactive;
        made.server = server.address();
        made.installed_suite = 0x03010300;
        made.installed_workstation = [this] { return installed_workstation; };
        made.desktop = [this] { return (home / "Scrivania").string(); };
        made.clock = [] { return std::time_t(1780000000); };
        made.authority_pem = update_authority_pem;
        made.lock_folder = home.path().string();
        return made;
    }
    int run(Update_configuration made)
    {
        Update_run update(std::move(made), host);
        const int result = update.run();
        failures = update.failures();
        folder = update.download_folder();
        return result;
    }
    fs::path default_folder() const { return home / "Scrivania/Aggiornamenti Velin Manager"; }

    Update_server server;
    Test_folder home;
    Recording_host host;
    // What the PKCS#11 module reports: major.minor.
    uint32_t installed_workstation = pack_file_version(4, 2, 0, 0);
    int failures = 0;
    std::string folder;
};

TEST_F(Update_run_test, NewerSuiteIsLeftVerifiedWithItsLeggimiAndTheFolderOpened)
{
    server.publish("4.2.1.0", "3.1.3.1");
    EXPECT_EQ(run(configuration()), 1);
    EXPECT_EQ(host.boxes, std::vector<Box>{question});
    EXPECT_EQ(folder, default_folder().string());
    EXPECT_EQ(host.opened, std::vector<std::string>{default_folder().string()});
    EXPECT_EQ(test::read_file(default_folder() / "velin-manager.deb"), server.suite_package);
    EXPECT_EQ(test::read_file(default_folder() / "LEGGIMI.txt"), leggimi_text({"velin-manager.deb"}));
    // The signature has done its work; the workstation package was not newer.
    EXPECT_FALSE(fs::exists(default_folder() / "velin-manager.deb.p7s"));
    EXPECT_FALSE(fs::exists(default_folder() / "aurea-desk.deb"));
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(server.requests(),
              (std::vector<std::string>{"GET " + base + "Install.exe-VERSION.txt", "GET " + base + "version",
                                        "GET " + base + "velin-manager.deb", "GET " + base + "velin-manager.deb.p7s"}));

    // A second run finds the folder there: a dated one is used, both packages go in.
    host = {};
    server.publish("4.3.0.5", "0x03010301");
    EXPECT_EQ(run(configuration(false)), 1);
    const fs::path dated = folder;
    EXPECT_EQ(dated.filename().string().rfind("Aggiornamenti Velin Manager del ", 0), 0u) << dated;
    EXPECT_EQ(host.opened, std::vector<std::string>{dated.string()});
    EXPECT_EQ(test::read_file(dated / "aurea-desk.deb"), server.workstation_package);
    EXPECT_EQ(test::read_file(dated / "velin-manager.deb"), server.suite_package);
    EXPECT_EQ(test::read_file(dated / "LEGGIMI.txt"), leggimi_text({"aurea-desk.deb", "velin-manager.deb"}));
}

TEST_F(Update_run_test, NothingNewerSaysSoOnlyWhenAsked)
{
    // 3.1.3 is Versione 0x03010300 itself. The module of the installed workstation says 4.2: no
    // 4.2.x published is newer, else the same package would be offered every day.
    for (const auto& [workstation, suite] : {std::pair{"4.2.1.0", "3.1.3"}, std::pair{"0x04020100", "0x03010300"},
                                             std::pair{"4.2.0.255", "3.1.2.255"}, std::pair{"4.2.9.9", "3.1.3.0"}}) {
        host = {};
        server.publish(workstation, suite);
        EXPECT_EQ(run(configuration()), 1);
        EXPECT_EQ(host.boxes, std::vector<Box>{up_to_date}) << workstation << " " << suite;
        host = {};
        EXPECT_EQ(run(configuration(false)), 1);
        EXPECT_TRUE(host.boxes.empty()) << workstation << " " << suite;
    }
    EXPECT_FALSE(fs::exists(home / "Scrivania"));
    // Nothing installed at all (the module not loadable, no Versione): everything is newer.
    installed_workstation = 0;
    auto nothing_installed = configuration();
    nothing_installed.installed_suite = 0;
    host = {};
    host.answer = IDNO;
    EXPECT_EQ(run(nothing_installed), 1);
    EXPECT_EQ(host.boxes, std::vector<Box>{question});
    // No: nothing downloaded, no folder made.
    EXPECT_FALSE(fs::exists(home / "Scrivania"));
    EXPECT_TRUE(host.opened.empty());
}

TEST_F(Update_run_test, AnAnswerOtherThan200OnTheFirstFileEndsTheRun)
{
    server.publish("4.2.1.0", "3.1.3.1");
    server.set(base + "Install.exe-VERSION.txt", test::answer(404, "non trovato"));
    EXPECT_EQ(run(configuration()), 1);
    EXPECT_EQ(host.boxes, (std::vector<Box>{{"La verifica della disponibilità di aggiornamenti è fallita. File non "
                                             "trovato.",
                                             MB_OK | MB_ICONERROR}}));
    EXPECT_EQ(server.requests(), std::vector<std::string>{"GET " + base + "Install.exe-VERSION.txt"});
    host = {};
    EXPECT_EQ(run(configuration(false)), 1);
    EXPECT_TRUE(host.boxes.empty());

    // On the second file it is one failure among others: the workstation goes on alone.
    server.publish("4.3.0.5", "3.1.3.1");
    server.set(base + "version", test::answer(500, "guasto"));
    host = {};
    EXPECT_EQ(run(configuration(false)), 1);
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(host.boxes, std::vector<Box>{question});
    EXPECT_EQ(test::read_file(fs::path(folder) / "aurea-desk.deb"), server.workstation_package);
}

TEST_F(Update_run_test, AnUnreadableVersionIsACountedFailure)
{
    const Box unreadable{"La verifica della disponibilità di aggiornamenti è fallita. La versione pubblicata non è "
                         "riconoscibile.",
                         MB_OK | MB_ICONERROR};
    const Box empty{"La verifica della disponibilità di aggiornamenti è fallita.", MB_OK | MB_ICONERROR};
    server.publish("versione 4", "3.1.3");
    EXPECT_EQ(run(configuration()), 1);
    EXPECT_EQ(failures, 1);
    // A failure counted: not "aggiornato".
    EXPECT_EQ(host.boxes, std::vector<Box>{unreadable});
    // Only white space is no version; nothing at all is a failed transfer.
    host = {};
    server.publish("4.2.1.0", " \n ");
    EXPECT_EQ(run(configuration()), 1);
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(host.boxes, std::vector<Box>{unreadable});
    host = {};
    server.publish("4.2.1.0", "");
    EXPECT_EQ(run(configuration()), 1);
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(host.boxes, std::vector<Box>{empty});
    host = {};
    EXPECT_EQ(run(configuration(false)), 1);
    EXPECT_EQ(failures, 1);
    EXPECT_TRUE(host.boxes.empty());
    // A "version" of a megabyte is no version either.
    server.set(base + "version", test::generated_answer(1 << 20));
    EXPECT_EQ(run(configuration(false)), 1);
    EXPECT_EQ(failures, 1);
}

TEST_F(Update_run_test, APackageThatFailsItsCheckIsDeletedAndNothingInvitesToInstall)
{
    server.publish("4.3.0.5", "3.1.3.1");
    const std::string suite_package = server.suite_package;
    const struct {
        const char* what;
        std::string signature;
        const char* reason;
    } cases[] = {
        {"other bytes", test::sign_package(suite_package + "x", "update-publisher"),
         "la firma non corrisponde al pacchetto o non risale all'autorità degli aggiornamenti."},
        {"impostor", test::sign_package(suite_package, "update-impostor-publisher", {"update-impostor-authority"}),
         "la firma non corrisponde al pacchetto o non risale all'autorità degli aggiornamenti."},
        {"sub-authority", test::sign_package(suite_package, "update-sub-publisher", {"update-sub-authority"}),
         "il certificato del firmatario non è stato emesso dall'autorità degli aggiornamenti."},
        {"garbage", "firma", "la firma non è leggibile."},
    };
    for (const auto& tried : cases) {
        Test_folder desktop;
        auto made = configuration(false);
        made.desktop = [&] { return desktop.path().string(); };
        server.publish("4.3.0.5", "3.1.3.1");
        server.set(base + "velin-manager.deb.p7s", tried.signature);
        host = {};
        EXPECT_EQ(run(made), 1);
        const fs::path left = desktop / "Aggiornamenti Velin Manager";
        EXPECT_FALSE(fs::exists(left / "velin-manager.deb")) << tried.what;
        EXPECT_FALSE(fs::exists(left / "velin-manager.deb.p7s")) << tried.what;
        // Nothing of the refused package is left, not even under its hidden name.
        EXPECT_EQ(names_in(left), std::vector<std::string>{"aurea-desk.deb"}) << tried.what;
        EXPECT_FALSE(fs::exists(left / "LEGGIMI.txt")) << tried.what;
        EXPECT_TRUE(host.opened.empty()) << tried.what;
        // Told even in a quiet run: the user asked for the download.
        EXPECT_EQ(host.boxes, (std::vector<Box>{question,
                                                {std::string("Il pacchetto scaricato \"velin-manager.deb\" è stato "
                                                             "eliminato: ") +
                                                     tried.reason,
                                                 MB_OK | MB_ICONERROR}}))
            << tried.what;
        EXPECT_EQ(failures, 1);
    }

    // A signature that is not published: the package goes as well.
    server.publish("4.2.1.0", "3.1.3.1");
    server.set(base + "velin-manager.deb.p7s", test::answer(404, ""));
    host = {};
    EXPECT_EQ(run(configuration()), 1);
    EXPECT_FALSE(fs::exists(default_folder()));
    EXPECT_TRUE(host.opened.empty());
    ASSERT_EQ(host.boxes.size(), 3u);
    EXPECT_EQ(host.boxes[2].text, "Il pacchetto scaricato \"velin-manager.deb\" è stato eliminato: la sua firma non "
                                  "è stata scaricata.");
}

TEST_F(Update_run_test, ASignedPackageMustSayItIsThePackageAndVersionPublished)
{
    const struct {
        const char* what;
        Made_package served;
        std::string reason;
    } cases[] = {
        {"an older genuine package as the newer one", made_package("velin-manager", "3.1.3.0"),
         "il pacchetto è della versione 3.1.3.0, non di quella pubblicata (3.1.3.1)."},
        {"the other package under this name", made_package("aurea-desk", "3.1.3.1"),
         "il file contiene il pacchetto \"aurea-desk\" invece di \"velin-manager\"."},
        {"a version that is no number", made_package("velin-manager", "3.1.3.1~rc1"),
         "il pacchetto è della versione 3.1.3.1~rc1, non di quella pubblicata (3.1.3.1)."},
        {"signed bytes that are no package",
         {"!<arch>\ngarbage", test::sign_package("!<arch>\ngarbage", "update-publisher")},
         "il file non è un pacchetto leggibile."},
    };
    for (const auto& tried : cases) {
        Test_folder desktop;
        auto made = configuration(false);
        made.desktop = [&] { return desktop.path().string(); };
        server.publish("4.2.0.0", "3.1.3.1");
        server.serve("velin-manager.deb", tried.served);
        host = {};
        EXPECT_EQ(run(made), 1);
        EXPECT_EQ(host.boxes,
                  (std::vector<Box>{question,
                                    {"Il pacchetto scaricato \"velin-manager.deb\" è stato eliminato: " + tried.reason,
                                     MB_OK | MB_ICONERROR}}))
            << tried.what;
        // The temporary file went too: the emptied folder was removed.
        EXPECT_TRUE(names_in(desktop.path()).empty()) << tried.what;
        EXPECT_TRUE(host.opened.empty()) << tried.what;
        EXPECT_EQ(failures, 1);
    }

    // A Debian revision and an epoch do not change the version.
    server.publish("4.2.0.0", "3.1.3.1");
    server.serve("velin-manager.deb", made_package("velin-manager", "1:3.1.3.1-2"));
    host = {};
    EXPECT_EQ(run(configuration(false)), 1);
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(names_in(folder), (std::vector<std::string>{"LEGGIMI.txt", "velin-manager.deb"}));
}

// The packages scripts/package builds, when tests/package/installed_test.sh names their folder:
// their real control data, as dpkg-deb reads it, says which package and version they are.
TEST_F(Update_run_test, RealPackagesAreCheckedByTheirControlData)
{
    const char* packages = std::getenv("VELIN_TEST_PACKAGES");
    if (!packages || !*packages)
        GTEST_SKIP() << "VELIN_TEST_PACKAGES is not set: tests/package/installed_test.sh runs this test on the "
                        "packages that scripts/package builds";
    // name_VERSION_arch.deb
    std::map<std::string, std::pair<fs::path, std::string>> built;
    for (const auto& entry : fs::directory_iterator(packages)) {
        const std::string file = entry.path().filename().string();
        const auto first = file.find('_');
        const auto second = file.find('_', first + 1);
        if (entry.path().extension() == ".deb" && second != std::string::npos)
            built[file.substr(0, first)] = {entry.path(), file.substr(first + 1, second - first - 1)};
    }
    ASSERT_TRUE(built.count("velin-manager") && built.count("libnoraxcard3")) << "no packages in " << packages;
    const auto& [suite_file, suite_version] = built["velin-manager"];
    const std::string suite_bytes = test::read_file(suite_file);
    const std::string published =
        suite_version + (std::count(suite_version.begin(), suite_version.end(), '.') == 2 ? ".0" : "");

    // The package published under its own name and version is left for the user as it came.
    server.publish("4.2.0.0", published);
    server.serve("velin-manager.deb", {suite_bytes, test::sign_package(suite_bytes, "update-publisher")});
    EXPECT_EQ(run(configuration(false)), 1);
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(names_in(folder), (std::vector<std::string>{"LEGGIMI.txt", "velin-manager.deb"}));
    EXPECT_EQ(test::read_file(fs::path(folder) / "velin-manager.deb"), suite_bytes);

    // Genuinely signed, but another package, or the same one published as a newer version.
    const std::string library_bytes = test::read_file(built["libnoraxcard3"].first);
    const struct {
        std::string suite;
        std::string served;
        std::string reason;
    } refused[] = {
        {published, library_bytes, "il file contiene il pacchetto \"libnoraxcard3\" invece di \"velin-manager\"."},
        {"3.3.0.99", suite_bytes,
         "il pacchetto è della versione " + suite_version + ", non di quella pubblicata (3.3.0.99)."},
    };
    for (const auto& tried : refused) {
        Test_folder desktop;
        auto made = configuration(false);
        made.desktop = [&] { return desktop.path().string(); };
        server.publish("4.2.0.0", tried.suite);
        server.serve("velin-manager.deb", {tried.served, test::sign_package(tried.served, "update-publisher")});
        host = {};
        EXPECT_EQ(run(made), 1);
        EXPECT_EQ(failures, 1) << tried.reason;
        EXPECT_EQ(host.boxes,
                  (std::vector<Box>{question,
                                    {"Il pacchetto scaricato \"velin-manager.deb\" è stato eliminato: " + tried.reason,
                                     MB_OK | MB_ICONERROR}}))
            << tried.reason;
        EXPECT_TRUE(names_in(desktop.path()).empty()) << tried.reason;
    }
}

TEST_F(Update_run_test, AKillDuringTheCheckLeavesNoPackageInView)
{
    server.publish("4.2.0.0", "3.1.3.1");
    // The package comes, its signature never does.
    server.set(base + "velin-manager.deb.p7s", test::silent_answer());
    const std::string address = server.address();
    const std::string desktop = (home / "Scrivania").string();
    const pid_t child = ::fork();
    if (child == 0) {
        ::execl(VELIN_UPDATE_RUN_CHILD, VELIN_UPDATE_RUN_CHILD, address.c_str(), desktop.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ASSERT_GT(child, 0);
    const std::string waited = "GET " + base + "velin-manager.deb.p7s";
    bool asked = false;
    for (int tries = 0; tries < 400 && !asked; ++tries) {
        const std::vector<std::string> requests = server.requests();
        asked = std::find(requests.begin(), requests.end(), waited) != requests.end();
        if (!asked)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(asked);
    // The package is in, under a name nobody would install.
    for (const std::string& name : names_in(default_folder())) {
        EXPECT_EQ(name.front(), '.') << name;
        EXPECT_EQ(name.find(".deb", name.size() - 4), std::string::npos) << name;
    }
    EXPECT_FALSE(names_in(default_folder()).empty());
}

TEST_F(Update_run_test, ATricklingServerMeetsADeadline)
{
    // One byte every 0.9 s passes any silence limit: only the deadline of the whole transfer ends it.
    const auto trickle = [](const std::string& body) { return test::trickling_answer(body, 900); };
    auto made = configuration(false);
    made.deadlines.small_file = std::chrono::milliseconds(1500);
    made.deadlines.package = std::chrono::milliseconds(1500);
    made.deadlines.floor_speed = 1 << 20;
    const auto timed_run = [&] {
        const auto start = std::chrono::steady_clock::now();
        host = {};
        EXPECT_EQ(run(made), 1);
        return std::chrono::steady_clock::now() - start;
    };

    // The first version file: the quiet run ends without a word, its lock released.
    server.publish("4.2.0.0", "3.1.3.1");
    server.set(base + "Install.exe-VERSION.txt", trickle("                    4.2.0.0"));
    EXPECT_LT(timed_run(), std::chrono::seconds(6));
    EXPECT_TRUE(host.boxes.empty());
    EXPECT_FALSE(fs::exists(home / "Scrivania"));

    // The package, and then its signature: once the user said yes, the failure is told and
    // nothing stays behind.
    const Box timed_out{"La verifica della disponibilità di aggiornamenti è fallita. Il server non risponde.",
                        MB_OK | MB_ICONERROR};
    server.publish("4.2.0.0", "3.1.3.1");
    server.set(base + "velin-manager.deb", trickle(server.suite_package));
    EXPECT_LT(timed_run(), std::chrono::seconds(6));
    EXPECT_EQ(host.boxes, (std::vector<Box>{question, timed_out}));
    EXPECT_EQ(failures, 1);
    EXPECT_TRUE(names_in(home / "Scrivania").empty());

    server.publish("4.2.0.0", "3.1.3.1");
    server.set(base + "velin-manager.deb.p7s", trickle(made_package("velin-manager", "3.1.3.1").signature));
    EXPECT_LT(timed_run(), std::chrono::seconds(6));
    ASSERT_EQ(host.boxes.size(), 3u);
    EXPECT_EQ(host.boxes[1], timed_out);
    EXPECT_TRUE(names_in(home / "Scrivania").empty());
}

TEST_F(Update_run_test, ASecondRunWhileTheFirstAsksEndsAtOnce)
{
    server.publish("4.2.1.0", "3.1.3.1");
    int second = 0;
    Recording_host second_host;
    host.answer = IDNO;
    host.on_question = [&] {
        auto made = configuration();
        Update_run other(std::move(made), second_host);
        second = other.run();
    };
    EXPECT_EQ(run(configuration()), 1);
    EXPECT_EQ(second, 2);
    EXPECT_TRUE(second_host.boxes.empty());
    // One question, one set of version requests: the second run asked the server nothing.
    EXPECT_EQ(server.requests().size(), 2u);
    // Once the first has ended, the next one runs.
    Update_run later(configuration(false), second_host);
    EXPECT_EQ(later.run(), 1);
}

TEST_F(Update_run_test, AnotherUsersPrivateFolderIsToldAndAnotherUsed)
{
    // Without XDG_RUNTIME_DIR the private folder is TMPDIR/velin-manager-UID: a link planted there
    // (as another user can) must not switch the run off.
    std::map<std::string, std::string> before;
    for (const char* name : {"XDG_RUNTIME_DIR", "TMPDIR", "XDG_CACHE_HOME"})
        before[name] = std::getenv(name) ? std::getenv(name) : "";
    Test_folder temp;
    fs::create_directory(temp / "altrui");
    const fs::path planted = temp / ("velin-manager-" + std::to_string(::geteuid()));
    fs::create_directory_symlink(temp / "altrui", planted);
    ::unsetenv("XDG_RUNTIME_DIR");
    ::setenv("TMPDIR", temp.path().c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (home / "cache").c_str(), 1);

    server.publish("4.2.0.0", "3.1.3");
    auto made = configuration();
    made.lock_folder.clear();
    const int interactive = run(made);
    const std::vector<Box> told = host.boxes;
    host = {};
    made.interactive = false;
    const int quiet = run(made);
    const std::vector<Box> quiet_boxes = host.boxes;
    for (const auto& [name, value] : before)
        value.empty() ? ::unsetenv(name.c_str()) : ::setenv(name.c_str(), value.c_str(), 1);

    EXPECT_EQ(interactive, 1);
    const std::string used = (home / "cache/velin-manager/runtime").string();
    EXPECT_EQ(told, (std::vector<Box>{{"La cartella " + planted.string() +
                                           " non appartiene a questo utente e non viene usata. Al suo posto viene "
                                           "usata la cartella " +
                                           used + ".",
                                       MB_OK | MB_ICONWARNING},
                                      up_to_date}));
    EXPECT_TRUE(fs::exists(fs::path(used) / "Velin Manager - Aggiornamento.lock"));
    EXPECT_TRUE(fs::is_empty(temp / "altrui"));
    EXPECT_EQ(quiet, 1);
    EXPECT_TRUE(quiet_boxes.empty());
}

TEST_F(Update_run_test, WithoutAServerTheRunEndsAtOnce)
{
    auto made = configuration();
    made.server = "";
    EXPECT_EQ(run(made), 1);
    EXPECT_EQ(host.boxes, (std::vector<Box>{{Text_no_update_server, MB_OK | MB_ICONINFORMATION}}));
    host = {};
    made.interactive = false;
    EXPECT_EQ(run(made), 1);
    EXPECT_TRUE(host.boxes.empty());
    EXPECT_TRUE(server.requests().empty());
    // An address with a final slash names the same server.
    server.publish("4.2.1.0", "3.1.3");
    made.server = server.address() + "/";
    EXPECT_EQ(run(made), 1);
    EXPECT_EQ(server.requests().front(), "GET " + base + "Install.exe-VERSION.txt");
}

TEST_F(Update_run_test, WithoutAnAuthorityNothingIsAskedOfTheServer)
{
    server.publish("4.2.1.0", "3.1.3");
    // A build without an authority carries an empty text; a damaged one is no authority either.
    for (const std::string& authority : {std::string(), std::string("-----BEGIN CERTIFICATE-----\nAAAA\n")}) {
        host = {};
        auto made = configuration();
        made.authority_pem = authority;
        EXPECT_EQ(run(made), 1);
        EXPECT_EQ(host.boxes, (std::vector<Box>{{Text_no_update_authority, MB_OK | MB_ICONINFORMATION}}));
        EXPECT_TRUE(server.requests().empty());
        EXPECT_FALSE(fs::exists(default_folder()));
    }
}

// The trusted lists: a kept national list past its next update is fetched again through the
// verified refresh; fresh lists are left alone.
class Update_lists_test : public Update_run_test {
protected:
    Update_lists_test()
        : _lists([](const std::string&, const std::string& path) {
              const fs::path file = list_fixtures / path.substr(1);
              if (path.find("..") != std::string::npos || !fs::exists(file))
                  return test::answer(404, "non trovato");
              return test::answer(200, test::read_file(file));
          })
    {}
    Update_configuration with_lists(bool interactive, const std::string& national)
    {
        auto made = configuration(interactive);
        made.server = "";
        made.list_folder = (home / "liste").string();
        made.list_sources = {_lists.url("/eu-lotl.xml"), _lists.url("/" + national), "IT"};
        made.eu_pins = pem_certificates(test::read_file(fixtures / "eu-signer.cert.pem"));
        return made;
    }
    void keep(const std::string& national)
    {
        const std::atomic<bool> cancel{false};
        ASSERT_TRUE(refresh_trusted_lists({_lists.url("/eu-lotl.xml"), _lists.url("/" + national), "IT"},
                                          (home / "liste").string(),
                                          pem_certificates(test::read_file(fixtures / "eu-signer.cert.pem")), cancel)
                        .succeeded);
    }
    size_t list_requests() const { return _lists.requests().size(); }

    const fs::path& fixtures = list_fixtures;

private:
    test::Loopback_server _lists;
};

TEST_F(Update_lists_test, RefreshesListsPastTheirNextUpdateAndLeavesFreshOnesAlone)
{
    // No lists kept: none are fetched unasked.
    EXPECT_EQ(run(with_lists(false, "it-tsl.xml")), 1);
    EXPECT_EQ(list_requests(), 0u);

    keep("it-tsl-past-next-update.xml");
    const size_t before = list_requests();
    EXPECT_EQ(run(with_lists(false, "it-tsl.xml")), 1);
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(list_requests(), before + 2);
    EXPECT_EQ(test::read_file(home / "liste/TSL-IT.xml"), test::read_file(fixtures / "it-tsl.xml"));

    // Now fresh until 2099: left alone.
    EXPECT_EQ(run(with_lists(false, "it-tsl.xml")), 1);
    EXPECT_EQ(list_requests(), before + 2);
}

TEST_F(Update_lists_test, AFailedRefreshIsOneMoreFailureQuietInQuietRuns)
{
    keep("it-tsl-past-next-update.xml");
    EXPECT_EQ(run(with_lists(false, "it-tsl-rogue.xml")), 1);
    EXPECT_EQ(failures, 1);
    EXPECT_TRUE(host.boxes.empty());
    EXPECT_EQ(test::read_file(home / "liste/TSL-IT.xml"), test::read_file(fixtures / "it-tsl-past-next-update.xml"));

    // Interactive: the refresh's own words, and no "aggiornato" afterwards.
    auto made = with_lists(true, "it-tsl-rogue.xml");
    made.server = server.address();
    server.publish("4.2.1.0", "3.1.3");
    host = {};
    EXPECT_EQ(run(made), 1);
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(host.boxes, (std::vector<Box>{{"La lista di fiducia IT non è stata usata: Il certificato che ha firmato "
                                             "la lista di fiducia non è tra quelli attesi.",
                                             MB_OK | MB_ICONWARNING}}));
}

TEST(Update_configuration, ComesFromTheMachineSettingsAndThePkcs11Module)
{
    // SoftHSM stands in for the card middleware: its C_GetInfo says 2.6.
    test::Softhsm_token token;
    ASSERT_EQ(write_text(Registry_root::Local_machine, Settings_key, "ServerAggiornamenti", "http://127.0.0.1:9/"), 0u);
    ASSERT_EQ(write_text(Registry_root::Local_machine, Settings_key, "ModuloPKCS11", test::Softhsm_token::Module), 0u);
    ASSERT_EQ(write_dword(Registry_root::Local_machine, Installation_key, "Versione", 0x03010300), 0u);
    Settings_record settings;
    settings.load();
    const Update_configuration configuration = configured_update(settings, false);
    EXPECT_FALSE(configuration.interactive);
    EXPECT_EQ(configuration.server, "http://127.0.0.1:9/");
    EXPECT_EQ(configuration.installed_suite, 0x03010300u);
    EXPECT_EQ(configuration.installed_workstation(), 0x02060000u);
    EXPECT_EQ(configuration.authority_pem, update_authority_pem);

    // A module that cannot be loaded, or a library that is no module: nothing installed.
    EXPECT_EQ(installed_workstation_version("/nonexistent/pkcs11.so"), 0u);
    EXPECT_EQ(installed_workstation_version("libc.so.6"), 0u);
    for (const char* name : {"ServerAggiornamenti", "ModuloPKCS11"})
        ASSERT_EQ(write_text(Registry_root::Local_machine, Settings_key, name, ""), 0u);
}

} // namespace
} // namespace velin
