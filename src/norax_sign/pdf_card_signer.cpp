#include "norax_sign/pdf_card_signer.h"

#include "common/trace.h"
#include "norax_sign/sign_batch.h"

namespace velin {

const char* const Text_java_needed =
    "Questa funzione richiede la disponibilità di un ambiente Java.\n\nSe su questa macchina è installato un "
    "ambiente Java,\nrivedere le impostazioni di Velin Manager.\n\nSe non ci sono ambienti Java installati, è "
    "possibile\nscaricarne e installarne uno. È possibile che le impostazioni\ndi Velin Manager vadano poi "
    "corrette.";

Pdf_card_signer::Pdf_card_signer(size_t reader_index, std::function<void(const std::string&)> show_warning)
    : _reader_index(reader_index), _show_warning(std::move(show_warning))
{}

void Pdf_card_signer::sign(const std::string&, std::span<const uint8_t>, unsigned)
{
    fail(Result_failed);
    Trace(Trace_kind, Level_info) << "Firma PDF";
    // No Java runtime can be started by this build.
    Trace(Trace_kind, Level_warn) << Text_java_needed;
    if (_show_warning)
        _show_warning(Text_java_needed);
    fail(Result_cancelled);
}

} // namespace velin
