#include "pipeline_test_support.h"

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/pem.h>

#include <stdexcept>

namespace velin::test {

namespace {

std::filesystem::path existing(const std::filesystem::path& path)
{
    if (!std::filesystem::is_regular_file(path))
        throw std::runtime_error("missing test sample (see its folder's make script): " + path.string());
    return path;
}

} // namespace

std::filesystem::path pki_document(const std::string& signer)
{
    return existing(std::filesystem::path(VELIN_PKI_FIXTURES) / "documents" / ("contratto-" + signer + ".txt.p7m"));
}

std::filesystem::path pipeline_sample(const std::string& name)
{
    return existing(std::filesystem::path(VELIN_PIPELINE_FIXTURES) / name);
}

std::filesystem::path m7m_sample(const std::string& name)
{
    return existing(std::filesystem::path(VELIN_M7M_FIXTURES) / name);
}

std::vector<uint8_t> sign_envelope(const std::vector<uint8_t>& content, const std::string& signer)
{
    const auto pem = [](const std::string& name) {
        return read_file(existing(std::filesystem::path(VELIN_PKI_FIXTURES) / name));
    };
    const std::string certificate_pem = pem(signer + ".cert.pem");
    const std::string key_pem = pem(signer + ".key.pem");
    std::unique_ptr<BIO, decltype(&BIO_free)> certificate_input(
        BIO_new_mem_buf(certificate_pem.data(), static_cast<int>(certificate_pem.size())), BIO_free);
    std::unique_ptr<BIO, decltype(&BIO_free)> key_input(
        BIO_new_mem_buf(key_pem.data(), static_cast<int>(key_pem.size())), BIO_free);
    std::unique_ptr<X509, decltype(&X509_free)> certificate(
        PEM_read_bio_X509(certificate_input.get(), nullptr, nullptr, nullptr), X509_free);
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        PEM_read_bio_PrivateKey(key_input.get(), nullptr, nullptr, nullptr), EVP_PKEY_free);
    std::unique_ptr<BIO, decltype(&BIO_free)> data(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())),
                                                   BIO_free);
    std::unique_ptr<CMS_ContentInfo, decltype(&CMS_ContentInfo_free)> envelope(
        CMS_sign(certificate.get(), key.get(), nullptr, data.get(), CMS_BINARY), CMS_ContentInfo_free);
    if (!certificate || !key || !envelope)
        throw std::runtime_error("cannot sign a test envelope as " + signer);
    unsigned char* der = nullptr;
    const int length = i2d_CMS_ContentInfo(envelope.get(), &der);
    if (length <= 0)
        throw std::runtime_error("cannot encode a test envelope");
    std::vector<uint8_t> bytes(der, der + length);
    OPENSSL_free(der);
    return bytes;
}

std::filesystem::path make_data_folder(const std::filesystem::path& folder)
{
    const std::filesystem::path data = folder / "velin-data";
    std::filesystem::create_directories(data / "cache");
    std::filesystem::copy(std::filesystem::path(VELIN_PKI_FIXTURES) / "velin-data" / "data", data / "data",
                          std::filesystem::copy_options::recursive);
    return data;
}

Pipeline_services services_for(const std::filesystem::path& data_folder)
{
    Pipeline_services services;
    services.trusted_store = [folder = data_folder.string()] { return std::make_shared<Trusted_store>(folder); };
    return services;
}

Pipeline_settings revocation_off()
{
    return Pipeline_settings{false, false};
}

Pipeline_settings revocation_on()
{
    return Pipeline_settings{true, false};
}

Pipeline_services gated_services(const std::filesystem::path& data_folder, Gate& gate)
{
    Pipeline_services services = services_for(data_folder);
    services.trusted_store = [&gate, load = services.trusted_store] {
        gate.wait();
        return load();
    };
    return services;
}

std::vector<std::string> texts(const std::vector<Status_line>& lines)
{
    std::vector<std::string> result;
    for (const Status_line& line : lines)
        result.push_back(line.text);
    return result;
}

bool has_line(const std::vector<Status_line>& lines, Line_severity severity, const std::string& text)
{
    for (const Status_line& line : lines)
        if (line.severity == severity && line.text == text)
            return true;
    return false;
}

void Gate::wait()
{
    std::unique_lock lock(_mutex);
    _arrived = true;
    _opened.wait_for(lock, std::chrono::seconds(30), [this] { return _open; });
}

void Gate::open()
{
    {
        std::lock_guard lock(_mutex);
        _open = true;
    }
    _opened.notify_all();
}

bool Gate::arrived() const
{
    std::lock_guard lock(_mutex);
    return _arrived;
}

} // namespace velin::test
