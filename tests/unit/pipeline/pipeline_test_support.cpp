#include "pipeline_test_support.h"

#include <QCoreApplication>

#include <stdexcept>
#include <thread>

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

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
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
