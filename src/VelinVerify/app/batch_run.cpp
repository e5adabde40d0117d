#include "VelinVerify/app/batch_run.h"

#include "VelinVerify/pipeline/report_channel.h"
#include "VelinVerify/pipeline/verification_session.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

namespace velin {

namespace {

// Collects the boxes and ends the event loop once no layer will change any more.
class Batch_observer : public Session_observer {
public:
    explicit Batch_observer(QEventLoop& loop) : _loop(loop) {}

    void set_session(const Verification_session* session) { _session = session; }

    void layer_changed(Layer_analysis& layer, Layer_change change) override
    {
        (void)layer;
        if (change == Layer_change::Finished)
            check_finished();
    }
    void message_box(const Box_request& box, Layer_analysis* layer) override
    {
        // The combined box is the report's outcome; any other box the session shows belongs with
        // the innermost layer opened so far.
        if (!layer && _session && box == _session->combined_box())
            return;
        add(layer, box);
    }

    void add(const Layer_analysis* layer, const Box_request& box)
    {
        if (!layer && _session && !_session->layers().empty())
            layer = _session->layers().back().get();
        boxes.push_back({layer, box});
    }

    void check_finished()
    {
        // Queued: the layer that just finished may be about to open an inner one.
        QTimer::singleShot(0, &_loop, [this] {
            if (_session && _session->finished())
                _loop.quit();
        });
    }

    std::vector<Layer_box> boxes;

private:
    QEventLoop& _loop;
    const Verification_session* _session = nullptr;
};

} // namespace

Batch_report run_batch(const std::string& path, const Pipeline_settings& settings, const Pipeline_services& services,
                       const std::string& content)
{
    QEventLoop loop;
    Batch_observer observer(loop);
    // What is reported while no layer is current is shown like a box of the innermost layer.
    Report_channel reports([&observer](const Status_line& line) {
        observer.add(nullptr, {line.text, line.severity == Line_severity::Error     ? Icon_error
                                          : line.severity == Line_severity::Warning ? Icon_warning
                                                                                    : Icon_information});
    });
    Verification_session session(settings, services, &observer);
    observer.set_session(&session);
    session.open(path, content);
    observer.check_finished();
    loop.exec();
    return make_batch_report(session, observer.boxes);
}

} // namespace velin
