// The PDF signer with the legal test signer's key on a SoftHSM token, without a card reader: a
// document handed over is freed once the Java machine has its copy, the signed document is
// written to its file straight from the machine, and what is written is the document byte for
// byte plus a signed update that our verifier and pdfsig accept, in the PAdES baseline-B profile
// with a DER signature. Damaged, refused and cancelled documents leave nothing to write. The PIN
// handed to the Java machine is wiped there after the login.
#include "card_channel/card_provider.h"
#include "common/failure.h"
#include "common/message_box.h"
#include "generated_fixtures.h"
#include "java_bridge/java_vm.h"
#include "java_bridge/pdf_classes.h"
#include "java_bridge/pdf_verify.h"
#include "norax_sign/pdf_card_signer.h"
#include "norax_sign/sign_batch.h"
#include "softhsm_token.h"
#include "test_folder.h"

#include <gtest/gtest.h>

#include <openssl/cms.h>
#include <openssl/ess.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

namespace velin {
namespace {

namespace fs = std::filesystem;

size_t occurrences(const std::string& text, const std::string& what)
{
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

// The last signature of a signed PDF: its dictionary's text without the /Contents string, and the
// bytes of that string (hex decoded, padding included).
struct Last_signature {
    std::string dictionary;
    std::vector<uint8_t> contents;
};

Last_signature last_signature(const std::vector<uint8_t>& pdf)
{
    const std::string text(pdf.begin(), pdf.end());
    const size_t at = text.rfind("/ByteRange");
    EXPECT_NE(at, std::string::npos);
    long long range[4] = {};
    EXPECT_EQ(
        std::sscanf(text.c_str() + at, "/ByteRange [%lld %lld %lld %lld]", &range[0], &range[1], &range[2], &range[3]),
        4);
    const auto hole_start = static_cast<size_t>(range[1]);
    const auto hole_end = static_cast<size_t>(range[2]);
    Last_signature found;
    if (hole_end > text.size() || hole_start + 2 > hole_end)
        return found;
    const size_t begin = text.rfind(" obj", hole_start);
    const size_t end = text.find("endobj", hole_end);
    found.dictionary = text.substr(begin, hole_start - begin) + text.substr(hole_end, end - hole_end);
    for (size_t i = hole_start + 1; i + 2 < hole_end; i += 2)
        found.contents.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return found;
}

class Signed_pdf : public testing::Test {
protected:
    // One token per process: the module reads its configuration once.
    static void SetUpTestSuite()
    {
        test::private_environment();
        ASSERT_TRUE(fs::exists(test::Softhsm_token::Module)) << "SoftHSM is missing (Debian package softhsm2)";
        token = new test::Softhsm_token();
        token->key_pair_from(VELIN_PKI_FIXTURES, "signer-legal", "01");
        folder = new test::Test_folder();
        // In big/, three megabytes in one page's content: the stream PDFBox copies while it reads.
        generated = new test::Generated_fixtures(VELIN_GENERATED_PDFS, [](const fs::path& out) {
            const std::string make = std::string(VELIN_MAKE_PDFS) + " '" + out.string();
            return make + "/pdfs' " + VELIN_PKI_FIXTURES + " && " + make + "/big' " + VELIN_PKI_FIXTURES + " 3";
        });
        ASSERT_FALSE(generated->path().empty()) << generated->failure();
    }
    static void TearDownTestSuite()
    {
        delete generated;
        delete folder;
        delete token;
    }

    // A PDF of tests/fixtures/pdf (read only: what the tests write goes to folder).
    static fs::path pdf(const std::string& name) { return generated->path() / "pdfs" / name; }

    void SetUp() override { Java_vm::instance().set_sources_for_tests(Runtime_root, std::string(), VELIN_JAVA_FOLDER); }

    std::unique_ptr<Pdf_card_signer> make_signer()
    {
        return std::make_unique<Pdf_card_signer>(
            0, test::Softhsm_token::Label,
            [this](const std::string& text, unsigned) {
                asked.push_back(text);
                return answer;
            },
            test::Softhsm_token::Module);
    }

    // Our verifier's and pdfsig's word on a signed file: every signature intact and valid.
    void expect_valid(const fs::path& path, size_t signatures)
    {
        Pdf_verify verified;
        verified.parse(test::read_bytes(path));
        ASSERT_EQ(verified.outcome(), Pdf_outcome::Verified) << path;
        ASSERT_EQ(verified.signatures_count(), signatures) << path;
        EXPECT_FALSE(verified.bytes_after_signatures()) << path;
        for (size_t i = 0; i < signatures; ++i) {
            verified.select_signature(i);
            EXPECT_TRUE(verified.signature_integrity().is_assigned() &&
                        verified.signature_integrity().value() == Signature_integrity::Intact)
                << path << " signature " << i;
        }
        const fs::path report = folder->path() / "pdfsig.txt";
        std::system(("pdfsig '" + path.string() + "' > '" + report.string() + "' 2>&1").c_str());
        const std::string checked = test::read_file(report);
        EXPECT_EQ(occurrences(checked, "Signature Validation: Signature is Valid."), signatures) << checked;
    }

    static inline test::Softhsm_token* token = nullptr;
    static inline test::Test_folder* folder = nullptr;
    static inline test::Generated_fixtures* generated = nullptr;
    // Our fault handlers are in place before the machine starts, as in the programs.
    SEH_translation translation;
    std::vector<std::string> asked;
    int answer = IDYES;
};

TEST_F(Signed_pdf, a_document_handed_over_is_signed_in_the_machine_and_written_from_it)
{
    const auto signer = make_signer();
    struct Case {
        fs::path source;
        size_t signatures_after;
    };
    // (A certification that allows form filling and signatures takes another signature too.)
    for (const Case& one : {Case{generated->path() / "big" / "big-plain.pdf", 1}, Case{pdf("signed.pdf"), 2},
                            Case{pdf("signed-twice.pdf"), 3}, Case{pdf("certified-p2.pdf"), 2},
                            Case{pdf("locked-include-Nome.pdf"), 2}}) {
        SCOPED_TRACE(one.source);
        const std::vector<uint8_t> original = test::read_bytes(one.source);
        std::vector<uint8_t> document = original;
        asked.clear();
        signer->sign_releasing(test::Softhsm_token::Pin, document, Flag_pdf);
        ASSERT_TRUE(signer->succeeded());
        EXPECT_EQ(document.capacity(), 0u) << "the process's copy is freed once the machine has the document";
        EXPECT_EQ(asked.size(), one.signatures_after > 1 ? 1u : 0u) << "asked before a signature is added to others";

        const Signed_output& result = signer->result();
        ASSERT_TRUE(result.held);
        EXPECT_GT(result.size(), original.size());
        const fs::path written = folder->path() / ("firmato-" + one.source.filename().string());
        ASSERT_EQ(write_signed_document(written.string(), result), 0);
        const std::vector<uint8_t> signed_bytes = test::read_bytes(written);
        ASSERT_EQ(signed_bytes.size(), result.size());
        EXPECT_TRUE(std::equal(original.begin(), original.end(), signed_bytes.begin()))
            << "an incremental update leaves the document and its earlier signatures byte for byte";
        expect_valid(written, one.signatures_after);
    }

    // Bytes lent rather than handed over are left to their owner and signed the same way.
    const std::vector<uint8_t> plain = test::read_bytes(pdf("plain.pdf"));
    signer->sign(test::Softhsm_token::Pin, plain, Flag_pdf);
    ASSERT_TRUE(signer->succeeded());
    EXPECT_EQ(plain, test::read_bytes(pdf("plain.pdf")));
    ASSERT_EQ(write_signed_document((folder->path() / "firmato-plain.pdf").string(), signer->result()), 0);
    expect_valid(folder->path() / "firmato-plain.pdf", 1);
}

TEST_F(Signed_pdf, damaged_refused_and_cancelled_documents_leave_nothing_to_write)
{
    const auto signer = make_signer();
    // Each failure drops the result before it, so nothing stale can be written in its place.
    const std::vector<uint8_t> whole = test::read_bytes(pdf("plain.pdf"));
    const std::string not_a_pdf = "Questo non è un documento PDF.\n";
    // (PDFBox rebuilds a document cut after its page, so the cut here leaves only the header.)
    for (const std::vector<uint8_t>& damaged :
         {std::vector<uint8_t>(whole.begin(), whole.begin() + 16),
          std::vector<uint8_t>(not_a_pdf.begin(), not_a_pdf.end()), std::vector<uint8_t>{}}) {
        std::vector<uint8_t> good = whole;
        signer->sign_releasing(test::Softhsm_token::Pin, good, Flag_pdf);
        ASSERT_TRUE(signer->succeeded());
        std::vector<uint8_t> document = damaged;
        signer->sign_releasing(test::Softhsm_token::Pin, document, Flag_pdf);
        EXPECT_FALSE(signer->succeeded()) << damaged.size() << " bytes";
        EXPECT_EQ(signer->error_code(), Result_failed);
        EXPECT_FALSE(signer->result().held);
        EXPECT_EQ(signer->result().size(), 0u);
    }

    // "No" to a second signature: cancelled, and nothing held.
    std::vector<uint8_t> signed_pdf = test::read_bytes(pdf("signed.pdf"));
    answer = IDNO;
    asked.clear();
    signer->sign_releasing(test::Softhsm_token::Pin, signed_pdf, Flag_pdf);
    EXPECT_EQ(asked, std::vector<std::string>{Text_already_signed_question});
    EXPECT_FALSE(signer->succeeded());
    EXPECT_EQ(signer->error_code(), Result_cancelled);
    EXPECT_FALSE(signer->result().held);

    // Certified with no change allowed, or signed with a lock of every field or of no change:
    // refused with our text, whatever the answer would be.
    answer = IDYES;
    for (const auto& [name, text] : {std::pair{"certified-p1.pdf", Text_certified_unchangeable},
                                     std::pair{"locked-all.pdf", Text_locked_unchangeable},
                                     std::pair{"locked-p1.pdf", Text_locked_unchangeable}}) {
        SCOPED_TRACE(name);
        std::vector<uint8_t> refused = test::read_bytes(pdf(name));
        asked.clear();
        signer->sign_releasing(test::Softhsm_token::Pin, refused, Flag_pdf);
        EXPECT_EQ(asked, std::vector<std::string>{text});
        EXPECT_FALSE(signer->succeeded());
        EXPECT_EQ(signer->error_code(), Result_failed);
        EXPECT_FALSE(signer->result().held);
    }
}

TEST_F(Signed_pdf, the_signature_is_pades_baseline_b_in_der)
{
    const auto signer = make_signer();
    signer->sign(test::Softhsm_token::Pin, test::read_bytes(pdf("plain.pdf")), Flag_pdf);
    ASSERT_TRUE(signer->succeeded());
    const fs::path written = folder->path() / "pades.pdf";
    ASSERT_EQ(write_signed_document(written.string(), signer->result()), 0);
    const Last_signature signature = last_signature(test::read_bytes(written));
    EXPECT_NE(signature.dictionary.find("/SubFilter /ETSI.CAdES.detached"), std::string::npos) << signature.dictionary;
    EXPECT_NE(signature.dictionary.find("/M (D:"), std::string::npos) << signature.dictionary;

    // DER: what was written is what OpenSSL writes again from what it read, and only zeros pad it.
    const unsigned char* read_at = signature.contents.data();
    std::unique_ptr<CMS_ContentInfo, decltype(&CMS_ContentInfo_free)> cms(
        d2i_CMS_ContentInfo(nullptr, &read_at, static_cast<long>(signature.contents.size())), CMS_ContentInfo_free);
    ASSERT_TRUE(cms);
    const auto length = static_cast<size_t>(read_at - signature.contents.data());
    EXPECT_TRUE(std::all_of(signature.contents.begin() + static_cast<long>(length), signature.contents.end(),
                            [](uint8_t b) { return b == 0; }));
    unsigned char* encoded = nullptr;
    const int encoded_length = i2d_CMS_ContentInfo(cms.get(), &encoded);
    ASSERT_GT(encoded_length, 0);
    EXPECT_TRUE(std::equal(signature.contents.begin(), signature.contents.begin() + static_cast<long>(length), encoded,
                           encoded + encoded_length))
        << "the signature is not in DER (" << length << " bytes read, " << encoded_length << " written again)";
    OPENSSL_free(encoded);

    // Detached, one signer, SHA-256, no signing time (it is /M), the signing certificate named by
    // its SHA-256 hash.
    EXPECT_EQ(CMS_is_detached(cms.get()), 1);
    STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms.get());
    ASSERT_EQ(sk_CMS_SignerInfo_num(signers), 1);
    CMS_SignerInfo* info = sk_CMS_SignerInfo_value(signers, 0);
    X509_ALGOR* digest = nullptr;
    CMS_SignerInfo_get0_algs(info, nullptr, nullptr, &digest, nullptr);
    const ASN1_OBJECT* digest_oid = nullptr;
    X509_ALGOR_get0(&digest_oid, nullptr, nullptr, digest);
    EXPECT_EQ(OBJ_obj2nid(digest_oid), NID_sha256);
    EXPECT_LT(CMS_signed_get_attr_by_NID(info, NID_pkcs9_signingTime, -1), 0);
    const auto* ess = static_cast<const ASN1_STRING*>(
        CMS_signed_get0_data_by_OBJ(info, OBJ_nid2obj(NID_id_smime_aa_signingCertificateV2), -3, V_ASN1_SEQUENCE));
    ASSERT_TRUE(ess);
    const unsigned char* ess_at = ASN1_STRING_get0_data(ess);
    std::unique_ptr<ESS_SIGNING_CERT_V2, decltype(&ESS_SIGNING_CERT_V2_free)> signing_certificate(
        d2i_ESS_SIGNING_CERT_V2(nullptr, &ess_at, ASN1_STRING_length(ess)), ESS_SIGNING_CERT_V2_free);
    ASSERT_TRUE(signing_certificate);
    FILE* pem = std::fopen((fs::path(VELIN_PKI_FIXTURES) / "signer-legal.cert.pem").c_str(), "r");
    ASSERT_TRUE(pem);
    X509* certificate = PEM_read_X509(pem, nullptr, nullptr, nullptr);
    std::fclose(pem);
    ASSERT_TRUE(certificate);
    STACK_OF(X509)* chain = sk_X509_new_null();
    sk_X509_push(chain, certificate);
    EXPECT_EQ(OSSL_ESS_check_signing_certs(nullptr, signing_certificate.get(), chain, 1), 1);
    sk_X509_pop_free(chain, X509_free);
    expect_valid(written, 1);
}

TEST_F(Signed_pdf, the_pin_handed_to_java_is_wiped_after_the_login)
{
    // The slot is found before the Java provider holds the module, as the signer does.
    const auto slot =
        static_cast<jlong>(Card_provider(test::Softhsm_token::Module, test::Softhsm_token::Label).slot_id());
    ASSERT_NE(Java_vm::instance().start(), Jvm_failed);
    const Jvm_thread thread(Java_vm::instance().machine());
    JNIEnv* env = thread.env();
    ASSERT_TRUE(env);
    Java_class_binding binding(Pdf_sign_class, "Pdf_sign", "pdf_sign.",
                               {{"use_token", "(Ljava/lang/String;J)V"},
                                {"initialize", "(I)V"},
                                {"load_store", "([C)V"},
                                {"error", "()I"},
                                {"dispose", "()V"}});
    ASSERT_TRUE(binding.bind(env, "Carica la classe per la firma PDF.."));
    struct Case {
        std::string pin;
        jint error;
    };
    // The right PIN, then a wrong one: the token refuses the login, and says so (the batch stops
    // there rather than try the PIN again on the next document).
    for (const Case& one : {Case{test::Softhsm_token::Pin, 0}, Case{"98765", 9}}) {
        SCOPED_TRACE(one.pin);
        Local_refs refs(env);
        jobject instance = refs.keep(binding.create(env));
        ASSERT_TRUE(instance);
        env->CallVoidMethod(instance, binding.method("use_token"),
                            refs.keep(env->NewStringUTF(test::Softhsm_token::Module)), slot);
        env->CallVoidMethod(instance, binding.method("initialize"), 0);
        ASSERT_EQ(env->CallIntMethod(instance, binding.method("error")), 0);
        std::vector<jchar> digits(one.pin.begin(), one.pin.end());
        jcharArray pin = refs.keep(env->NewCharArray(static_cast<jsize>(digits.size())));
        env->SetCharArrayRegion(pin, 0, static_cast<jsize>(digits.size()), digits.data());
        env->CallVoidMethod(instance, binding.method("load_store"), pin);
        EXPECT_FALSE(env->ExceptionCheck());
        EXPECT_EQ(env->CallIntMethod(instance, binding.method("error")), one.error);
        std::vector<jchar> after(digits.size(), u'?');
        env->GetCharArrayRegion(pin, 0, static_cast<jsize>(after.size()), after.data());
        EXPECT_EQ(after, std::vector<jchar>(digits.size(), 0)) << "the PIN is still in the array handed to Java";
        env->CallVoidMethod(instance, binding.method("dispose"));
    }
}

} // namespace
} // namespace velin
