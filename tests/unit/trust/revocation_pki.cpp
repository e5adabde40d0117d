#include "revocation_pki.h"

#include "common/owner.h"
#include "test_folder.h"

#include <openssl/ocsp.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509v3.h>

#include <filesystem>
#include <stdexcept>

namespace velin::test {

namespace {

template <class T, void (*release)(T*)>
struct Release {
    void operator()(T* p) const { release(p); }
};
template <class T, void (*release)(T*)>
using Owner_freed_by = std::unique_ptr<T, Release<T, release>>;

std::filesystem::path pki_path(const std::string& relative)
{
    const std::filesystem::path path = std::filesystem::path(VELIN_PKI_FIXTURES) / relative;
    if (!std::filesystem::is_regular_file(path))
        throw std::runtime_error("test PKI file missing (run tools/make-test-pki): " + path.string());
    return path;
}

velin::Owner<BIO> pem_input(const std::string& relative)
{
    const std::string text = read_file(pki_path(relative));
    velin::Owner<BIO> input(BIO_new(BIO_s_mem()));
    BIO_write(input.get(), text.data(), static_cast<int>(text.size()));
    return input;
}

void require(bool ok, const char* what)
{
    if (!ok)
        throw std::runtime_error(std::string("test PKI: ") + what);
}

void set_time(ASN1_TIME* field, std::time_t when)
{
    require(ASN1_TIME_set(field, when) != nullptr, "ASN1_TIME_set");
}

GENERAL_NAME* general_name(const Point_name& name)
{
    GENERAL_NAME* made = GENERAL_NAME_new();
    ASN1_IA5STRING* text = ASN1_IA5STRING_new();
    ASN1_STRING_set(text, name.value.data(), static_cast<int>(name.value.size()));
    GENERAL_NAME_set0_value(made, name.type, text);
    return made;
}

X509_EXTENSION* points_extension(const Certificate_recipe& recipe)
{
    if (!recipe.raw_points.empty()) {
        Owner_freed_by<ASN1_OCTET_STRING, ASN1_OCTET_STRING_free> value(ASN1_OCTET_STRING_new());
        ASN1_OCTET_STRING_set(value.get(), reinterpret_cast<const unsigned char*>(recipe.raw_points.data()),
                              static_cast<int>(recipe.raw_points.size()));
        return X509_EXTENSION_create_by_NID(nullptr, NID_crl_distribution_points, 0, value.get());
    }
    CRL_DIST_POINTS* points = sk_DIST_POINT_new_null();
    for (const Distribution_point& point : recipe.points) {
        DIST_POINT* made = DIST_POINT_new();
        made->distpoint = DIST_POINT_NAME_new();
        if (point.relative_name) {
            made->distpoint->type = 1;
            made->distpoint->name.relativename = sk_X509_NAME_ENTRY_new_null();
            sk_X509_NAME_ENTRY_push(made->distpoint->name.relativename,
                                    X509_NAME_ENTRY_create_by_NID(nullptr, NID_commonName, MBSTRING_UTF8,
                                                                  reinterpret_cast<const unsigned char*>("CRL1"), -1));
        } else {
            made->distpoint->type = 0;
            made->distpoint->name.fullname = GENERAL_NAMES_new();
            for (const Point_name& name : point.names)
                sk_GENERAL_NAME_push(made->distpoint->name.fullname, general_name(name));
        }
        sk_DIST_POINT_push(points, made);
    }
    X509_EXTENSION* extension = X509V3_EXT_i2d(NID_crl_distribution_points, 0, points);
    CRL_DIST_POINTS_free(points);
    return extension;
}

std::vector<uint8_t> der_of(X509_CRL* list)
{
    unsigned char* der = nullptr;
    const int length = i2d_X509_CRL(list, &der);
    require(length > 0, "i2d_X509_CRL");
    std::vector<uint8_t> bytes(der, der + length);
    OPENSSL_free(der);
    return bytes;
}

} // namespace

Certificate fixture_certificate(const std::string& name)
{
    velin::Owner<BIO> input = pem_input(name + ".cert.pem");
    Certificate certificate(PEM_read_bio_X509(input.get(), nullptr, nullptr, nullptr), true);
    require(certificate.is_valid(), "unreadable fixture certificate");
    return certificate;
}

Key fixture_key(const std::string& name)
{
    velin::Owner<BIO> input = pem_input(name + ".key.pem");
    Key key(PEM_read_bio_PrivateKey(input.get(), nullptr, nullptr, nullptr), EVP_PKEY_free);
    require(key != nullptr, "unreadable fixture key");
    return key;
}

std::vector<uint8_t> fixture_crl(const std::string& name)
{
    const std::string bytes = read_file(pki_path("crl/" + name + ".crl"));
    return {bytes.begin(), bytes.end()};
}

Key new_key()
{
    Key key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    require(key != nullptr, "EVP_EC_gen");
    return key;
}

Distribution_point uri_point(const std::string& url)
{
    return Distribution_point{{Point_name{GEN_URI, url}}, false};
}

Certificate make_certificate(const Certificate_recipe& recipe, const Key& subject_key, const Certificate& issuer,
                             const Key& issuer_key)
{
    const std::time_t now = std::time(nullptr);
    velin::Owner<X509> owner(X509_new());
    X509* x = owner.get();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), recipe.serial);
    Owner_freed_by<X509_NAME, X509_NAME_free> subject(X509_NAME_new());
    X509_NAME_add_entry_by_txt(subject.get(), "C", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("IT"), -1, -1,
                               0);
    X509_NAME_add_entry_by_txt(subject.get(), "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(recipe.common_name.c_str()), -1, -1, 0);
    X509_set_subject_name(x, subject.get());
    X509_set_issuer_name(x, issuer.is_valid() ? issuer.subject_name() : subject.get());
    set_time(X509_getm_notBefore(x), recipe.not_before ? recipe.not_before : now - 365 * Day);
    set_time(X509_getm_notAfter(x), recipe.not_after ? recipe.not_after : now + 365 * Day);
    X509_set_pubkey(x, subject_key.get());
    X509_EXTENSION* constraints = X509V3_EXT_conf_nid(nullptr, nullptr, NID_basic_constraints,
                                                      recipe.authority ? "critical,CA:TRUE" : "critical,CA:FALSE");
    X509_add_ext(x, constraints, -1);
    X509_EXTENSION_free(constraints);
    if (!recipe.key_usage.empty()) {
        X509_EXTENSION* usage = X509V3_EXT_conf_nid(nullptr, nullptr, NID_key_usage, recipe.key_usage.c_str());
        require(usage != nullptr, "key usage extension");
        X509_add_ext(x, usage, -1);
        X509_EXTENSION_free(usage);
    }
    if (!recipe.extended_key_usage.empty()) {
        X509_EXTENSION* usage =
            X509V3_EXT_conf_nid(nullptr, nullptr, NID_ext_key_usage, recipe.extended_key_usage.c_str());
        require(usage != nullptr, "extended key usage extension");
        X509_add_ext(x, usage, -1);
        X509_EXTENSION_free(usage);
    }
    if (recipe.ocsp_no_check) {
        // The extension's value is a NULL whatever the text.
        X509_EXTENSION* no_check = X509V3_EXT_conf_nid(nullptr, nullptr, NID_id_pkix_OCSP_noCheck, "ignored");
        require(no_check != nullptr, "OCSP no check extension");
        X509_add_ext(x, no_check, -1);
        X509_EXTENSION_free(no_check);
    }
    if (!recipe.points.empty() || !recipe.raw_points.empty()) {
        X509_EXTENSION* points = points_extension(recipe);
        require(points != nullptr, "distribution points extension");
        X509_add_ext(x, points, -1);
        X509_EXTENSION_free(points);
    }
    std::string access;
    for (const std::string& url : recipe.ocsp_urls)
        access += (access.empty() ? "" : ",") + ("OCSP;URI:" + url);
    for (const std::string& url : recipe.ca_issuer_urls)
        access += (access.empty() ? "" : ",") + ("caIssuers;URI:" + url);
    if (!access.empty()) {
        X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, nullptr, NID_info_access, access.c_str());
        require(extension != nullptr, "authority information access extension");
        X509_add_ext(x, extension, -1);
        X509_EXTENSION_free(extension);
    }
    require(X509_sign(x, issuer.is_valid() ? issuer_key.get() : subject_key.get(), EVP_sha256()) > 0, "X509_sign");
    unsigned char* der = nullptr;
    const int length = i2d_X509(x, &der);
    require(length > 0, "i2d_X509");
    std::vector<uint8_t> bytes(der, der + length);
    OPENSSL_free(der);
    Certificate certificate{std::span<const uint8_t>(bytes)};
    require(certificate.is_valid(), "made certificate does not decode");
    return certificate;
}

std::vector<uint8_t> make_crl(const Crl_recipe& recipe, const Certificate& issuer, const Key& key)
{
    const std::time_t now = std::time(nullptr);
    velin::Owner<X509_CRL> owner(X509_CRL_new());
    X509_CRL* list = owner.get();
    X509_CRL_set_version(list, 1);
    X509_CRL_set_issuer_name(list, issuer.subject_name());
    Owner_freed_by<ASN1_TIME, ASN1_TIME_free> this_update(ASN1_TIME_new());
    set_time(this_update.get(), recipe.this_update ? recipe.this_update : now - Day);
    X509_CRL_set1_lastUpdate(list, this_update.get());
    if (recipe.next_update != -1) {
        Owner_freed_by<ASN1_TIME, ASN1_TIME_free> next_update(ASN1_TIME_new());
        set_time(next_update.get(), recipe.next_update ? recipe.next_update : now + 30 * Day);
        X509_CRL_set1_nextUpdate(list, next_update.get());
    }
    for (long serial : recipe.revoked) {
        X509_REVOKED* entry = X509_REVOKED_new();
        Owner_freed_by<ASN1_INTEGER, ASN1_INTEGER_free> number(ASN1_INTEGER_new());
        ASN1_INTEGER_set(number.get(), serial);
        X509_REVOKED_set_serialNumber(entry, number.get());
        Owner_freed_by<ASN1_TIME, ASN1_TIME_free> when(ASN1_TIME_new());
        set_time(when.get(), recipe.revoked_at ? recipe.revoked_at : now - 2 * Day);
        X509_REVOKED_set_revocationDate(entry, when.get());
        if (recipe.reason >= 0) {
            Owner_freed_by<ASN1_ENUMERATED, ASN1_ENUMERATED_free> reason(ASN1_ENUMERATED_new());
            ASN1_ENUMERATED_set(reason.get(), recipe.reason);
            require(X509_REVOKED_add1_ext_i2d(entry, NID_crl_reason, reason.get(), 0, 0) == 1, "CRL reason");
        }
        X509_CRL_add0_revoked(list, entry);
    }
    if (recipe.number != 0) {
        Owner_freed_by<ASN1_INTEGER, ASN1_INTEGER_free> number(ASN1_INTEGER_new());
        ASN1_INTEGER_set(number.get(), recipe.number);
        require(X509_CRL_add1_ext_i2d(list, NID_crl_number, number.get(), 0, 0) == 1, "CRL number");
    }
    if (!recipe.partition.empty()) {
        Owner_freed_by<ISSUING_DIST_POINT, ISSUING_DIST_POINT_free> point(ISSUING_DIST_POINT_new());
        point->distpoint = DIST_POINT_NAME_new();
        point->distpoint->type = 0;
        point->distpoint->name.fullname = GENERAL_NAMES_new();
        sk_GENERAL_NAME_push(point->distpoint->name.fullname, general_name({GEN_URI, recipe.partition}));
        require(X509_CRL_add1_ext_i2d(list, NID_issuing_distribution_point, point.get(), 1, 0) == 1,
                "issuing distribution point");
    }
    if (recipe.expired_certs_on_crl != 0) {
        Owner_freed_by<ASN1_GENERALIZEDTIME, ASN1_GENERALIZEDTIME_free> date(
            ASN1_GENERALIZEDTIME_set(nullptr, recipe.expired_certs_on_crl));
        unsigned char* value = nullptr;
        const int length = i2d_ASN1_GENERALIZEDTIME(date.get(), &value);
        require(length > 0, "ExpiredCertsOnCRL");
        Owner_freed_by<ASN1_OCTET_STRING, ASN1_OCTET_STRING_free> data(ASN1_OCTET_STRING_new());
        ASN1_OCTET_STRING_set(data.get(), value, length);
        OPENSSL_free(value);
        Owner_freed_by<ASN1_OBJECT, ASN1_OBJECT_free> kind(OBJ_txt2obj("2.5.29.60", 1));
        Owner_freed_by<X509_EXTENSION, X509_EXTENSION_free> extension(
            X509_EXTENSION_create_by_OBJ(nullptr, kind.get(), 0, data.get()));
        require(extension && X509_CRL_add_ext(list, extension.get(), -1) == 1, "ExpiredCertsOnCRL");
    }
    X509_CRL_sort(list);
    require(X509_CRL_sign(list, key.get(), EVP_sha256()) > 0, "X509_CRL_sign");
    return der_of(list);
}

std::string make_ocsp_answer(const std::string& request, const Ocsp_answer_recipe& recipe, const Certificate& signer,
                             const Key& key)
{
    const std::time_t now = std::time(nullptr);
    const auto* cursor = reinterpret_cast<const unsigned char*>(request.data());
    Owner_freed_by<OCSP_REQUEST, OCSP_REQUEST_free> asked(
        d2i_OCSP_REQUEST(nullptr, &cursor, static_cast<long>(request.size())));
    Owner_freed_by<OCSP_RESPONSE, OCSP_RESPONSE_free> response;
    if (!asked || recipe.response_status != OCSP_RESPONSE_STATUS_SUCCESSFUL) {
        response.reset(
            OCSP_response_create(asked ? recipe.response_status : OCSP_RESPONSE_STATUS_MALFORMEDREQUEST, nullptr));
    } else {
        Owner_freed_by<OCSP_BASICRESP, OCSP_BASICRESP_free> basic(OCSP_BASICRESP_new());
        Owner_freed_by<ASN1_TIME, ASN1_TIME_free> this_update(ASN1_TIME_new());
        Owner_freed_by<ASN1_TIME, ASN1_TIME_free> next_update(ASN1_TIME_new());
        Owner_freed_by<ASN1_TIME, ASN1_TIME_free> revoked_at(ASN1_TIME_new());
        set_time(this_update.get(), recipe.this_update ? recipe.this_update : now - 3600);
        set_time(next_update.get(), recipe.next_update > 0 ? recipe.next_update : now + Day);
        set_time(revoked_at.get(), recipe.revoked_at ? recipe.revoked_at : now - 2 * Day);
        for (int n = 0; n < OCSP_request_onereq_count(asked.get()); ++n) {
            OCSP_CERTID* id = OCSP_onereq_get0_id(OCSP_request_onereq_get0(asked.get(), n));
            OCSP_SINGLERESP* single =
                OCSP_basic_add1_status(basic.get(), id, recipe.certificate_status, recipe.reason, revoked_at.get(),
                                       this_update.get(), recipe.next_update == -1 ? nullptr : next_update.get());
            require(single != nullptr, "OCSP_basic_add1_status");
            if (recipe.archive_cutoff != 0) {
                Owner_freed_by<ASN1_GENERALIZEDTIME, ASN1_GENERALIZEDTIME_free> cutoff(
                    ASN1_GENERALIZEDTIME_set(nullptr, recipe.archive_cutoff));
                require(OCSP_SINGLERESP_add1_ext_i2d(single, NID_id_pkix_OCSP_archiveCutoff, cutoff.get(), 0, 0) == 1,
                        "archiveCutoff");
            }
        }
        if (recipe.nonce == Nonce_reply::Echo)
            OCSP_copy_nonce(basic.get(), asked.get());
        else if (recipe.nonce == Nonce_reply::Other)
            OCSP_basic_add1_nonce(basic.get(), nullptr, 16);
        require(OCSP_basic_sign(basic.get(), signer.raw_handle(), key.get(), EVP_sha256(), nullptr, 0) == 1,
                "OCSP_basic_sign");
        response.reset(OCSP_response_create(OCSP_RESPONSE_STATUS_SUCCESSFUL, basic.get()));
    }
    require(response != nullptr, "OCSP_response_create");
    unsigned char* der = nullptr;
    const int length = i2d_OCSP_RESPONSE(response.get(), &der);
    require(length > 0, "i2d_OCSP_RESPONSE");
    std::string bytes(reinterpret_cast<const char*>(der), static_cast<std::size_t>(length));
    OPENSSL_free(der);
    return bytes;
}

std::string make_certificate_bundle(const std::vector<Certificate>& certificates)
{
    Owner_freed_by<PKCS7, PKCS7_free> bundle(PKCS7_new());
    require(PKCS7_set_type(bundle.get(), NID_pkcs7_signed) == 1, "PKCS7_set_type");
    require(PKCS7_content_new(bundle.get(), NID_pkcs7_data) == 1, "PKCS7_content_new");
    for (const Certificate& certificate : certificates)
        require(PKCS7_add_certificate(bundle.get(), certificate.raw_handle()) == 1, "PKCS7_add_certificate");
    unsigned char* der = nullptr;
    const int length = i2d_PKCS7(bundle.get(), &der);
    require(length > 0, "i2d_PKCS7");
    std::string bytes(reinterpret_cast<const char*>(der), static_cast<std::size_t>(length));
    OPENSSL_free(der);
    return bytes;
}

std::string pem_of_crl(const std::vector<uint8_t>& der)
{
    velin::Owner<BIO> output(BIO_new(BIO_s_mem()));
    require(PEM_write_bio(output.get(), PEM_STRING_X509_CRL, "", der.data(), static_cast<long>(der.size())) > 0,
            "PEM_write_bio");
    char* data = nullptr;
    const long length = BIO_get_mem_data(output.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

std::time_t today_midnight()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    std::tm midnight{};
    midnight.tm_year = local.tm_year;
    midnight.tm_mon = local.tm_mon;
    midnight.tm_mday = local.tm_mday;
    return ::timegm(&midnight);
}

std::string string_of(const std::vector<uint8_t>& bytes)
{
    return {bytes.begin(), bytes.end()};
}

} // namespace velin::test
