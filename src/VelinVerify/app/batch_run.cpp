#include "VelinVerify/app/batch_run.h"

#include "VelinVerify/envelope/content_kind.h"
#include "VelinVerify/pipeline/report_channel.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <array>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velin {

Batch_file_run::Batch_file_run(Pipeline_settings settings, Pipeline_services services, std::function<void()> finished)
    : _finished(std::move(finished)), _session(settings, std::move(services), this)
{}

void Batch_file_run::start(const std::string& path, const std::string& content)
{
    _session.open(path, content);
    check_finished();
}

void Batch_file_run::layer_changed(Layer_analysis& layer, Layer_change change)
{
    (void)layer;
    if (change == Layer_change::Finished)
        check_finished();
}

void Batch_file_run::message_box(const Box_request& box, Layer_analysis* layer)
{
    // The combined box is the report's outcome; any other box the session shows belongs with the
    // innermost layer opened so far.
    if (!layer && box == _session.combined_box())
        return;
    add(layer, box);
}

void Batch_file_run::add(const Layer_analysis* layer, const Box_request& box)
{
    if (!layer && !_session.layers().empty())
        layer = _session.layers().back().get();
    _boxes.push_back({layer, box});
}

void Batch_file_run::check_finished()
{
    // Queued: the layer that just finished may be about to open an inner one.
    QTimer::singleShot(0, &_context, [this] {
        if (_told || !_session.finished())
            return;
        _told = true;
        if (_finished)
            _finished();
    });
}

Batch_report run_batch(const std::string& path, const Pipeline_settings& settings, const Pipeline_services& services,
                       const std::string& content)
{
    QEventLoop loop;
    Batch_file_run run(settings, services, [&loop] { loop.quit(); });
    // What is reported while no layer is current is shown like a box of the innermost layer.
    Report_channel reports([&run](const Status_line& line) {
        run.add(nullptr, {line.text, line.severity == Line_severity::Error     ? Icon_error
                                     : line.severity == Line_severity::Warning ? Icon_warning
                                                                               : Icon_information});
    });
    run.start(path, content);
    loop.exec();
    return run.report();
}

std::optional<uint64_t> pdf_file_size(const std::string& path)
{
    // Non-blocking: opening a pipe that nobody writes to would wait for a writer.
    const int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (file < 0)
        return std::nullopt;
    struct stat info {};
    std::array<uint8_t, 8192> head{};
    ssize_t read = -1;
    if (::fstat(file, &info) == 0 && S_ISREG(info.st_mode))
        read = ::pread(file, head.data(), head.size(), 0);
    ::close(file);
    if (read <= 0 || document_type_by_content(std::span<const uint8_t>(head.data(), static_cast<size_t>(read))) !=
                         Document_types::Pdf)
        return std::nullopt;
    return static_cast<uint64_t>(info.st_size);
}

} // namespace velin
