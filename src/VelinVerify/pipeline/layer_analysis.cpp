#include "VelinVerify/pipeline/layer_analysis.h"

#include "VelinVerify/pipeline/report_channel.h"
#include "VelinVerify/worker/cancel_flag.h"
#include "VelinVerify/worker/thread_base.h"
#include "common/failure.h"
#include "common/trace.h"
#include "envelope/asic_manifest.h"
#include "envelope/content_kind.h"
#include "envelope/document_name.h"
#include "java_bridge/pdf_verify.h"

#include <algorithm>
#include <ctime>
#include <exception>

namespace velin {

namespace {

constexpr const char* corrupt_text = "Il file è corrotto o non è un documento firmato.";

bool is_busy(Layer_state state)
{
    return state == Layer_state::Decoding || state == Layer_state::Chains || state == Layer_state::Revocation;
}

} // namespace

std::string countersigner_name(const Countersignature_info& countersignature)
{
    // Named as signers are in the signer list.
    if (!countersignature.certificate.empty())
        return Certificate(countersignature.certificate.shared_x509()).display_name();
    return countersignature.signer;
}

Layer_outcome outcome_of(bool warnings, bool errors)
{
    if (errors)
        return Layer_outcome::Errors;
    return warnings ? Layer_outcome::Warnings : Layer_outcome::Success;
}

int icon_of(Layer_outcome outcome)
{
    switch (outcome) {
    case Layer_outcome::Success:
        return Icon_information;
    case Layer_outcome::Warnings:
        return Icon_warning;
    case Layer_outcome::Errors:
        break;
    }
    return Icon_error;
}

Layer_analysis::Layer_analysis(Pipeline_settings settings, Pipeline_services services)
    : _settings(settings),
      _services(std::move(services)),
      _cancel(_services.cancel ? _services.cancel.get() : &cancel_flag()),
      _window(std::make_unique<Window_registration>([this](const Window_message& message) { on_message(message); })),
      _worker(std::make_unique<Worker_thread>()),
      _step(std::make_shared<Closure_task<Layer_analysis>>()),
      _notification(std::make_shared<Window_notification>())
{
    assertion(!_settings.check_revocation || static_cast<bool>(_services.check_revocations),
              "not check_revocation or check_revocations ne NULL");
    _notification->set_window(_window->handle());
    _worker->set_task(_step);
    _worker->set_notification(_notification);
    _progress.maximum = (_settings.check_revocation ? 3 : 2) * Layer_progress::Stage;
}

Layer_analysis::~Layer_analysis()
{
    close();
    // A step still running on the worker finishes before the members it uses go.
    release_closures();
}

void Layer_analysis::set_source_file(const std::string& path)
{
    _source_kind = Source_kind::File;
    _bytes = {};
    _file_name = path;
}

void Layer_analysis::set_source_bytes(Document_bytes bytes, const std::string& name)
{
    _source_kind = Source_kind::Bytes;
    _bytes = std::move(bytes);
    _file_name = name;
}

void Layer_analysis::start()
{
    if (_source_kind == Source_kind::None || _state != Layer_state::Idle)
        return;
    set_current_verification_window(window(), _report_group);

    _activity.clear();
    _records.clear();
    _warnings = false;
    _errors = false;
    _revocation_running = false;
    _selected = 0;
    _shown_index.reset();
    _shown = {};
    _document_name.clear();
    _outcome.reset();
    _timestamps.clear();
    _carried.reset();

    _info = std::make_shared<Signed_document_info>();
    _parser = std::make_shared<Signed_document_parser>(_info, cancel());
    if (!_detached_document.empty())
        _parser->set_detached_document(_detached_document);
    if (_services.pdf_decoder)
        _parser->set_pdf_decoder(_services.pdf_decoder);
    if (_source_kind == Source_kind::Bytes)
        _parser->load_buffer(std::move(_bytes), _file_name);
    else
        _parser->decode_file(_file_name);
    _bytes = {};

    if (_info->_file_type == Document_types::Unsupported) {
        _state = Layer_state::Refused;
        if (_observer)
            _observer->message_box_requested(*this, {"Il file non è un documento firmato.", Icon_error, "Errore"});
        changed(Layer_change::Finished);
        return;
    }

    add_line(Line_severity::Information, "Analisi del file in corso...");
    _progress.maximum = (_settings.check_revocation ? 3 : 2) * Layer_progress::Stage;
    _progress.position = 0;
    _progress.background = Progress_background::Default;
    _controls_stage = 1;
    changed(Layer_change::Controls);
    _state = Layer_state::Decoding;
    queue_step(&Layer_analysis::decoding_step, Decoding_done_message, "Decodifica del file in corso...");
}

void Layer_analysis::queue_step(void (Layer_analysis::*step)(), unsigned message, const char* caption)
{
    _step->closure().bind(this, step);
    _notification->set_message(message);
    _expected_message = message;
    _progress.caption = caption;
    changed(Layer_change::Progress);
    if (_settings.steps_in_place) {
        try {
            _step->run();
        } catch (...) {
            // As on a worker: the step fails, its end is still handled and finds its record unfilled.
            trace_current_exception();
        }
        _notification->notify();
        return;
    }
    _worker->wake();
    if (!_worker->started()) {
        // No thread, no step and no message: the layer would wait for ever.
        Trace(Trace_kind, Level_error) << "Avvio del worker thread fallito: " << _worker->start_error();
        _expected_message.reset();
        add_line(Line_severity::Error, "L'analisi del file è fallita.");
        _errors = true;
        end_without_summary();
    }
}

// Worker steps: they touch the parser, the record and the step results only.

void Layer_analysis::decoding_step()
{
    const Report_group_scope reporting(_report_group, window());
    Trace_block block("Decodifica del file");
    // A file that could not be read has nothing to decode; the handler reports it.
    if (_parser->status() != Parser_status::File_loaded)
        return;
    try {
        _parser->analyse();
    } catch (...) {
        // A programming error inside the decoder leaves the record as far as it got.
        trace_current_exception();
    }
}

void Layer_analysis::chains_step()
{
    const Report_group_scope reporting(_report_group, window());
    _chains_now = std::time(nullptr);
    if (!_trusted_store && _services.trusted_store) {
        // What loading the lists says is the run's, shown by the first layer that loads them: the
        // outcome of a file never depends on whether it was the first one verified.
        const Run_notice_scope notices;
        _trusted_store = _services.trusted_store();
        if (_trusted_store)
            if (const std::string notice = _trusted_store->take_not_installed_notice(); !notice.empty())
                report_info(notice);
    }
    if (!_trusted_store) {
        Trace(Trace_kind, Level_error) << "Errore durante il caricamento del contenitore dei certificati.";
        _chain_outcomes.reset();
        return;
    }
    // The authorities first, each at its own time stamp's time: a time stamp of a trusted
    // authority, not revoked then, that covers a signer is the time its trusted lists are judged
    // at; without one it is now. The signing time the signer wrote is never used: a backdated
    // signature would escape a withdrawal of its authority.
    const std::time_t now = _chains_now;
    _authority_trust.clear();
    _authority_job = {};
    std::vector<Timestamp_record> judged = _timestamps;
    if (!_carried && !_info->validation_data.empty())
        _carried = std::make_shared<const Carried_validation>(Carried_validation::from(_info->validation_data));
    for (size_t i = 0; i < _timestamps.size(); ++i) {
        const Timestamp_record& record = _timestamps[i];
        // The authority's chain from the intermediates its token carries, then the file's.
        const auto token_authorities = std::make_shared<const Carried_validation>(
            Carried_validation::from(Validation_data{.certificates = record.info.carried_certificates}));
        _authority_trust.push_back(
            record.info.certificate.empty()
                ? Timestamp_authority_trust{}
                : timestamp_authority_trust(*_trusted_store, Certificate(record.info.certificate.shared_x509()),
                                            record.info.time, carried_issuers(token_authorities)));
        const Timestamp_authority_trust& trust = _authority_trust.back();
        judged[i].trusted.assign(trust.trusted);
        judged[i].qualified = trust.qualified;
        judged[i].listed = trust.listed;
        if (trust.trusted && record.info.verified()) {
            _authority_job.subjects.push_back(
                {Certificate(record.info.certificate.shared_x509()), trust.issuer, record.info.time});
            _authority_job.indexes.push_back(i);
        }
    }
    // Their revocation is known before any signer is judged, so that the lists and the signer's
    // revocation are judged at one and the same time.
    _authority_outcomes.clear();
    if (_settings.check_revocation && !_authority_job.subjects.empty())
        _authority_outcomes = _services.check_revocations(_authority_job.subjects, revocation_settings(), cancel());
    for (size_t n = 0; n < _authority_job.indexes.size() && n < _authority_outcomes.size(); ++n)
        judged[_authority_job.indexes[n]].take_revocation(_authority_outcomes[n]);
    // Each authority's certificate at the time of the next proof of its time stamp, else now.
    judge_authorities_over_time(judged, now);

    std::vector<Certificate> signers;
    std::vector<std::optional<std::time_t>> times;
    _lists_judged.clear();
    _proofs = earliest_proofs(judged, _records.size());
    signers.reserve(_records.size());
    for (size_t i = 0; i < _records.size(); ++i) {
        const Signer_record& record = _records[i];
        signers.push_back(record.certificate.is_assigned() ? record.certificate.value() : Certificate{});
        _lists_judged.push_back(_proofs[i] ? Judged_time{_proofs[i]->at, true} : Judged_time{now, false});
        times.push_back(_lists_judged.back().at);
    }
    _chain_outcomes = build_chains(*_trusted_store, signers, times, carried_issuers());
}

Issuer_source Layer_analysis::carried_issuers(std::shared_ptr<const Carried_validation> first) const
{
    // The authorities the file carries first; those published at the caIssuers address only when
    // the file has none of the issuer's name.
    if (!_services.ca_issuers && !_carried && !first)
        return {};
    return [this, first](const Certificate& subject) {
        std::vector<Certificate> found = first ? first->issuers_of(subject) : std::vector<Certificate>{};
        if (found.empty() && _carried)
            found = _carried->issuers_of(subject);
        if (found.empty() && _services.ca_issuers)
            found = _services.ca_issuers(subject, _settings.download_crls, cancel());
        return found;
    };
}

void Layer_analysis::revocation_step()
{
    const Report_group_scope reporting(_report_group, window());
    // The time stamps' authorities were checked with the chains.
    _revocation_outcomes.clear();
    if (!_revocation_job.subjects.empty())
        _revocation_outcomes = _services.check_revocations(_revocation_job.subjects, revocation_settings(), cancel());
}

Revocation_settings Layer_analysis::revocation_settings() const
{
    Revocation_settings settings{_settings.download_crls, _settings.revocation_method};
    settings.carried = _carried;
    return settings;
}

// Handlers, on the user-interface thread.

void Layer_analysis::on_message(const Window_message& message)
{
    if (message.message == Report_message) {
        for (Status_line& notice : take_reported_notices(window()))
            add_line(notice.severity, std::move(notice.text));
        // A reported line counts like any other: an error or a warning in the list must not end
        // under a better outcome.
        for (Status_line& line : take_reported_lines(window())) {
            _errors = _errors || line.severity == Line_severity::Error;
            _warnings = _warnings || line.severity == Line_severity::Warning;
            add_line(line.severity, std::move(line.text));
        }
        return;
    }
    // The worker posts its last message once more when it ends: only the awaited one counts.
    if (!_expected_message || message.message != *_expected_message)
        return;
    _expected_message.reset();
    switch (message.message) {
    case Decoding_done_message:
        decoding_done();
        break;
    case Chains_done_message:
        chains_done();
        break;
    case Revocation_done_message:
        revocation_done();
        break;
    default:
        break;
    }
}

void Layer_analysis::decoding_done()
{
    _progress.position = Layer_progress::Stage;
    changed(Layer_change::Progress);
    if (cancel()) {
        end_without_summary();
        return;
    }
    if (_info->file_data.state() == Assignable_state::Failed) {
        // Nothing was read: there is nothing to sum up.
        report_unread_file();
        end_without_summary();
        return;
    }
    if (!_info->envelope.is_assigned()) {
        report_no_envelope();
        summary();
        return;
    }

    for (const Timestamp_info& timestamp : _info->timestamps)
        _timestamps.push_back({timestamp, false, {}, std::nullopt, Revocation_status::Not_checked, false});
    for (const Timestamp_info& timestamp : _covering)
        _timestamps.push_back({timestamp, true, {}, std::nullopt, Revocation_status::Not_checked, false});

    const Envelope_info& envelope = _info->envelope.value();
    name_document(envelope);
    report_envelope(envelope);
    const bool timestamped_only = _info->document_unsigned || _info->_file_type == Document_types::Timestamped_data ||
                                  _info->_file_type == Document_types::Detached_timestamp ||
                                  _info->_file_type == Document_types::Asic_container;
    if (envelope.signatures.is_assigned() && !envelope.signatures.value().empty()) {
        const auto& signatures = envelope.signatures.value();
        report_signature_matches(envelope);
        _records.clear();
        _records.reserve(signatures.size());
        Signer_certificates certificates;
        for (const Signature_info& signature : signatures)
            _records.push_back(make_signer_record(signature, certificates));
        queue_chains();
        return;
    }
    if (timestamped_only && !_timestamps.empty()) {
        // A time-stamped document (or one whose envelope is the next layer): only the time stamps'
        // authorities are to be judged here.
        _records.clear();
        queue_chains();
        return;
    }
    if (envelope.signatures.is_assigned())
        add_line(Line_severity::Error, "Il file non contiene alcuna firma.");
    else
        add_line(Line_severity::Error, "La rilevazione delle firme è fallita.");
    _errors = true;
    end_without_summary();
}

void Layer_analysis::report_unread_file()
{
    // Nothing was read, so nothing can be called corrupt: what the reader found (an empty file, a
    // folder, a missing file) is the answer.
    add_line(Line_severity::Error, _info->file_data.message());
    add_line(Line_severity::Error, _parser->error_message());
    _errors = true;
}

void Layer_analysis::report_no_envelope()
{
    // The reason the decoder gave (an unreadable or empty file, a failed analysis) comes first.
    const std::string& reason = _parser->error_message();
    if (!reason.empty() && reason != corrupt_text)
        add_line(Line_severity::Error, reason);
    // A PDF without signatures, or one that cannot be read for want of Java, is not corrupt.
    if (reason != Text_pdf_not_signed && reason != Text_pdf_needs_java)
        add_line(Line_severity::Error, corrupt_text);
    _errors = true;
}

void Layer_analysis::report_envelope(const Envelope_info& envelope)
{
    if (const std::string carried = carried_validation_text(_info->validation_data); !carried.empty())
        add_line(Line_severity::Information, carried);
    if (envelope.detached && !envelope.content.is_assigned()) {
        // Nothing could be checked: saying the signature does not match would be false.
        add_line(Line_severity::Error, detached_document_missing_text);
        _errors = true;
    } else if (_info->_file_type == Document_types::Detached_timestamp) {
        // What the time stamp covers is a file of its own: named, or missing in words of ours.
        if (envelope.content.is_assigned())
            add_line(Line_severity::Information, "Marca temporale separata del documento \"" + _document_name + "\".");
        else
            add_line(Line_severity::Error, detached_timestamp_document_missing_text);
        _errors = _errors || !envelope.content.is_assigned();
    } else if (!envelope.content.is_assigned() && envelope.container_files.empty()) {
        add_line(Line_severity::Error, "L'estrazione del documento originale è fallita.");
        _errors = true;
    }
    // A signature container: what reading it found, and its files no signature vouches for.
    for (const std::string& warning : envelope.container_warnings)
        add_line(Line_severity::Warning, warning);
    for (const std::string& name : envelope.uncovered())
        add_line(Line_severity::Warning, asic_uncovered_file_text(name));
    _warnings = _warnings || !envelope.container_warnings.empty() || !envelope.uncovered().empty();
    if (_info->document_unsigned) {
        add_line(Line_severity::Warning, "Il documento non è firmato: ha soltanto la marca temporale.");
        _warnings = true;
    }
}

void Layer_analysis::report_signature_matches(const Envelope_info& envelope)
{
    const auto& signatures = envelope.signatures.value();
    // Intact only when every signature was checked and matches and none was followed by a change;
    // each other signer is an error.
    if (envelope.all_signatures_match()) {
        if (std::any_of(signatures.begin(), signatures.end(),
                        [](const Signature_info& signature) { return !signature.later_changes.forbidden.empty(); })) {
            add_line(Line_severity::Error, forbidden_changes_text);
            _errors = true;
        } else if (std::any_of(signatures.begin(), signatures.end(), [](const Signature_info& signature) {
                       return signature.changed_after && !signature.later_changes.long_term_only;
                   })) {
            add_line(Line_severity::Warning, changed_after_signatures_text);
            _warnings = true;
        } else if (std::any_of(signatures.begin(), signatures.end(),
                               [](const Signature_info& signature) { return signature.changed_after; })) {
            // Only time stamps and validation data came after them: the signed content is as it was.
            add_line(Line_severity::Information, changed_after_signatures_text);
        } else {
            add_line(Line_severity::Information, signatures_intact_text);
        }
        return;
    }
    for (const Signature_info& signature : signatures) {
        if (!signature.signature_matches() && !signature.document_missing) {
            add_line(Line_severity::Error, signature.unchecked.empty() ? signature_mismatch_text : signature.unchecked);
            _errors = true;
        }
    }
}

void Layer_analysis::queue_chains()
{
    _controls_stage = 2;
    changed(Layer_change::Controls);
    if (!_records.empty())
        show(_records.size() - 1);
    _state = Layer_state::Chains;
    queue_step(&Layer_analysis::chains_step, Chains_done_message,
               "Rilevazione dell'attendibilità della firma in corso...");
}

void Layer_analysis::chains_done()
{
    _progress.position = 2 * Layer_progress::Stage;
    changed(Layer_change::Progress);
    if (cancel()) {
        Trace(Trace_kind, Level_info) << "Costruzione delle catene annullata.";
        end_without_summary();
        return;
    }
    std::vector<std::string> carried_names;
    for (size_t i = 0; i < _records.size(); ++i) {
        std::optional<Chain_outcome> outcome;
        if (_chain_outcomes && i < _chain_outcomes->size())
            outcome = (*_chain_outcomes)[i];
        apply_chain_outcome(_records[i], outcome);
        if (_chain_outcomes && i < _lists_judged.size())
            _records[i].lists_judged = _lists_judged[i];
        if (_chain_outcomes && i < _proofs.size())
            _records[i].proof = _proofs[i];
        // Which authorities of a chain the file itself gave.
        if (_carried && outcome)
            for (const Certificate& certificate : outcome->chain)
                if (std::find(_carried->certificates.begin(), _carried->certificates.end(), certificate) !=
                        _carried->certificates.end() &&
                    std::find(carried_names.begin(), carried_names.end(), certificate.display_name()) ==
                        carried_names.end())
                    carried_names.push_back(certificate.display_name());
    }
    for (const std::string& name : carried_names)
        add_line(Line_severity::Information, "Certificato della catena contenuto nel file: " + name + ".");
    for (size_t i = 0; i < _timestamps.size(); ++i) {
        Timestamp_record& record = _timestamps[i];
        const Timestamp_authority_trust trust =
            i < _authority_trust.size() ? _authority_trust[i] : Timestamp_authority_trust{};
        record.trusted.assign(trust.trusted);
        record.qualified = trust.qualified;
        record.listed = trust.listed;
        record.issuer = trust.issuer;
    }
    for (size_t n = 0; n < _authority_job.indexes.size() && n < _authority_outcomes.size(); ++n)
        _timestamps.at(_authority_job.indexes[n]).take_revocation(_authority_outcomes[n]);
    judge_authorities_over_time(_timestamps, _chains_now);
    if (_settings.check_revocation) {
        _revocation_running = true;
        if (!_records.empty())
            show(_selected);
        _revocation_job = revocation_job(_records);
        _state = Layer_state::Revocation;
        queue_step(&Layer_analysis::revocation_step, Revocation_done_message, "Verifica delle revoche in corso...");
        return;
    }
    if (!_records.empty())
        show(_selected);
    add_line(Line_severity::Warning, "La verifica della revoca dei certificati è disabilitata.");
    _warnings = true;
    finish_timestamps();
    summary();
}

void Layer_analysis::revocation_done()
{
    if (cancel()) {
        _progress.position = 0;
        _progress.caption = "Analisi del file annullata.";
        changed(Layer_change::Progress);
        end_without_summary();
        return;
    }
    _progress.position = 3 * Layer_progress::Stage;
    _progress.caption = "Analisi del file completata.";
    changed(Layer_change::Progress);
    apply_revocation_outcomes(_records, _revocation_job, _revocation_outcomes);
    _revocation_running = false;
    if (!_records.empty())
        show(_selected);
    finish_timestamps();
    summary();
}

void Layer_analysis::name_document(const Envelope_info& envelope)
{
    Document_name name;
    if (!envelope.original_name.empty()) {
        name.full_name = envelope.original_name;
        name.display_name = file_name_part(envelope.original_name);
    } else if (envelope.detached && !_detached_document.empty()) {
        // The document of a detached signature named by the user.
        name.full_name = _detached_document;
        name.display_name = file_name_part(_detached_document);
    } else {
        Trace(Trace_kind, Level_trace) << "Il PKCS#7 non contiene il nome del file: estrae il nome dal nome del PKCS#7";
        name = derive_document_name(_file_name);
    }
    // The document may itself be a signed file whatever the names say: then it is opened as a
    // further layer, under a name that tells what it is.
    if (envelope.content.is_assigned()) {
        const Document_types inner = document_type_of_bytes(envelope.content.value());
        // The document of an enveloped XML signature is the signed file itself.
        const bool itself = inner == Document_types::Xml_signature && _info->_file_type == inner;
        if (is_signed_container(inner) && !name.inner_envelope && !itself) {
            name.full_name = container_name(name.full_name, inner);
            name.display_name = file_name_part(name.full_name);
            name.inner_envelope = true;
        }
    }
    _document_name = name.display_name;
    changed(Layer_change::Controls);
    // Without the content there is nothing to open as the inner layer.
    if (name.inner_envelope && _observer && envelope.content.is_assigned())
        _observer->inner_container_found(envelope.content.value(), name.full_name, covering_for_inner());
    // A container of several files: each signed file among them is a further layer. This layer's
    // time stamps do not go with it: a signature's covers some of the files only.
    if (!envelope.content.is_assigned() && _observer)
        for (const Envelope_info::Container_file& file : envelope.container_files)
            if (const Document_types inner = file.kind ? *file.kind : document_type_of_bytes(file.bytes);
                is_signed_container(inner))
                _observer->inner_container_found(file.bytes, container_name(file_name_part(file.name), inner),
                                                 _covering);
}

Signature_display Layer_analysis::signature_display(size_t index, bool with_texts) const
{
    assertion(_info && _info->envelope.is_assigned() && index < _records.size(), "index < signature_count ()");
    const auto& signatures = _info->envelope.value().signatures.value();
    Signature_display display = show_signature(signatures.at(index), _records[index], _revocation_running, with_texts);
    auto add = [&display](Status_line line) {
        display.errors = display.errors || line.severity == Line_severity::Error;
        display.warnings = display.warnings || line.severity == Line_severity::Warning;
        display.status.push_back(std::move(line));
    };
    for (const Timestamp_record& record : _timestamps)
        if (!record.inherited && record.info.scope != Timestamp_scope::Document && record.info.signer == index)
            for (Status_line& line : timestamp_lines(record))
                add(std::move(line));
    if (const auto& at = _records[index].judged_at) {
        std::tm fields{};
        gmtime_r(&*at, &fields);
        add({Line_severity::Information, "La validità del certificato è verificata alla data della marca temporale: " +
                                             timestamp_time_text(system_time_of(fields)) + "."});
    }
    // Which time the list status and the qualification stand for, once a chain reached a root.
    if (_records[index].lists_judged && _records[index].chain.is_assigned())
        add({Line_severity::Information, lists_judged_text(*_records[index].lists_judged)});
    if (signatures.at(index).signing_certificate_mismatch)
        add({Line_severity::Error, signing_certificate_mismatch_text});
    // What changed since the signature's proof of existence, and its digest judged at that time.
    for (Status_line& line : over_time_lines(_records[index], signatures.at(index).digest_nid, std::time(nullptr)))
        add(std::move(line));
    for (const Countersignature_info& countersignature : signatures.at(index).countersignatures) {
        if (!countersignature.read) {
            add({Line_severity::Error, "La controfirma non è leggibile."});
            continue;
        }
        add({Line_severity::Information, "Controfirma di " + countersigner_name(countersignature) + "."});
        if (!countersignature.matches)
            add({Line_severity::Error, "La controfirma non corrisponde alla firma."});
        else if (is_weak_digest(countersignature.digest_nid))
            add({Line_severity::Warning, "L'algoritmo di hash della controfirma non è più considerato sicuro."});
    }
    return display;
}

void Layer_analysis::show(size_t index)
{
    _shown_index = index;
    _shown = signature_display(index);
    collect_flags();
    changed(Layer_change::Signature);
}

// The flags stand for every signature, not only the one on display: a finding about another
// signer must not end the analysis as a success.
void Layer_analysis::collect_flags()
{
    for (size_t i = 0; i < _records.size(); ++i) {
        const Signature_display display = signature_display(i, false);
        _warnings = _warnings || display.warnings;
        _errors = _errors || display.errors;
    }
}

void Layer_analysis::select_signature(size_t index)
{
    if (index >= _records.size() || _controls_stage != 2)
        return;
    _selected = index;
    show(index);
}

void Layer_analysis::summary()
{
    const Layer_outcome outcome = outcome_of(_warnings, _errors);
    _outcome = outcome;
    switch (outcome) {
    case Layer_outcome::Errors:
        _progress.background = Progress_background::Red;
        add_line(Line_severity::Error, "Analisi del file completata con errori.");
        break;
    case Layer_outcome::Warnings:
        _progress.background = Progress_background::Yellow;
        add_line(Line_severity::Warning, "Analisi del file completata con segnalazioni.");
        _warnings = true;
        break;
    case Layer_outcome::Success:
        _progress.background = Progress_background::Green;
        add_line(Line_severity::Information, "Analisi del file completata con successo.");
        break;
    }
    // The caption of the last stage would still say it is under way.
    _progress.caption = "Analisi del file completata.";
    _state = Layer_state::Completed;
    changed(Layer_change::Progress);
    if (_observer)
        _observer->layer_completed(*this, icon_of(outcome));
    changed(Layer_change::Finished);
}

// The time stamps of the file, once their authorities are judged; those of a signer are in its
// status list.
void Layer_analysis::finish_timestamps()
{
    for (const Timestamp_record& record : _timestamps) {
        if (record.inherited || record.info.scope != Timestamp_scope::Document)
            continue;
        for (Status_line& line : timestamp_lines(record)) {
            _errors = _errors || line.severity == Line_severity::Error;
            _warnings = _warnings || line.severity == Line_severity::Warning;
            add_line(line.severity, std::move(line.text));
        }
    }
}

std::vector<Timestamp_info> Layer_analysis::covering_for_inner() const
{
    std::vector<Timestamp_info> covering = _covering;
    if (!_info || !_info->envelope.is_assigned())
        return covering;
    const Envelope_info& envelope = _info->envelope.value();
    for (const Timestamp_info& timestamp : _info->timestamps) {
        if (!timestamp.verified() || timestamp.scope == Timestamp_scope::Content ||
            timestamp.scope == Timestamp_scope::References)
            continue;
        // A signature's time stamp (or an archive one) proves when that signature existed; it
        // speaks for the envelope inside only when the signature matches it.
        if (timestamp.scope != Timestamp_scope::Document &&
            (!envelope.signatures.is_assigned() || timestamp.signer >= envelope.signatures.value().size() ||
             !envelope.signatures.value()[timestamp.signer].signature_matches()))
            continue;
        covering.push_back(timestamp);
    }
    return covering;
}

void Layer_analysis::end_without_summary()
{
    _state = Layer_state::Ended;
    changed(Layer_change::Finished);
}

void Layer_analysis::close()
{
    if (_state == Layer_state::Closed)
        return;
    if (_worker->started()) {
        // The flag is the whole process's: it stops the steps that look at it in every layer.
        if (is_busy(_state) && _worker->is_running())
            cancel() = true;
        _worker->stop();
    }
    _expected_message.reset();
    if (_window)
        clear_current_verification_window(_window->handle());
    _window.reset();
    _notification->set_window(0);
    _state = Layer_state::Closed;
}

void Layer_analysis::clear_crl_cache()
{
    add_line(Line_severity::Information, "Cancellazione file temporanei...");
    if (velin::clear_crl_cache()) {
        add_line(Line_severity::Information, "I file temporanei sono stati cancellati.");
        return;
    }
    // Saying they were deleted when they were not would keep stale lists in use unknowingly.
    Trace(Trace_kind, Level_error) << "Cancellazione dei file temporanei fallita.";
}

bool Layer_analysis::finished() const
{
    switch (_state) {
    case Layer_state::Refused:
    case Layer_state::Completed:
    case Layer_state::Ended:
    case Layer_state::Closed:
        return true;
    default:
        return false;
    }
}

std::vector<std::string> Layer_analysis::signer_names() const
{
    std::vector<std::string> names;
    for (const Signer_record& record : _records)
        names.push_back(signer_name(record));
    return names;
}

bool Layer_analysis::content_available() const
{
    return _controls_stage == 2 && content() != nullptr;
}

const Document_bytes* Layer_analysis::content() const
{
    if (!_info || !_info->envelope.is_assigned() || !_info->envelope.value().content.is_assigned())
        return nullptr;
    return &_info->envelope.value().content.value();
}

void Layer_analysis::add_line(Line_severity severity, std::string text)
{
    _activity.push_back({severity, std::move(text)});
    changed(Layer_change::Lines);
}

void Layer_analysis::changed(Layer_change change)
{
    if (_observer)
        _observer->layer_changed(*this, change);
}

} // namespace velin
