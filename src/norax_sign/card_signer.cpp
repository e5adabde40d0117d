#include "norax_sign/card_signer.h"

#include "card_channel/card_provider.h"
#include "card_channel/scard.h"
#include "common/failure.h"
#include "common/owner.h"
#include "common/trace.h"
#include "norax_sign/envelope_signature.h"
#include "norax_sign/xades_signature.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <exception>
#include <iterator>
#include <vector>

namespace velin {

namespace {

void trace_info(const char* text)
{
    Trace(Trace_kind, Level_info) << text;
}

std::optional<std::vector<uint8_t>> parallel_signature(std::span<const uint8_t> envelope,
                                                       const Signing_identity& identity,
                                                       std::chrono::system_clock::time_point signing_time,
                                                       std::string& failure, const Signature_stamper& stamp)
{
    Parallel_stage stage = Parallel_stage::Reading;
    auto signed_again = add_parallel_signer(envelope, identity, signing_time, failure, &stage, stamp);
    // The steps in the order the trace has always told them; the first that failed ends it.
    const struct {
        std::vector<const char*> steps;
        const char* failed;
        const char* succeeded;
    } stages[] = {
        {{"Open a message for decoding.", "Update the message with the encoded BLOB."},
         "CryptMsgUpdate failed.",
         nullptr},
        {{"Initialize the CMSG_SIGNER_ENCODE_INFO structure for the cosigner.", "Add the cosigner to the message."},
         "CMSG_CTRL_ADD_SIGNER failed.",
         "CMSG_CTRL_ADD_SIGNER succeeded. \n"},
        {{"Add the cosigner's certificate to the message."}, nullptr, "CMSG_CTRL_ADD_CERT succeeded. \n"},
        // The size is not filled in: the record reads as it always has.
        {{"Get the size of the cosigned BLOB."},
         "Sizing of cbSignerInfo failed.",
         "The size for the encoded BLOB is %d.\n"},
        {{"Get the cosigned message BLOB."}, nullptr, "The message was cosigned successfully. \n"},
    };
    const size_t failed_at = signed_again                         ? std::size(stages)
                             : stage == Parallel_stage::Reading   ? 0
                             : stage == Parallel_stage::Composing ? 3
                                                                  : 1;
    for (size_t i = 0; i < std::size(stages); ++i) {
        for (const char* step : stages[i].steps)
            trace_info(step);
        if (i == failed_at) {
            Trace(Trace_kind, Level_warn) << stages[i].failed;
            // An envelope whose earlier signatures do not match its document is the user's to know.
            Trace(Trace_kind, stage == Parallel_stage::Checking ? Level_error : Level_trace) << failure;
            trace_info("Firma parallela fallita.");
            return std::nullopt;
        }
        if (stages[i].succeeded)
            trace_info(stages[i].succeeded);
    }
    trace_info("Firma parallela riuscita.");
    return signed_again;
}

// The module's return values (CKR_*) that say why the token refused.
constexpr unsigned long Ckr_device_error = 0x30, Ckr_device_removed = 0x32, Ckr_pin_incorrect = 0xA0,
                        Ckr_pin_invalid = 0xA1, Ckr_pin_len_range = 0xA2, Ckr_pin_expired = 0xA3, Ckr_pin_locked = 0xA4,
                        Ckr_session_closed = 0xB0, Ckr_session_handle_invalid = 0xB3, Ckr_token_not_present = 0xE0,
                        Ckr_token_not_recognized = 0xE1, Ckr_user_not_logged_in = 0x101;

// The signer's error for a refusal of the token: a PIN refused (the batch must not offer it
// again), the card gone from the reader, or any other failure.
uint32_t token_failure(unsigned long code)
{
    switch (code) {
    case Ckr_pin_incorrect:
    case Ckr_pin_invalid:
    case Ckr_pin_len_range:
    case Ckr_pin_expired:
    case Ckr_user_not_logged_in:
        return Result_pin_wrong;
    case Ckr_pin_locked:
        return Result_pin_blocked;
    case Ckr_device_removed:
    case Ckr_device_error:
    case Ckr_token_not_present:
    case Ckr_token_not_recognized:
    case Ckr_session_closed:
    case Ckr_session_handle_invalid:
        return Scard_w_removed_card;
    default:
        return Result_failed;
    }
}

// The same for a signature that failed inside OpenSSL, from the text of its errors.
uint32_t signature_failure(const std::string& failure)
{
    return token_failure(token_code_in(failure, {Ckr_pin_incorrect, Ckr_pin_invalid, Ckr_pin_len_range, Ckr_pin_expired,
                                                 Ckr_user_not_logged_in, Ckr_pin_locked, Ckr_device_removed,
                                                 Ckr_device_error, Ckr_token_not_present, Ckr_token_not_recognized,
                                                 Ckr_session_closed, Ckr_session_handle_invalid}));
}

} // namespace

Pkcs7_card_signer::Pkcs7_card_signer(std::string reader_name, std::string module_path)
    : _reader_name(std::move(reader_name)), _module_path(std::move(module_path))
{}

Pkcs7_card_signer::~Pkcs7_card_signer() = default;

void Pkcs7_card_signer::open()
{
    assertion(!_reader_name.empty(), "not is_empty (reader_name)");
    fail(Result_failed);
    _certificate.reset();
    try {
        _provider =
            std::make_unique<Card_provider>(_module_path.empty() ? pkcs11_module_path() : _module_path, _reader_name);
    } catch (const std::exception& error) {
        Trace(Trace_kind, Level_error) << "Errore durante il caricamento del contesto crittografico.";
        Trace(Trace_kind, Level_trace) << error.what();
        return;
    }
    std::vector<unsigned char> der;
    try {
        der = _provider->user_certificate();
    } catch (const std::exception& error) {
        Trace(Trace_kind, Level_trace) << "Errore durante la rilevazione del certificato associato alla chiave.";
        Trace(Trace_kind, Level_trace) << error.what();
    }
    const unsigned char* in = der.data();
    if (!der.empty())
        _certificate.reset(d2i_X509(nullptr, &in, static_cast<long>(der.size())), Release{});
    if (!_certificate) {
        Trace(Trace_kind, Level_error) << "Errore durante la ricerca del certificato per la firma.";
        return;
    }
    succeed({});
}

void Pkcs7_card_signer::sign(const Pin_text& pin, std::span<const uint8_t> document, unsigned flags)
{
    fail(0);
    if (!_provider || !_certificate) {
        fail(Result_failed);
        return;
    }
    // The PIN goes to the card's module for this signature only.
    try {
        _provider->login(pin.c_str());
    } catch (const Token_error& error) {
        Trace(Trace_kind, Level_trace) << error.what();
        fail(token_failure(error.code()));
        return;
    }
    sign_logged_in(document, flags);
    // Whatever happened after the login, the token forgets the PIN.
    if (_provider->logout())
        Trace(Trace_kind, Level_trace) << "PIN resettato";
    else
        Trace(Trace_kind, Level_error) << "Reset PIN fallito";
}

void Pkcs7_card_signer::sign_logged_in(std::span<const uint8_t> document, unsigned flags)
{
    std::shared_ptr<EVP_PKEY> key;
    try {
        key = _provider->signing_key();
    } catch (const Token_error& error) {
        Trace(Trace_kind, Level_trace) << error.what();
        fail(token_failure(error.code()));
        return;
    } catch (const std::exception& error) {
        Trace(Trace_kind, Level_trace) << "Chiave di firma non trovata.";
        Trace(Trace_kind, Level_trace) << error.what();
        fail(Result_failed);
        return;
    }
    const Signing_identity identity{_certificate.get(), key.get()};
    // A signature the authority gave no time stamp for is not handed out: the user asked for one.
    _timestamp_failure.clear();
    Signature_stamper stamp;
    if (_stamp)
        stamp = [this](std::span<const uint8_t> value, std::string& failure) {
            auto token = _stamp(value, failure);
            if (!token)
                _timestamp_failure = failure.empty() ? "Marca temporale non ricevuta." : failure;
            return token;
        };
    sign_with(identity, document, flags, stamp);
}

void Pkcs7_card_signer::sign_with(const Signing_identity& identity, std::span<const uint8_t> document, unsigned flags,
                                  const Signature_stamper& stamp)
{
    const std::chrono::system_clock::time_point signing_time = std::chrono::system_clock::now();
    if (flags & Flag_parallel) {
        std::string failure;
        if (auto envelope = parallel_signature(document, identity, signing_time, failure, stamp)) {
            Signed_output output;
            output.head = std::move(*envelope);
            succeed(std::move(output));
        } else if (!_timestamp_failure.empty()) {
            fail(Result_timestamp_failed);
        } else if (const uint32_t code = signature_failure(failure); code != Result_failed) {
            // Other failures leave no error code, as they always have.
            fail(code);
        }
    } else if (document.size() > static_cast<size_t>(INT_MAX)) {
        // A memory BIO reads at most INT_MAX bytes.
        Trace(Trace_kind, Level_error) << "Il documento è troppo grande per essere firmato.";
        fail(Result_failed);
    } else {
        const Owner<BIO> content(BIO_new_mem_buf(document.data(), static_cast<int>(document.size())));
        std::string failure;
        const auto layout = content
                                ? new_envelope(content.get(), document.size(), identity, signing_time, failure, stamp)
                                : std::nullopt;
        if (layout) {
            Signed_output output;
            output.head = layout->head;
            output.document = document;
            output.tail = layout->tail;
            succeed(std::move(output));
        } else {
            Trace(Trace_kind, Level_trace) << failure;
            fail(_timestamp_failure.empty() ? signature_failure(failure) : Result_timestamp_failed);
        }
    }
}

void Xades_card_signer::sign_with(const Signing_identity& identity, std::span<const uint8_t> document, unsigned flags,
                                  const Signature_stamper& stamp)
{
    (void)flags;
    std::string failure;
    const auto insertion =
        xades_enveloped_signature(document, identity, std::chrono::system_clock::now(), failure, stamp);
    if (!insertion) {
        if (!_timestamp_failure.empty()) {
            fail(Result_timestamp_failed);
            return;
        }
        const uint32_t code = signature_failure(failure);
        // A refusal of the token is said by the batch; anything else in our own words here.
        Trace(Trace_kind, code == Result_failed ? Level_error : Level_trace) << failure;
        fail(code);
        return;
    }
    Signed_output output;
    output.document = document.first(insertion->insert_at);
    output.tail = insertion->signature;
    output.tail.insert(output.tail.end(), document.begin() + static_cast<std::ptrdiff_t>(insertion->insert_at),
                       document.end());
    succeed(std::move(output));
}

} // namespace velin
