// The signature containers' part of the decoding of a signed file (Signed_document_parser).
#include "common/trace.h"
#include "envelope/asic_container.h"
#include "envelope/asic_manifest.h"
#include "envelope/content_kind.h"
#include "envelope/pkcs7.h"
#include "envelope/signed_document_parser.h"
#include "envelope/timestamp_token.h"
#include "envelope/xml_signature.h"

#include <algorithm>
#include <string_view>

namespace velin {

namespace {

constexpr const char* no_signature_text = "Il contenitore non contiene alcuna firma né marca temporale.";
constexpr const char* no_document_text = "Il contenitore non contiene alcun documento.";
constexpr const char* several_documents_text =
    "Il contenitore contiene più documenti ma nessun manifesto che indichi quali sono firmati: il contenitore non "
    "può essere verificato.";
constexpr const char* xml_several_documents_text =
    "Le firme XML su più documenti di un contenitore, o in più file, non sono ancora verificate da questo programma.";
constexpr const char* manifest_file_changed_text =
    "Un file elencato dal manifesto della marca temporale non corrisponde al suo hash.";
constexpr const char* not_detached_text =
    "La firma del contenitore contiene un proprio documento invece di firmare il file del contenitore: la firma è "
    "rifiutata.";

// A file of META-INF that signs, time-stamps or lists others.
bool is_container_signature_file(std::string_view name)
{
    if (!name.starts_with("META-INF/"))
        return false;
    name.remove_prefix(9);
    return name.starts_with("signature") || name.starts_with("timestamp") || name.starts_with("ASiCManifest") ||
           name.starts_with("ASiCArchiveManifest") || name.starts_with("evidencerecord");
}

} // namespace

void Signed_document_parser::analyse_container()
{
    auto& info = *_signature_info_;
    std::string problem;
    const Document_bytes file = info.file_data.value();
    const std::optional<Asic_container> container = read_asic_container(file, problem);
    if (!container) {
        fail(problem);
        return;
    }
    for (const std::string& warning : container->warnings)
        Trace(Trace_kind, Level_info) << warning;
    if (!container->meta_files("ASiCManifest", ".xml").empty())
        analyse_manifest_container(*container);
    else
        analyse_simple_container(*container);
    if (_status == Parser_status::Error || !info.envelope.is_assigned())
        return;
    Envelope_info& envelope = info.envelope.value();
    envelope.container_warnings = container->warnings;
    // Signatures and time stamps no form above reads are said to be left out, not silently passed.
    for (const Asic_entry& entry : container->entries)
        if (is_container_signature_file(entry.name) &&
            std::find(_container_checked.begin(), _container_checked.end(), entry.name) == _container_checked.end())
            envelope.container_warnings.push_back(asic_unchecked_file_text(entry.name));
    for (const Asic_entry* entry : container->data_objects())
        envelope.container_files.push_back({entry->name, entry->bytes,
                                            std::find(_container_timestamped.begin(), _container_timestamped.end(),
                                                      entry->name) != _container_timestamped.end()});
}

bool Signed_document_parser::decode_container_signature(std::shared_ptr<Signed_document> decoder,
                                                        const Document_bytes& document, const std::string& name)
{
    _container_document = document;
    _container_document_name = name;
    decode_envelope(std::move(decoder));
    _container_document.reset();
    if (_status == Parser_status::Error)
        return false;
    if (!_signature_info_->envelope.value().detached) {
        fail(not_detached_text);
        return false;
    }
    if (!_signature_info_->envelope.value().signatures.is_assigned()) {
        fail("La lettura delle firme è fallita.");
        return false;
    }
    return true;
}

void Signed_document_parser::analyse_simple_container(const Asic_container& container)
{
    auto& info = *_signature_info_;
    const auto objects = container.data_objects();
    const Asic_entry* cades = container.find("META-INF/signature.p7s");
    // The XML signatures are in "signatures.xml", or in one file named like it.
    const auto xml_files = container.meta_files("signatures", ".xml");
    const Asic_entry* xades = xml_files.size() == 1 ? xml_files.front() : nullptr;
    const Asic_entry* stamp = container.find("META-INF/timestamp.tst");
    if (xml_files.size() > 1 && !cades) {
        fail(xml_several_documents_text);
        return;
    }
    if (!cades && !xades && !stamp) {
        fail(no_signature_text);
        return;
    }
    if (objects.size() != 1) {
        fail(objects.empty() ? no_document_text : xades ? xml_several_documents_text : several_documents_text);
        return;
    }
    const Asic_entry& document = *objects.front();
    _container_checked.push_back((cades ? cades : xades ? xades : stamp)->name);
    if (!cades && !xades) {
        info.file_data.assign(stamp->bytes);
        check_detached_timestamp(document.bytes, document.name);
        const Timestamp_info& timestamp = info.timestamps.back();
        if (timestamp.read && timestamp.signature_valid && timestamp.imprint_matches)
            _container_timestamped.push_back(document.name);
        return;
    }
    info.file_data.assign((cades ? cades : xades)->bytes);
    std::shared_ptr<Signed_document> decoder;
    if (cades)
        decoder = std::make_shared<Pkcs7>(&_cancel);
    else
        decoder = std::make_shared<Xml_signature>(&_cancel);
    if (!decode_container_signature(std::move(decoder), document.bytes, document.name))
        return;
    Envelope_info& envelope = info.envelope.value();
    envelope.original_name = document.name;
    std::vector<Signature_info> signatures = envelope.signatures.value();
    for (Signature_info& signature : signatures)
        if (signature.signature_matches())
            signature.covers = {document.name};
    envelope.signatures.assign(std::move(signatures));
}

void Signed_document_parser::analyse_manifest_container(const Asic_container& container)
{
    auto& info = *_signature_info_;
    std::vector<Signature_info> all;
    for (const Asic_entry* entry : container.meta_files("ASiCManifest", ".xml")) {
        std::string problem;
        const auto manifest = read_asic_manifest(entry->bytes, problem);
        if (!manifest) {
            fail(problem);
            return;
        }
        const auto name = asic_entry_name_of_uri(manifest->signature_uri);
        const Asic_entry* signature_file = name ? container.find(*name) : nullptr;
        if (!signature_file) {
            fail(asic_missing_file_text(manifest->signature_uri));
            return;
        }
        if (lower_case_extension(signature_file->name) == "tst") {
            check_manifest_timestamp(*manifest, *entry, *signature_file, container);
            continue;
        }
        Trace_block block("Verifica del manifesto " + entry->name);
        _container_checked.push_back(entry->name);
        _container_checked.push_back(signature_file->name);
        const size_t first_timestamp = info.timestamps.size();
        info.file_data.assign(signature_file->bytes);
        if (!decode_container_signature(std::make_shared<Pkcs7>(&_cancel), entry->bytes, entry->name))
            return;
        // The signers of this signature follow those of the earlier ones.
        for (size_t i = first_timestamp; i < info.timestamps.size(); ++i)
            if (info.timestamps[i].scope != Timestamp_scope::Document)
                info.timestamps[i].signer += all.size();
        const Asic_coverage coverage = check_manifest_references(*manifest, container);
        for (Signature_info signature : info.envelope.value().signatures.value()) {
            // The signature vouches for the manifest; the manifest's digests for the files.
            if (!coverage.holds()) {
                signature.integrity.assign(Signature_integrity::Not_intact);
                if (!coverage.problem.empty())
                    signature.unchecked = coverage.problem;
            }
            if (signature.signature_matches())
                signature.covers = coverage.covers;
            all.push_back(std::move(signature));
        }
    }
    Envelope_info envelope;
    const auto objects = container.data_objects();
    // One document is the container's document; several are listed as its files.
    if (objects.size() == 1) {
        envelope.original_name = objects.front()->name;
        envelope.content.assign(objects.front()->bytes);
    } else {
        envelope.content.set_unavailable();
    }
    // Manifests under time stamps only: the files are time-stamped, not signed.
    info.document_unsigned = all.empty() && !info.timestamps.empty();
    envelope.signatures.assign(std::move(all));
    info.envelope.assign(std::move(envelope));
}

void Signed_document_parser::check_manifest_timestamp(const Asic_manifest& manifest, const Asic_entry& manifest_file,
                                                      const Asic_entry& token, const Asic_container& container)
{
    Trace_block block("Verifica della marca temporale del manifesto " + manifest_file.name);
    _container_checked.push_back(manifest_file.name);
    _container_checked.push_back(token.name);
    Timestamp_info timestamp = check_timestamp(token.bytes.view(), digest_of_bytes(manifest_file.bytes));
    const Asic_coverage coverage = check_manifest_references(manifest, container);
    // The time stamp proves the files only through the manifest's digests: any that fails makes
    // it no proof.
    if (!coverage.problem.empty())
        timestamp.coverage_errors.push_back(coverage.problem);
    else if (coverage.mismatch)
        timestamp.coverage_errors.push_back(manifest_file_changed_text);
    if (timestamp.read && timestamp.signature_valid && timestamp.imprint_matches && coverage.holds())
        _container_timestamped.insert(_container_timestamped.end(), coverage.covers.begin(), coverage.covers.end());
    _signature_info_->timestamps.push_back(std::move(timestamp));
}

} // namespace velin
