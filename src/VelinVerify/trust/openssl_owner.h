// Single owners of OpenSSL objects: every object the trust layer creates is held by one of these
// from the call that made it, so no return path can leak or double-free it.
#pragma once

#include <openssl/bio.h>
#include <openssl/pem.h> // before cms.h, which declares its PEM functions only after it
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

namespace velin {

struct Openssl_release {
    void operator()(X509* p) const { X509_free(p); }
    void operator()(X509_CRL* p) const { X509_CRL_free(p); }
    void operator()(BIO* p) const { BIO_free(p); }
    void operator()(CMS_ContentInfo* p) const { CMS_ContentInfo_free(p); }
    void operator()(PKCS7* p) const { PKCS7_free(p); }
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(ASN1_BIT_STRING* p) const { ASN1_BIT_STRING_free(p); }
    void operator()(GENERAL_NAMES* p) const { GENERAL_NAMES_free(p); }
    void operator()(STACK_OF(X509) * p) const { sk_X509_pop_free(p, X509_free); }
    void operator()(STACK_OF(X509_CRL) * p) const { sk_X509_CRL_pop_free(p, X509_CRL_free); }
};

template <class T>
using Openssl_owner = std::unique_ptr<T, Openssl_release>;

} // namespace velin
