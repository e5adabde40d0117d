// Loading the three trusted lists: the national list only with a sound signature by the
// publisher, what the user is told for each failure, and the user list's life cycle.
#include "pki.h"
#include "test_folder.h"
#include "trace_records.h"

#include "trust/common_data_folder.h"
#include "trust/report.h"
#include "trust/timestamp_authority.h"
#include "trust/trusted_store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace velin::test {
namespace {

const std::string Corrupt = "E: Il file con la lista dei certificati accreditati dallo Stato Italiano è corrotto.";
const std::string Check_failed = "E: Verifica della firma dello store CNIPA fallita:";

class Trusted_store_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        private_environment();
        copy_fixture_data(_folder.path());
    }

    std::unique_ptr<Trusted_store> load()
    {
        return std::make_unique<Trusted_store>(_folder.path().string(), pki_text("publisher.cert.pem"));
    }
    std::filesystem::path data(const std::string& name) const { return _folder.path() / "data" / name; }
    void restore_fixture_data() const
    {
        for (const auto& entry : std::filesystem::directory_iterator(pki_folder() / "velin-data" / "data"))
            std::filesystem::copy_file(entry.path(), data(entry.path().filename().string()),
                                       std::filesystem::copy_options::overwrite_existing);
    }

    Test_folder _folder;
    Report_capture _reports;
};

TEST_F(Trusted_store_test, the_installed_lists_load_and_merge_silently)
{
    auto store = load();
    EXPECT_TRUE(_reports.lines().empty()) << _reports.lines().front();
    ASSERT_NE(nullptr, store->merged_store());
    EXPECT_TRUE(store->cnipa_store_is_available());
    EXPECT_TRUE(store->user_store_is_available());
    for (const char* name : {"accredited-root", "accredited-ca", "card-root", "user-root"})
        EXPECT_TRUE(store->merged_store()->contains(pki_certificate(name))) << name;

    EXPECT_TRUE(store->is_in_cnipa_list(pki_certificate("accredited-root")));
    // Trusted, but through the card or user list only: never accredited.
    EXPECT_FALSE(store->is_in_cnipa_list(pki_certificate("card-root")));
    EXPECT_FALSE(store->is_in_cnipa_list(pki_certificate("user-root")));

    // The loading of each list is traced.
    EXPECT_TRUE(traced(Level_info, {"catene"}));
    EXPECT_TRUE(traced(Level_info, {"contenitore"}));
    EXPECT_TRUE(traced(Level_trace, {"utente", "caricata"}));
}

// Any trusted root makes a time-stamping authority trusted; only the accredited list (or a listed
// time-stamping service) makes it one whose time may stand for a signature's.
TEST_F(Trusted_store_test, only_an_accredited_time_stamping_authority_is_qualified)
{
    auto store = load();
    const std::time_t now = std::time(nullptr);
    const struct {
        const char* authority;
        bool trusted, qualified;
    } cases[] = {
        {"signer-legal", true, true}, // under the accredited root
        {"signer-card", true, false}, // under the card list's root
        {"signer-user", true, false}, // under a root the user chose
        {"signer-orphan", false, false},
    };
    for (const auto& c : cases) {
        const Timestamp_authority_trust trust = timestamp_authority_trust(*store, pki_certificate(c.authority), now);
        EXPECT_EQ(trust.trusted, c.trusted) << c.authority;
        EXPECT_EQ(trust.qualified, c.qualified) << c.authority;
    }
}

TEST_F(Trusted_store_test, the_built_in_publisher_is_a_certificate)
{
    EXPECT_EQ(40u, pem_certificate_thumbprint(list_publisher_pem).size());
}

TEST_F(Trusted_store_test, a_tampered_list_is_not_loaded)
{
    std::string list = read_file(data("cnipa.sst"));
    list[list.size() / 2] ^= 0x01;
    write_file(data("cnipa.sst"), list);
    auto store = load();
    EXPECT_FALSE(store->cnipa_store_is_available());
    EXPECT_EQ((std::vector<std::string>{Check_failed, "E: Firma non valida.", Corrupt}), _reports.lines());
    EXPECT_FALSE(store->merged_store()->contains(pki_certificate("accredited-root")));
    // The other lists load regardless.
    EXPECT_TRUE(store->merged_store()->contains(pki_certificate("card-root")));
    EXPECT_TRUE(store->merged_store()->contains(pki_certificate("user-root")));
    try {
        (void)store->is_in_cnipa_list(pki_certificate("accredited-root"));
        FAIL() << "membership without the list";
    } catch (const std::logic_error& error) {
        EXPECT_STREQ("Assertion failed: cnipa_store_is_available ()", error.what());
    }
}

TEST_F(Trusted_store_test, a_signature_by_anyone_but_the_publisher_is_refused)
{
    // The impostor's signature is sound and carries the publisher's certificate, last: only the
    // certificate that signed counts.
    std::filesystem::copy_file(pki_folder() / "cnipa-impostor.sst.p7s", data("cnipa.sst.p7s"),
                               std::filesystem::copy_options::overwrite_existing);
    auto store = load();
    EXPECT_FALSE(store->cnipa_store_is_available());
    EXPECT_EQ((std::vector<std::string>{Corrupt}), _reports.lines());
}

TEST_F(Trusted_store_test, the_publisher_is_recognised_among_several_carried_certificates)
{
    // Signed by the publisher, carrying the publisher's CA and an unrelated certificate too.
    const std::vector<uint8_t> list = bytes_of(read_file(data("cnipa.sst")));
    const std::vector<uint8_t> signature = sign_detached(list, "publisher", {"publisher-ca", "impostor"});
    write_file(data("cnipa.sst.p7s"), std::string(signature.begin(), signature.end()));
    EXPECT_TRUE(load()->cnipa_store_is_available());
    EXPECT_TRUE(_reports.lines().empty());
}

TEST_F(Trusted_store_test, a_program_built_for_another_publisher_refuses_the_list)
{
    auto store = std::make_unique<Trusted_store>(_folder.path().string(), pki_text("impostor.cert.pem"));
    EXPECT_FALSE(store->cnipa_store_is_available());
    EXPECT_EQ((std::vector<std::string>{Corrupt}), _reports.lines());
}

TEST_F(Trusted_store_test, without_a_publisher_the_list_is_not_read_and_the_others_load)
{
    // A build configured without a publisher carries an empty text.
    for (const std::string& publisher : {std::string(), std::string("nessun certificato")}) {
        Report_capture reports;
        auto store = std::make_unique<Trusted_store>(_folder.path().string(), publisher);
        EXPECT_FALSE(store->cnipa_store_is_available());
        EXPECT_EQ((std::vector<std::string>{std::string("W: ") + Cnipa_list_without_publisher_text}), reports.lines());
        EXPECT_FALSE(store->merged_store()->contains(pki_certificate("accredited-root")));
        EXPECT_TRUE(store->merged_store()->contains(pki_certificate("card-root")));
        EXPECT_TRUE(store->user_store_is_available());
    }
}

TEST_F(Trusted_store_test, a_missing_or_damaged_signature_file_is_reported)
{
    std::filesystem::remove(data("cnipa.sst.p7s"));
    EXPECT_FALSE(load()->cnipa_store_is_available());
    EXPECT_EQ((std::vector<std::string>{Check_failed, "E: Impossibile trovare il file specificato.", Corrupt}),
              _reports.lines());

    const std::string good = read_file(pki_folder() / "velin-data/data/cnipa.sst.p7s");
    for (const std::string& damaged :
         {std::string("not a signature"), std::string(), good.substr(0, good.size() - 1), good.substr(0, 40)}) {
        Report_capture again;
        write_file(data("cnipa.sst.p7s"), damaged);
        EXPECT_FALSE(load()->cnipa_store_is_available());
        EXPECT_EQ((std::vector<std::string>{Check_failed, "E: Errore di codifica o decodifica ASN1.", Corrupt}),
                  again.lines())
            << damaged.size() << " bytes";
    }

    // A signature that embeds the list instead of standing beside it.
    Report_capture embedded;
    const std::string list = read_file(data("cnipa.sst"));
    const std::vector<uint8_t> attached = sign_detached(bytes_of(list), "publisher", {}, false);
    write_file(data("cnipa.sst.p7s"), std::string(attached.begin(), attached.end()));
    EXPECT_FALSE(load()->cnipa_store_is_available());
    EXPECT_EQ((std::vector<std::string>{Check_failed, "E: La firma non è separata dal contenuto.", Corrupt}),
              embedded.lines());
}

TEST_F(Trusted_store_test, a_signed_file_that_is_no_list_fails_to_load)
{
    const std::vector<uint8_t> garbage = bytes_of("signed, but no certificate store");
    write_file(data("cnipa.sst"), std::string(garbage.begin(), garbage.end()));
    const std::vector<uint8_t> signature = sign_detached(garbage, "publisher");
    write_file(data("cnipa.sst.p7s"), std::string(signature.begin(), signature.end()));
    auto store = load();
    EXPECT_FALSE(store->cnipa_store_is_available());
    EXPECT_EQ(
        (std::vector<std::string>{
            "E: Il caricamento del file con la lista dei certificati accreditati dallo Stato Italiano è fallito."}),
        _reports.lines());
}

TEST_F(Trusted_store_test, a_damaged_card_list_is_reported_and_nothing_else_stops)
{
    write_file(data("cns.sst"), "danneggiato");
    auto store = load();
    EXPECT_EQ(
        (std::vector<std::string>{"E: Impossibile caricare il file con la lista dei certificati per la Carta Velin."}),
        _reports.lines());
    EXPECT_TRUE(store->cnipa_store_is_available());
    EXPECT_TRUE(store->user_store_is_available());
    EXPECT_TRUE(store->lists_not_installed().empty());
    EXPECT_EQ("", store->take_not_installed_notice());
}

// A machine where nobody installed the lists yet: nothing is reported as it loads (the signer
// would show every error in a box, a window every line), the lists missing are noted, and their
// notice is given once, whoever asks first.
TEST_F(Trusted_store_test, lists_never_installed_are_no_error_and_their_notice_is_given_once)
{
    for (const char* name : {"cnipa.sst", "cnipa.sst.p7s", "cns.sst", "user.sst"})
        std::filesystem::remove(data(name));
    auto store = load();
    EXPECT_TRUE(_reports.lines().empty()) << _reports.lines().front();
    EXPECT_FALSE(traced(Level_error, {"lista"}));
    EXPECT_EQ((std::vector<std::string>{"cnipa.sst", "cns.sst"}), store->lists_not_installed());
    EXPECT_FALSE(store->cnipa_store_is_available());
    EXPECT_FALSE(store->cnipa_list_failed());
    ASSERT_TRUE(store->user_store_is_available()) << "an empty list of one's own, to import into";
    const std::string notice = store->take_not_installed_notice();
    EXPECT_EQ(lists_not_installed_text({"cnipa.sst", "cns.sst"}), notice);
    EXPECT_TRUE(notice.starts_with("Le liste dei certificati cnipa.sst e cns.sst non sono installate")) << notice;
    for (const char* how : {"velin-verify --aggiorna-liste", "\"Aggiorna le liste\"", "How trust is anchored"})
        EXPECT_NE(notice.find(how), std::string::npos) << how;
    EXPECT_EQ("", store->take_not_installed_notice()) << "said once";
    EXPECT_TRUE(lists_not_installed_text({"cns.sst"}).starts_with("La lista dei certificati cns.sst non è installata"));
    EXPECT_EQ("", lists_not_installed_text({}));

    // Only the card list missing; and no data folder at all.
    Report_capture again;
    restore_fixture_data();
    std::filesystem::remove(data("cns.sst"));
    auto partly = load();
    EXPECT_TRUE(again.lines().empty()) << again.lines().front();
    EXPECT_EQ((std::vector<std::string>{"cns.sst"}), partly->lists_not_installed());
    EXPECT_TRUE(partly->cnipa_store_is_available());
    EXPECT_EQ((std::vector<std::string>{"cnipa.sst", "cns.sst"}),
              Trusted_store("", pki_text("publisher.cert.pem")).lists_not_installed());
    EXPECT_TRUE(again.lines().empty());
}

// What is there but cannot be used stays an error: a signature whose list is gone, a list that
// cannot be read.
TEST_F(Trusted_store_test, a_list_that_is_there_but_unusable_stays_an_error)
{
    std::filesystem::remove(data("cnipa.sst"));
    auto store = load();
    EXPECT_EQ((std::vector<std::string>{Check_failed, "E: Impossibile trovare il file specificato.", Corrupt}),
              _reports.lines());
    EXPECT_TRUE(store->cnipa_list_failed());
    EXPECT_TRUE(store->lists_not_installed().empty());

    Report_capture folder_list;
    restore_fixture_data();
    std::filesystem::remove(data("cns.sst"));
    std::filesystem::create_directory(data("cns.sst"));
    auto unreadable = load();
    EXPECT_EQ(
        (std::vector<std::string>{"E: Impossibile caricare il file con la lista dei certificati per la Carta Velin."}),
        folder_list.lines());
    EXPECT_TRUE(unreadable->lists_not_installed().empty());
}

TEST_F(Trusted_store_test, a_missing_user_list_starts_empty_and_the_first_save_creates_it)
{
    std::filesystem::remove(data("user.sst"));
    auto store = load();
    EXPECT_TRUE(_reports.lines().empty()) << "the user is not told";
    // Traced, but not as an error: a list not made yet is where every user starts.
    EXPECT_TRUE(traced(Level_info, {"utente"}));
    EXPECT_FALSE(traced(Level_error, {"utente"}));
    ASSERT_TRUE(store->user_store_is_available());

    const Certificate added = pki_certificate("signer-self-signed");
    store->add_user_certificate(added);
    EXPECT_TRUE(store->merged_store()->contains(added)) << "visible before it is saved";
    store->save_user_list();
    EXPECT_EQ((std::vector<std::string>{"I: Aggiunto nuovo certificato utente.", "I: Lista utente salvata."}),
              _reports.lines());
    auto reloaded = load();
    EXPECT_TRUE(reloaded->user_store()->contains(added));
}

TEST_F(Trusted_store_test, a_damaged_user_list_is_left_alone)
{
    write_file(data("user.sst"), "damaged");
    auto store = load();
    EXPECT_FALSE(store->user_store_is_available());
    try {
        store->add_user_certificate(pki_certificate("signer-user"));
        FAIL() << "adding without a user list";
    } catch (const std::logic_error& error) {
        EXPECT_STREQ("Assertion failed: is_assigned (_user_store_handle_)", error.what());
    }
    store->save_user_list();
    EXPECT_EQ((std::vector<std::string>{"I: Salvataggio lista utente fallita."}), _reports.lines());
    EXPECT_EQ("damaged", read_file(data("user.sst")));
}

TEST_F(Trusted_store_test, each_user_keeps_a_list_of_his_own_that_starts_from_the_installed_one)
{
    const std::filesystem::path personal = _folder.path() / "home" / "velin-manager" / "user.sst";
    const std::string installed = read_file(data("user.sst"));
    const auto load_personal = [&] {
        return std::make_unique<Trusted_store>(_folder.path().string(), pki_text("publisher.cert.pem"),
                                               personal.string());
    };
    auto store = load_personal();
    ASSERT_TRUE(store->user_store_is_available());
    const auto installed_certificates = store->user_store()->certificates();
    EXPECT_FALSE(installed_certificates.empty()) << "the installation's list is the starting point";

    const Certificate added = pki_certificate("signer-self-signed");
    store->add_user_certificate(added);
    store->save_user_list();
    EXPECT_EQ("I: Lista utente salvata.", _reports.lines().back());
    EXPECT_EQ(installed, read_file(data("user.sst"))) << "the shared list is never written";
    auto reloaded = load_personal();
    EXPECT_TRUE(reloaded->user_store()->contains(added));
    EXPECT_EQ(installed_certificates.size() + 1, reloaded->user_store()->certificates().size());

    // A damaged personal list is neither replaced by the installed one nor overwritten.
    write_file(personal, "damaged");
    auto damaged = load_personal();
    EXPECT_FALSE(damaged->user_store_is_available());
    damaged->save_user_list();
    EXPECT_EQ("damaged", read_file(personal));

    ::setenv("XDG_DATA_HOME", "relative", 1);
    const char* home = std::getenv("HOME");
    if (home && *home == '/') {
        EXPECT_EQ(std::string(home) + "/.local/share/velin-manager/user.sst", Trusted_store::personal_user_list_path());
    }
    ::setenv("XDG_DATA_HOME", (_folder.path() / "share").c_str(), 1);
    EXPECT_EQ((_folder.path() / "share" / "velin-manager" / "user.sst").string(),
              Trusted_store::personal_user_list_path());
}

TEST_F(Trusted_store_test, replacing_a_user_certificate_keeps_one_copy)
{
    auto store = load();
    store->add_user_certificate(pki_certificate("user-root"));
    store->save_user_list();
    EXPECT_EQ(1u, store->user_store()->size());
    EXPECT_EQ(read_file(pki_folder() / "velin-data" / "data" / "user.sst"), read_file(data("user.sst")));
}

TEST_F(Trusted_store_test, the_user_list_changes_while_a_worker_reads_the_merged_store)
{
    auto store = load();
    const Certificate extra = pki_certificate("signer-self-signed");
    std::atomic<bool> done{false};
    std::thread worker([&] {
        while (!done)
            for (const Certificate& certificate : store->merged_store()->certificates())
                (void)store->merged_store()->find_by_subject(certificate.subject_name());
    });
    for (int round = 0; round < 300; ++round) {
        store->user_store()->add_certificate(extra);
        store->user_store()->delete_certificate(extra);
    }
    done = true;
    worker.join();
    EXPECT_EQ(1u, store->user_store()->size());
}

TEST_F(Trusted_store_test, no_data_folder_means_no_lists)
{
    auto store = std::make_unique<Trusted_store>("", pki_text("publisher.cert.pem"));
    ASSERT_NE(nullptr, store->merged_store());
    EXPECT_FALSE(store->cnipa_store_is_available());
    EXPECT_FALSE(store->user_store_is_available());
    EXPECT_EQ(0u, store->merged_store()->size());
}

TEST(Common_data_folder, comes_from_the_environment_without_trailing_slashes)
{
    private_environment();
    const std::string saved = std::getenv("VELIN_DATA_DIR") ? std::getenv("VELIN_DATA_DIR") : "";
    ::setenv("VELIN_DATA_DIR", "/srv/velin//", 1);
    EXPECT_EQ("/srv/velin", lookup_common_data_folder());
    ::unsetenv("VELIN_DATA_DIR");
    EXPECT_EQ("/var/lib/velin-manager", lookup_common_data_folder());
    ::setenv("VELIN_DATA_DIR", "", 1);
    EXPECT_EQ("", lookup_common_data_folder());
    EXPECT_TRUE(traced(Level_error, {"cartella comune"}));
    ::setenv("VELIN_DATA_DIR", saved.c_str(), 1);
}

TEST(Shared_trusted_store, is_one_object_loaded_from_the_common_data_folder)
{
    private_environment();
    copy_fixture_data(common_data_folder());
    Report_capture reports;
    auto first = shared_trusted_store();
    auto second = shared_trusted_store();
    EXPECT_EQ(first.get(), second.get());
    // The program's own publisher certificate is the demo publisher of the test PKI unless the
    // build was pointed at another one.
    if (pem_certificate_thumbprint(list_publisher_pem) == pem_certificate_thumbprint(pki_text("publisher.cert.pem"))) {
        EXPECT_TRUE(first->cnipa_store_is_available());
    }
    EXPECT_TRUE(first->merged_store()->contains(pki_certificate("card-root")));
}

} // namespace
} // namespace velin::test
