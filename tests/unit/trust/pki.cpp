#include "pki.h"

#include "common/owner.h"
#include "envelope/xml_date_time.h"
#include "test_folder.h"
#include "trust/certificate_store.h"
#include "trust/report.h"
#include "trust/trusted_list_store.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <stdexcept>

namespace velin::test {

std::filesystem::path pki_folder()
{
    return VELIN_PKI_FIXTURES;
}

std::string pki_text(const std::string& relative_path)
{
    const std::filesystem::path path = pki_folder() / relative_path;
    if (!std::filesystem::is_regular_file(path))
        throw std::runtime_error("test PKI file missing (run tools/make-test-pki): " + path.string());
    return read_file(path);
}

std::vector<uint8_t> bytes_of(const std::string& text)
{
    return {text.begin(), text.end()};
}

std::vector<uint8_t> pki_bytes(const std::string& relative_path)
{
    return bytes_of(pki_text(relative_path));
}

std::filesystem::path list_fixture(const std::string& name)
{
    return std::filesystem::path(VELIN_SOURCE_DIR) / "tests/fixtures/tsl" / name;
}

Certificate list_certificate(const std::string& name)
{
    return pem_certificates(read_file(list_fixture(name + ".cert.pem"))).at(0);
}

std::time_t at(const char* date_time)
{
    std::time_t time = 0;
    EXPECT_TRUE(parse_xml_date_time(date_time, time)) << date_time;
    return time;
}

Certificate pki_certificate(const std::string& name)
{
    const std::string pem = pki_text(name + ".cert.pem");
    Owner<BIO> input(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    const Certificate certificate(PEM_read_bio_X509(input.get(), nullptr, nullptr, nullptr), true);
    if (!certificate.is_valid())
        throw std::runtime_error("unreadable test PKI certificate: " + name);
    return certificate;
}

std::vector<uint8_t> sign_detached(const std::vector<uint8_t>& data, const std::string& signer,
                                   const std::vector<std::string>& extra_certificates, bool detached)
{
    const std::string key_pem = pki_text(signer + ".key.pem");
    Owner<BIO> key_input(BIO_new_mem_buf(key_pem.data(), static_cast<int>(key_pem.size())));
    Owner<EVP_PKEY> key(PEM_read_bio_PrivateKey(key_input.get(), nullptr, nullptr, nullptr));
    const Certificate certificate = pki_certificate(signer);
    Owner<STACK_OF(X509)> extra(sk_X509_new_null());
    for (const std::string& name : extra_certificates) {
        const Certificate other = pki_certificate(name);
        X509_up_ref(other.raw_handle());
        sk_X509_push(extra.get(), other.raw_handle());
    }
    Owner<BIO> content(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
    Owner<CMS_ContentInfo> message(CMS_sign(certificate.raw_handle(), key.get(), extra.get(), content.get(),
                                            (detached ? CMS_DETACHED : 0) | CMS_BINARY));
    if (!message)
        throw std::runtime_error("CMS_sign failed");
    unsigned char* der = nullptr;
    const int length = i2d_CMS_ContentInfo(message.get(), &der);
    std::vector<uint8_t> result(der, der + length);
    OPENSSL_free(der);
    return result;
}

Certificate same_name_authority(const Certificate& model)
{
    Owner<EVP_PKEY> key(EVP_EC_gen("P-256"));
    Owner<X509> owner(X509_new());
    X509* x = owner.get();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), 7);
    X509_set_subject_name(x, model.subject_name());
    X509_set_issuer_name(x, model.issuer_name());
    X509_gmtime_adj(X509_getm_notBefore(x), 0);
    X509_gmtime_adj(X509_getm_notAfter(x), 86400);
    X509_set_pubkey(x, key.get());
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, nullptr, NID_basic_constraints, "critical,CA:TRUE");
    X509_add_ext(x, extension, -1);
    X509_EXTENSION_free(extension);
    if (X509_sign(x, key.get(), EVP_sha256()) <= 0)
        throw std::runtime_error("cannot sign a test certificate");
    // Re-made from its encoding, so the wrapper holds the bytes of the signed certificate.
    unsigned char* der = nullptr;
    const int length = i2d_X509(x, &der);
    std::vector<uint8_t> bytes(der, der + length);
    OPENSSL_free(der);
    return Certificate(std::span<const uint8_t>(bytes));
}

void write_list(const std::filesystem::path& data_folder, const std::string& list,
                const std::vector<std::string>& certificates)
{
    std::filesystem::create_directories(data_folder / "data");
    auto store = Certificate_store::create_memory();
    for (const std::string& name : certificates)
        store->add_certificate(pki_certificate(name));
    if (!store->save_file((data_folder / "data" / (list + ".sst")).string()))
        throw std::runtime_error("cannot write test list " + list);
}

void copy_fixture_data(const std::filesystem::path& data_folder)
{
    std::filesystem::create_directories(data_folder / "cache");
    std::filesystem::copy(pki_folder() / "velin-data" / "data", data_folder / "data",
                          std::filesystem::copy_options::recursive);
}

Report_capture::Report_capture()
{
    set_report_handler([this](int severity, const std::string& text) {
        std::lock_guard lock(_lock);
        _lines.push_back((severity == Report_error ? "E: " : severity == Report_warning ? "W: " : "I: ") + text);
    });
}

Report_capture::~Report_capture()
{
    set_report_handler({});
}

bool Report_capture::said(const std::string& line) const
{
    return std::find(_lines.begin(), _lines.end(), line) != _lines.end();
}

void Report_capture::clear()
{
    std::lock_guard lock(_lock);
    _lines.clear();
}

} // namespace velin::test
