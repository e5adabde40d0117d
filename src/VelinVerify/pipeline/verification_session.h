// The main window's logic without the window: one layer per envelope (the file opened first, then
// every envelope found inside another), and the combined outcome of all layers, told once in a
// message box when every layer has reported.
//
//     Verification_session session(settings, default_services(), &window);
//     session.open(path);       // the layers run on their workers; messages come through the
//                               // user-interface thread's event loop
#pragma once

#include "VelinVerify/pipeline/layer_analysis.h"
#include "VelinVerify/pipeline/message_box_request.h"
#include "VelinVerify/pipeline/pipeline_services.h"
#include "VelinVerify/pipeline/report_channel.h"
#include "VelinVerify/pipeline/verify_observer.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velin {

// What the main window draws: tabs, the layers' contents, and the boxes it is asked to show.
class Session_observer {
public:
    virtual ~Session_observer() = default;
    // A new tab, captioned with the file-name part of the layer's file name, selected.
    virtual void layer_added(Layer_analysis& layer) { (void)layer; }
    virtual void layer_changed(Layer_analysis& layer, Layer_change change)
    {
        (void)layer;
        (void)change;
    }
    // A box asked for by a layer (the unsupported file), or by the session itself (layer null):
    // the combined outcome, too many nested envelopes.
    virtual void message_box(const Box_request& box, Layer_analysis* layer)
    {
        (void)box;
        (void)layer;
    }
    // Every tab is gone.
    virtual void layers_closed() {}
};

// The files the verifier opens: extension "m7m", "p7m" or "pdf", in any case.
bool has_supported_extention(const std::string& path);

class Verification_session : public Verify_observer {
public:
    // Envelopes nested deeper than this are not opened: each layer has a thread of its own, and a
    // small file can wrap thousands of empty envelopes.
    static constexpr size_t Max_layers = 16;

    Verification_session(Pipeline_settings settings, Pipeline_services services, Session_observer* observer = nullptr);
    ~Verification_session() override;
    Verification_session(const Verification_session&) = delete;
    Verification_session& operator=(const Verification_session&) = delete;

    // Closes every layer, resets the combined outcome and opens path as the first layer; a
    // detached signature is checked against detached_document when one is named.
    void open(const std::string& path, const std::string& detached_document = {});
    // Closes every layer (a busy one is cancelled and stopped) and releases them.
    void close_all();

    const std::string& path() const { return _path; }
    const std::vector<std::shared_ptr<Layer_analysis>>& layers() const { return _layers; }
    size_t completed_count() const { return _completed; }
    int combined_icon() const { return _combined_icon; }
    const std::string& combined_message() const { return _combined_message; }
    // Every layer has reported its summary (the combined box has been asked for).
    bool all_reported() const { return !_layers.empty() && _completed == _layers.size(); }
    // No layer will change any more.
    bool finished() const;
    // The combined box, once every layer has reported.
    std::optional<Box_request> combined_box() const;
    // Envelopes found but not opened because of Max_layers.
    size_t refused_layers() const { return _refused_layers; }
    // The group every layer of this session reports to.
    Report_group report_group() const { return _report_group; }

    // Verify_observer
    void inner_envelope_found(Document_bytes content, const std::string& name) override;
    void inner_container_found(Document_bytes content, const std::string& name,
                               std::vector<Timestamp_info> covering) override;
    void layer_completed(Layer_analysis& layer, int icon) override;
    void message_box_requested(Layer_analysis& layer, const Box_request& box) override;
    void layer_changed(Layer_analysis& layer, Layer_change change) override;

private:
    void add_layer(std::shared_ptr<Layer_analysis> layer);
    void combine(int icon);

    const Pipeline_settings _settings;
    const Pipeline_services _services;
    Session_observer* _observer;
    // What the workers of this session's layers report stays with this session's layers.
    const Report_group _report_group;
    std::string _path;
    std::vector<std::shared_ptr<Layer_analysis>> _layers;
    size_t _completed = 0;
    size_t _refused_layers = 0;
    int _combined_icon = Icon_information;
    std::string _combined_message;
};

} // namespace velin
