#include "VelinVerify/app/batch_report.h"

#include "VelinVerify/pipeline/verification_session.h"

#include <boost/format.hpp>

#include <algorithm>
#include <ctime>

namespace velin {

namespace {

constexpr const char* replacement = "\xEF\xBF\xBD"; // U+FFFD

// Length of the valid UTF-8 sequence at text[at], 0 when it is not one.
size_t utf8_sequence(const std::string& text, size_t at)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    size_t length = 0;
    uint32_t code = 0;
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
    } else {
        return 0;
    }
    if (at + length > text.size())
        return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (byte(at + i) & 0x3F);
    }
    const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    if (overlong || surrogate || code > 0x10FFFF)
        return 0;
    return length;
}

std::string outcome_name(Layer_outcome outcome)
{
    switch (outcome) {
    case Layer_outcome::Success:
        return "success";
    case Layer_outcome::Warnings:
        return "warnings";
    case Layer_outcome::Errors:
        break;
    }
    return "errors";
}

std::string json_or_null(const std::optional<std::string>& text)
{
    return text ? json_string(*text) : "null";
}

void print_lines_json(std::ostream& out, const std::vector<Status_line>& lines)
{
    out << '[';
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i)
            out << ", ";
        out << "{\"severity\": " << json_string(std::string(severity_name(lines[i].severity)))
            << ", \"text\": " << json_string(lines[i].text) << '}';
    }
    out << ']';
}

std::string iso_time(std::time_t time)
{
    std::tm fields{};
    gmtime_r(&time, &fields);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &fields);
    return text;
}

const char* scope_name(Timestamp_scope scope)
{
    switch (scope) {
    case Timestamp_scope::Signature:
        return "signature";
    case Timestamp_scope::Content:
        return "content";
    case Timestamp_scope::Archive:
        return "archive";
    case Timestamp_scope::References:
        return "references";
    case Timestamp_scope::Document:
        break;
    }
    return "document";
}

} // namespace

std::string severity_label(Line_severity severity)
{
    switch (severity) {
    case Line_severity::Error:
        return "errore";
    case Line_severity::Question:
        return "domanda";
    case Line_severity::Warning:
        return "avviso";
    case Line_severity::Information:
        return "informazione";
    case Line_severity::Application:
        return "applicazione";
    }
    return "errore";
}

std::string printable_text(const std::string& text)
{
    std::string result;
    result.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        const size_t length = utf8_sequence(text, at);
        const unsigned char c = static_cast<unsigned char>(text[at]);
        if (length == 0 || c < 0x20 || c == 0x7F) {
            result += replacement;
            at += length ? length : 1;
            continue;
        }
        // C1 controls (U+0080 to U+009F) steer terminals too.
        if (length == 2 && c == 0xC2 && static_cast<unsigned char>(text[at + 1]) < 0xA0) {
            result += replacement;
            at += 2;
            continue;
        }
        result.append(text, at, length);
        at += length;
    }
    return result;
}

std::string json_string(const std::string& text)
{
    std::string result = "\"";
    for (size_t at = 0; at < text.size();) {
        const size_t length = utf8_sequence(text, at);
        if (length == 0) {
            result += replacement;
            ++at;
            continue;
        }
        const unsigned char c = static_cast<unsigned char>(text[at]);
        if (length == 1) {
            switch (c) {
            case '"':
                result += "\\\"";
                break;
            case '\\':
                result += "\\\\";
                break;
            case '\n':
                result += "\\n";
                break;
            case '\r':
                result += "\\r";
                break;
            case '\t':
                result += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7F)
                    result += (boost::format("\\u%04x") % static_cast<unsigned>(c)).str();
                else
                    result += static_cast<char>(c);
            }
        } else {
            result.append(text, at, length);
        }
        at += length;
    }
    return result + "\"";
}

namespace {

// A signature container's files and what each signature covers.
void add_container_files(Batch_layer& printed, const Layer_analysis& layer)
{
    if (!layer.info() || !layer.info()->envelope.is_assigned() ||
        layer.info()->envelope.value().container_files.empty())
        return;
    const Envelope_info& envelope = layer.info()->envelope.value();
    printed.container_files.emplace();
    for (const Envelope_info::Container_file& file : envelope.container_files)
        printed.container_files->push_back(file.name);
    printed.uncovered = envelope.uncovered();
    if (envelope.signatures.is_assigned())
        for (const Signature_info& signature : envelope.signatures.value())
            printed.covers.push_back(signature.covers);
}

void print_names_json(std::ostream& out, const std::vector<std::string>& names)
{
    out << '[';
    for (size_t i = 0; i < names.size(); ++i)
        out << (i ? ", " : "") << json_string(names[i]);
    out << ']';
}

} // namespace

Batch_report make_batch_report(const Verification_session& session, const std::vector<Layer_box>& boxes)
{
    Batch_report report;
    report.file = session.path();
    size_t completed = 0;
    for (const auto& layer : session.layers()) {
        Batch_layer printed;
        printed.file = layer->file_name();
        if (!layer->document_name().empty())
            printed.document = layer->document_name();
        if (layer->outcome()) {
            printed.outcome = outcome_name(*layer->outcome());
            ++completed;
        }
        for (const Layer_box& box : boxes)
            if (box.layer == layer.get())
                printed.activity.push_back({Line_severity::Error, box.box.text});
        printed.activity.insert(printed.activity.end(), layer->activity().begin(), layer->activity().end());
        for (size_t i = 0; i < layer->signature_count(); ++i) {
            printed.signatures.push_back(layer->signature_display(i));
            const auto& at = layer->signer_records()[i].judged_at;
            printed.judged_at.push_back(at ? std::optional<std::string>(iso_time(*at)) : std::nullopt);
            const Signer_record& record = layer->signer_records()[i];
            if (record.lists_judged && record.chain.is_assigned())
                printed.lists_judged.emplace_back(
                    std::pair(iso_time(record.lists_judged->at),
                              record.lists_judged->by_timestamp ? "timestamp" : "verification"));
            else
                printed.lists_judged.emplace_back();
            printed.proofs.push_back(
                record.proof ? std::optional(Batch_proof{iso_time(record.proof->at), record.proof->authority,
                                                         proof_kind_name(*record.proof)})
                             : std::nullopt);
            std::vector<std::pair<std::string, bool>> countersignatures;
            if (layer->info() && layer->info()->envelope.is_assigned() &&
                layer->info()->envelope.value().signatures.is_assigned())
                for (const Countersignature_info& countersignature :
                     layer->info()->envelope.value().signatures.value().at(i).countersignatures)
                    countersignatures.emplace_back(countersigner_name(countersignature), countersignature.matches);
            printed.countersignatures.push_back(std::move(countersignatures));
        }
        add_container_files(printed, *layer);
        for (const Timestamp_record& record : layer->timestamps()) {
            Batch_timestamp timestamp;
            timestamp.scope = scope_name(record.info.scope);
            if (record.info.scope != Timestamp_scope::Document && !record.inherited)
                timestamp.signer = record.info.signer + 1;
            timestamp.renewal = record.info.renewal;
            if (record.info.read)
                timestamp.time = iso_time(record.info.time);
            timestamp.authority = record.info.authority;
            timestamp.verified = record.info.verified();
            if (record.trusted.is_assigned())
                timestamp.trusted = record.trusted.value();
            timestamp.usable = record.usable();
            timestamp.inherited = record.inherited;
            printed.timestamps.push_back(std::move(timestamp));
        }
        report.layers.push_back(std::move(printed));
    }
    if (const auto box = session.combined_box()) {
        report.message = box->text;
        switch (box->icon) {
        case Icon_information:
            report.outcome = "success";
            report.exit_code = Exit_success;
            break;
        case Icon_warning:
            report.outcome = "warnings";
            report.exit_code = Exit_warnings;
            break;
        default:
            report.outcome = "errors";
            report.exit_code = Exit_errors;
            break;
        }
    } else {
        // Some layers without a summary: each of them ended on an error line.
        report.exit_code = completed == 0 ? Exit_no_summary : Exit_errors;
    }
    return report;
}

void print_text(std::ostream& out, const Batch_report& report)
{
    out << "File: " << printable_text(report.file) << '\n';
    for (size_t n = 0; n < report.layers.size(); ++n) {
        const Batch_layer& layer = report.layers[n];
        out << "\nLivello " << n + 1 << ": " << printable_text(layer.file) << '\n';
        if (layer.document)
            out << "  Documento originale: " << printable_text(*layer.document) << '\n';
        for (size_t i = 0; i < layer.signatures.size(); ++i) {
            const Signature_display& signature = layer.signatures[i];
            out << "  Firma " << i + 1 << ": " << printable_text(signature.signer) << '\n';
            out << "    Data e ora: " << printable_text(signature.signing_time) << '\n';
            out << "    Tipo di firma: " << printable_text(signature.kind) << '\n';
            if (layer.container_files && i < layer.covers.size()) {
                out << "    File coperti:";
                for (const std::string& name : layer.covers[i])
                    out << ' ' << printable_text(name) << (&name != &layer.covers[i].back() ? "," : "");
                out << (layer.covers[i].empty() ? " nessuno\n" : "\n");
            }
            for (const Status_line& line : signature.status)
                out << "    [" << severity_label(line.severity) << "] " << printable_text(line.text) << '\n';
        }
        if (layer.container_files)
            for (const std::string& name : *layer.container_files)
                out << "  File del contenitore: " << printable_text(name)
                    << (std::find(layer.uncovered.begin(), layer.uncovered.end(), name) != layer.uncovered.end()
                            ? " (non coperto da alcuna firma)\n"
                            : "\n");
        for (const Batch_timestamp& timestamp : layer.timestamps) {
            if (timestamp.inherited)
                continue;
            const std::string scope = timestamp.scope == "signature"    ? "Marca temporale della firma "
                                      : timestamp.scope == "content"    ? "Marca temporale del contenuto della firma "
                                      : timestamp.scope == "archive"    ? "Marca temporale d'archivio della firma "
                                      : timestamp.scope == "references" ? "Marca temporale dei riferimenti della firma "
                                                                        : "Marca temporale del file";
            out << "  " << scope;
            if (timestamp.signer)
                out << *timestamp.signer;
            out << ": " << (timestamp.time ? *timestamp.time : std::string("illeggibile")) << ", "
                << printable_text(timestamp.authority) << (timestamp.verified ? ", verificata" : ", non verificata")
                << (timestamp.trusted && *timestamp.trusted ? ", autorità attendibile" : ", autorità non attendibile")
                << (timestamp.verified && timestamp.trusted && *timestamp.trusted && !timestamp.usable
                        ? ", non usata come riferimento temporale"
                        : "")
                << '\n';
        }
        out << "  Attività:\n";
        for (const Status_line& line : layer.activity)
            out << "    [" << severity_label(line.severity) << "] " << printable_text(line.text) << '\n';
    }
    out << "\nEsito: " << (report.message ? printable_text(*report.message) : std::string("nessun esito complessivo"))
        << '\n';
}

std::string notice_text(const Status_line& notice)
{
    return "[" + severity_label(notice.severity) + "] " + printable_text(notice.text);
}

namespace {

void print_proof_json(std::ostream& out, const std::optional<Batch_proof>& proof)
{
    out << ", \"proven_at\": " << json_or_null(proof ? std::optional(proof->at) : std::nullopt) << ", \"proven_by\": ";
    if (proof)
        out << "{\"authority\": " << json_string(proof->authority) << ", \"kind\": " << json_string(proof->kind) << '}';
    else
        out << "null";
}

} // namespace

void print_json(std::ostream& out, const Batch_report& report)
{
    out << "{\"file\": " << json_string(report.file) << ", \"outcome\": " << json_or_null(report.outcome)
        << ", \"message\": " << json_or_null(report.message) << ", \"layers\": [";
    for (size_t n = 0; n < report.layers.size(); ++n) {
        const Batch_layer& layer = report.layers[n];
        out << (n ? ", " : "") << "{\"file\": " << json_string(layer.file)
            << ", \"document\": " << json_or_null(layer.document) << ", \"outcome\": " << json_or_null(layer.outcome)
            << ", \"activity\": ";
        print_lines_json(out, layer.activity);
        out << ", \"signatures\": [";
        for (size_t i = 0; i < layer.signatures.size(); ++i) {
            const Signature_display& signature = layer.signatures[i];
            out << (i ? ", " : "") << "{\"signer\": " << json_string(signature.signer)
                << ", \"signing_time\": " << json_string(signature.signing_time)
                << ", \"kind\": " << json_string(signature.kind)
                << ", \"judged_at\": " << json_or_null(i < layer.judged_at.size() ? layer.judged_at[i] : std::nullopt);
            const auto& lists = i < layer.lists_judged.size() ? layer.lists_judged[i] : std::nullopt;
            out << ", \"lists_judged_at\": " << json_or_null(lists ? std::optional(lists->first) : std::nullopt)
                << ", \"lists_judged_by\": " << json_or_null(lists ? std::optional(lists->second) : std::nullopt);
            print_proof_json(out, i < layer.proofs.size() ? layer.proofs[i] : std::nullopt);
            out << ", \"countersignatures\": [";
            if (i < layer.countersignatures.size())
                for (size_t c = 0; c < layer.countersignatures[i].size(); ++c)
                    out << (c ? ", " : "") << "{\"signer\": " << json_string(layer.countersignatures[i][c].first)
                        << ", \"matches\": " << (layer.countersignatures[i][c].second ? "true" : "false") << '}';
            out << "], \"covers\": ";
            if (layer.container_files && i < layer.covers.size())
                print_names_json(out, layer.covers[i]);
            else
                out << "null";
            out << ", \"status\": ";
            print_lines_json(out, signature.status);
            out << '}';
        }
        out << "], \"container_files\": ";
        if (layer.container_files)
            print_names_json(out, *layer.container_files);
        else
            out << "null";
        out << ", \"uncovered\": ";
        if (layer.container_files)
            print_names_json(out, layer.uncovered);
        else
            out << "null";
        out << ", \"timestamps\": [";
        for (size_t i = 0; i < layer.timestamps.size(); ++i) {
            const Batch_timestamp& timestamp = layer.timestamps[i];
            out << (i ? ", " : "") << "{\"scope\": " << json_string(timestamp.scope)
                << ", \"signer\": " << (timestamp.signer ? std::to_string(*timestamp.signer) : "null")
                << ", \"renewal\": " << timestamp.renewal << ", \"time\": " << json_or_null(timestamp.time)
                << ", \"authority\": " << json_string(timestamp.authority)
                << ", \"verified\": " << (timestamp.verified ? "true" : "false")
                << ", \"trusted\": " << (timestamp.trusted ? (*timestamp.trusted ? "true" : "false") : "null")
                << ", \"usable\": " << (timestamp.usable ? "true" : "false")
                << ", \"inherited\": " << (timestamp.inherited ? "true" : "false") << '}';
        }
        out << "]}";
    }
    out << "]}\n";
}

} // namespace velin
