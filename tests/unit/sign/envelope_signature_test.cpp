// The signatures the signer makes, checked from outside: openssl cms reads and verifies them
// against the test PKI, the verifier's own decoder calls them intact, and a parallel signature on
// envelopes made by other programs (DER, BER with indefinite lengths, two signers, signed
// attributes out of DER order, base64, PEM, S/MIME) leaves every earlier signature verifiable and
// the envelope in its form; an envelope whose signatures do not match its document is refused.
#include "common/owner.h"
#include "envelope/base64_decode.h"
#include "envelope/pkcs7.h"
#include "norax_sign/ber_tree.h"
#include "norax_sign/envelope_signature.h"
#include "test_folder.h"
#include "test_identity.h"
#include "verifier_matches.h"

#include <gtest/gtest.h>

#include <openssl/cms.h>
#include <openssl/ess.h>
#include <openssl/pem.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <memory>

namespace velin {
namespace {

namespace fs = std::filesystem;

const fs::path pki = VELIN_PKI_FIXTURES;
const bool environment_ready = (test::private_environment(), true);

using test::bytes_of;
using test::Identity;
using test::text_of;

Identity identity(const std::string& name)
{
    return test::identity_in(pki, name);
}

using Cms = Owner<CMS_ContentInfo>;

Cms read_cms(std::span<const uint8_t> der)
{
    const unsigned char* in = der.data();
    return Cms(d2i_CMS_ContentInfo(nullptr, &in, static_cast<long>(der.size())));
}

class Envelope_signature : public ::testing::Test {
protected:
    // openssl with the arguments; its exit status.
    int openssl(const std::string& arguments) const
    {
        const std::string command = "openssl " + arguments + " >" + (folder / "openssl.out").string() + " 2>&1";
        return std::system(command.c_str()) == 0 ? 0 : 1;
    }
    std::string openssl_output() const { return test::read_file(folder / "openssl.out"); }

    // Every signature of the envelope, against the test PKI's roots, and the content it carries.
    bool openssl_verifies(std::span<const uint8_t> envelope, const std::string& expected_content,
                          const std::string& inform = "DER")
    {
        test::write_file(folder / "check.p7m", text_of(envelope));
        const std::string roots = (folder / "roots.pem").string();
        test::write_file(roots, test::read_file(pki / "accredited-root.cert.pem") +
                                    test::read_file(pki / "accredited-ca.cert.pem") +
                                    test::read_file(pki / "user-root.cert.pem"));
        const bool verified =
            openssl("cms -verify -binary -inform " + inform + " -in " + (folder / "check.p7m").string() + " -CAfile " +
                    roots + " -purpose any -out " + (folder / "content").string()) == 0;
        return verified && test::read_file(folder / "content") == expected_content;
    }

    std::vector<uint8_t> signed_by_openssl(const std::string& options)
    {
        test::write_file(folder / "document.txt", document);
        EXPECT_EQ(openssl("cms -sign -binary -nodetach -md sha256 -outform DER -in " +
                          (folder / "document.txt").string() + " -out " + (folder / "made.p7m").string() + " " +
                          options),
                  0)
            << openssl_output();
        return bytes_of(test::read_file(folder / "made.p7m"));
    }

    std::string signer_options(const std::string& name) const
    {
        return "-signer " + (pki / (name + ".cert.pem")).string() + " -inkey " + (pki / (name + ".key.pem")).string();
    }

    test::Test_folder folder;
    const std::string document = "Delibera n. 12: approvazione del bilancio.\n";
    const std::chrono::system_clock::time_point when =
        std::chrono::system_clock::from_time_t(1796558400); // 2026-12-08 12:00:00 UTC
};

std::vector<uint8_t> assembled(const Envelope_layout& layout, const std::string& document)
{
    std::vector<uint8_t> bytes = layout.head;
    bytes.insert(bytes.end(), document.begin(), document.end());
    bytes.insert(bytes.end(), layout.tail.begin(), layout.tail.end());
    return bytes;
}

TEST_F(Envelope_signature, new_envelope_is_der_cades_bes_and_verifies_everywhere)
{
    const Identity signer = identity("signer-legal");
    const Owner<BIO> content(BIO_new_mem_buf(document.data(), static_cast<int>(document.size())));
    std::string failure;
    const auto layout = new_envelope(content.get(), document.size(), signer.get(), when, failure);
    ASSERT_TRUE(layout) << failure;
    EXPECT_EQ(layout->document_size, document.size());
    const std::vector<uint8_t> envelope = assembled(*layout, document);

    EXPECT_TRUE(openssl_verifies(envelope, document)) << openssl_output();
    EXPECT_EQ(test::verifier_matches(envelope), std::vector<bool>{true});

    // DER: reading and writing it again gives the same bytes.
    const Cms cms = read_cms(envelope);
    ASSERT_TRUE(cms);
    std::vector<uint8_t> again(static_cast<size_t>(i2d_CMS_ContentInfo(cms.get(), nullptr)));
    unsigned char* out = again.data();
    i2d_CMS_ContentInfo(cms.get(), &out);
    EXPECT_EQ(again, envelope);

    // One certificate, the signer's; SHA-256; the four CAdES-BES attributes.
    const Owner<STACK_OF(X509)> certificates(CMS_get1_certs(cms.get()));
    ASSERT_EQ(sk_X509_num(certificates.get()), 1);
    EXPECT_EQ(X509_cmp(sk_X509_value(certificates.get(), 0), signer.certificate.get()), 0);
    CMS_SignerInfo* info = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0);
    X509_ALGOR* digest = nullptr;
    CMS_SignerInfo_get0_algs(info, nullptr, nullptr, &digest, nullptr);
    const ASN1_OBJECT* digest_oid = nullptr;
    X509_ALGOR_get0(&digest_oid, nullptr, nullptr, digest);
    EXPECT_EQ(OBJ_obj2nid(digest_oid), NID_sha256);
    EXPECT_EQ(CMS_signed_get_attr_count(info), 4);
    for (const int nid :
         {NID_pkcs9_contentType, NID_pkcs9_messageDigest, NID_pkcs9_signingTime, NID_id_smime_aa_signingCertificateV2})
        EXPECT_GE(CMS_signed_get_attr_by_NID(info, nid, -1), 0) << OBJ_nid2sn(nid);

    // The signing time is the UTC time given, as UTCTime.
    const auto* time = static_cast<const ASN1_TIME*>(
        CMS_signed_get0_data_by_OBJ(info, OBJ_nid2obj(NID_pkcs9_signingTime), -3, V_ASN1_UTCTIME));
    ASSERT_NE(time, nullptr);
    std::tm fields{};
    ASSERT_EQ(ASN1_TIME_to_tm(time, &fields), 1);
    EXPECT_EQ(timegm(&fields), 1796558400);

    // The signing certificate attribute names this certificate by its SHA-256 hash.
    const auto* essential = static_cast<const ASN1_STRING*>(
        CMS_signed_get0_data_by_OBJ(info, OBJ_nid2obj(NID_id_smime_aa_signingCertificateV2), -3, V_ASN1_SEQUENCE));
    ASSERT_NE(essential, nullptr);
    const unsigned char* in = ASN1_STRING_get0_data(essential);
    const Owner<ESS_SIGNING_CERT_V2> parsed(d2i_ESS_SIGNING_CERT_V2(nullptr, &in, ASN1_STRING_length(essential)));
    ASSERT_TRUE(parsed);
    const Owner<STACK_OF(X509), Release_stack_only> chain(sk_X509_new_null());
    sk_X509_push(chain.get(), signer.certificate.get());
    EXPECT_EQ(OSSL_ESS_check_signing_certs(nullptr, parsed.get(), chain.get(), 1), 1);
    const Identity other = identity("signer-no-nr");
    sk_X509_set(chain.get(), 0, other.certificate.get());
    EXPECT_NE(OSSL_ESS_check_signing_certs(nullptr, parsed.get(), chain.get(), 1), 1);
}

// The SignedData's signer infos inside a DER or BER ContentInfo: the path of containers to them.
struct Signer_path {
    std::span<const uint8_t> content_info, explicit_content, signed_data, signer_infos, signer, attributes;
};

Signer_path first_signer(std::span<const uint8_t> envelope)
{
    Signer_path path;
    path.content_info = *ber_element(envelope);
    path.explicit_content = ber_children(path.content_info)->at(1);
    path.signed_data = ber_children(path.explicit_content)->at(0);
    path.signer_infos = ber_children(path.signed_data)->back();
    path.signer = ber_children(path.signer_infos)->at(0);
    const auto signer_fields = *ber_children(path.signer);
    for (const auto field : signer_fields)
        if (field[0] == 0xA0)
            path.attributes = field;
    return path;
}

// Whether every signer of before is in after byte for byte, and after has one signer more.
bool earlier_signers_kept(std::span<const uint8_t> before, std::span<const uint8_t> after)
{
    const auto signers_before = *ber_children(first_signer(before).signer_infos);
    const auto signers_after = *ber_children(first_signer(after).signer_infos);
    return signers_after.size() == signers_before.size() + 1 &&
           std::all_of(signers_before.begin(), signers_before.end(), [&](auto earlier) {
               return std::any_of(signers_after.begin(), signers_after.end(), [&](auto later) {
                   return std::equal(earlier.begin(), earlier.end(), later.begin(), later.end());
               });
           });
}

TEST_F(Envelope_signature, parallel_signature_keeps_every_earlier_signature)
{
    const Identity cosigner = identity("signer-user");
    struct Case {
        std::string name;
        std::vector<uint8_t> envelope;
        size_t signers;
    };
    const std::vector<Case> cases = {
        {"DER", signed_by_openssl(signer_options("signer-legal")), 1},
        {"BER, indefinite lengths", signed_by_openssl("-stream " + signer_options("signer-legal")), 1},
        {"two signers", signed_by_openssl(signer_options("signer-legal") + " " + signer_options("signer-no-nr")), 2},
        {"no signed attributes", signed_by_openssl("-noattr " + signer_options("signer-legal")), 1},
        {"co-signed by the same holder", signed_by_openssl(signer_options("signer-user")), 1},
    };
    ASSERT_EQ(read_ber_header(cases[1].envelope)->indefinite, true);
    for (const Case& original : cases) {
        std::string failure;
        const auto cosigned = add_parallel_signer(original.envelope, cosigner.get(), when, failure);
        ASSERT_TRUE(cosigned) << original.name << ": " << failure;
        EXPECT_TRUE(openssl_verifies(*cosigned, document)) << original.name << '\n' << openssl_output();
        EXPECT_EQ(test::verifier_matches(*cosigned), std::vector<bool>(original.signers + 1, true)) << original.name;

        const Cms before = read_cms(original.envelope);
        const Cms after = read_cms(*cosigned);
        ASSERT_TRUE(before && after) << original.name;
        EXPECT_EQ(sk_CMS_SignerInfo_num(CMS_get0_SignerInfos(after.get())), static_cast<int>(original.signers + 1));
        const Owner<STACK_OF(X509)> certificates_before(CMS_get1_certs(before.get()));
        const Owner<STACK_OF(X509)> certificates_after(CMS_get1_certs(after.get()));
        const bool same_holder = original.name == "co-signed by the same holder";
        EXPECT_EQ(sk_X509_num(certificates_after.get()), sk_X509_num(certificates_before.get()) + (same_holder ? 0 : 1))
            << original.name;
        EXPECT_TRUE(earlier_signers_kept(original.envelope, *cosigned)) << original.name;
    }
}

// Rebuilds element with the child at `index` replaced.
Ber_node replaced_child(std::span<const uint8_t> element, size_t index, Ber_node replacement)
{
    std::vector<Ber_node> children;
    const auto fields = *ber_children(element);
    for (size_t i = 0; i < fields.size(); ++i)
        children.push_back(i == index ? replacement : Ber_node::verbatim(fields[i]));
    return Ber_node::rebuilt(element, std::move(children));
}

size_t index_of(std::span<const uint8_t> parent, std::span<const uint8_t> child)
{
    const auto children = *ber_children(parent);
    for (size_t i = 0; i < children.size(); ++i)
        if (children[i].data() == child.data())
            return i;
    ADD_FAILURE() << "child not found";
    return 0;
}

// The envelope with its first signer's signed attributes in reverse order (not the DER order of a
// SET), signed again so the signature is valid: what some signing programs produce.
std::vector<uint8_t> with_attributes_out_of_order(std::span<const uint8_t> envelope, EVP_PKEY* key)
{
    const Signer_path path = first_signer(envelope);
    auto attributes = *ber_children(path.attributes);
    std::reverse(attributes.begin(), attributes.end());
    std::vector<Ber_node> reversed;
    for (const auto attribute : attributes)
        reversed.push_back(Ber_node::verbatim(attribute));
    const Ber_node reordered = Ber_node::container({0xA0}, false, reversed);
    const std::vector<uint8_t> signed_form = Ber_node::container({0x31}, false, reversed).bytes();

    const Owner<EVP_MD_CTX> context(EVP_MD_CTX_new());
    size_t size = 0;
    EXPECT_EQ(EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key), 1);
    EXPECT_EQ(EVP_DigestSign(context.get(), nullptr, &size, signed_form.data(), signed_form.size()), 1);
    std::vector<uint8_t> signature(size);
    EXPECT_EQ(EVP_DigestSign(context.get(), signature.data(), &size, signed_form.data(), signed_form.size()), 1);
    std::vector<uint8_t> signature_element = {0x04};
    const std::vector<uint8_t> length = ber_length(size);
    signature_element.insert(signature_element.end(), length.begin(), length.end());
    signature_element.insert(signature_element.end(), signature.begin(), signature.end());

    // SignerInfo: version, sid, digestAlgorithm, [0] signedAttrs, signatureAlgorithm, signature.
    const auto fields = *ber_children(path.signer);
    std::vector<Ber_node> signer_fields;
    for (const auto field : fields) {
        if (field.data() == path.attributes.data())
            signer_fields.push_back(reordered);
        else if (field[0] == 0x04)
            signer_fields.push_back(Ber_node::verbatim(signature_element));
        else
            signer_fields.push_back(Ber_node::verbatim(field));
    }
    const Ber_node signer = Ber_node::rebuilt(path.signer, std::move(signer_fields));
    const Ber_node infos = replaced_child(path.signer_infos, 0, signer);
    const Ber_node signed_data = replaced_child(path.signed_data, index_of(path.signed_data, path.signer_infos), infos);
    const Ber_node explicit_content = replaced_child(path.explicit_content, 0, signed_data);
    return replaced_child(path.content_info, 1, explicit_content).bytes();
}

TEST_F(Envelope_signature, signed_attributes_out_of_der_order_stay_as_they_are)
{
    const Identity legal = identity("signer-legal");
    const std::vector<uint8_t> envelope =
        with_attributes_out_of_order(signed_by_openssl(signer_options("signer-legal")), legal.key.get());
    ASSERT_TRUE(openssl_verifies(envelope, document)) << openssl_output();

    // Reading and writing the envelope again sorts the attributes and breaks the signature: the
    // way a parallel signature must not be made.
    const Cms read = read_cms(envelope);
    std::vector<uint8_t> rewritten(static_cast<size_t>(i2d_CMS_ContentInfo(read.get(), nullptr)));
    unsigned char* out = rewritten.data();
    i2d_CMS_ContentInfo(read.get(), &out);
    EXPECT_FALSE(openssl_verifies(rewritten, document));

    std::string failure;
    const auto cosigned = add_parallel_signer(envelope, identity("signer-user").get(), when, failure);
    ASSERT_TRUE(cosigned) << failure;
    EXPECT_TRUE(openssl_verifies(*cosigned, document)) << openssl_output();
    EXPECT_EQ(test::verifier_matches(*cosigned), (std::vector<bool>{true, true}));
}

TEST_F(Envelope_signature, what_is_not_a_signed_envelope_is_refused_with_a_reason)
{
    const Identity cosigner = identity("signer-user");
    const std::vector<uint8_t> good = signed_by_openssl(signer_options("signer-legal"));
    std::vector<std::vector<uint8_t>> hostile = {
        {},
        bytes_of("non è una busta"),
        {0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF},
        {0x30, 0x89, 1, 2, 3, 4, 5, 6, 7, 8, 9},
        bytes_of("MIIBIjANBgkqhkiG9w0BAQEFAAOCAQ8AMIIBCgKCAQEA\n"),
        bytes_of("-----BEGIN CMS-----\nnon è base64\n-----END CMS-----\n"),
        bytes_of("Content-Type: application/pkcs7-mime\n\nMIIB\n"),
    };
    std::vector<uint8_t> deep;
    for (int i = 0; i < 100000; ++i)
        deep.insert(deep.end(), {0x30, 0x80});
    hostile.push_back(deep);
    for (size_t cut = 1; cut < good.size(); cut += 97)
        hostile.emplace_back(good.begin(), good.begin() + static_cast<ptrdiff_t>(cut));
    test::write_file(folder / "document.txt", document);
    ASSERT_EQ(openssl("cms -sign -binary -md sha256 -outform DER -in " + (folder / "document.txt").string() + " -out " +
                      (folder / "detached.p7m").string() + " " + signer_options("signer-legal")),
              0);
    hostile.push_back(bytes_of(test::read_file(folder / "detached.p7m")));

    for (const auto& bytes : hostile) {
        std::string failure;
        EXPECT_FALSE(add_parallel_signer(bytes, cosigner.get(), when, failure)) << bytes.size();
        EXPECT_FALSE(failure.empty());
    }
    std::string failure;
    EXPECT_FALSE(add_parallel_signer(hostile.back(), cosigner.get(), when, failure));
    EXPECT_EQ(failure, "La busta non contiene il documento firmato.");
    EXPECT_FALSE(ber_element(deep));
}

std::vector<uint8_t> der_again(std::span<const uint8_t> envelope)
{
    const Cms cms = read_cms(envelope);
    if (!cms)
        return {};
    std::vector<uint8_t> again(static_cast<size_t>(i2d_CMS_ContentInfo(cms.get(), nullptr)));
    unsigned char* out = again.data();
    i2d_CMS_ContentInfo(cms.get(), &out);
    return again;
}

TEST_F(Envelope_signature, a_der_envelope_stays_der)
{
    // The earlier signer's digest algorithm and certificate sort after the new signer's, so the
    // new ones go in front of them in DER, not after.
    struct Case {
        std::string name;
        std::vector<uint8_t> envelope;
        int algorithms;
    };
    const std::vector<Case> cases = {
        {"SHA-512", signed_by_openssl("-md sha512 " + signer_options("signer-legal")), 2},
        {"two signers", signed_by_openssl(signer_options("signer-legal") + " " + signer_options("signer-no-nr")), 1},
        {"two signers, SHA-512",
         signed_by_openssl("-md sha512 " + signer_options("signer-legal") + " " + signer_options("signer-no-nr")), 2},
    };
    for (const char* cosigner_name : {"signer-user", "signer-ldap"}) {
        const Identity cosigner = identity(cosigner_name);
        for (const Case& original : cases) {
            const std::string name = original.name + ", " + cosigner_name;
            ASSERT_EQ(der_again(original.envelope), original.envelope) << name;
            std::string failure;
            const auto cosigned = add_parallel_signer(original.envelope, cosigner.get(), when, failure);
            ASSERT_TRUE(cosigned) << name << ": " << failure;
            // DER: what OpenSSL (which writes DER, sets sorted) writes of it again is the same.
            EXPECT_EQ(der_again(*cosigned), *cosigned) << name;
            EXPECT_FALSE(read_ber_header(*cosigned)->indefinite);
            const auto algorithms = *ber_children(ber_children(first_signer(*cosigned).signed_data)->at(1));
            EXPECT_EQ(static_cast<int>(algorithms.size()), original.algorithms) << name;
            EXPECT_TRUE(earlier_signers_kept(original.envelope, *cosigned)) << name;
            EXPECT_TRUE(openssl_verifies(*cosigned, document)) << name << '\n' << openssl_output();
            const size_t signers = ber_children(first_signer(*cosigned).signer_infos)->size();
            EXPECT_EQ(test::verifier_matches(*cosigned), std::vector<bool>(signers, true)) << name;
        }
    }
}

// The lengths of the lines of text, the last one (0 when the text ends with a line end) after
// the last line end; false when a line ends otherwise than with eol.
bool lines_end_with(std::string_view text, std::string_view eol, std::vector<size_t>& lengths)
{
    lengths.clear();
    size_t at = 0;
    for (size_t end; (end = text.find('\n', at)) != std::string_view::npos; at = end + 1) {
        const size_t line_end = end + 1 - eol.size();
        if (end + 1 < at + eol.size() || text.substr(line_end, eol.size()) != eol)
            return false;
        lengths.push_back(line_end - at);
    }
    lengths.push_back(text.size() - at);
    return true;
}

TEST_F(Envelope_signature, every_form_the_verifier_reads_is_co_signed_in_that_form)
{
    const Identity cosigner = identity("signer-user");
    const std::string der = text_of(signed_by_openssl(signer_options("signer-legal")));
    const std::string pem = text_of(signed_by_openssl(signer_options("signer-legal") + " -outform PEM"));
    const std::string smime = text_of(signed_by_openssl(signer_options("signer-legal") + " -outform SMIME"));
    test::write_file(folder / "der.p7m", der);
    ASSERT_EQ(openssl("base64 -in " + (folder / "der.p7m").string()), 0);
    const std::string base64_64 = openssl_output();
    ASSERT_EQ(openssl("base64 -A -in " + (folder / "der.p7m").string()), 0);
    const std::string one_line = openssl_output();
    std::string base64_76_crlf;
    for (size_t at = 0; at < one_line.size(); at += 76)
        base64_76_crlf += one_line.substr(at, 76) + "\r\n";

    struct Case {
        std::string name;
        std::string envelope;
        std::string inform; // for openssl; base64 is decoded first
        std::string head, foot;
        size_t line_length; // 0: one line
        std::string eol;
    };
    const size_t smime_body = smime.find("\n\n") + 2;
    const std::vector<Case> cases = {
        {"PEM", pem, "PEM", "-----BEGIN CMS-----\n", "-----END CMS-----\n", 64, "\n"},
        {"S/MIME", smime, "SMIME", smime.substr(0, smime_body), "", 64, "\n"},
        {"base64 in lines of 64", base64_64, "base64", "", "", 64, "\n"},
        {"base64 on one line", one_line, "base64", "", "", 0, ""},
        {"base64 in lines of 76 with CR LF", base64_76_crlf, "base64", "", "", 76, "\r\n"},
    };
    ASSERT_TRUE(smime.starts_with("MIME-Version: 1.0\n") && smime_body > 2) << smime;
    for (const Case& original : cases) {
        std::string failure;
        const auto cosigned = add_parallel_signer(bytes_of(original.envelope), cosigner.get(), when, failure);
        ASSERT_TRUE(cosigned) << original.name << ": " << failure;
        const std::string text = text_of(*cosigned);
        ASSERT_TRUE(text.starts_with(original.head) && text.ends_with(original.foot) &&
                    text.size() > original.head.size() + original.foot.size())
            << original.name << '\n'
            << text;
        const std::string body =
            text.substr(original.head.size(), text.size() - original.head.size() - original.foot.size());
        std::vector<size_t> lengths;
        ASSERT_TRUE(lines_end_with(body, original.eol.empty() ? "\n" : original.eol, lengths)) << original.name;
        // The text ends with a line end when the original did; every line but the last is full.
        const bool final_line_end = original.envelope.ends_with('\n');
        if (final_line_end && lengths.back() == 0) {
            lengths.pop_back();
        } else {
            EXPECT_FALSE(final_line_end) << original.name;
        }
        ASSERT_FALSE(lengths.empty());
        if (original.line_length == 0) {
            EXPECT_EQ(lengths.size(), 1u) << original.name;
        }
        for (size_t i = 0; i + 1 < lengths.size(); ++i)
            EXPECT_EQ(lengths[i], original.line_length) << original.name << " line " << i;
        EXPECT_LE(lengths.back(), original.line_length ? original.line_length : SIZE_MAX) << original.name;

        std::vector<uint8_t> checked = *cosigned;
        std::string inform = original.inform;
        if (inform == "base64") {
            Base64_decode decoder;
            ASSERT_TRUE(decoder.decode(text)) << original.name;
            checked = decoder.take_value();
            inform = "DER";
        }
        EXPECT_TRUE(openssl_verifies(checked, document, inform)) << original.name << '\n' << openssl_output();
        EXPECT_EQ(test::verifier_matches(*cosigned), (std::vector<bool>{true, true})) << original.name;
    }
}

TEST_F(Envelope_signature, an_envelope_names_its_signers_in_every_form)
{
    const Identity legal = identity("signer-legal");
    const Identity user = identity("signer-user");
    const std::string der = text_of(signed_by_openssl(signer_options("signer-legal")));
    const std::string smime = text_of(signed_by_openssl(signer_options("signer-legal") + " -outform SMIME"));
    for (const std::string& envelope : {der, smime}) {
        EXPECT_TRUE(envelope_signed_by(bytes_of(envelope), legal.certificate.get()));
        EXPECT_FALSE(envelope_signed_by(bytes_of(envelope), user.certificate.get()));
    }
    std::string failure;
    const auto cosigned = add_parallel_signer(bytes_of(der), user.get(), when, failure);
    ASSERT_TRUE(cosigned) << failure;
    EXPECT_TRUE(envelope_signed_by(*cosigned, user.certificate.get()));
    EXPECT_FALSE(envelope_signed_by(bytes_of("no envelope"), legal.certificate.get()));
    EXPECT_FALSE(envelope_signed_by(bytes_of(der), nullptr));
}

TEST_F(Envelope_signature, an_envelope_whose_signatures_do_not_match_its_document_is_not_co_signed)
{
    const Identity cosigner = identity("signer-user");
    // The document's first "12" becomes "13": same length, so the envelope still reads.
    const auto document_changed = [this](std::vector<uint8_t> envelope) {
        const std::string text = text_of(envelope);
        const size_t at = text.find("n. 12");
        EXPECT_NE(at, std::string::npos);
        envelope[at + 4] = '3';
        return envelope;
    };
    // The last octet of the envelope is the last signer's signature's.
    const auto signature_changed = [](std::vector<uint8_t> envelope) {
        envelope.back() ^= 0x01;
        return envelope;
    };
    const std::string legal = signer_options("signer-legal");
    test::write_file(folder / "changed.p7m", text_of(document_changed(signed_by_openssl(legal))));
    ASSERT_EQ(openssl("base64 -in " + (folder / "changed.p7m").string()), 0);
    const std::vector<uint8_t> changed_in_base64 = bytes_of(openssl_output());

    struct Case {
        std::string name;
        std::vector<uint8_t> envelope;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {"document changed", document_changed(signed_by_openssl(legal)), Text_earlier_signature_mismatch},
        {"document changed, BER", document_changed(signed_by_openssl("-stream " + legal)),
         Text_earlier_signature_mismatch},
        {"document changed, no signed attributes", document_changed(signed_by_openssl("-noattr " + legal)),
         Text_earlier_signature_mismatch},
        {"document changed, base64", changed_in_base64, Text_earlier_signature_mismatch},
        {"signature changed", signature_changed(signed_by_openssl(legal)), Text_earlier_signature_mismatch},
        {"one of two signatures changed",
         signature_changed(signed_by_openssl(legal + " " + signer_options("signer-no-nr"))),
         Text_earlier_signature_mismatch},
        {"signer's certificate not in the envelope", signed_by_openssl("-nocerts " + legal),
         Text_earlier_signature_unchecked},
    };
    for (const Case& broken : cases) {
        std::string failure;
        Parallel_stage stage = Parallel_stage::Composing;
        EXPECT_FALSE(add_parallel_signer(broken.envelope, cosigner.get(), when, failure, &stage)) << broken.name;
        EXPECT_EQ(failure, broken.expected) << broken.name;
        // Refused before anything was signed.
        EXPECT_EQ(stage, Parallel_stage::Checking) << broken.name;
    }
    // The verifier sees the same faults.
    EXPECT_EQ(test::verifier_matches(cases[0].envelope), std::vector<bool>{false});
    EXPECT_EQ(test::verifier_matches(cases[4].envelope), std::vector<bool>{false});
}

} // namespace
} // namespace velin
