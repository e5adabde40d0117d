// The headless run of the verifier: one file through the same layers as the window, then the
// report. Needs a QCoreApplication on the calling thread.
#pragma once

#include "VelinVerify/app/batch_report.h"
#include "VelinVerify/pipeline/pipeline_services.h"
#include "VelinVerify/pipeline/verification_session.h"

#include <QObject>

#include <functional>
#include <string>
#include <vector>

namespace velin {

// Made at the end of a file's run, when written reports were asked for: what they need besides
// the printed report (Batch_report::facts).
using Facts_maker = std::function<std::shared_ptr<const Report_facts>(const Verification_session&)>;

// One file's session and what its report needs besides the layers: the boxes the session asked
// for. finished is called once, from the event loop, when no layer will change any more; the run
// may be destroyed from then on (not from inside finished itself).
class Batch_file_run : public Session_observer {
public:
    Batch_file_run(Pipeline_settings settings, Pipeline_services services, std::function<void()> finished);
    Batch_file_run(const Batch_file_run&) = delete;
    Batch_file_run& operator=(const Batch_file_run&) = delete;

    // content: the document of a detached signature, when named.
    void start(const std::string& path, const std::string& content = {});
    Batch_report report() const;
    void set_facts_maker(Facts_maker maker) { _facts_maker = std::move(maker); }
    // What a thread driving only this run reports belongs to it (Report_group_scope).
    Report_group report_group() const { return _session.report_group(); }
    // A box (or a reported line) for the innermost layer opened so far.
    void add(const Layer_analysis* layer, const Box_request& box);

    // Session_observer
    void layer_changed(Layer_analysis& layer, Layer_change change) override;
    void message_box(const Box_request& box, Layer_analysis* layer) override;

private:
    void check_finished();

    // The context of the queued checks: they are dropped with the run.
    QObject _context;
    std::function<void()> _finished;
    bool _told = false;
    std::vector<Layer_box> _boxes;
    Facts_maker _facts_maker;
    // Last: it goes first, while what its layers report to is still there.
    Verification_session _session;
};

// content: the document of a detached signature, when named.
Batch_report run_batch(const std::string& path, const Pipeline_settings& settings, const Pipeline_services& services,
                       const std::string& content = {}, const Facts_maker& facts = {});

} // namespace velin
