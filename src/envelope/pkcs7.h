// Decoder of PKCS#7 / CMS SignedData envelopes (".p7m"): binary DER, an S/MIME message, or bare
// base64 text. Besides decoding, it checks every signer's signature against the carried document
// while extracting it, in the same pass over the bytes.
#pragma once

#include "common/failure.h"
#include "common/owner.h"
#include "envelope/base64_decode.h"
#include "envelope/cades_archive.h"
#include "envelope/der_walk.h"
#include "envelope/signature_check.h"
#include "envelope/signed_data_stream.h"
#include "envelope/signed_document.h"

#include <openssl/cms.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velin {

using Cms_handle = Owner<CMS_ContentInfo>;

// The textual forms of an envelope as the decoder tells them apart, for a writer that must give an
// envelope back in the form it came in. Where the base64 body of an S/MIME message starts (0 when
// the text is not one the decoder reads so), and the base64 body of a PEM-armoured one (its offset
// and size, or nothing).
size_t smime_body_start(std::string_view text);
std::optional<std::pair<size_t, size_t>> pem_body(std::string_view text);

class Pkcs7 : public Signed_document {
public:
    // The attempt that decoded the envelope.
    enum class Encoding { None, Der, Smime, Base64 };

    // How a binary envelope is read: Walk finds a definite-length document with a DER walk and
    // hands OpenSSL only the rest (falling back to OpenSSL for anything else); Openssl_only reads
    // the whole envelope with OpenSSL. Both give the same results.
    enum class Der_reading { Walk, Openssl_only };

    // While cancel (when given) is set, signatures are not checked: a hostile envelope may hold a
    // great many signers, and closing the layer must stop the work.
    explicit Pkcs7(const std::atomic<bool>* cancel = nullptr, Der_reading der_reading = Der_reading::Walk)
        : _cancel(cancel), _der_reading(der_reading)
    {}

    void parse(std::span<const uint8_t> bytes) override;
    // As parse, but when the walk finds the document the buffer is taken over (bytes is left
    // empty) and becomes the extracted document without a copy; otherwise bytes is untouched.
    void parse_taking(std::vector<uint8_t>& bytes);
    // The same over an input held in two pieces: prefix, then bytes. When the walk finds the
    // document at the very start of bytes, bytes is taken over as it is; otherwise bytes is
    // replaced by the whole input in one piece (prefix, then bytes) and decoded as by
    // parse_taking.
    void parse_taking(std::span<const uint8_t> prefix, std::vector<uint8_t>& bytes);
    // As parse, but a document the walk finds stays where bytes hold it (a mapped file is not
    // copied): the extracted document is then a range of bytes.
    void parse_shared(const Document_bytes& bytes);
    // An envelope whose base64 text the caller decoded and walked a slice at a time (see
    // Signed_data_stream): the document is decoded again from text when it is read. False (nothing
    // kept) when the envelope does not decode.
    bool adopt_streamed(const Document_bytes& text, Base64_decode::Form form, Signed_data_stream::Result result,
                        Encoding encoding);
    // True when the last parse found the document with the DER walk.
    bool content_walked() const { return _walked; }
    bool parsed() const override { return static_cast<bool>(_cms); }

    void read_signatures() override;
    bool signatures_read() const override { return _signatures_read; }

    // A PKCS#7 envelope never names its content.
    std::string file_name() const override { return {}; }

    void extract_original_document() override;
    bool has_content() const override { return !_content.empty() || !_shared_content.empty(); }
    std::span<const uint8_t> content() const override;
    Document_bytes release_content() override;

    size_t signatures_count() const override;
    void select_signature(size_t index) override;

    void read_signer_certificate() override;
    bool certificate_read() const override { return !_certificate.empty(); }
    const Signer_certificate& signer_certificate() const override;

    void read_signing_time() override;
    std::shared_ptr<const System_time> signing_time() const override { return _signing_time; }

    // Pending until extract_original_document has run.
    Assignable<Signature_integrity> signature_integrity() const override;

    std::vector<std::vector<uint8_t>> signer_timestamp_tokens(Timestamp_scope scope) const override;
    std::vector<uint8_t> signature_value() const override;
    std::vector<Archive_timestamp_input> signer_archive_timestamps() const override;
    std::map<int, std::vector<uint8_t>> content_digests() const override { return _content_digests; }
    int digest_algorithm() const override;
    std::vector<Countersignature_info> countersignatures() const override;
    // The certificateValues and revocationValues of every signer, together.
    Validation_data validation_data() const override;
    // The signer's signing-certificate(-v2) attribute names another certificate than the one the
    // envelope pairs it with (the signature is then not intact, whatever its value says).
    bool signing_certificate_mismatch() const override;

    // A signature without its document (the envelope carries no content); requires parsed ().
    bool detached() const override;
    void verify_detached(Document_bytes document) override;

    // NID_pkcs7_signed; requires parsed ().
    bool is_signed_type() const;
    Encoding encoding() const { return _encoding; }
    // The OpenSSL error text of the last failed step.
    const std::string& last_error() const { return _last_error; }

private:
    // What the reading of the signatures takes from each signer, so that the signers need not stay
    // decoded: an envelope may hold a great many of them.
    struct Signer_facts {
        Signer_certificate certificate; // empty when the envelope does not carry it
        std::shared_ptr<const System_time> signing_time;
        int digest_nid = 0;
        std::vector<uint8_t> signature_value;
        std::vector<std::vector<uint8_t>> signature_tokens; // time stamps of the signature
        std::vector<std::vector<uint8_t>> content_tokens; // time stamps of the content, signed
        std::vector<Countersignature_info> countersignatures;
        Validation_data carried; // its certificateValues and revocationValues
        bool certificate_mismatch = false; // against its signing-certificate(-v2) attribute
        bool long_term = false; // it carries archive time stamps or CAdES-X time stamps
        std::vector<Archive_timestamp_input> archive_timestamps;
    };
    // Signers that share a certificate share its record.
    using Certificate_records = std::map<X509*, Signer_certificate>;

    void reset();
    // An envelope without its document, as a walk made it: OpenSSL reads it without its signers
    // when there are many and they can be set apart (they are decoded later, a few at a time, by
    // check_walked_signers), else whole. False when it does not decode.
    bool decode_reduced(std::vector<uint8_t> reduced);
    // After decode_reduced, once the document is known: the signers paired with their
    // certificates; those set apart are decoded, checked against digests (the outcomes are given
    // out when the document is extracted) and their facts kept. False (the envelope is then left
    // undecoded) when a signer does not decode.
    bool check_walked_signers(Document_digests& digests);
    Assignable<Signature_integrity> check_signer_at(size_t index, CMS_SignerInfo* signer, Document_digests& digests,
                                                    Signature_memo& memo, std::span<const uint8_t> encoded = {}) const;
    // carried: the envelope's certificates (for the chain a signing-certificate attribute names).
    Signer_facts facts_of(CMS_SignerInfo* signer, Certificate_records& certificates,
                          const STACK_OF(X509) * carried) const;
    void parse_bytes(std::span<const uint8_t> bytes, std::vector<uint8_t>* owner);
    // Once the signers' facts are known: the archive time stamps of the signers that carry them,
    // read from the envelope as encoded, and the validation data their tokens and the envelope
    // carry. Costs nothing for an envelope without them.
    void read_long_term_data();
    void keep_content_digests(const Document_digests& digests);
    static bool carries_long_term_attributes(CMS_SignerInfo* signer);
    void decode_walked(std::span<const uint8_t> bytes, std::vector<uint8_t>* owner);
    void decode_walked_base64(std::string_view text);
    void decode_walked_smime(std::string_view text);
    void decode_walked_text(std::string_view base64, Base64_decode::Form form, Encoding encoding);
    void check_signatures(std::span<const uint8_t> document);
    void check_signatures(Document_digests& digests);
    // Base64 text (bare, or the body of an S/MIME message) decoded and walked a slice at a time,
    // the document hashed as it passes and never held; false (nothing kept) when the text is not
    // of that form. refused tells that the text decodes to bytes that start no envelope.
    bool decode_streamed(const Document_bytes& bytes, bool& refused);
    bool decode_streamed_text(const Document_bytes& text, Base64_decode::Form form, Encoding encoding, bool& refused);

    const std::atomic<bool>* _cancel;
    Der_reading _der_reading;
    // After a walk: the document is _input[_content_offset, +_content_size) until extraction
    // trims _input down to it and moves it into _content.
    bool _walked = false;
    std::vector<uint8_t> _input;
    size_t _content_offset = 0;
    size_t _content_size = 0;
    Cms_handle _cms;
    Encoding _encoding = Encoding::None;
    std::string _last_error;
    // Between decode_reduced and check_walked_signers: the envelope without its document, and
    // where its signers lie in it (when OpenSSL read it without them).
    std::vector<uint8_t> _reduced;
    std::optional<Der_signer_split> _signer_split;
    // The envelope without its document, as encoded, when it mentions long-term attributes.
    std::vector<uint8_t> _long_term_source;
    std::map<int, std::vector<uint8_t>> _content_digests;
    // By signer index, once the signers were checked after a walk, or read.
    std::vector<Signer_facts> _facts;
    std::vector<Assignable<Signature_integrity>> _checked_integrity;
    bool _checked_while_decoding = false;
    bool _facts_ready = false;
    bool _signatures_read = false;
    bool _selected = false;
    size_t _current = 0;
    std::vector<uint8_t> _content;
    // After parse_shared's walk: the document where the caller's bytes hold it, and what
    // release_content hands over (the same, until it is released).
    Document_bytes _walked_document;
    Document_bytes _shared_content;
    // The digests of a streamed document, made while it was decoded.
    std::map<int, std::vector<uint8_t>> _streamed_digests;
    // The document a clear-signed S/MIME message carries beside its signature, until extraction.
    std::vector<uint8_t> _clear_signed_content;
    bool _clear_signed = false;
    std::vector<Assignable<Signature_integrity>> _integrity; // by signer index
    Signer_certificate _certificate;
    std::shared_ptr<const System_time> _signing_time;
};

} // namespace velin
