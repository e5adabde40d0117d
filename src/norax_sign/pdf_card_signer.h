// Signatures inside PDF documents: the PDF signing class in the Java machine signs with the card
// of the reader (its PKCS#11 token, the module of the machine setting "ModuloPKCS11"), and this
// class runs it behind the signer interface, step by step with the texts the user sees.
#pragma once

#include "norax_sign/card_signer.h"

#include <functional>
#include <optional>
#include <span>
#include <string>

namespace velin {

extern const char* const Text_already_signed_question;
extern const char* const Text_certified_unchangeable;
extern const char* const Text_locked_unchangeable;

class Pdf_card_signer : public Card_signer {
public:
    // ask shows a question box (message_box flags and answers). module_path empty: the setting.
    Pdf_card_signer(size_t reader_index, std::string reader_name, std::function<int(const std::string&, unsigned)> ask,
                    std::string module_path = {});

    void open() override {}
    // Without a Java machine the signature counts as cancelled: the batch stops, nothing is
    // written.
    void sign(const Pin_text& pin, std::span<const uint8_t> document, unsigned flags) override;
    // Empties document once the machine holds its copy; the signed document stays in the
    // machine until result() is written or dropped.
    void sign_releasing(const Pin_text& pin, std::vector<uint8_t>& document, unsigned flags) override;
    // The document time stamp goes after the signature, in the machine that holds the signed PDF.
    bool timestamp_result(const Signature_stamper& stamp, std::string& failure) override;

    size_t reader_index() const { return _reader_index; }

private:
    void sign_document(const Pin_text& pin, std::span<const uint8_t> document, std::vector<uint8_t>* release);

    size_t _reader_index;
    std::string _reader_name;
    std::function<int(const std::string&, unsigned)> _ask;
    std::string _module_path;
};

// The text shown for a code of the signing class's error().
std::string pdf_sign_error_text(int code);

// A PDF (signed or not) with a document time stamp from stamp added as an incremental update,
// written from the Java machine; nothing, with the user's text in failure, when it cannot be made.
std::optional<Signed_output> timestamped_pdf(std::span<const uint8_t> pdf, const Signature_stamper& stamp,
                                             std::string& failure);

} // namespace velin
