// The signing-certificate attribute as other software writes it: the signer's certificate first,
// then, as RFC 5035 allows, the certificates of its chain.
#include "common/owner.h"
#include "envelope/timestamp_token.h"

#include <gtest/gtest.h>

#include <openssl/cms.h>
#include <openssl/ess.h>
#include <openssl/pem.h>

#include <cstdio>
#include <string>
#include <vector>

namespace velin {
namespace {

// A PEM file of the test PKI read with reader: name.cert.pem or name.key.pem.
template <typename T, typename Reader>
Owner<T> test_pki_pem(const std::string& file_name, Reader reader)
{
    const std::string path = std::string(VELIN_SOURCE_DIR) + "/tests/fixtures/pki/" + file_name;
    FILE* file = std::fopen(path.c_str(), "r");
    EXPECT_NE(file, nullptr) << path;
    Owner<T> read(file ? reader(file, nullptr, nullptr, nullptr) : nullptr);
    if (file)
        std::fclose(file);
    return read;
}

Owner<X509> certificate_file(const std::string& name)
{
    return test_pki_pem<X509>(name + ".cert.pem", PEM_read_X509);
}

Owner<EVP_PKEY> key_file(const std::string& name)
{
    return test_pki_pem<EVP_PKEY>(name + ".key.pem", PEM_read_PrivateKey);
}

// An envelope signed by signer whose signing-certificate-v2 attribute names first, then the
// others; the envelope carries the certificates of carried.
Owner<CMS_ContentInfo> envelope_naming(X509* signer, EVP_PKEY* key, X509* first, std::vector<X509*> others,
                                       std::vector<X509*> carried)
{
    const std::string document = "Delibera n. 12.\n";
    Owner<BIO> content(BIO_new_mem_buf(document.data(), static_cast<int>(document.size())));
    Owner<CMS_ContentInfo> cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, CMS_PARTIAL | CMS_BINARY));
    CMS_SignerInfo* info = CMS_add1_signer(cms.get(), signer, key, EVP_sha256(), CMS_PARTIAL | CMS_BINARY);
    Owner<STACK_OF(X509)> chain(sk_X509_new_null());
    for (X509* other : others)
        sk_X509_push(chain.get(), X509_dup(other));
    Owner<ESS_SIGNING_CERT_V2> named(OSSL_ESS_signing_cert_v2_new_init(EVP_sha256(), first, chain.get(), 1));
    unsigned char* der = nullptr;
    const int length = i2d_ESS_SIGNING_CERT_V2(named.get(), &der);
    EXPECT_GT(length, 0);
    EXPECT_EQ(CMS_signed_add1_attr_by_NID(info, NID_id_smime_aa_signingCertificateV2, V_ASN1_SEQUENCE, der, length), 1);
    OPENSSL_free(der);
    for (X509* certificate : carried)
        CMS_add1_cert(cms.get(), certificate);
    EXPECT_EQ(CMS_final(cms.get(), content.get(), nullptr, CMS_BINARY), 1);
    return cms;
}

TEST(Signing_certificate, the_signer_comes_first_and_the_chain_after_it_is_checked_where_it_is_carried)
{
    const Owner<X509> signer = certificate_file("signer-legal");
    const Owner<EVP_PKEY> key = key_file("signer-legal");
    const Owner<X509> authority = certificate_file("accredited-ca");
    const Owner<X509> other = certificate_file("signer-user");
    ASSERT_TRUE(signer && key && authority && other);
    const struct {
        const char* what;
        X509* first;
        std::vector<X509*> others;
        std::vector<X509*> carried;
        bool bound;
    } cases[] = {
        {"the signer alone", signer.get(), {}, {signer.get()}, true},
        {"the signer, then its authority, carried",
         signer.get(),
         {authority.get()},
         {signer.get(), authority.get()},
         true},
        {"the signer, then its authority, not carried", signer.get(), {authority.get()}, {signer.get()}, true},
        {"another certificate first", other.get(), {signer.get()}, {signer.get(), other.get()}, false},
        {"the authority first", authority.get(), {signer.get()}, {signer.get(), authority.get()}, false},
    };
    for (const auto& sample : cases) {
        const Owner<CMS_ContentInfo> cms =
            envelope_naming(signer.get(), key.get(), sample.first, sample.others, sample.carried);
        CMS_SignerInfo* info = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0);
        const Owner<STACK_OF(X509)> carried(CMS_get1_certs(cms.get()));
        EXPECT_EQ(signing_certificate_bound(info, signer.get(), carried.get()), sample.bound) << sample.what;
    }
}

} // namespace
} // namespace velin
