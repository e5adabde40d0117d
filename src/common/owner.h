// The one way the suite owns what a C library hands it.
//
// A library object reached through a pointer is held from the call that made it by
// Owner<T> = std::unique_ptr<T, Release>: Release frees each OpenSSL type with its own function,
// so no return path and no exception can leak or double-free it. Where the type alone does not
// say how to free (memory from OPENSSL_malloc or malloc, a stack that does not own its elements, objects of
// libcurl, LDAP or libp11, whose headers the foundation does not carry), the releaser is named:
// Owner<T, R>, with R defined beside the one layer that uses that library. Integer handles (file
// descriptors, PC/SC contexts and cards) are owned by Handle<T, null, Destructor> in failure.h.
// Shared ownership passes Release{} to std::shared_ptr.
#pragma once

// pem.h comes first, alone: cms.h declares its PEM functions only when pem.h is already in.
#include <openssl/pem.h>

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/cms.h>
#include <openssl/crypto.h>
#include <openssl/ess.h>
#include <openssl/evp.h>
#include <openssl/ocsp.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <memory>

namespace velin {

struct Release {
    void operator()(X509* p) const { X509_free(p); }
    void operator()(X509_CRL* p) const { X509_CRL_free(p); }
    void operator()(X509_STORE* p) const { X509_STORE_free(p); }
    void operator()(X509_STORE_CTX* p) const { X509_STORE_CTX_free(p); }
    // One BIO alone: every BIO of a chain has its own owner, and a chain is popped apart before
    // its owners let go.
    void operator()(BIO* p) const { BIO_free(p); }
    void operator()(BIO_METHOD* p) const { BIO_meth_free(p); }
    void operator()(CMS_ContentInfo* p) const { CMS_ContentInfo_free(p); }
    void operator()(PKCS7* p) const { PKCS7_free(p); }
    void operator()(PKCS7_SIGNER_INFO* p) const { PKCS7_SIGNER_INFO_free(p); }
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
    // ASN1_INTEGER, ASN1_BIT_STRING, ASN1_OCTET_STRING and ASN1_TIME are all this one type.
    void operator()(ASN1_STRING* p) const { ASN1_STRING_free(p); }
    void operator()(ASN1_OBJECT* p) const { ASN1_OBJECT_free(p); }
    void operator()(ASN1_TYPE* p) const { ASN1_TYPE_free(p); }
    // ASN1_SEQUENCE_ANY: a sequence of any values, each owned by it.
    void operator()(STACK_OF(ASN1_TYPE) * p) const { sk_ASN1_TYPE_pop_free(p, ASN1_TYPE_free); }
    void operator()(BIGNUM* p) const { BN_free(p); }
    void operator()(X509_ALGOR* p) const { X509_ALGOR_free(p); }
    void operator()(GENERAL_NAMES* p) const { GENERAL_NAMES_free(p); }
    void operator()(EXTENDED_KEY_USAGE* p) const { EXTENDED_KEY_USAGE_free(p); }
    void operator()(ISSUING_DIST_POINT* p) const { ISSUING_DIST_POINT_free(p); }
    void operator()(CERTIFICATEPOLICIES* p) const { CERTIFICATEPOLICIES_free(p); }
    void operator()(AUTHORITY_INFO_ACCESS* p) const { AUTHORITY_INFO_ACCESS_free(p); }
    void operator()(ESS_SIGNING_CERT* p) const { ESS_SIGNING_CERT_free(p); }
    void operator()(ESS_SIGNING_CERT_V2* p) const { ESS_SIGNING_CERT_V2_free(p); }
    void operator()(OCSP_REQUEST* p) const { OCSP_REQUEST_free(p); }
    void operator()(OCSP_RESPONSE* p) const { OCSP_RESPONSE_free(p); }
    void operator()(OCSP_BASICRESP* p) const { OCSP_BASICRESP_free(p); }
    void operator()(OCSP_CERTID* p) const { OCSP_CERTID_free(p); }
    void operator()(TS_REQ* p) const { TS_REQ_free(p); }
    void operator()(TS_RESP* p) const { TS_RESP_free(p); }
    void operator()(TS_TST_INFO* p) const { TS_TST_INFO_free(p); }
    void operator()(TS_MSG_IMPRINT* p) const { TS_MSG_IMPRINT_free(p); }
    // A stack from a get1 call owns its elements.
    void operator()(STACK_OF(X509) * p) const { sk_X509_pop_free(p, X509_free); }
    void operator()(STACK_OF(X509_CRL) * p) const { sk_X509_CRL_pop_free(p, X509_CRL_free); }
};

template <class T, class Releaser = Release>
using Owner = std::unique_ptr<T, Releaser>;

// Memory OpenSSL allocated for the caller: texts, encodings.
struct Openssl_free {
    void operator()(void* p) const { OPENSSL_free(p); }
};

// Memory from malloc, as the C++ runtime's demangler returns it.
struct C_free {
    void operator()(void* p) const { std::free(p); }
};

// A stack from a get0 call: its elements belong to the object it came from.
struct Release_stack_only {
    void operator()(STACK_OF(X509) * p) const { sk_X509_free(p); }
};

} // namespace velin
