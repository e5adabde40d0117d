// One envelope layer of the verifier, without its window: the analysis of one file (or of the
// bytes of an envelope found inside another) through decoding, chain building and revocation
// checking on the layer's own worker thread, and everything the layer's window shows: the
// "Attività" lines, the signer list, the signature shown, the progress bar and the summary.
//
//     Layer_analysis layer(settings, services);
//     layer.set_observer(&main_window);
//     layer.set_source_file(path);
//     layer.start();            // steps run on the worker; the results come back as messages
//     ...                       // delivered by the user-interface thread's event loop
//     layer.close();
//
// Every member is called on the user-interface thread, which owns the display state. The worker
// touches only the parser, the record and the step results, and only between a wake-up and the
// message that announces the step's end; the handler reads them after that message.
#pragma once

#include "VelinVerify/pipeline/existence_proof.h"
#include "VelinVerify/pipeline/layer_progress.h"
#include "VelinVerify/pipeline/pipeline_services.h"
#include "VelinVerify/pipeline/report_channel.h"
#include "VelinVerify/pipeline/signature_display.h"
#include "VelinVerify/pipeline/signer_record.h"
#include "VelinVerify/pipeline/status_line.h"
#include "VelinVerify/pipeline/timestamp_record.h"
#include "VelinVerify/pipeline/verify_observer.h"
#include "VelinVerify/worker/closure.h"
#include "VelinVerify/worker/notification.h"
#include "VelinVerify/worker/window_registry.h"
#include "VelinVerify/worker/worker_thread.h"
#include "envelope/signed_document_info.h"
#include "envelope/signed_document_parser.h"
#include "trust/timestamp_authority.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velin {

// Messages the worker posts when a step ends.
inline constexpr unsigned Decoding_done_message = 0x8000; // WM_APP
inline constexpr unsigned Chains_done_message = 0x8001; // WM_APP + 1
inline constexpr unsigned Revocation_done_message = 0x8002; // WM_APP + 2

enum class Layer_outcome : int {
    Success = 0,
    Warnings = 1,
    Errors = 2,
};

// Where a layer is in its life.
enum class Layer_state : int {
    Idle, // no source, or not started
    Refused, // unsupported file type: the error box was asked for, no worker
    Decoding,
    Chains,
    Revocation,
    Completed, // the summary was reported
    Ended, // stopped without a summary (no signature, or cancelled)
    Closed,
};

class Layer_analysis : public Closure_client {
public:
    Layer_analysis(Pipeline_settings settings, Pipeline_services services);
    ~Layer_analysis() override;

    void set_observer(Verify_observer* observer) { _observer = observer; }
    // The source: a file on disk.
    void set_source_file(const std::string& path);
    // The source: the bytes of an inner envelope, under the name derived for it.
    void set_source_bytes(Document_bytes bytes, const std::string& name);

    // The document of a detached signature, named by the user (else the one beside the file).
    void set_detached_document(const std::string& path) { _detached_document = path; }
    // The layers of one file report to that file's current layer (see Report_group).
    void set_report_group(Report_group group) { _report_group = group; }
    // Time stamps of an outer layer that cover this whole layer (its envelope existed then).
    void set_covering_timestamps(std::vector<Timestamp_info> covering) { _covering = std::move(covering); }

    // Starts the analysis of the source (nothing without one).
    void start();
    // Shows another signature of the signer list.
    void select_signature(size_t index);
    // The window's command that deletes the cached revocation lists, with its two lines.
    void clear_crl_cache();
    // A line the window adds itself (the outcome of saving the document).
    void add_activity_line(Line_severity severity, std::string text) { add_line(severity, std::move(text)); }
    // Stops the layer: a running worker is cancelled (the process-wide cancel flag) and given
    // 5000 ms to end; no message of this layer is handled afterwards.
    void close();

    // What a view draws.
    const std::string& file_name() const { return _file_name; }
    const std::string& document_name() const { return _document_name; }
    const std::vector<Status_line>& activity() const { return _activity; }
    // The signer list: display names, in envelope order.
    std::vector<std::string> signer_names() const;
    size_t signature_count() const { return _records.size(); }
    // The signature the window shows, and the index it belongs to.
    const Signature_display& shown_signature() const { return _shown; }
    std::optional<size_t> shown_index() const { return _shown_index; }
    // Any signature, as it would be shown now (without texts: see show_signature).
    Signature_display signature_display(size_t index, bool with_texts = true) const;
    const Layer_progress& progress() const { return _progress; }
    // 0 or 1 while decoding, 2 once decoded.
    int controls_stage() const { return _controls_stage; }
    // "Leggi" and "Salva...": stage 2 and the content extracted.
    bool content_available() const;
    const Document_bytes* content() const;

    bool errors() const { return _errors; }
    Layer_state state() const { return _state; }
    std::optional<Layer_outcome> outcome() const { return _outcome; }
    // True once the layer will change no more (completed, ended, refused or closed).
    bool finished() const;
    bool worker_started() const { return _worker != nullptr && _worker->started(); }
    Window_handle window() const { return _window ? _window->handle() : 0; }

    const std::shared_ptr<Signed_document_info>& info() const { return _info; }
    const std::vector<Signer_record>& signer_records() const { return _records; }
    // Every time stamp of the layer (those of outer layers last, marked inherited).
    const std::vector<Timestamp_record>& timestamps() const { return _timestamps; }

private:
    // Worker steps.
    void decoding_step();
    void chains_step();
    void revocation_step();

    // Handlers of the worker's messages.
    void on_message(const Window_message& message);
    void decoding_done();
    // The lines decoding_done adds about a file that could not be read, a file without an
    // envelope, the envelope and its content, and whether the signatures match.
    void report_unread_file();
    void report_no_envelope();
    void report_envelope(const Envelope_info& envelope);
    void report_signature_matches(const Envelope_info& envelope);
    // Decoded: the controls of a decoded file, the last signer shown, then the chain building.
    void queue_chains();
    void chains_done();
    void revocation_done();

    void queue_step(void (Layer_analysis::*step)(), unsigned message, const char* caption);
    void add_line(Line_severity severity, std::string text);
    void name_document(const Envelope_info& envelope);
    void show(size_t index);
    void collect_flags();
    void summary();
    void end_without_summary();
    void finish_timestamps();
    // What the layer hands to an envelope found inside its document: the time stamps proving
    // that document existed.
    std::vector<Timestamp_info> covering_for_inner() const;
    void changed(Layer_change change);
    std::atomic<bool>& cancel() const { return *_cancel; }
    // The issuers of a certificate the stores do not hold: those of first (when given), else the
    // file's, else (only then) those published at its caIssuers address.
    Issuer_source carried_issuers(std::shared_ptr<const Carried_validation> first = nullptr) const;
    // The settings the revocation jobs run with, the file's own validation data included.
    Revocation_settings revocation_settings() const;

    const Pipeline_settings _settings;
    const Pipeline_services _services;
    std::atomic<bool>* const _cancel;
    Report_group _report_group = 0;
    Verify_observer* _observer = nullptr;

    enum class Source_kind { None, File, Bytes };
    Source_kind _source_kind = Source_kind::None;
    Document_bytes _bytes;
    std::string _file_name;

    std::shared_ptr<Signed_document_parser> _parser;
    std::shared_ptr<Signed_document_info> _info;
    std::vector<Signer_record> _records;

    // Written by the worker during a step, read by the handler of its message.
    std::shared_ptr<Trusted_store> _trusted_store;
    // The validation data the file carries, decoded at the first chain building.
    std::shared_ptr<const Carried_validation> _carried;
    std::optional<std::vector<std::optional<Chain_outcome>>> _chain_outcomes;
    std::vector<Judged_time> _lists_judged; // one per signer, beside the chain outcomes
    std::vector<std::optional<Existence_proof>> _proofs; // one per signer, beside the chain outcomes
    std::time_t _chains_now = 0; // the "now" the time stamps' authorities were judged at
    Revocation_job _revocation_job;
    std::vector<Revocation_outcome> _revocation_outcomes;
    std::vector<Timestamp_authority_trust> _authority_trust;
    Revocation_job _authority_job; // indexes into _timestamps
    std::vector<Revocation_outcome> _authority_outcomes;

    std::vector<Timestamp_info> _covering;
    std::string _detached_document;
    std::vector<Timestamp_record> _timestamps;

    std::vector<Status_line> _activity;
    std::string _document_name;
    size_t _selected = 0;
    std::optional<size_t> _shown_index;
    Signature_display _shown;
    bool _warnings = false;
    bool _errors = false;
    bool _revocation_running = false;
    int _controls_stage = 0;
    Layer_progress _progress;
    Layer_state _state = Layer_state::Idle;
    std::optional<Layer_outcome> _outcome;
    std::optional<unsigned> _expected_message;

    std::unique_ptr<Window_registration> _window;
    std::unique_ptr<Worker_thread> _worker;
    std::shared_ptr<Closure_task<Layer_analysis>> _step;
    std::shared_ptr<Window_notification> _notification;
};

// The countersigner's name as the signer list names signers.
std::string countersigner_name(const Countersignature_info& countersignature);

// Success, warnings or errors from the two flags.
Layer_outcome outcome_of(bool warnings, bool errors);
// 64, 48 or 16.
int icon_of(Layer_outcome outcome);

} // namespace velin
