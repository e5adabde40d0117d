// Signatures inside PDF documents, made by the PDF classes in the Java runtime with the reader's
// card. This build has no Java bridge yet: a PDF signature says so and signs nothing.
#pragma once

#include "norax_sign/card_signer.h"

#include <functional>

namespace velin {

extern const char* const Text_java_needed;

class Pdf_card_signer : public Card_signer {
public:
    // show_warning tells the user what could not be done (a warning box in the program).
    Pdf_card_signer(size_t reader_index, std::function<void(const std::string&)> show_warning);

    void open() override {}
    // Without a Java runtime the signature counts as cancelled: the batch stops, nothing is
    // written.
    void sign(const std::string& pin, std::span<const uint8_t> document, unsigned flags) override;

    size_t reader_index() const { return _reader_index; }

private:
    size_t _reader_index;
    std::function<void(const std::string&)> _show_warning;
};

} // namespace velin
