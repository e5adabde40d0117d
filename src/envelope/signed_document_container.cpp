// The signature containers' part of the decoding of a signed file (Signed_document_parser).
#include "common/trace.h"
#include "envelope/asic_container.h"
#include "envelope/asic_manifest.h"
#include "envelope/content_kind.h"
#include "envelope/pkcs7.h"
#include "envelope/signed_document_parser.h"
#include "envelope/timestamp_token.h"
#include "envelope/xml_signature.h"

#include <openssl/obj_mac.h>

#include <algorithm>
#include <string_view>

namespace velin {

// A signature or time stamp of a container with manifests, for the archive manifests that list it:
// its time stamps in Signed_document_info::timestamps, its signers in the envelope's list.
struct Asic_signed_part {
    std::string file;
    size_t first_timestamp = 0;
    size_t end_timestamp = 0;
    size_t first_signer = 0;
    size_t end_signer = 0;
};

namespace {

constexpr const char* no_signature_text = "Il contenitore non contiene alcuna firma né marca temporale.";
constexpr const char* no_document_text = "Il contenitore non contiene alcun documento.";
constexpr const char* several_documents_text =
    "Il contenitore contiene più documenti ma nessun manifesto che indichi quali sono firmati: il contenitore non "
    "può essere verificato.";
constexpr const char* manifest_file_changed_text =
    "Un file elencato dal manifesto della marca temporale non corrisponde al suo hash.";
constexpr const char* archive_file_changed_text =
    "Un file elencato dal manifesto d'archivio non corrisponde al suo hash: la marca temporale d'archivio non ne "
    "prova l'esistenza.";
// The archive manifests checked in one container: a renewal every few years needs far fewer.
constexpr size_t max_archive_manifests = 16;
// The files missing under an archive manifest that its time stamp's errors name.
constexpr size_t max_missing_named = 5;
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

// A signature the container names but that cannot be read: shown as an error of its own.
Signature_info unreadable_signature(const std::string& text)
{
    Signature_info signature;
    signature.signer.set_failed("La lettura del certificato del firmatario è fallita.");
    signature.signing_time.set_unavailable();
    signature.integrity.set_failed(text);
    signature.unchecked = text;
    return signature;
}

std::string manifest_unreadable_text(const std::string& name)
{
    return "Il manifesto \"" + asic_shown_name(name) +
           "\" del contenitore non è leggibile: la firma che vi si riferisce non può essere verificata.";
}

std::string archive_missing_file_text(const std::string& name)
{
    return "Il file \"" + asic_shown_name(name) +
           "\" elencato dal manifesto d'archivio non è presente nel contenitore: la marca temporale d'archivio non "
           "ne prova l'esistenza.";
}

std::string signature_unreadable_text(const std::string& name)
{
    return "La firma \"" + asic_shown_name(name) + "\" del contenitore non è leggibile.";
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
    if (!container->meta_files("ASiCManifest", ".xml").empty() ||
        (!container->find("META-INF/signature.p7s") && !container->meta_files("signatures", ".xml").empty()))
        analyse_extended_container(*container);
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
    for (const Asic_entry* entry : container->data_objects()) {
        const auto sha256 = entry->digests.find(NID_sha256);
        envelope.container_files.push_back({entry->name, entry->bytes,
                                            std::find(_container_timestamped.begin(), _container_timestamped.end(),
                                                      entry->name) != _container_timestamped.end(),
                                            entry->kind,
                                            sha256 != entry->digests.end() ? sha256->second : std::vector<uint8_t>{}});
    }
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
    // The XML signatures are read by analyse_extended_container.
    const Asic_entry* cades = container.find("META-INF/signature.p7s");
    const Asic_entry* stamp = container.find("META-INF/timestamp.tst");
    if (!cades && !stamp) {
        fail(no_signature_text);
        return;
    }
    if (objects.size() != 1) {
        fail(objects.empty() ? no_document_text : several_documents_text);
        return;
    }
    const Asic_entry& document = *objects.front();
    _container_checked.push_back((cades ? cades : stamp)->name);
    if (!cades) {
        info.file_data.assign(stamp->bytes);
        check_detached_timestamp(document.bytes, document.name);
        const Timestamp_info& timestamp = info.timestamps.back();
        if (timestamp.read && timestamp.signature_valid && timestamp.imprint_matches)
            _container_timestamped.push_back(document.name);
        return;
    }
    info.file_data.assign(cades->bytes);
    if (!decode_container_signature(std::make_shared<Pkcs7>(&_cancel), document.bytes, document.name))
        return;
    Envelope_info& envelope = info.envelope.value();
    envelope.original_name = document.name;
    std::vector<Signature_info> signatures = envelope.signatures.value();
    for (Signature_info& signature : signatures)
        if (signature.signature_matches())
            signature.covers = {document.name};
    envelope.signatures.assign(std::move(signatures));
}

std::optional<Signed_document_parser::Manifest_failure>
Signed_document_parser::check_signatures_file(const Asic_entry& file, const Asic_container& container, uint64_t& budget,
                                              std::vector<Signature_info>& signatures)
{
    auto& info = *_signature_info_;
    Trace_block block("Verifica delle firme XML " + file.name);
    _container_checked.push_back(file.name);
    if (file.bytes.empty())
        return Manifest_failure{Xml_text_unreadable, signature_unreadable_text(file.name)};
    const size_t first_timestamp = info.timestamps.size();
    info.file_data.assign(file.bytes);
    const auto decoder = std::make_shared<Xml_signature>(&_cancel);
    decoder->set_container_files(container.entries, budget);
    decode_envelope(decoder);
    if (_status != Parser_status::Error && !info.envelope.value().signatures.is_assigned())
        fail("La lettura delle firme è fallita.");
    if (_status == Parser_status::Error) {
        // Nothing of it is kept; the decoding of the container goes on.
        Manifest_failure failure{_error_message, signature_unreadable_text(file.name)};
        _status = Parser_status::File_loaded;
        _error_message.clear();
        info.timestamps.resize(first_timestamp);
        return failure;
    }
    budget -= std::min(budget, decoder->container_bytes_digested());
    // The signers of this file follow those of the earlier ones.
    for (size_t i = first_timestamp; i < info.timestamps.size(); ++i)
        if (info.timestamps[i].scope != Timestamp_scope::Document)
            info.timestamps[i].signer += signatures.size();
    std::vector<Signature_info> read = info.envelope.value().signatures.value();
    for (size_t n = 0; n < read.size(); ++n) {
        decoder->select_signature(n);
        if (read[n].signature_matches())
            read[n].covers = decoder->covered_files();
        signatures.push_back(std::move(read[n]));
    }
    return std::nullopt;
}

void Signed_document_parser::analyse_extended_container(const Asic_container& container)
{
    auto& info = *_signature_info_;
    std::vector<Signature_info> all;
    std::vector<Asic_signed_part> parts;
    std::string refusal;
    bool any_read = false;
    // One manifest, signature or signatures file that cannot be read is an error of its own
    // signature only.
    const auto failed = [&](const Manifest_failure& failure) {
        if (refusal.empty())
            refusal = failure.refusal;
        all.push_back(unreadable_signature(failure.signature_text));
    };
    for (const Asic_entry* entry : container.meta_files("ASiCManifest", ".xml")) {
        if (const auto failure = check_signed_manifest(*entry, container, all, parts))
            failed(*failure);
        else
            any_read = true;
    }
    std::vector<const Asic_entry*> xml_files = container.meta_files("signatures", ".xml");
    std::sort(xml_files.begin(), xml_files.end(),
              [](const Asic_entry* a, const Asic_entry* b) { return a->name < b->name; });
    // One budget of bytes to digest for the XML signatures of every file.
    uint64_t budget = Xml_container_digest_budget;
    for (const Asic_entry* file : xml_files) {
        if (const auto failure = check_signatures_file(*file, container, budget, all))
            failed(*failure);
        else
            any_read = true;
    }
    if (!any_read && !refusal.empty()) {
        fail(refusal);
        return;
    }
    if (all.empty() && info.timestamps.empty()) {
        fail(no_signature_text);
        return;
    }
    check_archive_manifests(container, parts);
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

std::optional<Signed_document_parser::Manifest_failure>
Signed_document_parser::check_signed_manifest(const Asic_entry& manifest_file, const Asic_container& container,
                                              std::vector<Signature_info>& signatures,
                                              std::vector<Asic_signed_part>& parts)
{
    auto& info = *_signature_info_;
    std::string problem;
    const auto manifest = read_asic_manifest(manifest_file.bytes, problem);
    if (!manifest) {
        _container_checked.push_back(manifest_file.name);
        return Manifest_failure{problem, manifest_unreadable_text(manifest_file.name)};
    }
    const auto name = asic_entry_name_of_uri(manifest->signature_uri);
    const Asic_entry* signature_file = name ? container.find(*name) : nullptr;
    if (!signature_file) {
        _container_checked.push_back(manifest_file.name);
        const std::string missing = asic_missing_file_text(manifest->signature_uri);
        return Manifest_failure{missing, missing};
    }
    if (lower_case_extension(signature_file->name) == "tst") {
        const size_t index = info.timestamps.size();
        check_manifest_timestamp(*manifest, manifest_file, *signature_file, container);
        parts.push_back({signature_file->name, index, info.timestamps.size(), 0, 0});
        return std::nullopt;
    }
    Trace_block block("Verifica del manifesto " + manifest_file.name);
    _container_checked.push_back(manifest_file.name);
    _container_checked.push_back(signature_file->name);
    const size_t first_timestamp = info.timestamps.size();
    info.file_data.assign(signature_file->bytes);
    if (!decode_container_signature(std::make_shared<Pkcs7>(&_cancel), manifest_file.bytes, manifest_file.name)) {
        // Nothing of it is kept; the decoding of the container goes on.
        Manifest_failure failure{_error_message, signature_unreadable_text(signature_file->name)};
        _status = Parser_status::File_loaded;
        _error_message.clear();
        info.timestamps.resize(first_timestamp);
        return failure;
    }
    // The signers of this signature follow those of the earlier ones.
    for (size_t i = first_timestamp; i < info.timestamps.size(); ++i)
        if (info.timestamps[i].scope != Timestamp_scope::Document)
            info.timestamps[i].signer += signatures.size();
    const Asic_coverage coverage = check_manifest_references(*manifest, container);
    const size_t first_signer = signatures.size();
    for (Signature_info signature : info.envelope.value().signatures.value()) {
        // The signature vouches for the manifest; the manifest's digests for the files.
        if (!coverage.holds()) {
            signature.integrity.assign(Signature_integrity::Not_intact);
            if (!coverage.problem.empty())
                signature.unchecked = coverage.problem;
        }
        if (signature.signature_matches())
            signature.covers = coverage.covers;
        signatures.push_back(std::move(signature));
    }
    parts.push_back({signature_file->name, first_timestamp, info.timestamps.size(), first_signer, signatures.size()});
    return std::nullopt;
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

void Signed_document_parser::check_archive_manifests(const Asic_container& container,
                                                     std::vector<Asic_signed_part>& parts)
{
    struct Archive_manifest {
        const Asic_entry* file;
        Asic_manifest manifest;
        const Asic_entry* token;
    };
    std::vector<Archive_manifest> pending;
    // One that cannot be read, or whose time stamp is missing, is left unchecked (and said so), as
    // are those past the few a container renews its time stamps with.
    for (const Asic_entry* entry : container.meta_files("ASiCArchiveManifest", ".xml")) {
        if (pending.size() == max_archive_manifests)
            break;
        std::string problem;
        auto manifest = read_asic_manifest(entry->bytes, problem, Asic_archive_manifest_root);
        const auto name = manifest ? asic_entry_name_of_uri(manifest->signature_uri) : std::nullopt;
        const Asic_entry* token = name ? container.find(*name) : nullptr;
        if (!token) {
            Trace(Trace_kind, Level_error) << (manifest ? asic_missing_file_text(manifest->signature_uri) : problem);
            continue;
        }
        pending.push_back({entry, std::move(*manifest), token});
    }
    // A renewal lists the archive manifest before it: that one is checked first, so that its time
    // stamp is there to be covered.
    std::vector<std::vector<size_t>> listed(pending.size());
    for (size_t n = 0; n < pending.size(); ++n)
        for (const Asic_manifest_reference& reference : pending[n].manifest.references) {
            const auto name = asic_entry_name_of_uri(reference.uri);
            for (size_t other = 0; name && other < pending.size(); ++other)
                if (other != n && pending[other].file->name == *name)
                    listed[n].push_back(other);
        }
    std::vector<bool> done(pending.size(), false);
    const auto ready = [&listed, &done](size_t n) {
        return !done[n] &&
               std::all_of(listed[n].begin(), listed[n].end(), [&done](size_t other) { return done[other]; });
    };
    for (size_t round = 0; round < pending.size(); ++round) {
        size_t next = 0;
        while (next < pending.size() && !ready(next))
            ++next;
        // Archive manifests that list one another are checked as they come.
        if (next == pending.size())
            next = static_cast<size_t>(std::find(done.begin(), done.end(), false) - done.begin());
        done[next] = true;
        check_archive_manifest(pending[next].manifest, *pending[next].file, *pending[next].token, container, parts);
    }
}

void Signed_document_parser::check_archive_manifest(const Asic_manifest& manifest, const Asic_entry& manifest_file,
                                                    const Asic_entry& token, const Asic_container& container,
                                                    std::vector<Asic_signed_part>& parts)
{
    Trace_block block("Verifica della marca temporale d'archivio del manifesto " + manifest_file.name);
    auto& timestamps = _signature_info_->timestamps;
    _container_checked.push_back(manifest_file.name);
    _container_checked.push_back(token.name);
    Timestamp_info timestamp = check_timestamp(token.bytes.view(), digest_of_bytes(manifest_file.bytes));
    const Asic_coverage coverage = check_manifest_references(manifest, container);
    // Every file it lists must be there and its digest hold, or the time stamp proves nothing of
    // what it lists. The first few missing are named.
    for (const Asic_manifest_reference& reference : manifest.references) {
        const auto name = asic_entry_name_of_uri(reference.uri);
        if ((!name || !container.find(*name)) && timestamp.coverage_errors.size() < max_missing_named)
            timestamp.coverage_errors.push_back(archive_missing_file_text(name.value_or(reference.uri)));
    }
    if (!coverage.problem.empty() && timestamp.coverage_errors.empty())
        timestamp.coverage_errors.push_back(coverage.problem);
    if (coverage.mismatch)
        timestamp.coverage_errors.push_back(archive_file_changed_text);
    for (const std::string& error : timestamp.coverage_errors)
        Trace(Trace_kind, Level_error) << error;
    // The signatures it lists are those it is an archive time stamp of; the time stamps inside
    // the files whose digests hold existed at its time.
    std::vector<size_t> signers;
    std::vector<size_t> covered;
    for (const Asic_manifest_reference& reference : manifest.references) {
        const auto name = asic_entry_name_of_uri(reference.uri);
        const bool holds =
            name && std::find(coverage.covers.begin(), coverage.covers.end(), *name) != coverage.covers.end();
        for (const Asic_signed_part& part : parts) {
            if (!name || part.file != *name)
                continue;
            for (size_t signer = part.first_signer; signer < part.end_signer; ++signer)
                if (std::find(signers.begin(), signers.end(), signer) == signers.end())
                    signers.push_back(signer);
            for (size_t index = part.first_timestamp; holds && index < part.end_timestamp; ++index)
                if (std::find(covered.begin(), covered.end(), index) == covered.end())
                    covered.push_back(index);
        }
    }
    const size_t first = timestamps.size();
    if (signers.empty()) {
        // Over files and time stamps only: it proves no signature.
        timestamp.covered_signers = std::vector<size_t>{};
        timestamp.covered_timestamps = covered;
        timestamps.push_back(std::move(timestamp));
    }
    // One archive time stamp of each signature, covering the time stamps of that signature (its
    // own, and the earlier archive ones of it) and those of no signature.
    for (const size_t signer : signers) {
        Timestamp_info archive = timestamp;
        archive.scope = Timestamp_scope::Archive;
        archive.signer = signer;
        for (const size_t index : covered)
            if (timestamps[index].scope == Timestamp_scope::Document || timestamps[index].signer == signer)
                archive.covered_timestamps.push_back(index);
        timestamps.push_back(std::move(archive));
    }
    parts.push_back({token.name, first, timestamps.size(), 0, 0});
}

} // namespace velin
