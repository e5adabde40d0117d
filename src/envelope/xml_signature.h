// Decoder of signed XML files (XML signatures with the XAdES properties): enveloped signatures
// inside the document they sign (an electronic invoice, a trusted list), whole or elements of it
// named by Id, an enveloping one that carries its document in an Object, and a detached one whose
// document is a file beside it.
//
// Only what the signature covers reaches the verifier, and what is covered is never ambiguous:
//  - plain XML only (no DTD, no entities, nothing fetched), every identifier value in the file
//    unique whatever the namespace of its Id, ID or id attribute, and the identifiers xmlsec
//    resolves registered by the one rule we resolve them by;
//  - signatures only where signatures belong: the root, children of the root, counter-signatures,
//    and anywhere out of what is signed, for signatures that sign elements by Id, when no signature
//    signs the whole document;
//  - each reference resolved by us before xmlsec checks it: the whole document (enveloped), elements
//    of the document outside every signature, the same for every signature of the file (enveloped,
//    by Id), an Object of the very signature (enveloping), a file name beside it (detached), and the
//    signature's own signed properties or key information; anything else is refused, and so are
//    transforms other than canonicalisation, the enveloped-signature transform, base64, and the
//    two fixed XPath filters that leave out the signatures;
//  - the properties read are those the reference covers, in the signature they belong to;
//  - the document shown and handed on is the node (or the bytes) xmlsec digested: for elements
//    signed by Id, what the first signature digested of each, one after the other;
//  - a signature without XAdES properties, or whose properties name no signing certificate, is
//    never one with legal value.
//
// The signatures of a container ("META-INF/signatures*.xml", its root an XAdESSignatures holding
// them, or one signature) are detached over the container's files: each reference names one of
// them by its URI relative to the container's root, or the signature's own signed properties.
#pragma once

#include "envelope/asic_container.h"
#include "envelope/signed_document.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velin {

// Larger XML files are not read.
constexpr size_t Xml_signature_max_size = 256u * 1024 * 1024;
// The bytes of a container's files its XML signatures may digest in all: sixteen passes over a
// container of the largest size read.
constexpr uint64_t Xml_container_digest_budget = 16ull * 512 * 1024 * 1024;

// Texts of the refusals, as the verifier shows them.
inline constexpr const char* Xml_text_unreadable = "Il documento XML non è leggibile.";
inline constexpr const char* Xml_text_too_large = "Il documento XML è troppo grande per essere verificato.";
inline constexpr const char* Xml_text_dtd =
    "Il documento XML contiene una dichiarazione di tipo di documento, che non è ammessa in un documento firmato.";
inline constexpr const char* Xml_text_too_complex =
    "Il documento XML ha una struttura troppo complessa per essere verificato.";
inline constexpr const char* Xml_text_library = "La libreria per la verifica delle firme XML non è disponibile.";
inline constexpr const char* Xml_text_duplicate_id =
    "Il documento XML contiene più elementi con lo stesso identificativo: la firma sarebbe ambigua ed è rifiutata.";
inline constexpr const char* Xml_text_ambiguous_attribute =
    "Un elemento della firma XML ripete un attributo in spazi dei nomi diversi: la firma sarebbe ambigua ed è "
    "rifiutata.";
inline constexpr const char* Xml_text_misplaced =
    "Il documento XML contiene una firma in una posizione non ammessa: il file è rifiutato.";
inline constexpr const char* Xml_text_transform =
    "La firma XML usa una trasformazione non ammessa (XPath, XSLT o altre).";
inline constexpr const char* Xml_text_external = "La firma XML fa riferimento a dati esterni, che non sono verificati.";
inline constexpr const char* Xml_text_not_whole = "La firma XML non copre l'intero documento.";
inline constexpr const char* Xml_text_reference =
    "Un riferimento della firma XML non indica il documento né le proprietà della firma stessa.";
inline constexpr const char* Xml_text_properties = "Le proprietà firmate della firma XML non sono al loro posto.";
inline constexpr const char* Xml_text_other_elements =
    "La firma XML non copre gli stessi elementi del documento delle altre firme del file.";
inline constexpr const char* Xml_text_signing_certificate =
    "Il certificato del firmatario non è quello indicato nelle proprietà firmate.";
inline constexpr const char* Xml_text_no_certificate = "La firma XML non contiene il certificato del firmatario.";
inline constexpr const char* Xml_text_without_xades =
    "Firma XML senza proprietà XAdES: il certificato del firmatario non è legato alla firma, che non ha validità "
    "legale.";
inline constexpr const char* Xml_text_unbound_certificate =
    "La firma XAdES non indica il certificato del firmatario tra le proprietà firmate: la firma non ha validità "
    "legale.";
inline constexpr const char* Xml_text_algorithm = "La firma XML usa un algoritmo non supportato.";
inline constexpr const char* Xml_text_container_budget =
    "Le firme del contenitore richiedono l'hash di troppi dati: questa firma non è verificata.";
inline constexpr const char* Xml_text_container_root =
    "Il file delle firme XML del contenitore non contiene le firme nella forma prevista: il contenitore è rifiutato.";

class Xml_signature : public Signed_document {
public:
    explicit Xml_signature(const std::atomic<bool>* cancel = nullptr);
    ~Xml_signature() override;
    Xml_signature(const Xml_signature&) = delete;
    Xml_signature& operator=(const Xml_signature&) = delete;

    // The files of the container whose signatures file this is, given before parse: every
    // signature is then read as one over files of the container, and checked over them by
    // extract_original_document.
    // digest_budget: the bytes of files its signatures may digest in all, each file counted once
    // per reference; a signature that would go past it is not checked.
    void set_container_files(std::vector<Asic_entry> files, uint64_t digest_budget = Xml_container_digest_budget);
    // The bytes of files its signatures were checked over.
    uint64_t container_bytes_digested() const;
    // The container's files the current signature covers: those its references name, in their
    // order, once it matches; none otherwise.
    std::vector<std::string> covered_files() const;

    void parse(std::span<const uint8_t> bytes) override;
    // As parse, with the file's bytes kept as the document of an enveloped signature (parsed from
    // a copy: a file that shrinks meanwhile must not fault inside the XML library).
    void parse_file(const Document_bytes& bytes);
    bool parsed() const override;
    std::string failure_text() const override { return _failure; }

    void read_signatures() override;
    bool signatures_read() const override { return _signatures_read; }

    // The file a detached signature names; empty otherwise.
    std::string file_name() const override;

    // Finds the document and checks every signature that does not wait for a detached document.
    void extract_original_document() override;
    bool has_content() const override { return !_content.empty(); }
    std::span<const uint8_t> content() const override { return _content.view(); }
    Document_bytes release_content() override;

    size_t signatures_count() const override;
    void select_signature(size_t index) override;

    void read_signer_certificate() override {}
    bool certificate_read() const override;
    const Signer_certificate& signer_certificate() const override;
    void read_signing_time() override {}
    std::shared_ptr<const System_time> signing_time() const override;
    Assignable<Signature_integrity> signature_integrity() const override;
    std::string unchecked_text() const override;

    // Signature: the encapsulated signature time stamps.
    std::vector<std::vector<uint8_t>> signer_timestamp_tokens(Timestamp_scope scope) const override;
    // What a signature time stamp covers: the SignatureValue element, canonicalised.
    std::vector<uint8_t> signature_value() const override;
    // The archive time stamps (of the 1.4.1 namespace), the SigAndRefsTimeStamps and the
    // RefsOnlyTimeStamps, each checked over what it covers.
    std::vector<Timestamp_info> signer_long_term_timestamps() const override;
    // References to validation data naming none the signature carries, where no time stamp covers them.
    std::vector<std::string> long_term_warnings() const override;
    // The CertificateValues, RevocationValues and TimeStampValidationData of every signature.
    Validation_data validation_data() const override;
    int digest_algorithm() const override;
    std::vector<Countersignature_info> countersignatures() const override;
    // Plain XML signatures, and XAdES ones whose signed properties name no signing certificate.
    Legal_value_bar no_legal_value() const override;

    bool detached() const override;
    void verify_detached(Document_bytes document) override;

private:
    struct State;
    const std::atomic<bool>* _cancel;
    std::unique_ptr<State> _state;
    std::optional<std::vector<Asic_entry>> _container_files;
    uint64_t _container_digest_budget = 0;
    std::string _failure;
    bool _signatures_read = false;
    Document_bytes _content;
    size_t _current = 0;
};

} // namespace velin
