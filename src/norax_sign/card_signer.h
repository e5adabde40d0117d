// The signers the signing flow drives once per document: the PKCS#7 signer here, the PDF signer
// later, behind one interface. A signer is opened once per batch; each sign() gives the signed
// document or an error code.
#pragma once

#include "common/pin_text.h"
#include "norax_sign/envelope_signature.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <openssl/x509.h>

namespace velin {

class Card_provider;

// Document flag: add a signer to the envelope given.
constexpr unsigned Flag_parallel = 16;

constexpr uint32_t Result_failed = 0x80004005;
// The token refused the PIN (the card's own codes for a wrong and a blocked PIN): trying again
// with the same PIN would only use up the card's tries.
constexpr uint32_t Result_pin_wrong = 0x8010006Bu;
constexpr uint32_t Result_pin_blocked = 0x8010006Cu;
// The document was signed but the time-stamping authority gave no time stamp for it.
constexpr uint32_t Result_timestamp_failed = 0xE0000032u;

// Bytes of a signed document that stay where they were made (a signed PDF in the Java machine)
// and are copied to the file in pieces, so that a large document is not held twice.
class Held_bytes {
public:
    virtual ~Held_bytes() = default;
    virtual uint64_t size() const = 0;
    // Writes all of the bytes to descriptor; false with errno set when it cannot.
    virtual bool write_to(int descriptor) const = 0;
};

// A signed document as it is written: head, then the document's own bytes unchanged (a new
// envelope holds the document without a copy of it), then the held bytes, then tail. A parallel
// signature is all head, a signed PDF all held bytes.
struct Signed_output {
    std::vector<uint8_t> head;
    std::span<const uint8_t> document;
    std::shared_ptr<const Held_bytes> held;
    std::vector<uint8_t> tail;

    uint64_t size() const { return head.size() + document.size() + (held ? held->size() : 0) + tail.size(); }
};

class Card_signer {
public:
    virtual ~Card_signer() = default;
    // Prepares the signer for a batch.
    virtual void open() = 0;
    // Signs the document (the bytes of an envelope with Flag_parallel); on success result()
    // holds the signed document, which refers to document's bytes: they must outlive it.
    virtual void sign(const Pin_text& pin, std::span<const uint8_t> document, unsigned flags) = 0;
    // The same for a document the caller gives up: a signer that copies the document elsewhere
    // (the PDF signer, into the Java machine) empties it as soon as the copy is made, so that a
    // large document is never held twice. A result that refers to the document's bytes needs
    // them until it is written, as with sign(): those signers leave document as it is.
    virtual void sign_releasing(const Pin_text& pin, std::vector<uint8_t>& document, unsigned flags)
    {
        sign(pin, document, flags);
    }

    // Every new signature gets a time stamp over its value (CAdES-T) from stamp; a signer whose
    // signatures cannot carry one ignores it.
    void set_signature_stamper(Signature_stamper stamp) { _stamp = std::move(stamp); }
    // Adds to the signed document in result() a time stamp over the whole of it (a PDF's document
    // time stamp: PAdES-T), whose token stamp gives for the SHA-256 digest of what it covers; false,
    // with the user's text in failure, when there is none. result() is then as it was.
    virtual bool timestamp_result(const Signature_stamper& stamp, std::string& failure)
    {
        (void)stamp;
        failure = "La marca temporale del documento si può aggiungere solo a una firma in formato PDF.";
        return false;
    }
    // After Result_timestamp_failed: why there is no time stamp, for the user.
    const std::string& timestamp_failure() const { return _timestamp_failure; }

    // The certificate the signatures are made with, once open() found it; null for a signer that
    // does not know it before signing.
    virtual X509* certificate() const { return nullptr; }

    bool succeeded() const { return _succeeded; }
    // After a failure: Result_cancelled (the user gave up), Result_pin_wrong or
    // Result_pin_blocked (the token refused the PIN), Scard_w_removed_card (the card or its token
    // went away), else Result_failed; 0 when nothing was attempted.
    uint32_t error_code() const { return _error_code; }
    const Signed_output& result() const { return _result; }

protected:
    Signature_stamper _stamp;
    std::string _timestamp_failure;

    // A failed signature leaves no result behind (nor the memory of an earlier one).
    void fail(uint32_t code)
    {
        _succeeded = false;
        _error_code = code;
        _result = {};
    }
    void succeed(Signed_output result)
    {
        _succeeded = true;
        _error_code = 0;
        _result = std::move(result);
    }

private:
    bool _succeeded = false;
    uint32_t _error_code = 0;
    Signed_output _result;
};

// PKCS#7 signatures with the card's key through its PKCS#11 module: a new envelope around the
// document, or one more signer on an existing envelope.
class Pkcs7_card_signer : public Card_signer {
public:
    // module_path empty: the module of the machine setting "ModuloPKCS11".
    explicit Pkcs7_card_signer(std::string reader_name, std::string module_path = {});
    ~Pkcs7_card_signer() override;

    void open() override;
    void sign(const Pin_text& pin, std::span<const uint8_t> document, unsigned flags) override;
    X509* certificate() const override { return _certificate.get(); }

protected:
    // Makes the signature once the token is logged in and gave its key; stamp, when set, is the
    // batch's stamper that remembers why the authority gave no time stamp.
    virtual void sign_with(const Signing_identity& identity, std::span<const uint8_t> document, unsigned flags,
                           const Signature_stamper& stamp);

private:
    void sign_logged_in(std::span<const uint8_t> document, unsigned flags);

    std::string _reader_name;
    std::string _module_path;
    std::unique_ptr<Card_provider> _provider;
    std::shared_ptr<X509> _certificate;
};

// Enveloped XAdES signatures of XML documents with the same card, key and PIN as the PKCS#7 signer:
// the document's bytes as they were, the signature's text inserted before the root's end tag (see
// xades_signature.h). A parallel signature is simply one more: the flags are not needed.
class Xades_card_signer : public Pkcs7_card_signer {
public:
    using Pkcs7_card_signer::Pkcs7_card_signer;

protected:
    void sign_with(const Signing_identity& identity, std::span<const uint8_t> document, unsigned flags,
                   const Signature_stamper& stamp) override;
};

} // namespace velin
