// What the viewer and the certificate list say of a certificate: names as the list sorts them,
// the general and details pages, the certification path against the installed lists, and the
// files an import reads.
#include "pki.h"
#include "test_folder.h"

#include "VelinVerify/certificates/certificate_files.h"
#include "VelinVerify/certificates/certificate_texts.h"
#include "trust/trusted_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

namespace velin::test {
namespace {

std::vector<std::string> subjects_of(const Certification_path& path)
{
    std::vector<std::string> names;
    for (const Certificate& certificate : path.certificates)
        names.push_back(simple_display_name(certificate.subject_name()));
    return names;
}

const Certificate_field* find_field(const std::vector<Certificate_field>& fields, const std::string& name)
{
    const auto found =
        std::find_if(fields.begin(), fields.end(), [&](const Certificate_field& f) { return f.name == name; });
    return found == fields.end() ? nullptr : &*found;
}

TEST(Certificate_texts, names_are_the_values_last_first_quoted_where_they_would_be_ambiguous)
{
    EXPECT_EQ("TINIT-RSSMRA80A01L999X, MARIO, ROSSI, ROSSI MARIO, Certificatore Accreditato Demo S.p.A., IT",
              certificate_list_text(pki_certificate("signer-legal")));
    EXPECT_EQ("CN = ROSSI MARIO\nO = Certificatore Accreditato Demo S.p.A.\nC = IT",
              name_lines(pki_certificate("signer-legal").subject_name())
                  .substr(name_lines(pki_certificate("signer-legal").subject_name()).find("CN = ")));

    std::unique_ptr<X509_NAME, decltype(&X509_NAME_free)> name(X509_NAME_new(), X509_NAME_free);
    auto add = [&](const char* field, const char* value, int set) {
        ASSERT_EQ(1, X509_NAME_add_entry_by_txt(name.get(), field, MBSTRING_UTF8,
                                                reinterpret_cast<const unsigned char*>(value), -1, -1, set));
    };
    add("C", "IT", 0);
    add("O", "Rossi, Bianchi & \"Soci\"", 0);
    add("OU", "Firma", 0);
    add("CN", "Perché", -1); // same RDN as the unit: a multi-valued attribute
    add("CN", " spazio", 0);
    EXPECT_EQ("\" spazio\", Firma + Perché, \"Rossi, Bianchi & \"\"Soci\"\"\", IT", name_values_reversed(name.get()));
    EXPECT_EQ("Perché", simple_display_name(name.get()));
    EXPECT_EQ("", name_values_reversed(nullptr));
}

TEST(Certificate_texts, general_page_of_a_signer_and_of_an_authority)
{
    const Certificate_general signer = certificate_general(pki_certificate("signer-legal"));
    EXPECT_EQ("ROSSI MARIO", signer.issued_to);
    EXPECT_EQ("Certificatore Accreditato Demo Firma Qualificata CA", signer.issued_by);
    EXPECT_EQ("01/01/2025", signer.valid_from);
    EXPECT_EQ("01/01/2045", signer.valid_to);
    EXPECT_EQ((std::vector<std::string>{"Firma digitale", "Non ripudio"}), signer.intended_uses);

    const Certificate_general authority = certificate_general(pki_certificate("accredited-root"));
    EXPECT_EQ(authority.issued_to, authority.issued_by);
    EXPECT_EQ((std::vector<std::string>{"Firma di certificati", "Firma di liste di revoca (CRL)"}),
              authority.intended_uses);
    EXPECT_EQ((std::vector<std::string>{"Tutti gli usi"}),
              certificate_general(pki_certificate("signer-no-ku")).intended_uses);
}

TEST(Certificate_texts, details_hold_every_field_and_extension)
{
    const Certificate certificate = pki_certificate("signer-legal");
    const std::vector<Certificate_field> fields = certificate_fields(certificate);
    std::vector<std::string> names;
    for (const Certificate_field& field : fields)
        names.push_back(field.name);
    EXPECT_EQ((std::vector<std::string>{"Versione", "Numero di serie", "Algoritmo della firma", "Autorità emittente",
                                        "Valido dal", "Valido fino al", "Soggetto", "Chiave pubblica",
                                        "X509v3 Basic Constraints", "X509v3 Key Usage", "X509v3 Subject Key Identifier",
                                        "X509v3 Authority Key Identifier", "X509v3 CRL Distribution Points",
                                        "Identificazione personale (SHA-1)"}),
              names);
    EXPECT_EQ("V3", find_field(fields, "Versione")->value);
    EXPECT_EQ("10 01", find_field(fields, "Numero di serie")->value);
    EXPECT_EQ("sha256WithRSAEncryption", find_field(fields, "Algoritmo della firma")->value);
    EXPECT_EQ("01/01/2045 00:00:00", find_field(fields, "Valido fino al")->value);
    EXPECT_EQ("RSA (2048 Bits)", find_field(fields, "Chiave pubblica")->value);
    EXPECT_NE(std::string::npos, find_field(fields, "Chiave pubblica")->full_text.find("Modulus"));
    EXPECT_EQ(certificate.thumbprint(), find_field(fields, "Identificazione personale (SHA-1)")->value);

    const Certificate_field* usage = find_field(fields, "X509v3 Key Usage");
    EXPECT_EQ("Digital Signature, Non Repudiation", usage->value);
    EXPECT_EQ("OID: 2.5.29.15\nCritica: sì\n\nDigital Signature, Non Repudiation", usage->full_text);
    const Certificate_field* points = find_field(fields, "X509v3 CRL Distribution Points");
    EXPECT_NE(std::string::npos, points->full_text.find("Critica: no"));
    EXPECT_EQ("Full Name: URI:http://127.0.0.1:8799/crl/accredited-ca.crl", points->value);
}

class Certification_path_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        private_environment();
        copy_fixture_data(_folder.path());
        _store = std::make_unique<Trusted_store>(_folder.path().string(), pki_text("publisher.cert.pem"));
    }

    Test_folder _folder;
    Report_capture _reports;
    std::unique_ptr<Trusted_store> _store;
};

TEST_F(Certification_path_test, root_first_as_chain_building_finds_it)
{
    const std::time_t now = 1893456000; // 2030-01-01
    const Certification_path legal = certification_path(*_store, pki_certificate("signer-legal"));
    EXPECT_TRUE(legal.complete);
    EXPECT_EQ((std::vector<std::string>{"Certificatore Accreditato Demo Root CA",
                                        "Certificatore Accreditato Demo Firma Qualificata CA", "ROSSI MARIO"}),
              subjects_of(legal));
    EXPECT_EQ("Il certificato è valido.", certification_status_text(legal, 2, now));
    EXPECT_EQ("", certification_status_text(legal, 3, now));

    const Certification_path user = certification_path(*_store, pki_certificate("signer-user"));
    EXPECT_TRUE(user.complete);
    EXPECT_EQ(2u, user.certificates.size());

    const Certification_path expired = certification_path(*_store, pki_certificate("signer-expired"));
    EXPECT_TRUE(expired.complete);
    EXPECT_EQ("Il certificato è scaduto.", certification_status_text(expired, 2, now));
    EXPECT_EQ("Il certificato non è ancora valido.",
              certification_status_text(certification_path(*_store, pki_certificate("signer-not-yet-valid")), 2, now));
}

TEST_F(Certification_path_test, an_incomplete_path_goes_as_far_as_the_lists_allow)
{
    const std::time_t now = 1893456000;
    // Its intermediate is on no list: the certificate alone, its issuer unknown.
    const Certification_path orphan = certification_path(*_store, pki_certificate("signer-orphan"));
    EXPECT_FALSE(orphan.complete);
    EXPECT_EQ((std::vector<std::string>{"ORFANI SARA"}), subjects_of(orphan));
    EXPECT_EQ("L'emittente di questo certificato non si trova nelle liste dei certificati attendibili.",
              certification_status_text(orphan, 0, now));

    const Certification_path self = certification_path(*_store, pki_certificate("signer-self-signed"));
    EXPECT_FALSE(self.complete);
    EXPECT_EQ(1u, self.certificates.size());
    EXPECT_EQ("Il certificato radice non si trova nelle liste dei certificati attendibili.",
              certification_status_text(self, 0, now));

    // Issued by an end entity of the national list: the walk stops at the signer, never above it.
    const Certification_path forged = certification_path(*_store, pki_certificate("signer-forged"));
    EXPECT_FALSE(forged.complete);
    EXPECT_EQ(1u, forged.certificates.size());

    // Two authorities certifying each other: the walk ends.
    write_list(_folder.path(), "user", {"cross-a", "cross-b"});
    const Trusted_store crossed(_folder.path().string(), pki_text("publisher.cert.pem"));
    const Certification_path cross = certification_path(crossed, pki_certificate("signer-cross"));
    EXPECT_FALSE(cross.complete);
    EXPECT_EQ(3u, cross.certificates.size());
    EXPECT_EQ("La catena di certificati è incompleta.", certification_status_text(cross, 2, now));
}

TEST(Certificate_files, what_an_import_finds_in_a_file)
{
    private_environment();
    Test_folder folder;
    const Certificate certificate = pki_certificate("user-root");
    write_file(folder / "der.cer", std::string(certificate.der().begin(), certificate.der().end()));
    write_file(folder / "two.crt", pki_text("user-root.cert.pem") + pki_text("card-root.cert.pem"));
    write_file(folder / "cut.cer", std::string(certificate.der().begin(), certificate.der().end() - 10));
    write_file(folder / "empty.cer", "");

    auto read = [&](const std::string& name) { return read_certificate_file((folder / name).string()); };
    using Outcome = Imported_certificate::Outcome;
    EXPECT_EQ(Outcome::Certificate, read("der.cer").outcome);
    EXPECT_EQ(certificate, read("der.cer").certificate);
    EXPECT_EQ(certificate, read("two.crt").certificate);
    EXPECT_EQ(Outcome::Not_a_certificate,
              read_certificate_file((pki_folder() / "documents" / "contratto-signer-legal.txt.p7m").string()).outcome);
    EXPECT_EQ(Outcome::Not_a_certificate,
              read_certificate_file((pki_folder() / "velin-data/data/cns.sst").string()).outcome);
    EXPECT_EQ(Outcome::Not_a_certificate, read_certificate_file((pki_folder() / "crl/card-root.crl").string()).outcome);
    for (const char* name : {"cut.cer", "empty.cer"}) {
        EXPECT_EQ(Outcome::Undecodable, read(name).outcome) << name;
        EXPECT_EQ(Error_no_match, read(name).error) << name;
    }
    EXPECT_EQ(2u, read("missing.cer").error);

    // A file far larger than any certificate is not read at all.
    std::filesystem::resize_file(folder / "empty.cer", Store_file_max_size + 1);
    EXPECT_EQ(Outcome::Undecodable, read("empty.cer").outcome);
    EXPECT_NE(Error_no_match, read("empty.cer").error);
}

TEST(Certificate_files, an_export_is_a_serialized_element_under_a_harmless_name)
{
    auto store = Certificate_store::create_memory();
    const Certificate certificate = pki_certificate("user-root");
    EXPECT_FALSE(Export_certificate(*store, certificate).succeeded());
    store->add_certificate(certificate);
    const Export_certificate exported(*store, certificate);
    ASSERT_TRUE(exported.succeeded());
    const Queried_object object = query_object(exported.value());
    EXPECT_EQ(Object_content::Serialized_certificate, object.content);
    EXPECT_EQ(certificate.der(), object.elements.at(0).content);

    EXPECT_EQ("Studio_20Notarile_20Demo_20CA_20Interna.crt", proposed_export_name(certificate));
    Certificate named = certificate;
    named.set_friendly_name("../../etc/passwd");
    EXPECT_EQ(".._2f.._2fetc_2fpasswd.crt", proposed_export_name(named));
}

} // namespace
} // namespace velin::test
