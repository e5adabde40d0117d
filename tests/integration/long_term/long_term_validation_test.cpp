// What a signed file carries for its own verification later on: a PDF's document time stamp
// (checked, reported as a time stamp, and the time that counts for the signatures before it), a
// PDF's DSS and a CAdES signer's certificate and revocation values (the chain and the revocation
// without the network: the only distribution point is a closed loopback port), and the checks of
// a PDF signature's signing-certificate attribute and weak digest. A PKI of the past made here: a
// listed authority granted from 2016 and withdrawn on 1 June 2024, an intermediate the stores do
// not hold, and a qualified time-stamping service.
#include "VelinVerify/pipeline/existence_proof.h"
#include "VelinVerify/pipeline/layer_analysis.h"
#include "VelinVerify/pipeline/report_channel.h"
#include "VelinVerify/worker/cancel_flag.h"
#include "common/failure.h"
#include "common/owner.h"
#include "eventually.h"
#include "java_bridge/java_vm.h"
#include "java_bridge/pdf_verify.h"
#include "revocation_pki.h"
#include "test_folder.h"
#include "trust/ocsp.h"
#include "trust/trusted_list_store.h"
#include "withdrawn_authority_list.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <openssl/cms.h>
#include <openssl/ocsp.h>
#include <openssl/pem.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>

namespace velin {
namespace {

namespace fs = std::filesystem;

using test::utc;

// A loopback port nothing listens on.
int closed_port()
{
    const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(socket);
    return ntohs(address.sin_port);
}

// A DER SEQUENCE of the encodings (each a whole element).
std::vector<uint8_t> sequence(const std::vector<std::vector<uint8_t>>& elements, uint8_t tag = 0x30)
{
    std::vector<uint8_t> body;
    for (const auto& element : elements)
        body.insert(body.end(), element.begin(), element.end());
    std::vector<uint8_t> encoded{tag};
    if (body.size() < 128) {
        encoded.push_back(static_cast<uint8_t>(body.size()));
    } else {
        encoded.push_back(0x82);
        encoded.push_back(static_cast<uint8_t>(body.size() >> 8));
        encoded.push_back(static_cast<uint8_t>(body.size()));
    }
    encoded.insert(encoded.end(), body.begin(), body.end());
    return encoded;
}

struct Past_pki : test::Withdrawn_authority_pki {
    test::Key intermediate_key = test::new_key(), signer_key = test::new_key(), chained_tsa_key = test::new_key();
    // chained_tsa: an authority under the intermediate, on no list.
    Certificate intermediate, signer, other, chained_tsa;

    Past_pki()
    {
        const std::time_t from = utc("2015-01-01T00:00:00Z"), to = utc("2045-01-01T00:00:00Z");
        const std::string crl_url = "http://127.0.0.1:" + std::to_string(closed_port()) + "/intermedia.crl";
        intermediate = test::make_certificate({.serial = 2,
                                               .common_name = "CA intermedia",
                                               .not_before = from,
                                               .not_after = to,
                                               .authority = true,
                                               .key_usage = "critical,keyCertSign,cRLSign"},
                                              intermediate_key, ca, ca_key);
        signer = test::make_certificate({.serial = 3,
                                         .common_name = "Firmatario a lungo termine",
                                         .not_before = utc("2017-01-01T00:00:00Z"),
                                         .not_after = to,
                                         .points = {test::uri_point(crl_url)},
                                         .key_usage = "critical,nonRepudiation"},
                                        signer_key, intermediate, intermediate_key);
        other = test::make_certificate({.serial = 4,
                                        .common_name = "Altro firmatario",
                                        .not_before = from,
                                        .not_after = to,
                                        .key_usage = "critical,nonRepudiation"},
                                       signer_key, intermediate, intermediate_key);
        chained_tsa = test::make_certificate({.serial = 6,
                                              .common_name = "Marche sotto la CA intermedia",
                                              .not_before = from,
                                              .not_after = to,
                                              .key_usage = "critical,digitalSignature",
                                              .extended_key_usage = "critical,timeStamping"},
                                             chained_tsa_key, intermediate, intermediate_key);
    }

    // The intermediate's current list, naming the serial numbers given.
    std::vector<uint8_t> crl(std::vector<long> revoked = {}) const
    {
        return test::make_crl({.revoked = std::move(revoked)}, intermediate, intermediate_key);
    }

    // The intermediate's own answer about the signer, good, as a BasicOCSPResponse.
    std::vector<uint8_t> basic_ocsp_answer() const
    {
        const std::unique_ptr<OCSP_REQUEST, decltype(&OCSP_REQUEST_free)> request(OCSP_REQUEST_new(),
                                                                                  OCSP_REQUEST_free);
        OCSP_request_add0_id(request.get(),
                             OCSP_cert_to_id(EVP_sha1(), signer.raw_handle(), intermediate.raw_handle()));
        unsigned char* der = nullptr;
        const int size = i2d_OCSP_REQUEST(request.get(), &der);
        const std::string request_der(reinterpret_cast<char*>(der), static_cast<size_t>(std::max(size, 0)));
        OPENSSL_free(der);
        const std::string answer =
            test::make_ocsp_answer(request_der, {.nonce = test::Nonce_reply::None}, intermediate, intermediate_key);
        const auto* in = reinterpret_cast<const unsigned char*>(answer.data());
        const std::unique_ptr<OCSP_RESPONSE, decltype(&OCSP_RESPONSE_free)> response(
            d2i_OCSP_RESPONSE(nullptr, &in, static_cast<long>(answer.size())), OCSP_RESPONSE_free);
        const std::unique_ptr<OCSP_BASICRESP, decltype(&OCSP_BASICRESP_free)> basic(
            response ? OCSP_response_get1_basic(response.get()) : nullptr, OCSP_BASICRESP_free);
        unsigned char* basic_der = nullptr;
        const int basic_size = basic ? i2d_OCSP_BASICRESP(basic.get(), &basic_der) : 0;
        std::vector<uint8_t> bytes(basic_der, basic_der + std::max(basic_size, 0));
        OPENSSL_free(basic_der);
        return bytes;
    }

    // A CAdES envelope of the signer with the given certificate and revocation values (none when empty),
    // and a signing-certificate-v2 attribute naming the certificate given.
    std::vector<uint8_t> envelope(const std::vector<uint8_t>& certificate_values,
                                  const std::vector<uint8_t>& revocation_values,
                                  const Certificate* named = nullptr) const
    {
        const std::string text = "Contratto con i dati di validazione nella busta.\n";
        const Owner<BIO> content(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
        const unsigned flags = CMS_BINARY | CMS_PARTIAL | CMS_NOSMIMECAP;
        const Owner<CMS_ContentInfo> cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
        CMS_SignerInfo* info = CMS_add1_signer(cms.get(), signer.raw_handle(), signer_key.get(), EVP_sha256(), flags);
        if (named) {
            const Owner<ESS_SIGNING_CERT_V2> binding(
                OSSL_ESS_signing_cert_v2_new_init(EVP_sha256(), named->raw_handle(), nullptr, 1));
            unsigned char* encoded = nullptr;
            const int length = i2d_ESS_SIGNING_CERT_V2(binding.get(), &encoded);
            const Owner<unsigned char, Openssl_free> owned(encoded);
            CMS_signed_add1_attr_by_NID(info, NID_id_smime_aa_signingCertificateV2, V_ASN1_SEQUENCE, encoded, length);
        }
        EXPECT_EQ(CMS_final(cms.get(), content.get(), nullptr, CMS_BINARY), 1);
        for (const auto& [nid, value] : {std::pair{NID_id_smime_aa_ets_certValues, &certificate_values},
                                         std::pair{NID_id_smime_aa_ets_revocationValues, &revocation_values}})
            if (!value->empty())
                CMS_unsigned_add1_attr_by_NID(info, nid, V_ASN1_SEQUENCE, value->data(),
                                              static_cast<int>(value->size()));
        unsigned char* der = nullptr;
        const int size = i2d_CMS_ContentInfo(cms.get(), &der);
        const Owner<unsigned char, Openssl_free> owned(der);
        return std::vector<uint8_t>(der, der + std::max(size, 0));
    }
};

void write_pem(const fs::path& path, const Certificate& certificate)
{
    const Owner<BIO> file(BIO_new_file(path.c_str(), "w"));
    PEM_write_bio_X509(file.get(), certificate.raw_handle());
}

void write_pem(const fs::path& path, const test::Key& key)
{
    const Owner<BIO> file(BIO_new_file(path.c_str(), "w"));
    PEM_write_bio_PrivateKey(file.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
}

constexpr const char* Legal = "Firma digitale (con validità legale)";
constexpr const char* Attestation = "Firma elettronica (attestazione)";

// The one PKI of the program.
const Past_pki& past_pki()
{
    static const Past_pki pki;
    return pki;
}

// The PDFs, made once from that PKI: the intermediate and its list in the DSS.
const fs::path& pdfs()
{
    static test::Test_folder folder;
    static const bool made = [] {
        const Past_pki& pki = past_pki();
        const fs::path in = folder / "in";
        fs::create_directories(in / "dss");
        write_pem(in / "signer.cert.pem", pki.signer);
        write_pem(in / "signer.key.pem", pki.signer_key);
        write_pem(in / "other.cert.pem", pki.other);
        write_pem(in / "tsa.cert.pem", pki.tsa);
        write_pem(in / "tsa.key.pem", pki.tsa_key);
        write_pem(in / "tsa2.cert.pem", pki.chained_tsa);
        write_pem(in / "tsa2.key.pem", pki.chained_tsa_key);
        test::write_file(in / "stamp-time", std::to_string(utc("2023-05-01T10:00:00Z")));
        test::write_file(in / "dss" / "intermedia.cer", test::string_of(pki.intermediate.der()));
        test::write_file(in / "dss" / "intermedia.crl", test::string_of(pki.crl()));
        const std::string command = std::string(VELIN_MAKE_LTV_PDFS) + " " + folder.path().string() + " " +
                                    in.string() + " >" + (folder / "make.log").string() + " 2>&1";
        return std::system(command.c_str()) == 0;
    }();
    EXPECT_TRUE(made) << test::read_file(folder / "make.log");
    return folder.path();
}

class Long_term_validation : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        test::private_environment();
        Java_vm::instance().set_sources_for_tests(Runtime_root, std::string(), VELIN_JAVA_FOLDER);
    }
    void SetUp() override { cancel_flag() = false; }

    std::unique_ptr<Layer_analysis> verify(std::vector<uint8_t> bytes, const std::string& name, bool revocation)
    {
        Pipeline_services services;
        services.trusted_store = [store = pki.store] { return store; };
        services.check_revocations = check_revocations;
        services.pdf_decoder = [] { return std::make_shared<Pdf_verify>(); };
        Pipeline_settings settings;
        settings.check_revocation = revocation;
        auto layer = std::make_unique<Layer_analysis>(settings, std::move(services));
        layer->set_source_bytes(Document_bytes(std::move(bytes)), name);
        layer->start();
        EXPECT_TRUE(test::eventually([&] { return layer->finished(); }, std::chrono::seconds(60)));
        return layer;
    }
    std::unique_ptr<Layer_analysis> verify_pdf(const std::string& name, bool revocation = false)
    {
        return verify(test::read_bytes(pdfs() / name), name, revocation);
    }

    static bool has(const std::vector<Status_line>& lines, const std::string& text)
    {
        return std::any_of(lines.begin(), lines.end(), [&](const Status_line& line) { return line.text == text; });
    }
    static bool has_prefix(const std::vector<Status_line>& lines, const std::string& text)
    {
        return std::any_of(lines.begin(), lines.end(),
                           [&](const Status_line& line) { return line.text.starts_with(text); });
    }

    const Past_pki& pki = past_pki();
    SEH_translation translation;
};

TEST_F(Long_term_validation, a_document_time_stamp_is_a_time_stamp_and_the_time_that_counts_for_the_signature_before_it)
{
    // Signed today under an authority withdrawn in 2024: judged now, an attestation.
    const auto alone = verify_pdf("lt.pdf");
    EXPECT_EQ(alone->shown_signature().kind, Attestation);
    EXPECT_TRUE(has_prefix(alone->shown_signature().status,
                           "Stato della lista e qualifica valutati alla data della verifica: "));

    // A qualified document time stamp of 2023 in a later revision: the signature is judged then.
    const auto stamped = verify_pdf("stamped.pdf");
    ASSERT_EQ(stamped->signer_records().size(), 1u);
    EXPECT_EQ(stamped->shown_signature().kind, Legal);
    EXPECT_TRUE(
        has(stamped->shown_signature().status,
            "Stato della lista e qualifica valutati alla data della marca temporale: 01/05/2023 10:00:00 (UTC)."));
    ASSERT_EQ(stamped->timestamps().size(), 1u);
    const Timestamp_record& record = stamped->timestamps().front();
    EXPECT_EQ(record.info.scope, Timestamp_scope::Document);
    EXPECT_TRUE(record.info.verified()) << record.info.problem;
    EXPECT_TRUE(record.usable());
    EXPECT_EQ(record.info.covered_signers, std::vector<size_t>{0});
    EXPECT_TRUE(has(stamped->activity(), "Marca temporale: 01/05/2023 10:00:00 (UTC), Marche qualificate"));

    // A signature made after the time stamp is not covered by it: judged now.
    const auto later = verify_pdf("stamped-then-signed.pdf");
    ASSERT_EQ(later->signer_records().size(), 2u);
    ASSERT_EQ(later->timestamps().size(), 1u);
    EXPECT_EQ(later->timestamps().front().info.covered_signers, std::vector<size_t>{0});
    later->select_signature(0);
    EXPECT_EQ(later->shown_signature().kind, Legal);
    later->select_signature(1);
    EXPECT_EQ(later->shown_signature().kind, Attestation);

    // The same bytes with the time stamp's token changed: not verified, so it moves nothing.
    std::vector<uint8_t> bytes = test::read_bytes(pdfs() / "stamped.pdf");
    const std::string text(bytes.begin(), bytes.end());
    const size_t hole = text.find('<', text.rfind("/Contents"));
    bytes[hole + 200] = bytes[hole + 200] == 'A' ? 'B' : 'A';
    const auto broken = verify(bytes, "stamped.pdf", false);
    ASSERT_EQ(broken->timestamps().size(), 1u);
    EXPECT_FALSE(broken->timestamps().front().info.verified());
    EXPECT_EQ(broken->shown_signature().kind, Attestation);
}

TEST_F(Long_term_validation, a_listed_unit_whose_revocation_cannot_be_checked_still_gives_the_time_and_says_why)
{
    // The qualified service's unit names no list and has no issuer to sign one: its revocation
    // cannot be checked, and the trusted list vouches for it at the time stamp's time.
    const auto stamped = verify_pdf("stamped.pdf", true);
    ASSERT_EQ(stamped->timestamps().size(), 1u);
    const Timestamp_record& record = stamped->timestamps().front();
    EXPECT_TRUE(record.revocation_unknown());
    EXPECT_TRUE(record.usable());
    EXPECT_TRUE(has(stamped->activity(), Text_unknown_unit_vouched));
    EXPECT_TRUE(
        has(stamped->shown_signature().status,
            "Stato della lista e qualifica valutati alla data della marca temporale: 01/05/2023 10:00:00 (UTC)."));

    // The unit under the intermediate is on no list: nothing vouches for it, the time stays now.
    const auto chained = verify_pdf("chain-stamped.pdf", true);
    ASSERT_EQ(chained->timestamps().size(), 1u);
    EXPECT_FALSE(chained->timestamps().front().usable());
}

TEST_F(Long_term_validation, a_time_stamp_in_a_pdf_signature_is_checked_and_the_time_that_counts_for_it)
{
    // PAdES-B-T: the qualified authority's token of 2023 over the signature value, in its CMS.
    const auto stamped = verify_pdf("signature-stamped.pdf");
    ASSERT_EQ(stamped->signer_records().size(), 1u);
    ASSERT_EQ(stamped->timestamps().size(), 1u);
    const Timestamp_record& record = stamped->timestamps().front();
    EXPECT_EQ(record.info.scope, Timestamp_scope::Signature);
    EXPECT_TRUE(record.info.verified()) << record.info.problem;
    EXPECT_EQ(stamped->shown_signature().kind, Legal);
    EXPECT_TRUE(
        has(stamped->shown_signature().status,
            "Stato della lista e qualifica valutati alla data della marca temporale: 01/05/2023 10:00:00 (UTC)."));

    // Its token changed (outside the signed bytes): the time stamp does not hold and moves nothing.
    std::vector<uint8_t> bytes = test::read_bytes(pdfs() / "signature-stamped.pdf");
    std::string text(bytes.begin(), bytes.end());
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    const size_t token = text.find("060B2A864886F70D010910020E"); // the attribute's type, in hex
    ASSERT_NE(token, std::string::npos);
    bytes[token + 400] = bytes[token + 400] == 'A' ? 'B' : 'A';
    const auto broken = verify(bytes, "signature-stamped.pdf", false);
    ASSERT_EQ(broken->timestamps().size(), 1u);
    EXPECT_FALSE(broken->timestamps().front().info.verified());
    EXPECT_NE(broken->shown_signature().kind, Legal);
    EXPECT_FALSE(has_prefix(broken->shown_signature().status,
                            "Stato della lista e qualifica valutati alla data della marca temporale"));
}

TEST_F(Long_term_validation, a_pdf_gives_its_chain_and_crl_from_the_file_without_the_network)
{
    // From the DSS (PAdES-LT), and from the signature's CMS: the intermediate among its
    // certificates, the CRL in its signed revocation archive.
    for (const std::string name : {"lt.pdf", "archived.pdf"}) {
        SCOPED_TRACE(name);
        const auto layer = verify_pdf(name, true);
        if (name == "lt.pdf") {
            EXPECT_TRUE(has(layer->activity(), "Il file contiene dati di validazione per la verifica a lungo termine: "
                                               "1 certificato, 1 CRL, 0 risposte OCSP."));
        }
        ASSERT_EQ(layer->signer_records().size(), 1u);
        const Signer_record& record = layer->signer_records().front();
        EXPECT_TRUE(record.chain.is_assigned());
        EXPECT_TRUE(has(layer->activity(), "Certificato della catena contenuto nel file: CA intermedia."));
        EXPECT_EQ(record.revocation_status, Revocation_status::Valid);
        EXPECT_TRUE(
            has(layer->activity(), "Revoca verificata tramite la CRL contenuta nel file: Firmatario a lungo termine."));
        EXPECT_FALSE(has_prefix(layer->activity(), "Revoca verificata tramite CRL"));
    }
}

TEST_F(Long_term_validation, a_time_stamp_authority_is_chained_through_the_intermediates_its_token_carries)
{
    // An authority on no list, under the listed root through an intermediate only its token carries.
    for (const auto& [name, trusted] :
         {std::pair{"chain-stamped.pdf", true}, std::pair{"chain-stamped-bare.pdf", false}}) {
        SCOPED_TRACE(name);
        const auto layer = verify_pdf(name);
        ASSERT_EQ(layer->timestamps().size(), 1u);
        const Timestamp_record& record = layer->timestamps().front();
        EXPECT_TRUE(record.info.verified()) << record.info.problem;
        ASSERT_TRUE(record.trusted.is_assigned());
        EXPECT_EQ(record.trusted.value(), trusted);
    }
}

TEST_F(Long_term_validation, a_pades_lta_file_keeps_every_signature_intact_and_names_its_later_changes_as_allowed)
{
    // Signed, DSS, document time stamp, DSS again, a second document time stamp.
    const auto layer = verify_pdf("lta.pdf", true);
    ASSERT_EQ(layer->signer_records().size(), 1u);
    EXPECT_TRUE(has(layer->activity(), changed_after_signatures_text));
    EXPECT_FALSE(has(layer->activity(), forbidden_changes_text));
    EXPECT_FALSE(has(layer->activity(), signature_mismatch_text));
    EXPECT_EQ(layer->shown_signature().kind, Legal);
    EXPECT_TRUE(has(layer->shown_signature().status,
                    "Il documento è stato modificato dopo la firma: marche temporali del documento aggiunte, dati "
                    "per la verifica nel tempo (DSS) aggiunti."));
    ASSERT_EQ(layer->timestamps().size(), 2u);
    for (const Timestamp_record& record : layer->timestamps()) {
        EXPECT_TRUE(record.info.verified()) << record.info.problem;
        EXPECT_TRUE(record.usable());
    }
    // The second document time stamp covers the first one's token: a chain of proofs.
    EXPECT_TRUE(layer->timestamps()[0].info.covered_timestamps.empty());
    EXPECT_EQ(layer->timestamps()[1].info.covered_timestamps, std::vector<size_t>{0});
    EXPECT_TRUE(proves_existence_of(layer->timestamps(), 1, 0));
    EXPECT_EQ(layer->signer_records().front().revocation_status, Revocation_status::Valid);
}

TEST_F(Long_term_validation, a_cades_envelope_gives_its_chain_and_revocation_from_its_values)
{
    const std::vector<uint8_t> certificates = sequence({pki.intermediate.der()});
    const auto crl_values = [](const std::vector<uint8_t>& crl) {
        return sequence({sequence({sequence({crl})}, 0xA0)});
    };
    struct Case {
        const char* name;
        std::vector<uint8_t> certificate_values, revocation_values;
        bool chain;
        Revocation_status status;
        const char* line;
    };
    const std::vector<Case> cases = {
        {"CRL", certificates, crl_values(pki.crl()), true, Revocation_status::Valid,
         "Revoca verificata tramite la CRL contenuta nel file: Firmatario a lungo termine."},
        {"CRL that revokes", certificates, crl_values(pki.crl({3})), true, Revocation_status::Revoked,
         "Revoca verificata tramite la CRL contenuta nel file: Firmatario a lungo termine."},
        {"OCSP", certificates, sequence({sequence({sequence({pki.basic_ocsp_answer()})}, 0xA1)}), true,
         Revocation_status::Valid,
         "Revoca verificata tramite la risposta OCSP contenuta nel file: Firmatario a lungo termine."},
        // A list signed by another key than the issuer's is not taken: the network is asked, in vain.
        {"CRL of another key", certificates, crl_values(test::make_crl({}, pki.intermediate, pki.signer_key)), true,
         Revocation_status::Not_determinable, nullptr},
        {"nothing", {}, {}, false, Revocation_status::Update_disabled, nullptr},
    };
    for (const Case& test_case : cases) {
        SCOPED_TRACE(test_case.name);
        const auto layer =
            verify(pki.envelope(test_case.certificate_values, test_case.revocation_values), "contratto.txt.p7m", true);
        ASSERT_EQ(layer->signer_records().size(), 1u);
        const Signer_record& record = layer->signer_records().front();
        EXPECT_EQ(record.chain.is_assigned(), test_case.chain);
        EXPECT_EQ(record.revocation_status, test_case.status);
        if (test_case.line) {
            EXPECT_TRUE(has(layer->activity(), test_case.line));
        }
        EXPECT_FALSE(has_prefix(layer->activity(), "Revoca verificata tramite CRL"));
    }
}

TEST_F(Long_term_validation, a_signature_is_bound_to_its_certificate_and_sha1_is_flagged)
{
    // The envelope's value matches the key; the certificate the signer signed is another one.
    const auto named_other = verify(pki.envelope({}, {}, &pki.other), "contratto.txt.p7m", false);
    EXPECT_TRUE(has(named_other->shown_signature().status, signing_certificate_mismatch_text));
    EXPECT_TRUE(has(named_other->activity(), signature_mismatch_text));
    const auto named_signer = verify(pki.envelope({}, {}, &pki.signer), "contratto.txt.p7m", false);
    EXPECT_FALSE(has(named_signer->shown_signature().status, signing_certificate_mismatch_text));
    EXPECT_TRUE(has(named_signer->activity(), signatures_intact_text));

    const std::string weak = "L'algoritmo di hash della firma non è più considerato sicuro.";
    const auto swapped = verify_pdf("ess-mismatch.pdf");
    EXPECT_TRUE(has(swapped->shown_signature().status, signing_certificate_mismatch_text));
    EXPECT_TRUE(has(swapped->activity(), signature_mismatch_text));
    EXPECT_FALSE(has(swapped->activity(), signatures_intact_text));

    const auto sha1 = verify_pdf("sha1.pdf");
    EXPECT_TRUE(has(sha1->shown_signature().status, weak));
    EXPECT_FALSE(has(sha1->shown_signature().status, signing_certificate_mismatch_text));
    EXPECT_TRUE(has(sha1->activity(), signatures_intact_text));

    const auto bound = verify_pdf("lt.pdf");
    EXPECT_FALSE(has(bound->shown_signature().status, signing_certificate_mismatch_text));
    EXPECT_FALSE(has(bound->shown_signature().status, weak));
}

} // namespace
} // namespace velin

int main(int argc, char** argv)
{
    velin::test::private_environment();
    QCoreApplication application(argc, argv);
    // What the revocation check reports goes to the layer's own lines, as in the program.
    const velin::Report_channel reports([](const velin::Status_line&) {});
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
