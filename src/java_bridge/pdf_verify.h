// The decoder of signed PDF documents: the PDF classes in the Java machine read every signature
// (its byte range, its CMS signature over those bytes, the signer's certificate and signing time)
// and this class hands that to the verifier like an envelope's signers. The document carried is
// the PDF itself.
#pragma once

#include "envelope/signed_document.h"

#include <jni.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace velin {

enum class Pdf_outcome {
    Verified, // the signatures were read (each one intact or not)
    Not_a_pdf, // the classes could not read the document as a PDF
    Not_signed, // a PDF without signatures
    No_java, // no Java machine, or the classes are missing
    Too_large, // its compressed objects decode to more than the classes allow
    No_memory, // the machine's heap ran out while reading it
    Failed, // the classes failed while reading
};

class Pdf_verify : public Signed_document {
public:
    void parse(std::span<const uint8_t> bytes) override;
    bool parsed() const override { return _outcome == Pdf_outcome::Verified; }
    void read_signatures() override {}
    bool signatures_read() const override { return parsed(); }
    std::string file_name() const override { return {}; }
    void extract_original_document() override {}
    bool has_content() const override { return parsed() && !_content.empty(); }
    std::span<const uint8_t> content() const override { return _content; }
    Document_bytes release_content() override { return Document_bytes(std::exchange(_content, {})); }
    size_t signatures_count() const override { return _signers.size(); }
    void select_signature(size_t index) override { _selected = index; }
    void read_signer_certificate() override {}
    bool certificate_read() const override { return parsed() && !_signers[_selected].certificate.empty(); }
    const Signer_certificate& signer_certificate() const override { return _signers[_selected].certificate; }
    void read_signing_time() override {}
    std::shared_ptr<const System_time> signing_time() const override { return _signers[_selected].signing_time; }
    Assignable<Signature_integrity> signature_integrity() const override;
    std::string failure_text() const override;
    int digest_algorithm() const override;
    std::string unchecked_text() const override;
    bool changed_after_signature() const override;
    bool outside_form() const override;
    Later_changes later_changes() const override;
    uint64_t signed_revision_end() const override;
    bool signing_certificate_mismatch() const override;
    // The time stamps over a CMS signature's value (PAdES-B-T), from its unsigned attributes.
    std::vector<std::vector<uint8_t>> signer_timestamp_tokens(Timestamp_scope scope) const override;
    std::vector<uint8_t> signature_value() const override;
    // The document time stamps (ETSI.RFC3161), each checked over its own byte range: they are the
    // file's time stamps, not its signers.
    std::vector<Timestamp_info> document_timestamps() const override { return _timestamps; }
    // The certificates, CRLs and OCSP answers of the document's DSS dictionary.
    Validation_data validation_data() const override { return _validation_data; }

    Pdf_outcome outcome() const { return _outcome; }
    // Bytes after the last signed revision: no signature covers them.
    bool bytes_after_signatures() const { return _bytes_after_signatures; }
    // The signature's subfilter (adbe.pkcs7.detached, ETSI.CAdES.detached, ETSI.RFC3161, ...).
    const std::string& kind(size_t index) const { return _signers[index].kind; }
    // The kinds of change after a signature (Revision_change bits).
    unsigned changes(size_t index) const { return _signers[index].changes; }
    // The DocMDP level of the document's certification, 0 when it is not certified.
    int certification_level() const { return _certification; }

    struct Signer {
        Signer_certificate certificate;
        std::shared_ptr<const System_time> signing_time;
        bool intact = false;
        // False for a form of signature the classes do not read: nothing was checked.
        bool supported = true;
        // A later revision follows the signed one: the signature does not cover the file as it is.
        bool changed_after = false;
        // A signature dictionary of the file that no field of the form refers to.
        bool outside_form = false;
        unsigned changes = 0;
        // The fields it locks that a later revision changed.
        std::vector<std::string> locked_fields;
        // The pages on which a later revision added or redrew a signature's or time stamp's widget.
        std::vector<int> appearance_pages;
        int digest_nid = 0;
        std::string kind;
        std::string problem;
        // The signing-certificate attribute of its CMS names another certificate.
        bool certificate_mismatch = false;
        // Where its signed revision ends in the file; 0 when its byte range is not its own.
        uint64_t revision_end = 0;
        // Its CMS signature value and the time-stamp tokens over it.
        std::vector<uint8_t> signature_value;
        std::vector<std::vector<uint8_t>> signature_tokens;
    };

private:
    Pdf_outcome _outcome = Pdf_outcome::Failed;
    std::vector<uint8_t> _content;
    std::vector<Signer> _signers;
    std::vector<Timestamp_info> _timestamps;
    Validation_data _validation_data;
    size_t _selected = 0;
    bool _bytes_after_signatures = false;
    int _certification = 0;
};

extern const char* const Text_pdf_not_signed;
extern const char* const Text_pdf_unreadable;
extern const char* const Text_pdf_needs_java;
extern const char* const Text_pdf_too_large;
extern const char* const Text_pdf_no_memory;

// Begins the verification's slowest first step in the machine (the PDF reader's start, on a
// thread of its own); quick once it is done. Nothing but the trace when
// it fails: the verification meets the same failure and reports it.
void prepare_pdf_verification(JNIEnv* env);

// The size of the file at path when it is a regular file whose first bytes make it a PDF, so that
// the machine can start before the file's turn comes; nothing otherwise. Only a regular file is
// looked into: a pipe's bytes would be lost to the reading that follows.
std::optional<uint64_t> pdf_file_size(const std::string& path);

// What a signature of a form we do not read is told, with its subfilter as the document names it.
std::string pdf_unsupported_text(const std::string& kind);

// "day/month/year hour:minute:second" as the PDF classes write it; nothing when it does not
// hold six numbers that make a date and time.
std::optional<System_time> parse_java_time(const std::string& text);

} // namespace velin
