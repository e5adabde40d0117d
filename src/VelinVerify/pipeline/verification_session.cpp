#include "VelinVerify/pipeline/verification_session.h"

#include "common/trace.h"
#include "envelope/document_name.h"
#include "envelope/document_types.h"

#include <algorithm>

namespace velin {

namespace {

constexpr const char* success_text = "Analisi del file completata con successo.";
constexpr const char* warnings_text = "Analisi del file completata con segnalazioni.";
constexpr const char* errors_text = "Analisi del file completata con errori.";

} // namespace

bool has_supported_extention(const std::string& path)
{
    // An XML file may hold an XML signature, a ZIP archive be a signature container: the content
    // decides.
    const std::string extension = lower_case_extension(path);
    return document_type_of(path) != Document_types::Unsupported || extension == "xml" || extension == "zip";
}

Verification_session::Verification_session(Pipeline_settings settings, Pipeline_services services,
                                           Session_observer* observer)
    : _settings(settings),
      _services(std::move(services)),
      _observer(observer),
      _report_group(new_report_group()),
      _combined_message(success_text)
{}

Verification_session::~Verification_session()
{
    _observer = nullptr; // it may be going too
    close_all();
}

void Verification_session::open(const std::string& path, const std::string& detached_document)
{
    close_all();
    _completed = 0;
    _refused_layers = 0;
    _combined_icon = Icon_information;
    _combined_message = success_text;
    _path = path;
    auto layer = std::make_shared<Layer_analysis>(_settings, _services);
    layer->set_source_file(path);
    layer->set_detached_document(detached_document);
    add_layer(std::move(layer));
}

void Verification_session::close_all()
{
    for (const auto& layer : _layers)
        layer->close();
    const bool had_layers = !_layers.empty();
    _layers.clear();
    _completed = 0;
    if (had_layers && _observer)
        _observer->layers_closed();
}

void Verification_session::add_layer(std::shared_ptr<Layer_analysis> layer)
{
    layer->set_observer(this);
    layer->set_report_group(_report_group);
    _layers.push_back(layer);
    if (_observer)
        _observer->layer_added(*layer);
    layer->start();
}

void Verification_session::inner_envelope_found(Document_bytes content, const std::string& name)
{
    inner_container_found(std::move(content), name, {});
}

void Verification_session::inner_container_found(Document_bytes content, const std::string& name,
                                                 std::vector<Timestamp_info> covering)
{
    if (_layers.size() >= Max_layers) {
        // The envelopes further in are not verified: the whole outcome cannot be better than errors.
        Trace(Trace_kind, Level_error) << "Troppe buste annidate: " << name << " non viene aperta.";
        ++_refused_layers;
        combine(Icon_error);
        if (_observer)
            _observer->message_box({"Il documento contiene troppe buste annidate: le buste più interne non sono "
                                    "state verificate.",
                                    Icon_error, "Errore"},
                                   nullptr);
        return;
    }
    auto layer = std::make_shared<Layer_analysis>(_settings, _services);
    layer->set_source_bytes(std::move(content), name);
    layer->set_covering_timestamps(std::move(covering));
    add_layer(std::move(layer));
}

void Verification_session::combine(int icon)
{
    if (icon == Icon_information)
        return;
    if (icon == Icon_warning) {
        if (_combined_icon == Icon_information) {
            _combined_icon = Icon_warning;
            _combined_message = warnings_text;
        }
        return;
    }
    _combined_icon = Icon_error;
    _combined_message = errors_text;
}

void Verification_session::layer_completed(Layer_analysis& layer, int icon)
{
    (void)layer;
    ++_completed;
    combine(icon);
    if (_completed == _layers.size() && _observer)
        _observer->message_box(*combined_box(), nullptr);
}

std::optional<Box_request> Verification_session::combined_box() const
{
    if (!all_reported())
        return std::nullopt;
    return Box_request{_combined_message, _combined_icon, "Velin Manager"};
}

bool Verification_session::finished() const
{
    return std::all_of(_layers.begin(), _layers.end(), [](const auto& layer) { return layer->finished(); });
}

void Verification_session::message_box_requested(Layer_analysis& layer, const Box_request& box)
{
    if (_observer)
        _observer->message_box(box, &layer);
}

void Verification_session::layer_changed(Layer_analysis& layer, Layer_change change)
{
    if (_observer)
        _observer->layer_changed(layer, change);
}

} // namespace velin
