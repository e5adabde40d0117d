// Chain building and classification for each case of the test PKI, on lists built per test.
#include "pki.h"
#include "qualified_certificate.h"
#include "test_folder.h"
#include "trace_records.h"

#include "trust/chain_builder.h"
#include "trust/qualification.h"
#include "trust/report.h"
#include "trust/trusted_list_store.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>

namespace velin::test {
namespace {

class Chain_builder_test : public ::testing::Test {
protected:
    void SetUp() override { private_environment(); }

    // The lists of one test: cnipa signed by the publisher (none when cnipa is empty).
    std::unique_ptr<Trusted_store> lists(const std::vector<std::string>& cnipa, const std::vector<std::string>& cns,
                                         const std::vector<std::string>& user)
    {
        std::filesystem::remove(_folder / "data/cnipa.sst");
        std::filesystem::remove(_folder / "data/cnipa.sst.p7s");
        if (!cnipa.empty()) {
            write_list(_folder.path(), "cnipa", cnipa);
            const std::vector<uint8_t> bytes = bytes_of(read_file(_folder / "data/cnipa.sst"));
            const std::vector<uint8_t> signature = sign_detached(bytes, "publisher");
            write_file(_folder / "data/cnipa.sst.p7s", std::string(signature.begin(), signature.end()));
        }
        write_list(_folder.path(), "cns", cns);
        write_list(_folder.path(), "user", user);
        return std::make_unique<Trusted_store>(_folder.path().string(), pki_text("publisher.cert.pem"));
    }
    std::unique_ptr<Trusted_store> installed_lists()
    {
        copy_fixture_data(_folder.path());
        return std::make_unique<Trusted_store>(_folder.path().string(), pki_text("publisher.cert.pem"));
    }

    static std::vector<std::string> names(const std::vector<Certificate>& chain)
    {
        std::vector<std::string> result;
        for (const Certificate& certificate : chain)
            result.push_back(certificate.display_name());
        return result;
    }

    Test_folder _folder;
    Report_capture _reports;
};

void expect_kind(const Chain_outcome& outcome, Signature_kind kind, const char* shown)
{
    EXPECT_TRUE(outcome.kind_assigned) << outcome.kind_message;
    EXPECT_EQ(kind, outcome.kind);
    EXPECT_EQ(shown, signature_kind_text(outcome.kind_assigned ? 2 : 3, outcome.kind));
}

void expect_incomplete(const Chain_outcome& outcome)
{
    EXPECT_FALSE(outcome.complete);
    EXPECT_TRUE(outcome.chain.empty());
    expect_kind(outcome, Signature_kind::Undetermined, "<informazione non disponibile>");
}

TEST_F(Chain_builder_test, accredited_root_and_non_repudiation_give_legal_value)
{
    auto store = installed_lists();
    const std::size_t mark = trace_mark();
    const Chain_outcome outcome = build_chain(*store, pki_certificate("signer-legal"));
    ASSERT_TRUE(outcome.complete);
    EXPECT_EQ((std::vector<std::string>{"ROSSI MARIO", "Certificatore Accreditato Demo Firma Qualificata CA",
                                        "Certificatore Accreditato Demo Root CA"}),
              names(outcome.chain));
    ASSERT_TRUE(outcome.issuer.has_value());
    EXPECT_TRUE(*outcome.issuer == pki_certificate("accredited-ca"));
    expect_kind(outcome, Signature_kind::Legal_value, "Firma digitale (con validità legale)");

    // Each step is traced: the issuer and the root found, the root on the national list, the
    // non-repudiation use, the verdict.
    for (const char* subject : {"catena", "Issuer", "Root", "CNIPA", "Non ripudio", "legale"})
        EXPECT_TRUE(traced(Level_trace, {subject}, mark)) << subject;

    // Dates play no part in the chain: an expired or future signer chains the same way.
    expect_kind(build_chain(*store, pki_certificate("signer-expired")), Signature_kind::Legal_value,
                "Firma digitale (con validità legale)");
    expect_kind(build_chain(*store, pki_certificate("signer-not-yet-valid")), Signature_kind::Legal_value,
                "Firma digitale (con validità legale)");
}

TEST_F(Chain_builder_test, other_complete_chains_are_attestations)
{
    auto store = installed_lists();
    std::size_t mark = trace_mark();
    // Accredited root, but no non-repudiation.
    const Chain_outcome plain = build_chain(*store, pki_certificate("signer-no-nr"));
    EXPECT_TRUE(plain.complete);
    expect_kind(plain, Signature_kind::Attestation, "Firma elettronica (attestazione)");
    EXPECT_TRUE(traced(Level_trace, {"Non ripudio", "non previsto"}, mark));
    mark = trace_mark();

    // Roots trusted through the card list or the user list only.
    for (const char* signer : {"signer-card", "signer-user"}) {
        const Chain_outcome outcome = build_chain(*store, pki_certificate(signer));
        EXPECT_TRUE(outcome.complete) << signer;
        EXPECT_EQ(2u, outcome.chain.size()) << signer;
        expect_kind(outcome, Signature_kind::Attestation, "Firma elettronica (attestazione)");
    }
    EXPECT_EQ(2u, count_traced(Level_trace, {"CNIPA", "non"}, mark));

    // No key usage extension at all: complete chain, kind failed, shown as an attestation.
    const Chain_outcome no_usage = build_chain(*store, pki_certificate("signer-no-ku"));
    EXPECT_TRUE(no_usage.complete);
    EXPECT_FALSE(no_usage.kind_assigned);
    EXPECT_EQ("La rilevazione dell'uso della chiave è fallita.", no_usage.kind_message);
    EXPECT_EQ("Firma elettronica (attestazione)", signature_kind_text(3, no_usage.kind));
}

TEST_F(Chain_builder_test, without_the_national_list_nothing_has_legal_value)
{
    auto store = lists({}, {}, {"accredited-root", "accredited-ca"});
    ASSERT_FALSE(store->cnipa_store_is_available());
    const Chain_outcome outcome = build_chain(*store, pki_certificate("signer-legal"));
    EXPECT_TRUE(outcome.complete);
    EXPECT_FALSE(outcome.kind_assigned);
    EXPECT_EQ("La rilevazione dell'uso della chiave non può essere eseguita.", outcome.kind_message);
}

TEST_F(Chain_builder_test, a_missing_authority_leaves_the_chain_incomplete_but_keeps_the_issuer_below)
{
    auto store = installed_lists();
    // The intermediate is in no list.
    const Chain_outcome orphan = build_chain(*store, pki_certificate("signer-orphan"));
    expect_incomplete(orphan);
    EXPECT_FALSE(orphan.issuer.has_value());

    // The intermediate is known, its root is not.
    const std::size_t mark = trace_mark();
    auto partial = lists({}, {}, {"accredited-ca"});
    const Chain_outcome outcome = build_chain(*partial, pki_certificate("signer-legal"));
    expect_incomplete(outcome);
    ASSERT_TRUE(outcome.issuer.has_value());
    EXPECT_TRUE(*outcome.issuer == pki_certificate("accredited-ca"));
    EXPECT_TRUE(traced(Level_trace, {"incompleta"}, mark));
    EXPECT_TRUE(traced(Level_trace, {"fallita"}, mark));
}

TEST_F(Chain_builder_test, an_end_entity_certificate_never_issues_a_valid_chain)
{
    // end-entity-issuer is on the national list itself, chains to the accredited root and
    // allows non-repudiation; the certificate it signed must still not chain.
    auto store = installed_lists();
    ASSERT_TRUE(store->is_in_cnipa_list(pki_certificate("end-entity-issuer")));
    const Chain_outcome forged = build_chain(*store, pki_certificate("signer-forged"));
    expect_incomplete(forged);
    EXPECT_FALSE(forged.issuer.has_value());
    // The end entity passed over is traced by name.
    EXPECT_TRUE(traced(Level_trace, {"FURBI CARLO"}));

    // Trusted by the user too, it is still no issuer.
    auto user = lists({"accredited-root", "accredited-ca"}, {}, {"end-entity-issuer"});
    expect_incomplete(build_chain(*user, pki_certificate("signer-forged")));

    // Its own signature chains (it is a signer certificate of the accredited CA).
    expect_kind(build_chain(*store, pki_certificate("end-entity-issuer")), Signature_kind::Legal_value,
                "Firma digitale (con validità legale)");
}

TEST_F(Chain_builder_test, two_authorities_certifying_each_other_end_as_incomplete)
{
    auto store = lists({}, {}, {"cross-a", "cross-b"});
    const Chain_outcome outcome = build_chain(*store, pki_certificate("signer-cross"));
    expect_incomplete(outcome);
    ASSERT_TRUE(outcome.issuer.has_value());
    EXPECT_TRUE(*outcome.issuer == pki_certificate("cross-a"));
    EXPECT_TRUE(traced(Level_trace, {"Autorita Incrociata A"}));

    // Starting from one of the authorities themselves ends the same way.
    expect_incomplete(build_chain(*store, pki_certificate("cross-b")));
}

TEST_F(Chain_builder_test, a_self_signed_signer_is_trusted_only_when_it_is_on_a_list)
{
    auto store = installed_lists();
    expect_incomplete(build_chain(*store, pki_certificate("signer-self-signed")));

    store->add_user_certificate(pki_certificate("signer-self-signed"));
    const Chain_outcome trusted = build_chain(*store, pki_certificate("signer-self-signed"));
    ASSERT_TRUE(trusted.complete) << "added to the user list, not yet saved";
    EXPECT_EQ(1u, trusted.chain.size());
    EXPECT_FALSE(trusted.issuer.has_value());
    expect_kind(trusted, Signature_kind::Attestation, "Firma elettronica (attestazione)");

    // On the national list, an end-entity root gives no legal value either.
    auto national = lists({"signer-self-signed"}, {}, {});
    const Chain_outcome listed = build_chain(*national, pki_certificate("signer-self-signed"));
    ASSERT_TRUE(listed.complete);
    expect_kind(listed, Signature_kind::Attestation, "Firma elettronica (attestazione)");
}

TEST_F(Chain_builder_test, a_name_collision_in_the_lists_does_not_break_or_fake_a_chain)
{
    // A foreign authority with the accredited CA's name, listed first in the user list.
    auto store = lists({"accredited-root", "accredited-ca"}, {}, {});
    store->add_user_certificate(same_name_authority(pki_certificate("accredited-ca")));
    expect_kind(build_chain(*store, pki_certificate("signer-legal")), Signature_kind::Legal_value,
                "Firma digitale (con validità legale)");

    auto only_impostor = lists({"accredited-root"}, {}, {});
    only_impostor->add_user_certificate(same_name_authority(pki_certificate("accredited-ca")));
    expect_incomplete(build_chain(*only_impostor, pki_certificate("signer-legal")));
}

TEST_F(Chain_builder_test, the_job_covers_every_signer_and_needs_a_readable_certificate)
{
    auto store = installed_lists();
    const auto outcomes =
        build_chains(*store, {pki_certificate("signer-legal"), Certificate(), pki_certificate("signer-card")});
    ASSERT_TRUE(outcomes.has_value());
    ASSERT_EQ(3u, outcomes->size());
    ASSERT_TRUE((*outcomes)[0].has_value());
    EXPECT_EQ(Signature_kind::Legal_value, (*outcomes)[0]->kind);
    EXPECT_FALSE((*outcomes)[1].has_value()) << "an unreadable signer certificate is skipped";
    ASSERT_TRUE((*outcomes)[2].has_value());
    EXPECT_EQ(Signature_kind::Attestation, (*outcomes)[2]->kind);
    EXPECT_TRUE(traced(Level_info, {"catene"}));

    try {
        (void)build_chain(*store, Certificate());
        FAIL() << "a signer without certificate";
    } catch (const std::logic_error& error) {
        EXPECT_STREQ("Assertion failed: is_assigned ()", error.what());
    }
}

Owner<EVP_PKEY> pki_key(const std::string& name)
{
    const std::string pem = pki_text(name + ".key.pem");
    Owner<BIO> input(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    return Owner<EVP_PKEY>(PEM_read_bio_PrivateKey(input.get(), nullptr, nullptr, nullptr));
}

// Under a root of the national list the certificate's own statements, when it has them, decide:
// a seal, a web certificate, a legal person's certificate or one without a qualified device get
// no legal value, with the reason for the user.
TEST_F(Chain_builder_test, under_the_national_list_the_certificates_statements_decide)
{
    auto store = installed_lists();
    const Owner<EVP_PKEY> key(EVP_EC_gen("P-256"));
    const Owner<EVP_PKEY> authority_key = pki_key("accredited-ca");
    const Certificate authority = pki_certificate("accredited-ca");
    const auto issued = [&](Certificate_spec spec) {
        spec.key_usage = "critical,digitalSignature,nonRepudiation";
        spec.subject.insert(spec.subject.end(), {"GN", "SN"});
        return make_certificate(spec, key.get(), authority.raw_handle(), authority_key.get());
    };
    expect_kind(build_chain(*store, issued({"CSe"})), Signature_kind::Legal_value,
                "Firma digitale (con validità legale)");
    const struct {
        Certificate_spec spec;
        const char* why;
    } refused[] = {
        {{"CSs"}, Qualification_text_seal},
        {{"Cw"}, Qualification_text_web},
        {{"Ce"}, Qualification_text_no_device},
        {{.statements = "CSe", .policies = "0.4.0.194112.1.3"}, Qualification_text_legal_person},
    };
    for (const auto& [spec, why] : refused) {
        const Chain_outcome outcome = build_chain(*store, issued(spec));
        ASSERT_TRUE(outcome.complete) << why;
        expect_kind(outcome, Signature_kind::Attestation, "Firma elettronica (attestazione)");
        EXPECT_EQ(outcome.attestation_reason,
                  std::string("Firma non qualificata. ") + Qualification_text_by_certificate + ": " + why);
    }
    // A legal person's subject without any statements: the national rules of old still decide.
    expect_kind(build_chain(*store, make_certificate(
                                        {.key_usage = "critical,nonRepudiation", .subject = {"organizationIdentifier"}},
                                        key.get(), authority.raw_handle(), authority_key.get())),
                Signature_kind::Legal_value, "Firma digitale (con validità legale)");
}

// Two services of the lists name the same authority: both judge the signer, whichever is listed
// first, and when they disagree there is no legal value.
TEST_F(Chain_builder_test, every_service_that_names_the_authority_judges_the_signer)
{
    auto store = lists({}, {}, {});
    const Owner<EVP_PKEY> authority_key(EVP_EC_gen("P-256"));
    const Owner<EVP_PKEY> key(EVP_EC_gen("P-256"));
    const Certificate authority = make_certificate(
        {.issued = "2015-01-01T00:00:00Z", .authority = true, .common_name = "CA con due servizi", .serial = 1},
        authority_key.get());
    const Certificate signer =
        make_certificate({.statements = "CSe", .issued = "2020-01-01T00:00:00Z", .subject = {"GN", "SN"}}, key.get(),
                         authority.raw_handle(), authority_key.get());
    const std::string qualifier = "http://uri.etsi.org/TrstSvc/TrustedList/SvcInfoExt/";
    const auto service = [&](const char* name, std::vector<Qualification_element> qualifications) {
        return Trust_service{"Prestatore",
                             name,
                             {authority},
                             {tsl_uri::Service_ca_qc,
                              tsl_uri::Status_granted,
                              at("2016-07-01T00:00:00Z"),
                              {tsl_uri::For_signatures},
                              std::move(qualifications)},
                             {},
                             {}};
    };
    const Trust_service as_stated = service("CA firme", {});
    const Trust_service without_device = service(
        "CA firme remote", {{{qualifier + "QCNoQSCD"},
                             {Qualification_criteria::Assertion::All, {{{"nonRepudiation", true}}}, {}, {}, {}, {}}}});
    for (const auto& services : {std::vector<Trust_service>{as_stated, without_device},
                                 std::vector<Trust_service>{without_device, as_stated}}) {
        Trusted_list national;
        national.territory = "IT";
        national.services = services;
        store->use_trusted_lists(std::make_shared<const Trusted_lists>(Kept_list{Trusted_list{}, {}},
                                                                       std::vector<Kept_list>{{national, {}}}));
        const Chain_outcome outcome = build_chain(*store, signer, at("2024-01-01T00:00:00Z"));
        ASSERT_TRUE(outcome.complete);
        expect_kind(outcome, Signature_kind::Attestation, "Firma elettronica (attestazione)");
        EXPECT_NE(outcome.attestation_reason.find(Qualification_text_services_disagree), std::string::npos)
            << outcome.attestation_reason;
    }
    // The same services in agreement: legal value.
    Trusted_list national;
    national.territory = "IT";
    national.services = {as_stated, service("CA firme su dispositivo", {})};
    store->use_trusted_lists(
        std::make_shared<const Trusted_lists>(Kept_list{Trusted_list{}, {}}, std::vector<Kept_list>{{national, {}}}));
    expect_kind(build_chain(*store, signer, at("2024-01-01T00:00:00Z")), Signature_kind::Legal_value,
                "Firma digitale (con validità legale)");
}

TEST(Signature_kind_text, matches_the_window_texts)
{
    EXPECT_EQ("<decodifica in corso...>", signature_kind_text(0, Signature_kind::Undetermined));
    EXPECT_EQ("Firma elettronica (attestazione)", signature_kind_text(2, Signature_kind::Attestation));
    EXPECT_EQ("Firma digitale (con validità legale)", signature_kind_text(2, Signature_kind::Legal_value));
    EXPECT_EQ("<informazione non disponibile>", signature_kind_text(2, Signature_kind::Undetermined));
    EXPECT_EQ("Firma elettronica (attestazione)", signature_kind_text(3, Signature_kind::Legal_value));
}

} // namespace
} // namespace velin::test
