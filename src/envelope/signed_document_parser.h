// Drives the decoding of one signed file: decides its kind from its bytes (the name only when the
// bytes say nothing), reads it (or takes the
// bytes of an inner envelope), and on the worker thread decodes it into the shared
// Signed_document_info. One parser per analysis.
//
//     auto info = std::make_shared<Signed_document_info>();
//     auto parser = std::make_shared<Signed_document_parser>(info, cancel_flag());
//     parser->decode_file(path);                     // user-interface thread
//     if (parser->status() == Parser_status::File_loaded)
//         parser->analyse();                          // worker thread
#pragma once

#include "envelope/signed_document.h"
#include "envelope/signed_document_info.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velin {

struct Asic_container;
struct Asic_entry;
struct Asic_manifest;
struct Asic_signed_part;

enum class Parser_status : int {
    Idle = 0,
    File_name_set = 1,
    File_loaded = 2,
    Error = 4,
};

class Signed_document_parser {
public:
    // Makes the decoder of PDF files, which lives above this layer.
    using Decoder_factory = std::function<std::shared_ptr<Signed_document>()>;

    // cancel is the verifier's process-wide cancel flag: a decoding start clears it, and the
    // signature checks stop when it is set.
    Signed_document_parser(std::shared_ptr<Signed_document_info> info, std::atomic<bool>& cancel);

    // Without a factory a PDF file ends its analysis with "L'analisi del file è fallita.".
    void set_pdf_decoder(Decoder_factory factory) { _pdf_decoder = std::move(factory); }

    // Records the path and decides the file type; an unsupported extension fails with
    // "Il file non è un documento firmato.".
    void set_file_name(const std::string& path);
    // Clears the cancel flag, sets the name and, when it is supported, reads the file.
    void decode_file(const std::string& path);
    // Requires File_name_set. Failure: "La lettura del file specificato è fallita.".
    void read_file();
    // An inner envelope: clears the cancel flag, sets the name, takes the bytes without touching
    // the disk; the kind comes from the bytes, and only bytes of no known kind under a refused name
    // are refused.
    void load_buffer(Document_bytes bytes, const std::string& name);

    // Requires File_loaded. Decodes file_data into the record; runs on the worker thread and throws
    // nothing for bad input. A file that changed or shrank meanwhile ends in the reading failure,
    // whatever was decoded: its bytes may be part old, part new.
    void analyse();
    // The envelope decoding of analyse over file_data with the given decoder: parse, original
    // document, signatures. Also used for the envelope part of a time-stamped file.
    // A document that is parsed already (parsed ()) is not parsed again.
    void decode_envelope(std::shared_ptr<Signed_document> document);

    // The document of a detached signature or time stamp, when the user named it. Without it, the
    // document is looked for beside a file on disk: the same path without its ".p7s", ".p7m",
    // ".tsr" or ".tst".
    void set_detached_document(const std::string& path) { _detached_document = path; }

    // Status Error, the message kept and written as an ERROR record.
    void fail(const std::string& message);

    Parser_status status() const { return _status; }
    const std::string& error_message() const { return _error_message; }
    const std::shared_ptr<Signed_document_info>& signature_info() const { return _signature_info_; }
    // The decoder chosen by analyse; null before.
    const std::shared_ptr<Signed_document>& document() const { return _document; }

private:
    void decode_by_type();
    // Records the path and its kind by extension; false when the extension is not one we read.
    bool name_file(const std::string& path);
    // The kind the loaded bytes show replaces the one the extension suggested.
    void settle_type_by_content();
    void analyse_multipart();
    void analyse_timestamped_data();
    // A time stamp on its own (".tsr", ".tst"): over the file the user named, else the file
    // beside it without that extension.
    void analyse_detached_timestamp();
    // The time stamp in file_data over the given document (none: not found), named name.
    void check_detached_timestamp(std::optional<Document_bytes> document, const std::string& name);
    // A signature container: one document with its signature or time stamp, or files listed by
    // manifests, each signed by its own signature. Its files are read in memory only.
    void analyse_container();
    void analyse_simple_container(const Asic_container& container);
    // The signatures of the manifests ("ASiCManifest*.xml") and of the XML signatures files
    // ("signatures*.xml", in the order of their names), each over the container's files it lists or
    // its references name; then the archive manifests over them.
    void analyse_extended_container(const Asic_container& container);
    // The detached signature in file_data over the container's file (or manifest) document, named
    // name: its signatures, checked; false when it could not be read.
    bool decode_container_signature(std::shared_ptr<Signed_document> decoder, const Document_bytes& document,
                                    const std::string& name);
    // A manifest that a time-stamp token (token) covers instead of a signature: the token checked
    // over the manifest's bytes, and through the manifest's digests over the files it lists.
    void check_manifest_timestamp(const Asic_manifest& manifest, const Asic_entry& manifest_file,
                                  const Asic_entry& token, const Asic_container& container);
    // One ASiCManifest and the signature its SigReference names, their signatures appended to
    // signatures and the file to parts; the texts of what could not be read otherwise.
    struct Manifest_failure {
        std::string refusal; // of the whole container, when nothing else in it can be read
        std::string signature_text; // of the signature this manifest stands for
    };
    // One "signatures*.xml" file, its signatures appended to signatures, the bytes they digested
    // taken from budget.
    std::optional<Manifest_failure> check_signatures_file(const Asic_entry& file, const Asic_container& container,
                                                          uint64_t& budget, std::vector<Signature_info>& signatures);
    std::optional<Manifest_failure> check_signed_manifest(const Asic_entry& manifest_file,
                                                          const Asic_container& container,
                                                          std::vector<Signature_info>& signatures,
                                                          std::vector<Asic_signed_part>& parts);
    // The archive manifests of a container with manifests: each one's time stamp checked over it,
    // and through its digests made an archive time stamp of each signature in parts it covers,
    // covering the time stamps of the parts it names.
    void check_archive_manifests(const Asic_container& container, std::vector<Asic_signed_part>& parts);
    void check_archive_manifest(const Asic_manifest& manifest, const Asic_entry& manifest_file, const Asic_entry& token,
                                const Asic_container& container, std::vector<Asic_signed_part>& parts);
    void assign_original_document(Envelope_info& envelope);
    void read_signatures(Envelope_info& envelope);
    // The document of a detached signature: the one the user named, else the one the signature
    // names (named) in the file's folder, else the file's name without ".p7s"; none when it cannot
    // be read.
    std::optional<Document_bytes> detached_document(const std::string& named) const;
    // The time stamps inside the current signer, checked against what each covers.
    // content_digest gives the document's digest by algorithm (null without a document).
    void read_signer_timestamps(const Envelope_info& envelope, size_t signer, const Covered_digest& content_digest);
    // Its archive time stamps and CAdES-X time stamps, after its signature time stamps (the
    // signature_timestamps of them from first_signature_timestamp on), which they may cover.
    void read_archive_timestamps(const Envelope_info& envelope, size_t signer, size_t first_signature_timestamp,
                                 size_t signature_timestamps, const Covered_digest& content_digest);

    std::shared_ptr<Signed_document_info> _signature_info_;
    std::shared_ptr<Signed_document> _document;
    Parser_status _status = Parser_status::Idle;
    std::string _error_message;
    Decoder_factory _pdf_decoder;
    std::atomic<bool>& _cancel;
    // What was read of the file (or given), kept to tell at the end whether it stayed the same.
    Document_bytes _source;
    std::string _detached_document;
    bool _from_disk = false;
    // Inside a container: the document its detached signatures are over, and that document's name.
    std::optional<Document_bytes> _container_document;
    std::string _container_document_name;
    // The signatures, time stamps and manifests of the container that were checked.
    std::vector<std::string> _container_checked;
    // The files of the container a time stamp covers (with its imprint and the digests holding).
    std::vector<std::string> _container_timestamped;
};

} // namespace velin
