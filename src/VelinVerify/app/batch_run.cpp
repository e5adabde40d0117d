#include "VelinVerify/app/batch_run.h"

#include "VelinVerify/pipeline/report_channel.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

namespace velin {

Batch_file_run::Batch_file_run(Pipeline_settings settings, Pipeline_services services, std::function<void()> finished)
    : _finished(std::move(finished)), _session(settings, std::move(services), this)
{}

void Batch_file_run::start(const std::string& path, const std::string& content)
{
    _session.open(path, content);
    check_finished();
}

Batch_report Batch_file_run::report() const
{
    Batch_report report = make_batch_report(_session, _boxes);
    if (_facts_maker)
        report.facts = _facts_maker(_session);
    return report;
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
                       const std::string& content, const Facts_maker& facts)
{
    QEventLoop loop;
    Batch_file_run run(settings, services, [&loop] { loop.quit(); });
    run.set_facts_maker(facts);
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

} // namespace velin
