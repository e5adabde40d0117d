#include "envelope/signed_document_parser.h"

#include "common/trace.h"
#include "envelope/asic_container.h"
#include "envelope/asic_manifest.h"
#include "envelope/binary_file.h"
#include "envelope/content_kind.h"
#include "envelope/der_walk.h"
#include "envelope/mime_envelope_split.h"
#include "envelope/pkcs7.h"
#include "envelope/signature_check.h"
#include "envelope/signed_data_stream.h"
#include "envelope/timestamped_data.h"
#include "envelope/xml_signature.h"

namespace velin {

Signed_document_parser::Signed_document_parser(std::shared_ptr<Signed_document_info> info, std::atomic<bool>& cancel)
    : _signature_info_(std::move(info)), _cancel(cancel)
{
    assertion(_signature_info_ != nullptr, "_signature_info_ ne NULL");
}

bool Signed_document_parser::name_file(const std::string& path)
{
    _signature_info_->file_name = path;
    _signature_info_->_file_type = document_type_of(path);
    switch (_signature_info_->_file_type) {
    case Document_types::Multipart:
        Trace(Trace_kind, Level_info) << "Il file ha l'estensione per i un documento MIME composito.";
        return true;
    case Document_types::Envelope:
    case Document_types::Pdf:
        Trace(Trace_kind, Level_info) << "Il file ha l'estensione per i un PKCS#7.";
        return true;
    case Document_types::Timestamped_data:
        Trace(Trace_kind, Level_info) << "Il file ha l'estensione di un documento con marche temporali.";
        return true;
    case Document_types::Detached_timestamp:
        Trace(Trace_kind, Level_info) << "Il file ha l'estensione di una marca temporale separata.";
        return true;
    case Document_types::Asic_container:
        Trace(Trace_kind, Level_info) << "Il file ha l'estensione di un contenitore di firme.";
        return true;
    default:
        return false;
    }
}

void Signed_document_parser::set_file_name(const std::string& path)
{
    if (!name_file(path)) {
        fail("Il file non è un documento firmato.");
        return;
    }
    _status = Parser_status::File_name_set;
}

void Signed_document_parser::decode_file(const std::string& path)
{
    Trace(Trace_kind, Level_info) << "Decodifica asincrona del file.";
    _cancel = false;
    _from_disk = true;
    if (name_file(path)) {
        _status = Parser_status::File_name_set;
        read_file();
        if (_status == Parser_status::File_loaded)
            settle_type_by_content();
        return;
    }
    // No extension we know: the bytes may still be a signed file saved under another name.
    Binary_file_read reader;
    Document_types kind = Document_types::Unsupported;
    if (reader.read_mapped(path))
        _source = reader.take_bytes();
    kind = document_type_by_content(_source);
    // A time-stamp token is a SignedData too: what it holds tells it from a signature.
    if ((kind == Document_types::Unsupported || kind == Document_types::Envelope) &&
        timestamp_kind_by_content(_source) == Document_types::Detached_timestamp)
        kind = Document_types::Detached_timestamp;
    if (kind == Document_types::Unsupported) {
        _source = {};
        fail("Il file non è un documento firmato.");
        return;
    }
    Trace(Trace_kind, Level_info) << "Il tipo del file è riconosciuto dal contenuto.";
    _signature_info_->_file_type = kind;
    _signature_info_->file_data.assign(_source);
    _status = Parser_status::File_loaded;
}

void Signed_document_parser::settle_type_by_content()
{
    const auto& data = _signature_info_->file_data;
    if (!data.is_assigned())
        return;
    // A time stamp named as one stays one, though its token reads as a SignedData.
    if (_signature_info_->_file_type == Document_types::Detached_timestamp &&
        timestamp_kind_by_content(data.value()) == Document_types::Detached_timestamp)
        return;
    const Document_types kind = document_type_by_content(data.value());
    if (kind == Document_types::Unsupported || kind == _signature_info_->_file_type)
        return;
    Trace(Trace_kind, Level_info)
        << "Il contenuto del file non corrisponde alla sua estensione: è letto per ciò che è.";
    _signature_info_->_file_type = kind;
}

void Signed_document_parser::read_file()
{
    assertion(_status == Parser_status::File_name_set, "_status eq File_name_set");
    // The file is mapped, not copied: what is decoded is read where it lies.
    Binary_file_read reader;
    if (!reader.read_mapped(_signature_info_->file_name)) {
        _signature_info_->file_data.set_failed(reader.message());
        fail("La lettura del file specificato è fallita.");
        return;
    }
    _source = reader.take_bytes();
    _signature_info_->file_data.assign(_source);
    _status = Parser_status::File_loaded;
}

void Signed_document_parser::load_buffer(Document_bytes bytes, const std::string& name)
{
    Trace(Trace_kind, Level_info) << "Decodifica asincrona del file.";
    _cancel = false;
    _source = bytes;
    _signature_info_->file_data.assign(std::move(bytes));
    const bool named = name_file(name);
    const Document_types by_content = document_type_by_content(_signature_info_->file_data.value());
    if (by_content != Document_types::Unsupported)
        _signature_info_->_file_type = by_content;
    else if (!named) {
        // A refused name and unknown bytes stay an error: the dialog stops on the unsupported type.
        fail("Il file non è un documento firmato.");
        return;
    }
    _status = Parser_status::File_loaded;
}

void Signed_document_parser::fail(const std::string& message)
{
    _status = Parser_status::Error;
    _error_message = message;
    Trace(Trace_kind, Level_error) << message;
}

void Signed_document_parser::analyse()
{
    assertion(_status == Parser_status::File_loaded, "_status eq File_loaded");
    const auto& data = _signature_info_->file_data;
    if (!data.is_assigned() || data.value().empty()) {
        fail("Il file è vuoto.");
        return;
    }
    decode_by_type();
    // The document of a detached signature is a file of its own.
    const auto& envelope = _signature_info_->envelope;
    const bool content_intact =
        !envelope.is_assigned() || !envelope.value().content.is_assigned() || envelope.value().content.value().intact();
    if (!_source.intact() || !content_intact) {
        Trace(Trace_kind, Level_error) << "Il file è cambiato durante l'analisi.";
        _signature_info_->file_data.set_failed("Il file è stato modificato durante l'analisi.");
        fail("La lettura del file specificato è fallita.");
    }
}

void Signed_document_parser::decode_by_type()
{
    switch (_signature_info_->_file_type) {
    case Document_types::Envelope:
        decode_envelope(std::make_shared<Pkcs7>(&_cancel));
        break;
    case Document_types::Pdf:
        if (!_pdf_decoder) {
            Trace(Trace_kind, Level_error) << "Manca il decodificatore dei documenti PDF.";
            fail("L'analisi del file è fallita.");
            return;
        }
        decode_envelope(_pdf_decoder());
        break;
    case Document_types::Xml_signature:
        decode_envelope(std::make_shared<Xml_signature>(&_cancel));
        break;
    case Document_types::Multipart:
        analyse_multipart();
        break;
    case Document_types::Timestamped_data:
        analyse_timestamped_data();
        break;
    case Document_types::Detached_timestamp:
        analyse_detached_timestamp();
        break;
    case Document_types::Asic_container:
        analyse_container();
        break;
    default:
        assertion(false, "false");
    }
}

namespace {

// The envelope part of a time-stamped file, in base64, read in one pass: decoded a slice at a time,
// each slice hashed for the time stamp (with the algorithm it asks for, once it asks) and walked
// as an envelope whose document is hashed as it passes. Nothing of the size of the file is held.
class Encoded_envelope_pass {
public:
    explicit Encoded_envelope_pass(Document_bytes text) : _text(std::move(text)), _stream(_text.size()) {}

    // Runs the pass once; the digest of the decoded envelope with algorithm (null: none).
    std::vector<uint8_t> run(const EVP_MD* algorithm)
    {
        if (_ran)
            return algorithm && _decoded ? digest_of_bytes(envelope())(algorithm) : std::vector<uint8_t>{};
        _ran = true;
        const Owner<EVP_MD_CTX> context(algorithm ? EVP_MD_CTX_new() : nullptr);
        bool hashing = context && EVP_DigestInit_ex(context.get(), algorithm, nullptr) == 1;
        bool walking = true;
        const auto view = _text.view();
        _decoded = Base64_decode::decode_slices(
            std::string_view(reinterpret_cast<const char*>(view.data()), view.size()), Base64_decode::Form::Lenient,
            [&](std::span<const uint8_t> slice) {
                hashing = hashing && EVP_DigestUpdate(context.get(), slice.data(), slice.size()) == 1;
                walking = walking && _stream.take(slice);
                return true;
            });
        if (_decoded && walking)
            _walked = _stream.finish();
        std::vector<uint8_t> digest(EVP_MAX_MD_SIZE);
        unsigned int size = 0;
        if (!_decoded || !hashing || EVP_DigestFinal_ex(context.get(), digest.data(), &size) != 1)
            return {};
        digest.resize(size);
        return digest;
    }

    // False when the text is not base64.
    bool decoded() const { return _decoded.has_value(); }
    Document_bytes envelope() const
    {
        return Document_bytes::encoded(_text, Base64_decode::Form::Lenient, 0, _decoded.value_or(0));
    }
    // The envelope, walked, when it is a DER SignedData of the form the walk reads.
    std::shared_ptr<Pkcs7> walked_envelope(const std::atomic<bool>* cancel)
    {
        if (!_walked)
            return nullptr;
        auto envelope = std::make_shared<Pkcs7>(cancel);
        if (!envelope->adopt_streamed(_text, Base64_decode::Form::Lenient, std::move(*_walked), Pkcs7::Encoding::Der))
            return nullptr;
        return envelope;
    }

private:
    Document_bytes _text;
    Signed_data_stream _stream;
    bool _ran = false;
    std::optional<size_t> _decoded;
    std::optional<Signed_data_stream::Result> _walked;
};

} // namespace

void Signed_document_parser::analyse_multipart()
{
    auto& info = *_signature_info_;
    assertion(info.file_data.is_assigned() && !info.file_data.value().empty(), "not blob.empty ()");
    assertion(info._file_type == Document_types::Multipart,
              "_signature_info_->_file_type eq Document_types::Multipart");

    // The envelope part is located in the file, not copied out of it.
    const Document_bytes file = info.file_data.value();
    Mime_envelope_split split;
    split.locate(file);
    if (!split.succeeded()) {
        // A damaged message ends the step like a missing part: the envelope stays undecoded.
        if (split.result() == Mime_split_format_error)
            Trace(Trace_kind, Level_error) << split.message();
        fail("L'analisi del file è fallita.");
        return;
    }
    Timestamped_envelope parts = split.take_value();
    Document_bytes envelope;
    std::optional<Encoded_envelope_pass> pass;
    if (!parts.envelope_raw.empty()) {
        const Document_bytes raw =
            file.range(static_cast<size_t>(parts.envelope_raw.data() - file.data()), parts.envelope_raw.size());
        if (parts.envelope_base64)
            pass.emplace(raw);
        else
            envelope = raw;
    } else {
        envelope = Document_bytes(std::move(parts.envelope));
    }
    // The time stamp covers the envelope's bytes (or the document's). For an envelope in base64,
    // the one pass over its text makes the time stamp's digest on the way.
    {
        Trace_block block("Verifica della marca temporale");
        Covered_digest covered = digest_of_bytes(envelope);
        if (pass)
            covered = [&pass](const EVP_MD* algorithm) { return pass->run(algorithm); };
        Timestamp_info timestamp = check_timestamp(parts.timestamp_reply, covered);
        if (pass) {
            pass->run(nullptr);
            if (!pass->decoded()) {
                Trace(Trace_kind, Level_error) << "La parte PKCS#7 non è un testo base64 valido.";
                fail("L'analisi del file è fallita.");
                return;
            }
            envelope = pass->envelope();
        }
        // A part declared binary may hold base64 text: the time stamp covers the decoded envelope.
        if (timestamp.read && !timestamp.imprint_matches && !pass && !envelope.empty() && envelope[0] != 0x30) {
            const std::vector<uint8_t> decoded = binary_form(envelope);
            if (!decoded.empty()) {
                Timestamp_info again = check_timestamp(parts.timestamp_reply, digest_of_pieces({decoded}));
                if (again.imprint_matches)
                    timestamp = std::move(again);
            }
        }
        info.timestamps.push_back(std::move(timestamp));
    }
    if (parts.unsigned_document) {
        Trace(Trace_kind, Level_info) << "Il documento marcato non è una busta firmata.";
        info.document_unsigned = true;
        Envelope_info unsigned_envelope;
        unsigned_envelope.content.assign(std::move(envelope));
        unsigned_envelope.signatures.assign({});
        info.envelope.assign(std::move(unsigned_envelope));
        info.file_data.assign(std::move(parts.timestamp_reply));
        return;
    }
    std::shared_ptr<Pkcs7> decoder = pass ? pass->walked_envelope(&_cancel) : nullptr;
    if (!decoder)
        decoder = std::make_shared<Pkcs7>(&_cancel);
    info.file_data.assign(std::move(envelope));
    decode_envelope(decoder);
    if (_status != Parser_status::Error)
        info.file_data.assign(std::move(parts.timestamp_reply));
}

void Signed_document_parser::analyse_timestamped_data()
{
    auto& info = *_signature_info_;
    std::string problem;
    auto data = read_timestamped_data(info.file_data.value(), problem);
    if (!data) {
        Trace(Trace_kind, Level_error) << problem;
        fail("L'analisi del file è fallita.");
        return;
    }
    // The first time stamp covers the document (its metadata first when they are protected too),
    // each later one the time stamp it renews.
    for (size_t i = 0; i < data->chain.size(); ++i) {
        Trace_block block("Verifica della marca temporale " + std::to_string(i + 1));
        Covered_digest covered;
        if (i > 0)
            covered = digest_of_pieces({data->chain[i - 1].time_stamp_and_crl});
        else if (data->content && data->hash_protected)
            covered = digest_of_pieces({data->meta_data_der, *data->content});
        else if (data->content)
            covered = digest_of_pieces({*data->content});
        Timestamp_info timestamp = check_timestamp(data->chain[i].token, covered);
        timestamp.renewal = i;
        info.timestamps.push_back(std::move(timestamp));
    }
    Envelope_info envelope;
    envelope.original_name = data->file_name;
    if (data->content && !data->content->empty())
        envelope.content.assign(std::move(*data->content));
    else
        envelope.content.set_failed("Il documento non è contenuto nel file.");
    envelope.signatures.assign({});
    info.envelope.assign(std::move(envelope));
    // A document that is not itself a signed container is time-stamped only.
    info.document_unsigned = !info.envelope.value().content.is_assigned() ||
                             !is_signed_container(document_type_of_bytes(info.envelope.value().content.value()));
}

void Signed_document_parser::analyse_detached_timestamp()
{
    auto& info = *_signature_info_;
    std::string path = _detached_document;
    if (path.empty() && _from_disk) {
        const std::string extension = lower_case_extension(info.file_name);
        if (extension == "tsr" || extension == "tst")
            path = info.file_name.substr(0, info.file_name.size() - 4);
    }
    std::optional<Document_bytes> document;
    if (!path.empty()) {
        Binary_file_read reader;
        if (reader.read_mapped(path))
            document = reader.take_bytes();
        else
            Trace(Trace_kind, Level_info) << "Il documento della marca temporale separata non è leggibile: " << path;
    }
    check_detached_timestamp(std::move(document), path);
}

void Signed_document_parser::check_detached_timestamp(std::optional<Document_bytes> document, const std::string& name)
{
    auto& info = *_signature_info_;
    {
        Trace_block block("Verifica della marca temporale");
        // A reply holds a token and a few certificates: far larger bytes are not decoded (whole,
        // in memory) as one.
        constexpr size_t Largest_reply = 16 * 1024 * 1024;
        Timestamp_info timestamp;
        if (info.file_data.value().size() <= Largest_reply)
            timestamp =
                check_timestamp(info.file_data.value(), document ? digest_of_bytes(*document) : Covered_digest{});
        else
            timestamp.problem = "La marca temporale è troppo grande per essere letta.";
        timestamp.nothing_covered = !document;
        info.timestamps.push_back(std::move(timestamp));
    }
    Envelope_info envelope;
    envelope.original_name = name;
    if (document)
        envelope.content.assign(std::move(*document));
    else
        envelope.content.set_failed(detached_timestamp_document_missing_text);
    envelope.signatures.assign({});
    info.envelope.assign(std::move(envelope));
    // A signed file time-stamped this way is opened as the next layer.
    info.document_unsigned = !info.envelope.value().content.is_assigned() ||
                             !is_signed_container(document_type_of_bytes(info.envelope.value().content.value()));
}

void Signed_document_parser::decode_envelope(std::shared_ptr<Signed_document> document)
{
    assertion(document != nullptr, "document ne NULL");
    Trace_block block("Decodifica del PKCS#7");
    auto& info = *_signature_info_;
    assertion(info.file_data.is_assigned() && !info.file_data.value().empty(), "not blob.empty ()");

    _document = std::move(document);
    if (_document->parsed()) {
        // Decoded already, as it was read.
    } else if (auto* pkcs7 = dynamic_cast<Pkcs7*>(_document.get())) {
        // A binary envelope's document stays where the file holds it.
        pkcs7->parse_shared(info.file_data.value());
    } else if (auto* xml = dynamic_cast<Xml_signature*>(_document.get())) {
        // The document of an enveloped signature is the file itself.
        xml->parse_file(info.file_data.value());
    } else {
        // Other decoders get a copy made here: a page lost to a truncation then reads as zeros in
        // our own code, never inside another library's.
        const std::vector<uint8_t> copy = info.file_data.value().to_vector();
        _document->parse(copy);
    }
    if (!_document->parsed()) {
        const std::string reason = _document->failure_text();
        fail(reason.empty() ? "L'analisi del file è fallita." : reason);
        return;
    }
    info.envelope.assign(Envelope_info{});
    Envelope_info& envelope = info.envelope.value();
    assign_original_document(envelope);
    read_signatures(envelope);
}

void Signed_document_parser::assign_original_document(Envelope_info& envelope)
{
    Trace(Trace_kind, Level_trace) << "Assegna il nome del documento originale";
    envelope.original_name = _document->file_name();
    _document->extract_original_document();
    if (_document->detached()) {
        envelope.detached = true;
        Trace(Trace_kind, Level_info) << "La firma è separata dal documento: ricerca del documento.";
        if (auto document = detached_document(envelope.original_name))
            _document->verify_detached(std::move(*document));
    }
    if (_document->has_content())
        envelope.content.assign(_document->release_content());
    else
        envelope.content.set_failed("L'estrazione del documento originale contenuto nella busta PKCS#7 è fallita.");
}

std::optional<Document_bytes> Signed_document_parser::detached_document(const std::string& named) const
{
    if (_container_document) {
        // Inside a container, only the container's document: a signature that names another file
        // names one the container lacks.
        if (!named.empty() && asic_entry_name_of_uri(named) != _container_document_name) {
            Trace(Trace_kind, Level_info) << "La firma del contenitore indica un altro documento: " << named;
            return std::nullopt;
        }
        return _container_document;
    }
    std::string path = _detached_document;
    if (path.empty() && _from_disk) {
        const std::string& name = _signature_info_->file_name;
        const std::string extension = lower_case_extension(name);
        if (!named.empty())
            path = name.substr(0, name.find_last_of('/') + 1) + named;
        else if (extension == "p7s" || extension == "p7m")
            path = name.substr(0, name.size() - 4);
    }
    if (path.empty())
        return std::nullopt;
    Binary_file_read reader;
    if (!reader.read_mapped(path)) {
        Trace(Trace_kind, Level_info) << "Il documento della firma separata non è leggibile: " << path;
        return std::nullopt;
    }
    Trace(Trace_kind, Level_info) << "Documento della firma separata: " << path;
    return reader.take_bytes();
}

void Signed_document_parser::read_signer_timestamps(const Envelope_info& envelope, size_t signer,
                                                    const Covered_digest& content_digest)
{
    const size_t first = _signature_info_->timestamps.size();
    const std::vector<uint8_t> value = _document->signature_value();
    const auto signature_tokens = _document->signer_timestamp_tokens(Timestamp_scope::Signature);
    const size_t signature_timestamps = signature_tokens.size();
    for (const auto& token : signature_tokens) {
        Trace_block block("Verifica della marca temporale della firma " + std::to_string(signer + 1));
        Timestamp_info timestamp = check_timestamp(token, digest_of_pieces({value}));
        timestamp.scope = Timestamp_scope::Signature;
        timestamp.signer = signer;
        _signature_info_->timestamps.push_back(std::move(timestamp));
    }
    for (const auto& token : _document->signer_timestamp_tokens(Timestamp_scope::Content)) {
        Trace_block block("Verifica della marca temporale del contenuto " + std::to_string(signer + 1));
        Timestamp_info timestamp = check_timestamp(
            token, envelope.content.is_assigned() ? digest_of_bytes(envelope.content.value()) : Covered_digest{});
        timestamp.scope = Timestamp_scope::Content;
        timestamp.signer = signer;
        _signature_info_->timestamps.push_back(std::move(timestamp));
    }
    read_archive_timestamps(envelope, signer, first, signature_timestamps, content_digest);
    for (Timestamp_info& timestamp : _document->signer_long_term_timestamps()) {
        Trace(Trace_kind, Level_trace) << "Marca temporale dei dati di lungo periodo della firma " << signer + 1;
        timestamp.signer = signer;
        for (size_t& covered : timestamp.covered_timestamps)
            covered += first;
        _signature_info_->timestamps.push_back(std::move(timestamp));
    }
}

void Signed_document_parser::read_archive_timestamps(const Envelope_info& envelope, size_t signer,
                                                     size_t first_signature_timestamp, size_t signature_timestamps,
                                                     const Covered_digest& content_digest)
{
    const std::vector<Archive_timestamp_input> archive = _document->signer_archive_timestamps();
    const size_t first_archive_timestamp = _signature_info_->timestamps.size();
    const Document_bytes* content = envelope.content.is_assigned() ? &envelope.content.value() : nullptr;
    for (size_t n = 0; n < archive.size(); ++n) {
        const Archive_timestamp_input& input = archive[n];
        Trace_block block("Verifica della marca temporale d'archivio " + std::to_string(n + 1) + " della firma " +
                          std::to_string(signer + 1));
        const std::vector<Covered_digest> covered = archive_covered_digests(input, content, content_digest);
        Timestamp_info timestamp = check_timestamp(input.token, covered.empty() ? Covered_digest{} : covered.front());
        // Writers differ in how they order the attributes an archive time stamp v2 covers.
        for (size_t other = 1; timestamp.read && !timestamp.imprint_matches && other < covered.size(); ++other) {
            Timestamp_info again = check_timestamp(input.token, covered[other]);
            if (again.imprint_matches)
                timestamp = std::move(again);
        }
        timestamp.scope = input.scope;
        timestamp.signer = signer;
        timestamp.nothing_covered = input.content != Archive_timestamp_input::Content_part::None && !content;
        timestamp.coverage_errors = input.coverage_errors;
        for (const size_t ordinal : input.covered_signature_timestamps)
            if (ordinal < signature_timestamps)
                timestamp.covered_timestamps.push_back(first_signature_timestamp + ordinal);
        for (const size_t ordinal : input.covered_archive_timestamps)
            if (ordinal < n)
                timestamp.covered_timestamps.push_back(first_archive_timestamp + ordinal);
        for (const std::string& error : timestamp.coverage_errors)
            Trace(Trace_kind, Level_error) << error;
        _signature_info_->timestamps.push_back(std::move(timestamp));
    }
}

void Signed_document_parser::read_signatures(Envelope_info& envelope)
{
    Trace_block block("Analisi delle firme");
    _document->read_signatures();
    if (!_document->signatures_read()) {
        envelope.signatures.set_failed("La lettura delle firme è fallita.");
        return;
    }
    std::vector<Signature_info> signatures;
    const size_t count = _document->signatures_count();
    // The document's digests for the archive time stamps: those the signatures' check made, any
    // other made once for all the signers.
    std::optional<Document_digests> digests;
    if (envelope.content.is_assigned())
        digests.emplace(envelope.content.value(), _document->content_digests(), &_cancel);
    const Covered_digest content_digest =
        !digests ? Covered_digest{} : [&digests](const EVP_MD* algorithm) { return digests->of(algorithm); };
    signatures.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        Signature_info signature;
        _document->select_signature(i);
        _document->read_signer_certificate();
        if (_document->certificate_read())
            signature.signer.assign(_document->signer_certificate());
        else
            signature.signer.set_failed("La lettura del certificato del firmatario è fallita.");
        _document->read_signing_time();
        if (const auto time = _document->signing_time())
            signature.signing_time.assign(*time);
        else
            signature.signing_time.set_unavailable();
        signature.integrity = _document->signature_integrity();
        signature.digest_nid = _document->digest_algorithm();
        signature.document_missing = envelope.detached && !envelope.content.is_assigned();
        signature.unchecked = _document->unchecked_text();
        signature.changed_after = _document->changed_after_signature();
        signature.later_changes = _document->later_changes();
        signature.revision_end = _document->signed_revision_end();
        signature.outside_form = _document->outside_form();
        signature.countersignatures = _document->countersignatures();
        signature.signing_certificate_mismatch = _document->signing_certificate_mismatch();
        signature.no_legal_value = _document->no_legal_value();
        signature.long_term_warnings = _document->long_term_warnings();
        read_signer_timestamps(envelope, i, content_digest);
        signatures.push_back(std::move(signature));
    }
    std::vector<Timestamp_info> document_timestamps = _document->document_timestamps();
    // A PDF with document time stamps only is time-stamped, not signed.
    if (signatures.empty() && !document_timestamps.empty())
        _signature_info_->document_unsigned = true;
    const size_t first = _signature_info_->timestamps.size();
    for (Timestamp_info& timestamp : document_timestamps) {
        for (size_t& covered : timestamp.covered_timestamps)
            covered += first;
        _signature_info_->timestamps.push_back(std::move(timestamp));
    }
    _signature_info_->validation_data.add(_document->validation_data());
    envelope.signatures.assign(std::move(signatures));
}

} // namespace velin
